// The system's own adapter list, whatever it holds: enumeration sends nothing, and without
// a loaded capture library it opens no adapter either.
#include "net/adapters.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

namespace mardo {
namespace {

TEST(Adapters, EveryListedAdapterHasOneToSixteenAddressesAndACaptureName) {
  adapter_table table;
  ASSERT_EQ(enumerate_adapters(table), 0);
  for (const dev_info_t& a : table.snapshot()) {
    ASSERT_NE(std::memchr(a.acName, '\0', sizeof a.acName), nullptr);
    EXPECT_GE(a.iIpNum, 1) << a.acName;
    EXPECT_LE(a.iIpNum, kMaxAdapterAddrs) << a.acName;
#ifdef _WIN32
    // The device name the capture library opens: its prefix and the adapter's {GUID}.
    EXPECT_TRUE(std::string_view(a.acName).starts_with("\\Device\\NPF_{")) << a.acName;
#endif
  }
  table.clear();
}

}  // namespace
}  // namespace mardo
