// Raw command frames over a stand-in capture library: exact bytes out, and which
// captured frames a wait accepts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "fake_pcap_control.h"
#include "net/capture.h"
#include "net/capture_port.h"
#include "net/raw_frame.h"
#include "net/tick.h"

namespace mardo {
namespace {

const std::uint8_t kAdapterMac[6] = {0x02, 0x00, 0x00, 0x00, 0xff, 0x00};
const std::uint8_t kCameraMac[6] = {0x02, 0xab, 0x00, 0x00, 0x01, 0x0c};
constexpr const char* kCameraText = "02-AB-00-00-01-0C";

class RawFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fake_pcap::load());
    fake_pcap::reset();
    port_ = capture_port::adopt(
        cap_open_live("fake0", kCapSnapLen, kCapPromisc, kCapTimeoutMs, nullptr));
    ASSERT_NE(port_, nullptr);
  }

  // An answer frame: adapter <- camera, EtherType, LE length, payload.
  static std::vector<std::uint8_t> answer(const std::uint8_t* dst, const std::uint8_t* src,
                                          std::uint16_t type, std::uint16_t length,
                                          std::vector<std::uint8_t> payload) {
    std::vector<std::uint8_t> f;
    for (int i = 0; i < 6; ++i) f.push_back(dst[i]);
    for (int i = 0; i < 6; ++i) f.push_back(src[i]);
    f.push_back(static_cast<std::uint8_t>(type >> 8));
    f.push_back(static_cast<std::uint8_t>(type));
    f.push_back(static_cast<std::uint8_t>(length));
    f.push_back(static_cast<std::uint8_t>(length >> 8));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
  }

  capture_port_ptr port_;
};

TEST_F(RawFrames, LoadingReportsAllSixEntryPoints) {
  EXPECT_TRUE(load_capture_library_from(FAKE_PCAP_PATH));
  // A second library is not loaded over the first.
  EXPECT_TRUE(load_capture_library_from("/nonexistent/libpcap.so"));
}

TEST_F(RawFrames, CommandWithoutPayloadIsFourteenBytes) {
  const std::uint8_t reboot[] = {0xFF, 0xF1};
  EXPECT_EQ(send_raw_frame(port_.get(), kAdapterMac, kCameraText, reboot, 2), 0);
  ASSERT_EQ(fake_pcap::sent_count(), 1);
  const std::vector<std::uint8_t> expected = {0x02, 0xab, 0x00, 0x00, 0x01, 0x0c, 0x02,
                                              0x00, 0x00, 0x00, 0xff, 0x00, 0xFF, 0xF1};
  EXPECT_EQ(fake_pcap::sent(0), expected);
}

TEST_F(RawFrames, PayloadFollowsTheEtherTypeUnpadded) {
  std::vector<std::uint8_t> cmd = {0xFF, 0xF2, 192, 0, 2, 50, 255, 255, 255, 0, 192, 0, 2, 1};
  send_raw_frame(port_.get(), kAdapterMac, "2-ab-0-0-1-c", cmd.data(),
                 static_cast<int>(cmd.size()));
  ASSERT_EQ(fake_pcap::sent_count(), 1);
  const auto frame = fake_pcap::sent(0);
  ASSERT_EQ(frame.size(), 26u);
  EXPECT_TRUE(std::equal(kCameraMac, kCameraMac + 6, frame.begin()));
  EXPECT_TRUE(std::equal(cmd.begin(), cmd.end(), frame.begin() + 12));
}

TEST_F(RawFrames, LongestCommandFitsAndLongerOrBadMacIsNotSent) {
  std::vector<std::uint8_t> cmd(kRawMaxCommand, 0x5A);
  cmd[0] = 0xFF;
  cmd[1] = 0xF7;
  send_raw_frame(port_.get(), kAdapterMac, kCameraText, cmd.data(), kRawMaxCommand);
  ASSERT_EQ(fake_pcap::sent_count(), 1);
  EXPECT_EQ(fake_pcap::sent(0).size(), 256u);
  cmd.push_back(0);
  EXPECT_EQ(send_raw_frame(port_.get(), kAdapterMac, kCameraText, cmd.data(), kRawMaxCommand + 1),
            -1);
  EXPECT_EQ(send_raw_frame(port_.get(), kAdapterMac, "not-a-mac", cmd.data(), 2), -1);
  EXPECT_EQ(send_raw_frame(port_.get(), kAdapterMac, nullptr, cmd.data(), 2), -1);
  EXPECT_EQ(fake_pcap::sent_count(), 1);
}

TEST_F(RawFrames, WaitSkipsOtherTypesAndCamerasThenTakesTheMatch) {
  const std::uint8_t other[6] = {0x02, 0xab, 0x00, 0x00, 0x01, 0x0d};
  fake_pcap::push(answer(kAdapterMac, kCameraMac, 0xFFF5, 2, {9, 9}));  // wrong type
  fake_pcap::push(answer(kAdapterMac, other, 0xFFF8, 2, {8, 8}));       // wrong camera
  fake_pcap::push(answer(kCameraMac, kCameraMac, 0xFFF8, 2, {7, 7}));   // not to us
  fake_pcap::push(answer(kAdapterMac, kCameraMac, 0xFFF8, 3, {1, 2, 3}));
  std::uint8_t out[512] = {};
  EXPECT_EQ(wait_raw_reply(port_.get(), kAdapterMac, "02-ab-00-00-01-0c", 0xFFF8, out, 512, 1000),
            3);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[2], 3);
  EXPECT_EQ(fake_pcap::inbox_size(), 0);
}

TEST_F(RawFrames, ZeroLengthFieldIsAMatchWithEmptyPayload) {
  fake_pcap::push(answer(kAdapterMac, kCameraMac, 0xFFF8, 0, {1, 2, 3, 4}));
  std::uint8_t out[16] = {};
  EXPECT_EQ(wait_raw_reply(port_.get(), kAdapterMac, kCameraText, 0xFFF8, out, 16, 500), 0);
}

TEST_F(RawFrames, PayloadIsCutToTheCapacity) {
  std::vector<std::uint8_t> payload(40);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i);
  fake_pcap::push(answer(kAdapterMac, kCameraMac, 0xFFF5, 40, payload));
  std::uint8_t out[8] = {};
  EXPECT_EQ(wait_raw_reply(port_.get(), kAdapterMac, kCameraText, 0xFFF5, out, 8, 500), 8);
  EXPECT_EQ(out[7], 7);
  // A negative capacity is no licence to copy the whole payload.
  fake_pcap::push(answer(kAdapterMac, kCameraMac, 0xFFF5, 40, payload));
  EXPECT_EQ(wait_raw_reply(port_.get(), kAdapterMac, kCameraText, 0xFFF5, out, -1, 100), -1);
}

// The length field and the on-wire length may promise more than was captured; only the
// captured bytes may be read (ASan checks the stand-in's exact-size buffers).
TEST_F(RawFrames, NeverReadsPastTheCapturedBytes) {
  auto frame = answer(kAdapterMac, kCameraMac, 0xFFF8, 500, {1, 2, 3, 4, 5, 6});
  fake_pcap::push_cut(frame, static_cast<int>(frame.size()), 1514);
  std::uint8_t out[512] = {};
  EXPECT_EQ(wait_raw_reply(port_.get(), kAdapterMac, kCameraText, 0xFFF8, out, 512, 500), 6);

  // Cut inside the length field: not an answer; the wait goes on to the next frame.
  frame = answer(kAdapterMac, kCameraMac, 0xFFF8, 12, std::vector<std::uint8_t>(12, 1));
  fake_pcap::push_cut(frame, 15, 60);
  fake_pcap::push_cut(frame, 10, 60);
  fake_pcap::push(answer(kAdapterMac, kCameraMac, 0xFFF8, 1, {42}));
  EXPECT_EQ(wait_raw_reply(port_.get(), kAdapterMac, kCameraText, 0xFFF8, out, 512, 500), 1);
  EXPECT_EQ(out[0], 42);
}

TEST_F(RawFrames, NoAnswerWaitsTheWholeTimeOut) {
  std::uint8_t out[16];
  const auto t0 = tick_ms();
  EXPECT_EQ(wait_raw_reply(port_.get(), kAdapterMac, kCameraText, 0xFFF8, out, 16, 300), -1);
  const auto waited = tick_ms() - t0;
  EXPECT_GE(waited, 300u);
  EXPECT_LT(waited, 2000u);
}

TEST_F(RawFrames, DrainDropsEverythingWaiting) {
  for (int i = 0; i < 5; ++i) fake_pcap::push(answer(kAdapterMac, kCameraMac, 0xFFF8, 0, {}));
  port_->drain();
  EXPECT_EQ(fake_pcap::inbox_size(), 0);
}

// libpcap hands every reader of a handle the same buffer; two threads waiting on one
// adapter must each get whole frames of their own, and every frame exactly once.
TEST_F(RawFrames, ReadersOfOnePortEachGetWholeFramesOnce) {
  constexpr int kFrames = 40000;
  for (int i = 0; i < kFrames; ++i) {
    const auto mark = static_cast<std::uint8_t>(i % 200);
    fake_pcap::push(std::vector<std::uint8_t>(60 + static_cast<std::size_t>(i % 40), mark));
  }
  std::atomic<int> got{0};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      captured_frame_t frame;
      while (got.load() < kFrames) {
        if (port_->read(frame) <= 0) {
          if (fake_pcap::inbox_size() == 0) break;
          continue;
        }
        ++got;
        const std::uint8_t mark = frame.bytes.empty() ? 0xEE : frame.bytes[0];
        const bool whole = frame.wire_len == frame.bytes.size() && mark < 200 &&
                           frame.bytes.size() >= 60 &&
                           std::all_of(frame.bytes.begin(), frame.bytes.end(),
                                       [mark](std::uint8_t b) { return b == mark; });
        if (!whole) ++torn;
      }
    });
  }
  for (auto& r : readers) r.join();
  EXPECT_EQ(got.load(), kFrames);
  EXPECT_EQ(torn.load(), 0);
}

// An adapter that goes down makes every read fail; a loop of reads must wait, not spin.
TEST_F(RawFrames, FailingReadsArePacedByTheReadTimeOut) {
  fake_pcap::fail_reads(true);
  captured_frame_t frame;
  const auto t0 = tick_ms();
  int reads = 0;
  while (tick_ms() - t0 < 100) {
    EXPECT_EQ(port_->read(frame), -1);
    ++reads;
  }
  fake_pcap::fail_reads(false);
  EXPECT_LE(reads, 150);
  EXPECT_LE(fake_pcap::read_calls(), 150);
}

TEST_F(RawFrames, AdapterOpenFallsBackToOpenLiveAndFiltersApply) {
  pcap_t* h = cap_open_adapter("fake1");
  ASSERT_NE(h, nullptr);
  cap_apply_filter(h, "ether proto 0xFFF8");
  EXPECT_EQ(fake_pcap::filter_calls(), 2);  // compiled, then set
  cap_close(h);
}

}  // namespace
}  // namespace mardo
