// A library that lacks pcap_setfilter: loading reports false, yet opening, reading and
// sending still work, and filters are simply not set.
#include <gtest/gtest.h>

#include "fake_pcap_control.h"
#include "net/capture.h"
#include "net/capture_port.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

TEST(PartialCaptureLibrary, WorksWithoutFiltersAndReportsFalse) {
  EXPECT_FALSE(load_capture_library_from(FAKE_PCAP_PATH));
  ASSERT_TRUE(fake_pcap::load());
  pcap_t* h = cap_open_adapter("fake0");
  ASSERT_NE(h, nullptr);

  bpf_program program{};
  cap_apply_filter(h, "ether proto 0xFFF1");
  EXPECT_EQ(fake_pcap::filter_calls(), 1);  // compiled, never set
  EXPECT_EQ(cap_set_filter(h, &program), 0);
  EXPECT_EQ(fake_pcap::filter_calls(), 1);

  const std::uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
  const std::uint8_t cmd[] = {0xFF, 0xF4};
  const capture_port_ptr port = capture_port::adopt(h);
  send_raw_frame(port.get(), mac, "02-00-00-00-00-02", cmd, 2);
  EXPECT_EQ(fake_pcap::sent_count(), 1);

  fake_pcap::push({2, 0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 2, 0xFF, 0xF8, 0, 0});
  std::uint8_t out[4];
  EXPECT_EQ(wait_raw_reply(port.get(), mac, "02-00-00-00-00-02", 0xFFF8, out, 4, 500), 0);
}

}  // namespace
}  // namespace mardo
