// Without the capture library the tool still enumerates its adapters and the raw
// channel quietly does nothing: null handles, sends give 0, waits run out.
#include <gtest/gtest.h>

#include <thread>

#include "lab/lab.h"
#include "net/adapters.h"
#include "net/capture.h"
#include "net/raw_frame.h"
#include "net/tick.h"

namespace mardo {
namespace {

TEST(CaptureLibraryAbsent, AdaptersAreListedWithNullHandlesAndRawCallsDoNothing) {
  ASSERT_FALSE(load_capture_library_from("/nonexistent/libpcap.so.1"));
  lab::lab_config_t cfg;
  cfg.cameras.push_back(lab::camera_t{});
  cfg.cameras[0].mac = "02:ab:00:00:02:01";
  cfg.cameras[0].ip = "192.0.2.21";
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);

  adapter_table table;
  {
    lab::netns_scope in(lab.ws_netns());
    ASSERT_EQ(enumerate_adapters(table), 0);
  }
  ASSERT_EQ(table.count(), 1);
  auto adapter = table.at(0);
  EXPECT_EQ(adapter->pCapHandle.get(), nullptr);
  EXPECT_STREQ(adapter->acIpAddr[0], "192.0.2.1");

  EXPECT_EQ(cap_open_adapter(adapter->acName), nullptr);
  const std::uint8_t reboot[] = {0xFF, 0xF1};
  EXPECT_EQ(
      send_raw_frame(adapter->pCapHandle.get(), adapter->aucMac, "02-AB-00-00-02-01", reboot, 2),
      0);
  std::uint8_t out[16];
  const auto t0 = tick_ms();
  EXPECT_EQ(wait_raw_reply(adapter->pCapHandle.get(), adapter->aucMac, "02-AB-00-00-02-01", 0xFFF8,
                           out, 16, 500),
            -1);
  EXPECT_GE(tick_ms() - t0, 500u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (const auto& e : lab.events()) EXPECT_NE(e.ethertype, 0xFFF1) << "nothing may be sent";
}

}  // namespace
}  // namespace mardo
