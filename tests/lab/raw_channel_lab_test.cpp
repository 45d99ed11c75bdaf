// The raw channel over real libpcap, against simulated cameras in a namespace lab.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

#include "lab/lab.h"
#include "net/adapters.h"
#include "net/capture.h"
#include "net/raw_frame.h"
#include "net/tick.h"

namespace mardo {
namespace {

using lab::camera_t;
using lab::Lab;
using lab::lab_config_t;
using lab::sim_event_t;

camera_t camera(const char* mac, const char* ip) {
  camera_t c;
  c.mac = mac;
  c.ip = ip;
  c.gateway = "192.0.2.254";
  return c;
}

lab_config_t two_cameras() {
  lab_config_t cfg;
  cfg.cameras = {camera("02:ab:00:00:01:01", "192.0.2.11"),
                 camera("02:ab:00:00:01:02", "192.0.2.12")};
  return cfg;
}

std::vector<std::uint8_t> frame_to(const lab::mac_bytes_t& dst, const char* src_text,
                                   std::uint16_t type, std::vector<std::uint8_t> rest) {
  return lab::make_frame(dst, *lab::parse_mac(src_text), type, rest);
}

// Frames of one EtherType that camera n received.
std::vector<sim_event_t> received(const std::vector<sim_event_t>& events, int camera_index,
                                  std::uint16_t type) {
  std::vector<sim_event_t> out;
  for (const auto& e : events) {
    if (e.camera == camera_index && e.channel == "raw" && e.ethertype == type) out.push_back(e);
  }
  return out;
}

class RawChannelLab : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(load_capture_library()); }
  void TearDown() override { table_.clear(); }

  // Enumerates inside the workstation namespace; handles keep that namespace.
  void enumerate(Lab& lab) {
    lab::netns_scope in(lab.ws_netns());
    ASSERT_EQ(enumerate_adapters(table_), 0);
    ASSERT_GE(table_.count(), 1);
    ASSERT_NE(table_.at(0)->pCapHandle, nullptr);
  }

  adapter_table table_;
};

TEST_F(RawChannelLab, CommandWithoutPayloadReachesTheCameraAsFourteenBytes) {
  Lab lab(two_cameras());
  LAB_REQUIRE(lab);
  enumerate(lab);
  auto adapter = table_.at(0);
  const std::uint8_t reboot[] = {0xFF, 0xF1};
  send_raw_frame(adapter->pCapHandle.get(), adapter->aucMac, "02-AB-00-00-01-02", reboot, 2);
  const auto events =
      lab.wait_events([](const auto& ev) { return !received(ev, 1, 0xFFF1).empty(); }, 3000);
  const auto got = received(events, 1, 0xFFF1);
  ASSERT_EQ(got.size(), 1u);
  const auto expected = frame_to({0x02, 0xab, 0x00, 0x00, 0x01, 0x02},
                                 format_mac_lower(adapter->aucMac).c_str(), 0xFFF1, {});
  ASSERT_EQ(expected.size(), 14u);
  EXPECT_EQ(got[0].bytes, expected);
  EXPECT_TRUE(received(events, 0, 0xFFF1).empty()) << "the other camera must not take it";
}

TEST_F(RawChannelLab, IpQueryIsAnsweredWithTwelveBytes) {
  Lab lab(two_cameras());
  LAB_REQUIRE(lab);
  enumerate(lab);
  auto adapter = table_.at(0);
  capture_port* h = adapter->pCapHandle.get();
  h->drain();
  std::uint8_t query[14] = {0xFF, 0xF8};
  send_raw_frame(h, adapter->aucMac, "02-ab-00-00-01-01", query, sizeof query);
  std::uint8_t out[512] = {};
  ASSERT_EQ(wait_raw_reply(h, adapter->aucMac, "02-AB-00-00-01-01", 0xFFF8, out, 512, 3000), 12);
  const std::uint8_t expected[12] = {192, 0, 2, 11, 255, 255, 255, 0, 192, 0, 2, 254};
  EXPECT_EQ(0, std::memcmp(out, expected, 12));
  EXPECT_EQ(received(lab.events(), 0, 0xFFF8).at(0).bytes.size(), 26u);
}

TEST_F(RawChannelLab, WaitIgnoresOtherTypesAndOtherCamerasAndWaitsOn) {
  Lab lab(two_cameras());
  LAB_REQUIRE(lab);
  enumerate(lab);
  auto adapter = table_.at(0);
  capture_port* h = adapter->pCapHandle.get();
  h->apply_filter("ether proto 0xFFF5 || ether proto 0xFFF8");
  h->drain();
  const auto ws = lab.ws_mac(0);
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(lab.inject(0, frame_to(ws, "02:ab:00:00:01:01", 0xFFF5, {2, 0, 7, 7})));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(lab.inject(1, frame_to(ws, "02:ab:00:00:01:02", 0xFFF8, {2, 0, 8, 8})));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(lab.inject(0, frame_to(ws, "02:ab:00:00:01:01", 0xFFF8, {3, 0, 1, 2, 3})));
  });
  std::uint8_t out[512] = {};
  const auto t0 = tick_ms();
  const int got = wait_raw_reply(h, adapter->aucMac, "02-AB-00-00-01-01", 0xFFF8, out, 512, 3000);
  const auto waited = tick_ms() - t0;
  sender.join();
  // Ethernet pads the short frame on the wire; the length field still decides.
  EXPECT_EQ(got, 3);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 3);
  EXPECT_GE(waited, 400u);
}

TEST_F(RawChannelLab, ZeroLengthAnswerGivesZeroAndSilenceGivesMinusOne) {
  lab_config_t cfg = two_cameras();
  cfg.cameras[0].ip_query_len_field = 0;
  cfg.cameras[1].ip_query = false;
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  enumerate(lab);
  auto adapter = table_.at(0);
  capture_port* h = adapter->pCapHandle.get();
  std::uint8_t query[14] = {0xFF, 0xF8};
  std::uint8_t out[512];

  send_raw_frame(h, adapter->aucMac, "02-AB-00-00-01-01", query, sizeof query);
  EXPECT_EQ(wait_raw_reply(h, adapter->aucMac, "02-AB-00-00-01-01", 0xFFF8, out, 512, 3000), 0);

  send_raw_frame(h, adapter->aucMac, "02-AB-00-00-01-02", query, sizeof query);
  const auto t0 = tick_ms();
  EXPECT_EQ(wait_raw_reply(h, adapter->aucMac, "02-AB-00-00-01-02", 0xFFF8, out, 512, 1000), -1);
  EXPECT_GE(tick_ms() - t0, 1000u);
}

TEST_F(RawChannelLab, EnumerationSetsTheIpQueryFilter) {
  Lab lab(two_cameras());
  LAB_REQUIRE(lab);
  enumerate(lab);
  auto adapter = table_.at(0);
  capture_port* h = adapter->pCapHandle.get();
  h->drain();
  const auto ws = lab.ws_mac(0);
  lab.inject(0, frame_to(ws, "02:ab:00:00:01:01", 0xFFF1, {4, 0, 1, 2, 3, 4}));
  std::uint8_t out[64];
  EXPECT_EQ(wait_raw_reply(h, adapter->aucMac, "02-AB-00-00-01-01", 0xFFF1, out, 64, 500), -1)
      << "only 0xFFF8 frames pass the handle's filter";
}

// Capabilities are per thread on Linux: this thread alone loses the right to capture.
bool drop_raw_capture_rights() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  for (int bit : {CAP_NET_RAW, CAP_NET_ADMIN}) data[bit / 32].effective &= ~(1u << (bit % 32));
  return syscall(SYS_capset, &header, data) == 0;
}

TEST_F(RawChannelLab, WithoutCaptureRightsHandlesAreNullAndNothingElseFails) {
  Lab lab(two_cameras());
  LAB_REQUIRE(lab);
  std::thread worker([&] {
    lab::netns_scope in(lab.ws_netns());
    ASSERT_TRUE(drop_raw_capture_rights());
    ASSERT_EQ(enumerate_adapters(table_), 0);
    ASSERT_EQ(table_.count(), 1);
    auto adapter = table_.at(0);
    EXPECT_EQ(adapter->pCapHandle.get(), nullptr);
    EXPECT_STREQ(adapter->acIpAddr[0], "192.0.2.1");
    const std::uint8_t reboot[] = {0xFF, 0xF1};
    EXPECT_EQ(send_raw_frame(nullptr, adapter->aucMac, "02-AB-00-00-01-01", reboot, 2), 0);
    std::uint8_t out[16];
    const auto t0 = tick_ms();
    EXPECT_EQ(wait_raw_reply(nullptr, adapter->aucMac, "02-AB-00-00-01-01", 0xFFF8, out, 16, 500),
              -1);
    EXPECT_GE(tick_ms() - t0, 500u);
  });
  worker.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(received(lab.events(), 0, 0xFFF1).empty());
}

// A command holds its own copy of the adapter while it waits. A rebuild meanwhile replaces
// the table's port and leaves the command's open until the command is done (ASan reports
// any use after close).
TEST_F(RawChannelLab, RebuildLeavesTheHandleOfARunningCommandOpen) {
  lab_config_t cfg = two_cameras();
  cfg.cameras[0].ip_query = false;
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  enumerate(lab);
  std::weak_ptr<capture_port> old_port = table_.at(0)->pCapHandle;
  std::atomic<bool> command_done{false};
  std::atomic<bool> started{false};
  std::thread command([&] {
    auto adapter = table_.at(0);
    ASSERT_TRUE(adapter);
    started = true;
    std::uint8_t query[14] = {0xFF, 0xF8};
    std::uint8_t out[512];
    send_raw_frame(adapter->pCapHandle.get(), adapter->aucMac, "02-AB-00-00-01-01", query, 14);
    wait_raw_reply(adapter->pCapHandle.get(), adapter->aucMac, "02-AB-00-00-01-01", 0xFFF8, out,
                   512, 800);
    command_done = true;
  });
  while (!started) std::this_thread::yield();
  {
    lab::netns_scope in(lab.ws_netns());
    ASSERT_EQ(enumerate_adapters(table_), 0);
  }
  EXPECT_FALSE(command_done.load()) << "the rebuild waited for the command";
  EXPECT_FALSE(old_port.expired()) << "the rebuild closed a port in use";
  EXPECT_NE(table_.at(0)->pCapHandle, old_port.lock());
  command.join();
  EXPECT_TRUE(old_port.expired()) << "the last holder is gone, so the old port is closed";
}

}  // namespace
}  // namespace mardo
