#include "net/raw_frame.h"

#include <gtest/gtest.h>

#include "case_name.h"

#include "net/tick.h"

namespace mardo {
namespace {

struct mac_case {
  const char* name;
  const char* text;
  bool valid;
  mac_t mac;
};

class MacText : public ::testing::TestWithParam<mac_case> {};

TEST_P(MacText, ParsesSixGroupsOfOneOrTwoHexDigits) {
  const mac_case& c = GetParam();
  const auto mac = parse_mac_text(c.text);
  ASSERT_EQ(mac.has_value(), c.valid);
  if (c.valid) {
    EXPECT_EQ(*mac, c.mac);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MacText,
    ::testing::Values(
        mac_case{"Upper", "AA-BB-CC-0D-0E-0F", true, {0xAA, 0xBB, 0xCC, 0x0D, 0x0E, 0x0F}},
        mac_case{"Lower", "aa-bb-cc-0d-0e-0f", true, {0xAA, 0xBB, 0xCC, 0x0D, 0x0E, 0x0F}},
        mac_case{"OneDigit", "a-b-c-d-e-f", true, {0xA, 0xB, 0xC, 0xD, 0xE, 0xF}},
        mac_case{"Mixed", "0-1B-c-Dd-00-ff", true, {0x00, 0x1B, 0x0C, 0xDD, 0x00, 0xFF}},
        mac_case{"Colons", "aa:bb:cc:dd:ee:ff", false, {}},
        mac_case{"FiveGroups", "aa-bb-cc-dd-ee", false, {}},
        mac_case{"SevenGroups", "aa-bb-cc-dd-ee-ff-00", false, {}},
        mac_case{"ThreeDigits", "aaa-bb-cc-dd-ee-ff", false, {}}, mac_case{"Empty", "", false, {}},
        mac_case{"EmptyGroup", "aa--cc-dd-ee-ff", false, {}},
        mac_case{"NotHex", "gg-bb-cc-dd-ee-ff", false, {}},
        mac_case{"Trailing", "aa-bb-cc-dd-ee-ff ", false, {}}),
    case_name());

TEST(MacText, FormatsUpperAndLowerWithTwoDigits) {
  const std::uint8_t mac[6] = {0x02, 0xAB, 0x0c, 0x00, 0xF0, 0x9};
  EXPECT_EQ(format_mac_upper(mac), "02-AB-0C-00-F0-09");
  EXPECT_EQ(format_mac_lower(mac), "02-ab-0c-00-f0-09");
}

// This program never loads the capture library: the raw channel does nothing, quietly.
TEST(RawWithoutLibrary, SendGivesZeroAndWaitRunsOutItsTimeOut) {
  const std::uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
  const std::uint8_t cmd[] = {0xFF, 0xF1};
  EXPECT_EQ(send_raw_frame(nullptr, mac, "02-00-00-00-00-02", cmd, 2), 0);
  std::uint8_t out[16];
  const auto t0 = tick_ms();
  EXPECT_EQ(wait_raw_reply(nullptr, mac, "02-00-00-00-00-02", 0xFFF8, out, 16, 200), -1);
  EXPECT_GE(tick_ms() - t0, 200u);
}

}  // namespace
}  // namespace mardo
