// The TFTP write over a scripted camera: packets, retries, the last-block rounds, every
// result text, progress, and block numbers past 65535.
#include "upgrade/tftp_write.h"

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/stop.h"
#include "net/byte_view.h"

namespace mardo {
namespace {

using bytes = std::vector<std::uint8_t>;

bytes packet(std::uint16_t op, std::uint16_t number) {
  bytes p(4);
  put_be16(p.data(), op);
  put_be16(p.data() + 2, number);
  return p;
}

enum class last_reply { kAck, kSilence, kError3, kError8, kError1, kStaleAck };

// A TFTP server as a camera runs it: it numbers blocks modulo 65536 and stores what came.
class scripted_camera : public tftp_transport {
 public:
  bool plain_ack_to_request = false;
  last_reply on_last = last_reply::kAck;
  int drop_ack_of_block = -1;  // the first ack of this block number is lost
  bool duplicate_acks = false;

  void send(std::span<const std::uint8_t> p) override {
    sent.emplace_back(p.begin(), p.end());
    byte_reader in(p);
    const std::uint16_t op = in.be16();
    if (op == 2) {
      ++requests;
      answers.push_back(plain_ack_to_request ? packet(4, 0) : bytes{0, 6, 't', 's', 'i', 'z', 'e', 0});
      return;
    }
    const std::uint16_t number = in.be16();
    const bool last = p.size() < 4 + 512;
    if (last) ++last_sendings;
    if (number == static_cast<std::uint16_t>(next)) {
      file.insert(file.end(), p.begin() + 4, p.end());
      ++next;
    }
    if (last && on_last != last_reply::kAck) {
      if (on_last == last_reply::kError3) answers.push_back(error(3));
      if (on_last == last_reply::kError8) answers.push_back(error(8));
      if (on_last == last_reply::kError1) answers.push_back(error(1));
      if (on_last == last_reply::kStaleAck) answers.push_back(packet(4, number - 1));
      return;
    }
    if (number == drop_ack_of_block) {
      drop_ack_of_block = -1;
      return;
    }
    answers.push_back(packet(4, number));
    if (duplicate_acks) answers.push_back(packet(4, number));
  }
  int receive(std::span<std::uint8_t> answer, int) override {
    ++waits;
    if (answers.empty()) return 0;
    const bytes a = answers.front();
    answers.pop_front();
    std::copy(a.begin(), a.end(), answer.begin());
    return static_cast<int>(a.size());
  }

  static bytes error(std::uint16_t code) {
    bytes e = packet(5, code);
    e.push_back(0);
    return e;
  }

  std::vector<bytes> sent;
  std::deque<bytes> answers;
  bytes file;
  std::uint32_t next = 1;
  int requests = 0;
  int last_sendings = 0;
  int waits = 0;
};

struct recording_observer : tftp_observer {
  void status(const std::string& text) override { texts.push_back(text); }
  void progress(int percent) override { percents.push_back(percent); }
  void pause(int ms) override { paused_ms += ms; }
  std::vector<std::string> texts;
  std::vector<int> percents;
  long paused_ms = 0;
};

bytes image_of(std::size_t size) {
  bytes image(size);
  for (std::size_t i = 0; i < size; ++i) image[i] = static_cast<std::uint8_t>(i * 13 + i / 509);
  return image;
}

TEST(TftpWrite, ImageGoesOutAsRequestFullBlocksAndAPossiblyEmptyLastBlock) {
  scripted_camera camera;
  recording_observer observer;
  const bytes image = image_of(1024);
  EXPECT_EQ(tftp_write(camera, observer, "C:\\images\\cam.img", image), tftp_outcome::kDone);
  using namespace std::string_literals;
  const std::string request = "\0\2cam.img\0octet\0tsize\0001024\0"s;
  ASSERT_EQ(camera.sent.size(), 4u);
  EXPECT_EQ(camera.sent[0], bytes(request.begin(), request.end()));
  const std::size_t sizes[] = {516, 516, 4};
  for (std::uint16_t b = 1; b <= 3; ++b) {
    EXPECT_EQ(camera.sent[b].size(), sizes[b - 1]);
    EXPECT_EQ(camera.sent[b][3], b);
  }
  EXPECT_EQ(camera.file, image);
  EXPECT_EQ(observer.texts.back(), kTextUpgradeDone);
}

// The window closes mid-transfer: the transfer sends no further block and never says the camera
// was upgraded, although every block the camera got was acknowledged.
TEST(TftpWrite, TransferToldToStopEndsFailedNotDone) {
  struct stopping_camera : scripted_camera {
    stop_flag* stop = nullptr;
    void send(std::span<const std::uint8_t> p) override {
      scripted_camera::send(p);
      if (next == 3) stop->request();
    }
  } camera;
  stop_flag stop;
  camera.stop = &stop;
  const stop_scope job(&stop);
  recording_observer observer;
  EXPECT_EQ(tftp_write(camera, observer, "cam.img", image_of(4000)), tftp_outcome::kFailed);
  EXPECT_EQ(observer.texts.back(), kTextUpgradeFailed);
  EXPECT_EQ(camera.next, 3u);
}

TEST(TftpWrite, ProgressIsPostedEveryHundredBlocks) {
  struct Row {
    std::size_t size;
    std::vector<int> percents;
  } rows[] = {{100 * 512 + 7, {0}}, {250 * 512, {0, 40, 80}}, {100, {}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    scripted_camera camera;
    recording_observer observer;
    tftp_write(camera, observer, "cam.img", image_of(row.size));
    EXPECT_EQ(observer.percents, row.percents);
  }
}

TEST(TftpWrite, EveryWayOfEndingShowsItsText) {
  struct Row {
    const char* name;
    bool plain_ack;
    last_reply on_last;
    const char* image_name;
    tftp_outcome outcome;
    std::string_view text;  // the last text shown
    int requests;
    int last_sendings;
  } rows[] = {
      {"done", false, last_reply::kAck, "cam.img", tftp_outcome::kDone, kTextUpgradeDone, 1, 1},
      {"patch", false, last_reply::kAck, "D:\\pkg\\patch.bin", tftp_outcome::kDone, kTextPatchDone,
       1, 1},
      {"plain_ack_refused", true, last_reply::kAck, "cam.img", tftp_outcome::kFailed,
       kTextUpgradeFailed, 30, 0},
      {"flash_full", false, last_reply::kError3, "cam.img", tftp_outcome::kFlashFull,
       kTextFlashFull, 1, 1},
      {"image_rejected", false, last_reply::kError8, "cam.img", tftp_outcome::kRejected,
       kTextImageRejected, 1, 1},
      {"other_error_no_text", false, last_reply::kError1, "cam.img", tftp_outcome::kOtherError,
       "正在升级.", 1, 1},
      {"silent_on_last_block", false, last_reply::kSilence, "cam.img", tftp_outcome::kFailed,
       kTextUpgradeFailed, 1, 30},
      {"stale_acks_on_last_block", false, last_reply::kStaleAck, "cam.img", tftp_outcome::kFailed,
       kTextUpgradeFailed, 1, 30},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    scripted_camera camera;
    camera.plain_ack_to_request = row.plain_ack;
    camera.on_last = row.on_last;
    recording_observer observer;
    EXPECT_EQ(tftp_write(camera, observer, row.image_name, image_of(1000)), row.outcome);
    ASSERT_FALSE(observer.texts.empty());
    EXPECT_EQ(observer.texts.back(), row.text);
    EXPECT_EQ(camera.requests, row.requests);
    EXPECT_EQ(camera.last_sendings, row.last_sendings);
    if (row.last_sendings == 30) {
      // Every sending waits ten rounds, each followed by a pause; the dots cycle 1..6.
      EXPECT_EQ(observer.paused_ms, 30L * 10 * 1000);
      EXPECT_EQ(observer.texts[5], "正在升级......");
      EXPECT_EQ(observer.texts[6], "正在升级.");
    }
  }
}

TEST(TftpWrite, LostAcknowledgementResendsTheBlock) {
  scripted_camera camera;
  camera.drop_ack_of_block = 2;
  recording_observer observer;
  const bytes image = image_of(3 * 512 + 1);
  EXPECT_EQ(tftp_write(camera, observer, "cam.img", image), tftp_outcome::kDone);
  EXPECT_EQ(camera.sent.size(), 6u);  // request, 1, 2, 2 again, 3, 4
  EXPECT_EQ(camera.file, image);
}

TEST(TftpWrite, RepeatedAcknowledgementsDoNotMakeTheBlocksGoOutAgain) {
  scripted_camera camera;
  camera.duplicate_acks = true;
  recording_observer observer;
  const bytes image = image_of(200 * 512 + 3);
  EXPECT_EQ(tftp_write(camera, observer, "cam.img", image), tftp_outcome::kDone);
  EXPECT_EQ(camera.sent.size(), 1u + 201);  // each block once
  EXPECT_EQ(camera.file, image);
}

TEST(TftpWrite, ImageOverThirtyTwoMebibytesRollsBlockNumbersOver) {
  scripted_camera camera;
  recording_observer observer;
  const bytes image = image_of(40u << 20);
  EXPECT_EQ(tftp_write(camera, observer, "big.img", image), tftp_outcome::kDone);
  EXPECT_EQ(camera.file, image);
  EXPECT_EQ(camera.sent.size(), 1u + (40u << 20) / 512 + 1);
  // Block 65536 goes out as 0, the one after as 1.
  EXPECT_EQ(camera.sent[65536][2], 0);
  EXPECT_EQ(camera.sent[65536][3], 0);
  EXPECT_EQ(camera.sent[65537][3], 1);
}

}  // namespace
}  // namespace mardo
