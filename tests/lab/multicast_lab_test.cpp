// The multicast channel's IP-change exchange and its receive checks, against
// simulated cameras.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "lab/lab.h"
#include "lab/line_console.h"
#include "net/multicast.h"
#include "net/tick.h"

namespace mardo {
namespace {

using lab::camera_t;
using lab::Lab;
using lab::lab_config_t;

using lab::console_scope;

camera_t cam(int segment, const char* mac, const char* ip, const char* extra) {
  camera_t c;
  c.segment = segment;
  c.mac = mac;
  c.ip = ip;
  c.extra_json = extra;
  return c;
}

std::string modify_request(const char* mac, const char* ip) {
  return std::string("{\n\"cmd\":\"modifyDevIp\",\n\"mac\":\"") + mac + "\",\n\"ip\":\"" + ip +
         "\",\n\"netmask\":\"255.255.255.0\",\n\"gateway\":\"192.0.2.254\"\n}";
}

struct timed_result {
  int result;
  std::uint64_t ms;
};

timed_result exchange(const Lab& lab, const char* local_ip, const char* mac, const char* ip) {
  lab::netns_scope in(lab.ws_netns());
  const std::uint64_t t0 = tick_ms();
  const int r = mc_exchange(local_ip, mac, modify_request(mac, ip).c_str());
  return {r, tick_ms() - t0};
}

TEST(McExchangeLab, ConfirmsOnTheRightAnswerAtOnce) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:ab:00:00:08:01", "192.0.2.81", R"("mc_mac":"02:ab:00:00:08:01")")};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  console_scope log;
  const auto r = exchange(lab, "192.0.2.1", "02:ab:00:00:08:01", "192.0.2.181");
  EXPECT_EQ(r.result, 1);
  EXPECT_LT(r.ms, 2000u);
  // Cameras send their answers to port 9982 whatever the request came from; the simulator
  // answers to the source, so only its log shows that the request really left from there.
  std::vector<std::string> sources;
  for (const auto& e : lab.events()) {
    if (e.channel == "mc") sources.push_back(e.src);
  }
  EXPECT_EQ(sources, std::vector<std::string>{"192.0.2.1:9982"});
  bool recv_line = false;
  for (const auto& l : log.console.lines()) {
    if (l.rfind("[192.0.2.1]Recv:uiIdentify=0x5abababa, uiDataLen=", 0) == 0 &&
        l.find("msg={") != std::string::npos && l.ends_with("}\r\n")) {
      recv_line = true;
    }
  }
  EXPECT_TRUE(recv_line);
}

TEST(McExchangeLab, AnswerSentToTheGroupAlsoConfirms) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:ab:00:00:08:02", "192.0.2.82",
                     R"("mc_mac":"02:ab:00:00:08:02","mc_reply_to":"group")")};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  EXPECT_EQ(exchange(lab, "192.0.2.1", "02:ab:00:00:08:02", "192.0.2.182").result, 1);
}

TEST(McExchangeLab, AnotherErrorTextOrLetterCaseWaitsOutAndFails) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:ab:00:00:08:03", "192.0.2.83",
                     R"("mc_mac":"02:ab:00:00:08:03","mc_modify_err":"ip conflict")"),
                 cam(0, "02:ab:00:00:08:04", "192.0.2.84", R"("mc_mac":"02:ab:00:00:08:04")")};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  auto r = exchange(lab, "192.0.2.1", "02:ab:00:00:08:03", "192.0.2.183");
  EXPECT_EQ(r.result, 0);
  EXPECT_GE(r.ms, 3000u);
  // The camera answers a request in either case, with its own lowercase text.
  r = exchange(lab, "192.0.2.1", "02:AB:00:00:08:04", "192.0.2.184");
  EXPECT_EQ(r.result, 0);
  EXPECT_GE(r.ms, 3000u);
  EXPECT_LT(r.ms, 3500u);
  bool answered = false;
  for (const auto& e : lab.events()) answered |= e.channel == "mc-sent" && e.camera == 1;
  EXPECT_TRUE(answered) << "the camera did answer; only the tool's exact match refused it";
}

TEST(McExchangeLab, NoAddressMeansNoSocketAndNoLine) {
  console_scope log;
  const std::uint64_t t0 = tick_ms();
  EXPECT_EQ(mc_exchange("0.0.0.0", "02:ab:00:00:08:05", "{}"), 0);
  EXPECT_LT(tick_ms() - t0, 100u);
  EXPECT_TRUE(log.console.lines().empty());
}

TEST(McExchangeLab, HeaderChecksLogAndDropAndTheExchangeGoesOn) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:ab:00:00:08:06", "192.0.2.86",
                     R"("mc_mac":"02:ab:00:00:08:06","mc_modify_answers":[)"
                     R"({"identify":305419896},{"delay_ms":50,"data_len":0},)"
                     R"({"delay_ms":100,"data_len":4000}])")};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  console_scope log;
  const auto r = exchange(lab, "192.0.2.1", "02:ab:00:00:08:06", "192.0.2.186");
  // The last answer's length field lies, yet its text runs to the datagram's
  // end.
  EXPECT_EQ(r.result, 1);
  const auto lines = log.console.lines();
  auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("[192.0.2.1]Recv:uiIdentify=0x12345678 error\r\n"));
  EXPECT_TRUE(has("[192.0.2.1]Recv:uiDataLen=0 error\r\n"));
}

TEST(McExchangeLab, ExchangesOnTwoAdaptersDoNotSeeEachOthersAnswers) {
  lab_config_t cfg;
  cfg.segments = {lab::segment_t{}, lab::segment_t{}};
  cfg.cameras = {cam(1, "02:ab:00:00:08:07", "198.51.100.87",
                     R"("mc_mac":"02:ab:00:00:08:07","mc_reply_to":"group")")};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  auto on_segment0 = std::async(std::launch::async, [&] {
    return exchange(lab, "192.0.2.1", "02:ab:00:00:08:07", "198.51.100.187");
  });
  auto on_segment1 = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return exchange(lab, "198.51.100.1", "02:ab:00:00:08:07", "198.51.100.187");
  });
  EXPECT_EQ(on_segment1.get().result, 1);
  EXPECT_EQ(on_segment0.get().result, 0) << "segment 1's group answer reached segment 0";
}

}  // namespace
}  // namespace mardo

namespace mardo {
namespace {

// A datagram larger than the 4096-byte buffer is dropped whole: were it cut to the buffer,
// this one would read as a confirmation.
TEST(McExchangeLab, DatagramLargerThanTheBufferIsDropped) {
  const std::string confirm =
      R"({"cmd":"modifyDevIpRsp","mac":"02:ab:00:00:08:08","errMsg":"noerror"})" +
      std::string(5000, ' ');
  std::string escaped;
  for (char c : confirm) {
    if (c == '"') escaped += '\\';
    escaped += c;
  }
  const std::string extra =
      R"("mc_mac":"02:ab:00:00:08:08","mc_modify_answers":[{"text":")" + escaped + R"("}])";
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:ab:00:00:08:08", "192.0.2.88", extra.c_str())};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  const auto r = exchange(lab, "192.0.2.1", "02:ab:00:00:08:08", "192.0.2.188");
  EXPECT_EQ(r.result, 0);
  EXPECT_GE(r.ms, 3000u);
  bool sent = false;
  for (const auto& e : lab.events()) sent |= e.channel == "mc-sent" && e.bytes.size() > 4096;
  EXPECT_TRUE(sent) << "the camera did send the oversized answer";
}

}  // namespace
}  // namespace mardo
