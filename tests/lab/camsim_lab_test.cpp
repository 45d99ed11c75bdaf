// The simulator and the lab on their own, without the tool's code: a hand-driven
// AF_PACKET station (and UDP sockets for the multicast channel) in the workstation
// namespace talks to camsim's cameras.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "lab/lab.h"

namespace mardo::lab {
namespace {

using bytes_t = std::vector<std::uint8_t>;
using steady = std::chrono::steady_clock;

const mac_bytes_t kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

bytes_t search_request(const mac_bytes_t& src) {
  return make_frame(kBroadcast, src, 0xFFF0, bytes_t(114, 0));
}

bytes_t ipv4_bytes(const std::string& text) {
  unsigned a, b, c, d;
  EXPECT_EQ(std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d), 4) << text;
  return {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(c),
          static_cast<std::uint8_t>(d)};
}

// The search answer written out from its field table, independent of camsim's builder.
bytes_t expected_search_answer(const mac_bytes_t& to, const Lab& lab, int n) {
  const camera_t& c = lab.camera(n);
  bytes_t f = make_frame(to, lab.camera_mac(n), 0xFFF1, ipv4_bytes(c.ip));
  f.resize(44, 0);
  f.insert(f.end(), c.text44.begin(), c.text44.end());
  f.resize(78, 0);
  f.insert(f.end(), c.version.begin(), c.version.end());
  f.push_back(0);
  f.insert(f.end(), c.model.begin(), c.model.end());
  f.push_back(0);
  return f;
}

std::string mac_key(const bytes_t& f, std::size_t at) {
  char buf[18];
  std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", f[at], f[at + 1], f[at + 2],
                f[at + 3], f[at + 4], f[at + 5]);
  return buf;
}

// Answers of one EtherType addressed to `to`, keyed by the sender's MAC, until `want`
// senders answered or the time ran out. A second answer of one sender is kept as well.
std::multimap<std::string, bytes_t> collect(const raw_port& port, const mac_bytes_t& to,
                                            std::uint16_t type, std::size_t want, int timeout_ms) {
  std::multimap<std::string, bytes_t> got;
  std::set<std::string> senders;
  auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
  while (senders.size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    if (left.count() <= 0) break;
    auto f = port.receive(static_cast<int>(left.count()), type);
    if (!f) break;
    if (!std::equal(to.begin(), to.end(), f->begin())) continue;
    senders.insert(mac_key(*f, 6));
    got.emplace(mac_key(*f, 6), *f);
  }
  return got;
}

std::size_t count_events(const std::vector<sim_event_t>& ev, const std::string& channel,
                         std::uint16_t type) {
  std::size_t n = 0;
  for (const sim_event_t& e : ev) n += e.channel == channel && e.ethertype == type;
  return n;
}

// What a command printed on its standard output.
std::string command_output(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
  }
  return out;
}

// A camera's IPv4 addresses and default route as `ip` shows them.
std::string interface_state(const Lab& lab, int camera) {
  return command_output("ip -n " + lab.camera_netns(camera) + " -4 -o addr show dev eth0; ip -n " +
                        lab.camera_netns(camera) + " -4 route show default");
}

#define REQUIRE_ROOT()                                                      \
  do {                                                                      \
    if (geteuid() != 0) {                                                   \
      if (running_in_ci()) FAIL() << "lab script tests need root (CI run)"; \
      GTEST_SKIP() << "lab script tests need root";                         \
    }                                                                       \
  } while (0)

// ---- the simulator's answers ----

TEST(CamsimLab, SearchGetsOneAnswerPerCameraWithTheTableBytes) {
  Lab lab({.cameras = {{.version = "V2.4.1 build 250101", .model = "BOX-1", .text44 = "ALG:face"},
                       {.version = "V1.0.0", .model = "DOME"},
                       {.version = "", .model = "", .text44 = std::string(34, 'T')}}});
  LAB_REQUIRE(lab);
  raw_port ws(lab.ws_netns(), lab.ws_ifname(0));
  ASSERT_TRUE(ws.ok());
  ASSERT_TRUE(ws.send(search_request(lab.ws_mac(0))));

  auto answers = collect(ws, lab.ws_mac(0), 0xFFF1, 3, 3000);
  ASSERT_EQ(answers.size(), 3u);
  for (int n = 0; n < 3; ++n) {
    SCOPED_TRACE("camera " + std::to_string(n));
    ASSERT_EQ(answers.count(lab.camera(n).mac), 1u);
    EXPECT_EQ(answers.find(lab.camera(n).mac)->second,
              expected_search_answer(lab.ws_mac(0), lab, n));
  }
  // The request is in every camera's log as received, 128 bytes, from the workstation.
  // The answer can arrive before camsim has logged sending it.
  auto ev = lab.wait_events(
      [](auto& e) {
        return count_events(e, "raw", 0xFFF0) >= 3 && count_events(e, "raw-sent", 0xFFF1) >= 3;
      },
      2000);
  ASSERT_EQ(count_events(ev, "raw", 0xFFF0), 3u);
  EXPECT_EQ(count_events(ev, "raw-sent", 0xFFF1), 3u);
  for (const sim_event_t& e : ev) {
    if (e.channel != "raw") continue;
    EXPECT_EQ(e.len, 128u);
    EXPECT_EQ(e.bytes, search_request(lab.ws_mac(0)));
    EXPECT_EQ(e.src, "02:00:00:00:ff:00");
    EXPECT_EQ(e.mac, lab.camera(e.camera).mac);
  }
}

TEST(CamsimLab, CameraOnAnotherSegmentDoesNotHearTheSearch) {
  Lab lab({.segments = {{}, {}}, .cameras = {{.segment = 0}, {.segment = 1}}});
  LAB_REQUIRE(lab);
  raw_port ws0(lab.ws_netns(), lab.ws_ifname(0));
  raw_port ws1(lab.ws_netns(), lab.ws_ifname(1));
  ASSERT_TRUE(ws0.ok() && ws1.ok());
  ASSERT_TRUE(ws0.send(search_request(lab.ws_mac(0))));

  auto on0 = collect(ws0, lab.ws_mac(0), 0xFFF1, 2, 1000);
  ASSERT_EQ(on0.size(), 1u);
  EXPECT_EQ(on0.begin()->first, lab.camera(0).mac);
  EXPECT_FALSE(ws1.receive(200, 0xFFF1)) << "segment 1 got an answer to a search on segment 0";
  auto ev = lab.events();
  for (const sim_event_t& e : ev) EXPECT_EQ(e.camera, 0) << "camera 1 heard " << e.channel;

  ASSERT_TRUE(ws1.send(search_request(lab.ws_mac(1))));
  auto on1 = collect(ws1, lab.ws_mac(1), 0xFFF1, 1, 2000);
  ASSERT_EQ(on1.size(), 1u);
  EXPECT_EQ(on1.begin()->first, lab.camera(1).mac);
  EXPECT_EQ(on1.begin()->second, expected_search_answer(lab.ws_mac(1), lab, 1));
}

TEST(CamsimLab, IpQueryAnswerCarriesTheConfiguredLengthField) {
  Lab lab({.cameras = {{.gateway = "192.0.2.1"},
                       {.prefix = 23, .gateway = "192.0.2.254", .ip_query_len_field = 40},
                       {.ip_query = false}}});
  LAB_REQUIRE(lab);
  raw_port ws(lab.ws_netns(), lab.ws_ifname(0));
  ASSERT_TRUE(ws.ok());
  const struct {
    int camera;
    bytes_t length_and_payload;
  } rows[] = {
      {0, {12, 0, 192, 0, 2, 10, 255, 255, 255, 0, 192, 0, 2, 1}},
      {1, {40, 0, 192, 0, 2, 11, 255, 255, 254, 0, 192, 0, 2, 254}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("camera " + std::to_string(row.camera));
    ASSERT_TRUE(
        ws.send(make_frame(lab.camera_mac(row.camera), lab.ws_mac(0), 0xFFF8, bytes_t(12, 0))));
    auto answers = collect(ws, lab.ws_mac(0), 0xFFF8, 1, 2000);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers.begin()->first, lab.camera(row.camera).mac);
    bytes_t want =
        make_frame(lab.ws_mac(0), lab.camera_mac(row.camera), 0xFFF8, row.length_and_payload);
    EXPECT_EQ(answers.begin()->second, want);
  }
  ASSERT_TRUE(ws.send(make_frame(lab.camera_mac(2), lab.ws_mac(0), 0xFFF8, bytes_t(12, 0))));
  EXPECT_FALSE(ws.receive(300, 0xFFF8)) << "ip_query=false answered";
  auto ev = lab.wait_events([](auto& e) { return count_events(e, "raw", 0xFFF8) >= 3; }, 2000);
  EXPECT_EQ(count_events(ev, "raw", 0xFFF8), 3u) << "the unanswered query is still recorded";
}

TEST(CamsimLab, CommandFramesAreRecordedByteForByte) {
  Lab lab({.cameras = {{}, {}}});
  LAB_REQUIRE(lab);
  raw_port ws(lab.ws_netns(), lab.ws_ifname(0));
  ASSERT_TRUE(ws.ok());
  bytes_t shell_payload = {11, 0};
  std::string text = "echo hello";
  shell_payload.insert(shell_payload.end(), text.begin(), text.end());
  shell_payload.push_back(0);
  const std::vector<bytes_t> frames = {
      make_frame(lab.camera_mac(0), lab.ws_mac(0), 0xFFF1),  // reboot: header only
      make_frame(lab.camera_mac(0), lab.ws_mac(0), 0xFFF3, bytes_t(16, 0x5A)),
      make_frame(lab.camera_mac(0), lab.ws_mac(0), 0xFFF4),
      make_frame(lab.camera_mac(0), lab.ws_mac(0), 0xFFF7, shell_payload),
  };
  for (const bytes_t& f : frames) ASSERT_TRUE(ws.send(f));

  auto ev = lab.wait_events([](auto& e) { return e.size() >= 4; }, 2000);
  ASSERT_EQ(ev.size(), 4u);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(ev[i].camera, 0) << "only the addressed camera records it";
    EXPECT_EQ(ev[i].channel, "raw");
    EXPECT_EQ(ev[i].len, frames[i].size()) << "no padding on the way";
    EXPECT_EQ(ev[i].bytes, frames[i]);
    EXPECT_EQ(ev[i].ethertype, frames[i][12] << 8 | frames[i][13]);
  }
  EXPECT_EQ(ev[0].len, 14u);
  EXPECT_FALSE(ws.receive(200, 0xFFF1)) << "a reboot is not answered";
}

TEST(CamsimLab, SearchAnswerLenCutsAndPadsTheFrame) {
  Lab lab({.cameras = {{.search_answer_len = 60}, {.search_answer_len = 200}, {}}});
  LAB_REQUIRE(lab);
  raw_port ws(lab.ws_netns(), lab.ws_ifname(0));
  ASSERT_TRUE(ws.ok());
  ASSERT_TRUE(ws.send(search_request(lab.ws_mac(0))));
  auto answers = collect(ws, lab.ws_mac(0), 0xFFF1, 3, 3000);
  ASSERT_EQ(answers.size(), 3u);

  bytes_t natural0 = expected_search_answer(lab.ws_mac(0), lab, 0);
  const bytes_t& cut = answers.find(lab.camera(0).mac)->second;
  ASSERT_EQ(cut.size(), 60u);
  EXPECT_EQ(cut, bytes_t(natural0.begin(), natural0.begin() + 60));

  bytes_t padded_want = expected_search_answer(lab.ws_mac(0), lab, 1);
  padded_want.resize(200, 0);
  EXPECT_EQ(answers.find(lab.camera(1).mac)->second, padded_want);
  EXPECT_EQ(answers.find(lab.camera(2).mac)->second.size(), 78u + 7 + 4);
}

TEST(CamsimLab, SilentCameraStillRecordsTheSearch) {
  Lab lab({.cameras = {{.raw_search = false}, {}}});
  LAB_REQUIRE(lab);
  raw_port ws(lab.ws_netns(), lab.ws_ifname(0));
  ASSERT_TRUE(ws.ok());
  ASSERT_TRUE(ws.send(search_request(lab.ws_mac(0))));
  auto answers = collect(ws, lab.ws_mac(0), 0xFFF1, 2, 1000);
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers.begin()->first, lab.camera(1).mac);
  auto ev = lab.wait_events([](auto& e) { return count_events(e, "raw", 0xFFF0) >= 2; }, 2000);
  EXPECT_EQ(count_events(ev, "raw", 0xFFF0), 2u);
}

TEST(CamsimLab, SetIpChangesLaterAnswersAndTheInterface) {
  Lab lab({.cameras = {{.gateway = "192.0.2.1"}}});
  LAB_REQUIRE(lab);
  raw_port ws(lab.ws_netns(), lab.ws_ifname(0));
  ASSERT_TRUE(ws.ok());
  bytes_t values = {192, 0, 2, 77, 255, 255, 255, 128, 192, 0, 2, 126};
  ASSERT_TRUE(ws.send(make_frame(lab.camera_mac(0), lab.ws_mac(0), 0xFFF2, values)));
  ASSERT_EQ(
      lab.wait_events([](auto& e) { return count_events(e, "raw", 0xFFF2) >= 1; }, 2000).size(),
      1u);

  ASSERT_TRUE(ws.send(make_frame(lab.camera_mac(0), lab.ws_mac(0), 0xFFF8, bytes_t(12, 0))));
  auto query = collect(ws, lab.ws_mac(0), 0xFFF8, 1, 2000);
  ASSERT_EQ(query.size(), 1u);
  bytes_t answer_payload(query.begin()->second.begin() + 16, query.begin()->second.end());
  EXPECT_EQ(answer_payload, values);

  ASSERT_TRUE(ws.send(search_request(lab.ws_mac(0))));
  auto search = collect(ws, lab.ws_mac(0), 0xFFF1, 1, 2000);
  ASSERT_EQ(search.size(), 1u);
  EXPECT_EQ(bytes_t(search.begin()->second.begin() + 14, search.begin()->second.begin() + 18),
            (bytes_t{192, 0, 2, 77}));

  // The camera's interface moved too, and kept its on-link default route.
  const std::string out = interface_state(lab, 0);
  EXPECT_NE(out.find("inet 192.0.2.77/25"), std::string::npos) << out;
  EXPECT_EQ(out.find("192.0.2.10/"), std::string::npos) << out;
  EXPECT_NE(out.find("default dev eth0"), std::string::npos) << out;
}

TEST(CamsimLab, ReplyDelayHoldsTheAnswerBack) {
  Lab lab({.cameras = {{.reply_delay_ms = 600}, {}}});
  LAB_REQUIRE(lab);
  raw_port ws(lab.ws_netns(), lab.ws_ifname(0));
  ASSERT_TRUE(ws.ok());
  auto sent = steady::now();
  ASSERT_TRUE(ws.send(search_request(lab.ws_mac(0))));
  std::map<std::string, std::chrono::milliseconds> arrival;
  while (arrival.size() < 2) {
    auto f = ws.receive(5000, 0xFFF1);
    if (!f) break;
    arrival[mac_key(*f, 6)] =
        std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - sent);
  }
  ASSERT_EQ(arrival.size(), 2u);
  EXPECT_GE(arrival[lab.camera(0).mac].count(), 550);
  EXPECT_LT(arrival[lab.camera(1).mac].count(), arrival[lab.camera(0).mac].count());
}

TEST(CamsimLab, EveryCameraOfTwoFullSegmentsAnswersABurst) {
  lab_config_t cfg{.segments = {{}, {}}};
  for (int seg = 0; seg < 2; ++seg) {
    for (int i = 0; i < 254; ++i) {
      // 253 free hosts per /24 beside the workstation: one address is shared, which the
      // raw channel does not mind.
      std::string net = seg == 0 ? "192.0.2." : "198.51.100.";
      cfg.cameras.push_back({.segment = seg, .ip = net + std::to_string(2 + i % 253)});
    }
  }
  Lab lab(std::move(cfg));
  LAB_REQUIRE(lab);
  raw_port ws0(lab.ws_netns(), lab.ws_ifname(0));
  raw_port ws1(lab.ws_netns(), lab.ws_ifname(1));
  ASSERT_TRUE(ws0.ok() && ws1.ok());
  // Three searches on each segment back to back, as the tool sends them.
  for (int pass = 0; pass < 3; ++pass) {
    ASSERT_TRUE(ws0.send(search_request(lab.ws_mac(0))));
    ASSERT_TRUE(ws1.send(search_request(lab.ws_mac(1))));
  }
  auto a0 = collect(ws0, lab.ws_mac(0), 0xFFF1, 254, 10000);
  auto a1 = collect(ws1, lab.ws_mac(1), 0xFFF1, 254, 10000);
  std::set<std::string> s0, s1;
  for (auto& [mac, f] : a0) s0.insert(mac);
  for (auto& [mac, f] : a1) s1.insert(mac);
  EXPECT_EQ(s0.size(), 254u);
  EXPECT_EQ(s1.size(), 254u);
  for (int n = 0; n < 508; ++n) {
    const std::set<std::string>& s = n < 254 ? s0 : s1;
    EXPECT_EQ(s.count(lab.camera(n).mac), 1u) << "camera " << n << " missing";
  }
  auto ev = lab.wait_events([](auto& e) { return count_events(e, "raw-sent", 0xFFF1) >= 3 * 508; },
                            10000);
  EXPECT_EQ(count_events(ev, "raw", 0xFFF0), 3u * 508);
  EXPECT_EQ(count_events(ev, "raw-sent", 0xFFF1), 3u * 508);
}

TEST(CamsimLab, InjectedFrameReachesTheWorkstationAndIsNotRecorded) {
  Lab lab({.cameras = {{}}});
  LAB_REQUIRE(lab);
  raw_port ws(lab.ws_netns(), lab.ws_ifname(0));
  ASSERT_TRUE(ws.ok());
  bytes_t frame = make_frame(lab.ws_mac(0), lab.camera_mac(0), 0xFFF6, {1, 2, 3});
  ASSERT_TRUE(lab.inject(0, frame));
  auto got = ws.receive(2000, 0xFFF6);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, frame);
  EXPECT_TRUE(lab.wait_events([](auto& e) { return !e.empty(); }, 300).empty())
      << "camsim took its own camera's frame for a received one";
  EXPECT_FALSE(lab.inject(5, frame)) << "no camera 5";
}

// ---- the multicast channel ----

constexpr std::uint32_t kMcIdentify = 0x5ABABABA;
const char kMcSearch[] = R"({"cmd":"devSearch", "type":1})";

// Header from its field table: identify and text length, both little-endian.
bytes_t mc_datagram(const std::string& text, std::uint32_t identify = kMcIdentify,
                    std::optional<std::uint32_t> length = std::nullopt) {
  bytes_t d;
  for (std::uint32_t v : {identify, length.value_or(static_cast<std::uint32_t>(text.size()))}) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  d.insert(d.end(), text.begin(), text.end());
  return d;
}

std::uint32_t le32_at(const bytes_t& d, std::size_t at) {
  return std::uint32_t{d.at(at)} | std::uint32_t{d.at(at + 1)} << 8 |
         std::uint32_t{d.at(at + 2)} << 16 | std::uint32_t{d.at(at + 3)} << 24;
}

std::string text_after_header(const bytes_t& d) {
  return d.size() < 8 ? std::string() : std::string(d.begin() + 8, d.end());
}

// The search answer text written out member by member, independent of camsim's builder.
std::string search_rsp(const std::string& mac, const std::string& ip, const std::string& netmask,
                       const std::string& gateway, const std::string& version,
                       const std::string& model) {
  return R"({"cmd":"devSearchRsp","type":1,"mac":")" + mac + R"(","ip":")" + ip +
         R"(","netmask":")" + netmask + R"(","gateway":")" + gateway + R"(","version":")" +
         version + R"(","model":")" + model + "\"}";
}

// The tool's IP-change request: one member a line, nothing escaped.
std::string modify_request(const std::string& mac, const std::string& ip,
                           const std::string& netmask, const std::string& gateway) {
  return "{\n\"cmd\":\"modifyDevIp\",\n\"mac\":\"" + mac + "\",\n\"ip\":\"" + ip +
         "\",\n\"netmask\":\"" + netmask + "\",\n\"gateway\":\"" + gateway + "\"\n}";
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The tool's side of the channel on one segment, by hand: requests leave from
// <ws address>:9982, where unicast answers arrive; a second socket bound to
// 224.0.0.99:9982 and joined on the segment's interface only gets the group answers.
class mc_station {
 public:
  struct answer_t {
    bytes_t payload;
    std::string from;  // "ip:port"
    bool to_group = false;
    steady::time_point at;
  };

  mc_station(const Lab& lab, int segment) {
    netns_scope in(lab.ws_netns());
    in_addr local{};
    inet_pton(AF_INET, lab.ws_ip(segment).c_str(), &local);
    in_addr group{};
    inet_pton(AF_INET, "224.0.0.99", &group);
    unicast_ = open_socket(local);
    group_ = open_socket(group);
    if (unicast_ < 0 || group_ < 0) return;
    int ttl = 1;
    int off = 0;
    ip_mreq membership{group, local};
    ok_ = setsockopt(unicast_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) == 0 &&
          setsockopt(unicast_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
          setsockopt(group_, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) == 0 &&
          setsockopt(group_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
  }
  ~mc_station() {
    if (unicast_ >= 0) ::close(unicast_);
    if (group_ >= 0) ::close(group_);
  }
  mc_station(const mc_station&) = delete;
  mc_station& operator=(const mc_station&) = delete;

  bool ok() const { return ok_; }

  // To 224.0.0.99:9981, or to `to` (a camera's address) port 9981.
  bool send(const bytes_t& datagram, const std::string& to = "224.0.0.99") const {
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(9981);
    inet_pton(AF_INET, to.c_str(), &dst.sin_addr);
    return sendto(unicast_, datagram.data(), datagram.size(), 0,
                  reinterpret_cast<const sockaddr*>(&dst),
                  sizeof dst) == static_cast<ssize_t>(datagram.size());
  }

  // Answers on either socket until `want` arrived or timeout_ms passed.
  std::vector<answer_t> collect(std::size_t want, int timeout_ms) const {
    std::vector<answer_t> got;
    auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<std::uint8_t> buf(65536);
    while (got.size() < want) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
      if (left.count() <= 0) break;
      pollfd p[2] = {{unicast_, POLLIN, 0}, {group_, POLLIN, 0}};
      int n = poll(p, 2, static_cast<int>(left.count()));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        ssize_t len = recvfrom(p[i].fd, buf.data(), buf.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &from_len);
        if (len < 0) continue;
        char ip[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        got.push_back({bytes_t(buf.begin(), buf.begin() + len),
                       std::string(ip) + ":" + std::to_string(ntohs(from.sin_port)), i == 1,
                       steady::now()});
      }
    }
    return got;
  }

 private:
  static int open_socket(in_addr addr) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int on = 1;
    // Room for the answers of two full segments at once.
    int size = 8 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(9982);
    local.sin_addr = addr;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }

  int unicast_ = -1;
  int group_ = -1;
  bool ok_ = false;
};

// The answers keyed by the camera address they came from ("192.0.2.10:9981").
std::multimap<std::string, mc_station::answer_t> by_sender(
    const std::vector<mc_station::answer_t>& answers) {
  std::multimap<std::string, mc_station::answer_t> out;
  for (const auto& a : answers) out.emplace(a.from, a);
  return out;
}

std::size_t count_channel(const std::vector<sim_event_t>& ev, const std::string& channel) {
  std::size_t n = 0;
  for (const sim_event_t& e : ev) n += e.channel == channel;
  return n;
}


TEST(CamsimLab, McSearchIsAnsweredToTheRequesterOrTheGroup) {
  Lab lab(
      {.cameras = {{.mac = "02:00:5e:0a:0b:0c", .version = "V2.4.1 build 250101", .model = "BOX-1"},
                   {.gateway = "192.0.2.1", .extra_json = R"("mc_reply_to":"group")"},
                   {.extra_json = R"("mc_search":false)"}}});
  LAB_REQUIRE(lab);
  mc_station ws(lab, 0);
  ASSERT_TRUE(ws.ok());
  ASSERT_TRUE(ws.send(mc_datagram(kMcSearch)));
  auto answers = by_sender(ws.collect(3, 1000));
  ASSERT_EQ(answers.size(), 2u) << "mc_search=false must stay silent";

  ASSERT_EQ(answers.count("192.0.2.10:9981"), 1u);
  const auto& unicast = answers.find("192.0.2.10:9981")->second;
  EXPECT_FALSE(unicast.to_group);
  std::string text0 = search_rsp("02:00:5E:0A:0B:0C", "192.0.2.10", "255.255.255.0", "0.0.0.0",
                                 "V2.4.1 build 250101", "BOX-1");
  EXPECT_EQ(unicast.payload, mc_datagram(text0)) << "default mac text: uppercase with \":\"";
  EXPECT_EQ(le32_at(unicast.payload, 0), kMcIdentify);
  EXPECT_EQ(le32_at(unicast.payload, 4), unicast.payload.size() - 8);

  ASSERT_EQ(answers.count("192.0.2.11:9981"), 1u);
  const auto& group = answers.find("192.0.2.11:9981")->second;
  EXPECT_TRUE(group.to_group);
  std::string text1 = search_rsp(upper(lab.camera(1).mac), "192.0.2.11", "255.255.255.0",
                                 "192.0.2.1", "V1.0.0", "IPC");
  EXPECT_EQ(group.payload, mc_datagram(text1));

  // Every camera recorded the request; the two answers are recorded with where they went.
  auto ev = lab.wait_events(
      [](auto& e) { return count_channel(e, "mc") >= 3 && count_channel(e, "mc-sent") >= 2; },
      2000);
  ASSERT_EQ(count_channel(ev, "mc"), 3u);
  ASSERT_EQ(count_channel(ev, "mc-sent"), 2u);
  std::map<int, std::string> sent_to;
  for (const sim_event_t& e : ev) {
    SCOPED_TRACE(e.channel + " of camera " + std::to_string(e.camera));
    EXPECT_EQ(e.mac, lab.camera(e.camera).mac);
    if (e.channel == "mc") {
      EXPECT_EQ(e.src, "192.0.2.1:9982");
      EXPECT_EQ(e.len, 37u);
      EXPECT_EQ(e.bytes, mc_datagram(kMcSearch));
      EXPECT_EQ(e.text(), kMcSearch);
    } else {
      sent_to[e.camera] = e.dst;
      EXPECT_EQ(e.len, e.bytes.size());
      EXPECT_EQ(e.text(), e.camera == 0 ? text0 : text1);
    }
  }
  EXPECT_EQ(sent_to, (std::map<int, std::string>{{0, "192.0.2.1:9982"}, {1, "224.0.0.99:9982"}}));
}

TEST(CamsimLab, McAnswerListShapesEachAnswer) {
  Lab lab({.cameras = {
               {.extra_json = R"("mc_answers":[{},
                  {"delay_ms":600,"to":"group","ip":"198.51.100.9","model":7},
                  {"identify":305419896,"data_len":3},
                  {"text":"not json, \"quoted\"","data_len":0}])"},
               {.reply_delay_ms = 300, .extra_json = R"("mc_answers":[{"delay_ms":200}])"},
           }});
  LAB_REQUIRE(lab);
  mc_station ws(lab, 0);
  ASSERT_TRUE(ws.ok());
  auto sent = steady::now();
  ASSERT_TRUE(ws.send(mc_datagram(kMcSearch)));
  auto got = ws.collect(5, 4000);
  ASSERT_EQ(got.size(), 5u);
  auto answers = by_sender(got);
  auto since = [&](const mc_station::answer_t& a) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(a.at - sent).count();
  };

  std::vector<mc_station::answer_t> cam0;
  for (auto [it, end] = answers.equal_range("192.0.2.10:9981"); it != end; ++it) {
    cam0.push_back(it->second);
  }
  ASSERT_EQ(cam0.size(), 4u);
  std::string natural = search_rsp(upper(lab.camera(0).mac), "192.0.2.10", "255.255.255.0",
                                   "0.0.0.0", "V1.0.0", "IPC");
  // The three undelayed answers keep their list order; the delayed one comes last.
  EXPECT_EQ(cam0[0].payload, mc_datagram(natural));
  EXPECT_EQ(cam0[1].payload, mc_datagram(natural, 0x12345678, 3))
      << "the header lies, the datagram still carries the whole text";
  EXPECT_EQ(cam0[2].payload, mc_datagram("not json, \"quoted\"", kMcIdentify, 0));
  const auto& late = cam0[3];
  EXPECT_TRUE(late.to_group);
  EXPECT_EQ(text_after_header(late.payload),
            R"({"cmd":"devSearchRsp","type":1,"mac":")" + upper(lab.camera(0).mac) +
                R"(","ip":"198.51.100.9","netmask":"255.255.255.0","gateway":"0.0.0.0",)"
                R"("version":"V1.0.0","model":7})");
  EXPECT_GE(since(late), 550);
  EXPECT_LT(since(cam0[0]), 550);

  ASSERT_EQ(answers.count("192.0.2.11:9981"), 1u);
  EXPECT_GE(since(answers.find("192.0.2.11:9981")->second), 450)
      << "reply_delay_ms adds to the answer's own delay";
}

TEST(CamsimLab, McModifyMatchesTheMacIgnoringCaseAndMovesTheCamera) {
  Lab lab(
      {.cameras = {{.mac = "02:ab:01:00:00:01"},
                   {.mac = "02:ab:01:00:00:02", .extra_json = R"("mc_modify_err":"busy")"},
                   {.mac = "02:ab:01:00:00:03", .extra_json = R"("mc_mac":"02-ab-01-00-00-03")"},
                   {.mac = "02:ab:01:00:00:04", .extra_json = R"("mc_modify":false)"}}});
  LAB_REQUIRE(lab);
  mc_station ws(lab, 0);
  ASSERT_TRUE(ws.ok());
  const struct {
    const char* name;
    std::string request_mac;
    std::string answer;  // empty: no answer
  } rows[] = {
      {"lowercase_request_for_uppercase_camera", "02:ab:01:00:00:01",
       R"({"cmd":"modifyDevIpRsp","mac":"02:AB:01:00:00:01","errMsg":"noerror"})"},
      {"camera_reports_an_error", "02:AB:01:00:00:02",
       R"({"cmd":"modifyDevIpRsp","mac":"02:AB:01:00:00:02","errMsg":"busy"})"},
      {"camera_writes_lowercase_dashes", "02:AB:01:00:00:03",
       R"({"cmd":"modifyDevIpRsp","mac":"02-ab-01-00-00-03","errMsg":"noerror"})"},
      {"camera_ignores_ip_changes", "02:AB:01:00:00:04", ""},
      {"no_such_camera", "02:AB:01:00:00:05", ""},
  };
  int camera = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string new_ip = "192.0.2." + std::to_string(70 + camera++);
    ASSERT_TRUE(ws.send(
        mc_datagram(modify_request(row.request_mac, new_ip, "255.255.255.128", "192.0.2.126"))));
    auto got = ws.collect(1, row.answer.empty() ? 400 : 2000);
    if (row.answer.empty()) {
      EXPECT_TRUE(got.empty());
      continue;
    }
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(ws.collect(1, 200).empty()) << "only the camera with that MAC answers";
    EXPECT_EQ(got[0].payload, mc_datagram(row.answer));
    EXPECT_FALSE(got[0].to_group);
  }

  // Later searches see what each camera made of the request.
  ASSERT_TRUE(ws.send(mc_datagram(kMcSearch)));
  auto answers = by_sender(ws.collect(4, 2000));
  ASSERT_EQ(answers.size(), 4u);
  const struct {
    int camera;
    std::string from, ip, netmask, gateway;
  } after[] = {
      {0, "192.0.2.70:9981", "192.0.2.70", "255.255.255.128", "192.0.2.126"},
      {1, "192.0.2.11:9981", "192.0.2.11", "255.255.255.0", "0.0.0.0"},
      {2, "192.0.2.72:9981", "192.0.2.72", "255.255.255.128", "192.0.2.126"},
      {3, "192.0.2.13:9981", "192.0.2.13", "255.255.255.0", "0.0.0.0"},
  };
  for (const auto& row : after) {
    SCOPED_TRACE("camera " + std::to_string(row.camera));
    ASSERT_EQ(answers.count(row.from), 1u) << "the answer leaves from the camera's address now";
    std::string mac = row.camera == 2 ? "02-ab-01-00-00-03" : upper(lab.camera(row.camera).mac);
    EXPECT_EQ(text_after_header(answers.find(row.from)->second.payload),
              search_rsp(mac, row.ip, row.netmask, row.gateway, "V1.0.0", "IPC"));
  }
  std::string moved = interface_state(lab, 0);
  EXPECT_NE(moved.find("inet 192.0.2.70/25"), std::string::npos) << moved;
  EXPECT_EQ(moved.find("192.0.2.10/"), std::string::npos) << moved;
  EXPECT_NE(moved.find("default dev eth0"), std::string::npos) << moved;
  std::string kept = interface_state(lab, 1);
  EXPECT_NE(kept.find("inet 192.0.2.11/24"), std::string::npos) << kept;
}

TEST(CamsimLab, McAnswersReachAWorkstationInAnotherSubnet) {
  Lab lab({.segments = {{.ws_ip = "203.0.113.1", .prefix = 24}},
           .cameras = {{.ip = "192.0.2.10"},
                       {.ip = "198.51.100.20", .prefix = 25},
                       {.ip = "192.0.2.30", .extra_json = R"("mc_reply_to":"group")"}}});
  LAB_REQUIRE(lab);
  mc_station ws(lab, 0);
  ASSERT_TRUE(ws.ok());
  ASSERT_TRUE(ws.send(mc_datagram(kMcSearch)));
  auto answers = by_sender(ws.collect(3, 3000));
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_FALSE(answers.find("192.0.2.10:9981")->second.to_group);
  EXPECT_FALSE(answers.find("198.51.100.20:9981")->second.to_group);
  EXPECT_TRUE(answers.find("192.0.2.30:9981")->second.to_group);

  // An IP change across subnets is confirmed to the requester as well.
  ASSERT_TRUE(ws.send(mc_datagram(
      modify_request(upper(lab.camera(0).mac), "203.0.113.50", "255.255.255.0", "203.0.113.1"))));
  auto got = ws.collect(1, 2000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].from, "192.0.2.10:9981") << "the camera confirms before it moves";
  EXPECT_EQ(
      text_after_header(got[0].payload),
      R"({"cmd":"modifyDevIpRsp","mac":")" + upper(lab.camera(0).mac) + R"(","errMsg":"noerror"})");
  ASSERT_TRUE(ws.send(mc_datagram(kMcSearch)));
  EXPECT_EQ(by_sender(ws.collect(3, 3000)).count("203.0.113.50:9981"), 1u)
      << "and answers from the workstation's own subnet afterwards";
}

TEST(CamsimLab, McDatagramsOutsideTheProtocolAreRecordedNotAnswered) {
  Lab lab({.cameras = {{}, {}}});
  LAB_REQUIRE(lab);
  mc_station ws(lab, 0);
  ASSERT_TRUE(ws.ok());
  const std::vector<bytes_t> requests = {
      mc_datagram(kMcSearch, 0x5ABABABB),       mc_datagram(kMcSearch, kMcIdentify, 0),
      mc_datagram(kMcSearch, kMcIdentify, 100), mc_datagram("devSearch"),
      mc_datagram(R"({"cmd":"reboot"})"),       bytes_t{0xBA, 0xBA},
  };
  for (const bytes_t& d : requests) ASSERT_TRUE(ws.send(d));
  EXPECT_TRUE(ws.collect(1, 500).empty());
  auto ev = lab.wait_events([&](auto& e) { return count_channel(e, "mc") >= 12; }, 2000);
  ASSERT_EQ(count_channel(ev, "mc"), 12u) << "each camera records every datagram";
  EXPECT_EQ(count_channel(ev, "mc-sent"), 0u);
  std::vector<bytes_t> seen_by_0;
  for (const sim_event_t& e : ev) {
    if (e.camera != 0) continue;
    seen_by_0.push_back(e.bytes);
    EXPECT_EQ(e.len, e.bytes.size());
  }
  EXPECT_EQ(seen_by_0, requests);

  // A request to a camera's own address is a request too.
  ASSERT_TRUE(ws.send(mc_datagram(kMcSearch), "192.0.2.11"));
  auto got = ws.collect(1, 1000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].from, "192.0.2.11:9981");
  EXPECT_TRUE(ws.collect(1, 200).empty()) << "only that camera heard it";
}

TEST(CamsimLab, EveryCameraOfTwoFullSegmentsAnswersOneMcSearch) {
  // The workstation outside the cameras' /24s, so each segment holds 254 cameras with
  // addresses of their own; half answer to the requester, half to the group.
  lab_config_t cfg{
      .segments = {{.ws_ip = "203.0.113.1", .prefix = 32}, {.ws_ip = "203.0.113.2", .prefix = 32}}};
  for (int seg = 0; seg < 2; ++seg) {
    for (int host = 1; host <= 254; ++host) {
      std::string net = seg == 0 ? "192.0.2." : "198.51.100.";
      cfg.cameras.push_back({.segment = seg,
                             .ip = net + std::to_string(host),
                             .extra_json = host % 2 ? R"("mc_reply_to":"group")" : ""});
    }
  }
  Lab lab(std::move(cfg));
  LAB_REQUIRE(lab);
  mc_station ws0(lab, 0);
  mc_station ws1(lab, 1);
  ASSERT_TRUE(ws0.ok() && ws1.ok());
  ASSERT_TRUE(ws0.send(mc_datagram(kMcSearch)));
  ASSERT_TRUE(ws1.send(mc_datagram(kMcSearch)));
  auto got0 = ws0.collect(254, 10000);
  auto got1 = ws1.collect(254, 10000);
  auto a0 = by_sender(got0);
  auto a1 = by_sender(got1);
  std::size_t group = 0;
  for (int n = 0; n < 508; ++n) {
    const auto& answers = n < 254 ? a0 : a1;
    std::string from = lab.camera(n).ip + ":9981";
    ASSERT_EQ(answers.count(from), 1u) << "camera " << n << " (" << from << ")";
    const auto& a = answers.find(from)->second;
    group += a.to_group;
    EXPECT_EQ(a.to_group, (n % 254) % 2 == 0) << "camera " << n;
  }
  EXPECT_EQ(got0.size() + got1.size(), 508u);
  EXPECT_EQ(group, 254u);
  auto ev = lab.wait_events([](auto& e) { return count_channel(e, "mc-sent") >= 508; }, 10000);
  EXPECT_EQ(count_channel(ev, "mc"), 508u);
  EXPECT_EQ(count_channel(ev, "mc-sent"), 508u);
}

// ---- the fixture and the lab script ----

TEST(LabFixture, BuildsTheRequestedTopology) {
  Lab lab(
      {.segments = {{.ws_more_ips = {"198.51.100.1/24"}, .ws_rate_bps = 1'000'000'000},
                    {.ws_ip = "203.0.113.9", .prefix = 25, .ws_mac = "02:AA:00:00:00:01"}},
       .cameras = {{.segment = 1, .mac = "02-00-5E-00-00-10", .ip = "203.0.113.20", .prefix = 25}},
       .add_tun = true,
       .start_camsim = false});
  LAB_REQUIRE(lab);
  EXPECT_EQ(lab.ws_ip(0), "192.0.2.1");
  EXPECT_EQ(lab.ws_ip(1), "203.0.113.9");
  EXPECT_EQ(lab.ws_mac(0), (mac_bytes_t{0x02, 0, 0, 0, 0xFF, 0x00}));
  EXPECT_EQ(lab.ws_mac(1), (mac_bytes_t{0x02, 0xAA, 0, 0, 0, 0x01}));
  EXPECT_EQ(lab.camera(0).mac, "02:00:5e:00:00:10");
  EXPECT_EQ(lab.camsim_pid(), -1);

  auto hw = [](const std::string& ifname, int request) {
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname.c_str());
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int rc = ioctl(fd, static_cast<unsigned long>(request), &ifr);
    close(fd);
    return std::make_pair(rc, ifr);
  };
  {
    netns_scope in(lab.ws_netns());
    auto [rc1, eth1] = hw("eth1", SIOCGIFHWADDR);
    ASSERT_EQ(rc1, 0);
    EXPECT_EQ(eth1.ifr_hwaddr.sa_family, ARPHRD_ETHER);
    EXPECT_EQ(std::memcmp(eth1.ifr_hwaddr.sa_data, lab.ws_mac(1).data(), 6), 0);
    auto [rc2, addr] = hw("eth1", SIOCGIFADDR);
    ASSERT_EQ(rc2, 0);
    EXPECT_EQ(std::memcmp(addr.ifr_addr.sa_data + 2, ipv4_bytes("203.0.113.9").data(), 4), 0);
    auto [rc3, tun] = hw("tun0", SIOCGIFHWADDR);
    ASSERT_EQ(rc3, 0) << "no tun0";
    EXPECT_NE(tun.ifr_hwaddr.sa_family, ARPHRD_ETHER);
    auto [rc4, flags] = hw("tun0", SIOCGIFFLAGS);
    ASSERT_EQ(rc4, 0);
    EXPECT_TRUE(flags.ifr_flags & IFF_UP);
  }
  {
    netns_scope in(lab.camera_netns(0));
    auto [rc, eth0] = hw("eth0", SIOCGIFHWADDR);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(std::memcmp(eth0.ifr_hwaddr.sa_data, lab.camera_mac(0).data(), 6), 0);
    // Everything on-link: the default route has no gateway.
    std::ifstream routes("/proc/thread-self/net/route");
    std::string line, found;
    while (std::getline(routes, line)) {
      if (line.find("\t00000000\t00000000\t") != std::string::npos) found = line;
    }
    EXPECT_EQ(found.rfind("eth0\t", 0), 0u) << "no on-link default route: " << found;
  }
  // A thread that left the scope is back in the test's own namespace.
  EXPECT_EQ(if_nametoindex("tun0"), 0u);
  // Segment 0 carries its second subnet and its rate limit; segment 1 is left unshaped.
  const std::string ws = "ip -n " + lab.ws_netns() + " -4 -o addr show dev ";
  EXPECT_NE(command_output(ws + "eth0").find("inet 198.51.100.1/24"), std::string::npos);
  const std::string qdisc = "tc -n " + lab.ws_netns() + " qdisc show dev ";
  const std::string shaped = command_output(qdisc + "eth0");
  EXPECT_NE(shaped.find("qdisc tbf"), std::string::npos) << shaped;
  EXPECT_NE(shaped.find("rate 1Gbit"), std::string::npos) << shaped;
  EXPECT_EQ(command_output(qdisc + "eth1").find("tbf"), std::string::npos);
}

TEST(LabFixture, NoNamespaceOfTheLabIsLeftAfterItsEnd) {
  std::string id;
  {
    Lab lab({.segments = {{}, {}}, .cameras = {{.segment = 0}, {.segment = 1}}});
    LAB_REQUIRE(lab);
    id = lab.lab_id();
    EXPECT_EQ(lab_namespaces(id).size(), 4u);
    struct stat st {};
    EXPECT_EQ(stat(("/run/mardo-lab/" + id + "/owner.pid").c_str(), &st), 0);
  }
  EXPECT_TRUE(lab_namespaces(id).empty());
  struct stat st {};
  EXPECT_NE(stat(("/run/mardo-lab/" + id).c_str(), &st), 0) << "state of " << id << " left";
}

// Code meant for a lab namespace must never run in the test's own one, where a search would
// go out on the machine's real adapters.
TEST(LabFixture, ScopeThatCannotEnterItsNamespaceStopsBeforeItsBodyRuns) {
  struct stat before {};
  ASSERT_EQ(stat("/proc/thread-self/ns/net", &before), 0);
  bool body_ran = false;
  EXPECT_THROW(
      {
        netns_scope in("mardo-no-such-namespace");
        body_ran = true;
      },
      std::runtime_error);
  EXPECT_FALSE(body_ran);
  struct stat after {};
  ASSERT_EQ(stat("/proc/thread-self/ns/net", &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST(LabFixture, ConfigThatCannotBeBuiltIsNotOkAndBuildsNothing) {
  const struct {
    const char* name;
    lab_config_t cfg;
  } rows[] = {
      {"camera_on_missing_segment", {.cameras = {{.segment = 3}}}},
      {"bad_camera_mac", {.cameras = {{.mac = "02:00:00:00:00"}}}},
      {"bad_extra_json", {.cameras = {{.extra_json = "\"a\":"}}}},
      {"fourth_segment_without_address", {.segments = {{}, {}, {}, {}}}},
      {"further_address_without_prefix", {.segments = {{.ws_more_ips = {"198.51.100.1"}}}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Lab lab(row.cfg);
    EXPECT_FALSE(lab.ok());
    EXPECT_FALSE(lab.why_not().empty());
    if (std::string(row.name) != "bad_extra_json") {
      EXPECT_TRUE(lab_namespaces(lab.lab_id()).empty());
    }
  }
}

void require_lab(const Lab& lab) {
  LAB_REQUIRE(lab);
}

TEST(LabFixture, LabRequireSkipsOutsideCiAndFailsUnderCi) {
  Lab broken({.cameras = {{.segment = 9}}});
  ASSERT_FALSE(broken.ok());
  const char* saved = std::getenv("CI");
  std::string saved_value = saved ? saved : "";
  const struct {
    const char* ci;
    testing::TestPartResult::Type want;
  } rows[] = {{nullptr, testing::TestPartResult::kSkip},
              {"false", testing::TestPartResult::kSkip},
              {"true", testing::TestPartResult::kFatalFailure}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.ci ? row.ci : "unset");
    if (row.ci)
      setenv("CI", row.ci, 1);
    else
      unsetenv("CI");
    testing::TestPartResultArray results;
    {
      testing::ScopedFakeTestPartResultReporter reporter(
          testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
      require_lab(broken);
    }
    ASSERT_EQ(results.size(), 1);
    EXPECT_EQ(results.GetTestPartResult(0).type(), row.want);
    EXPECT_NE(std::string(results.GetTestPartResult(0).message()).find(broken.why_not()),
              std::string::npos);
  }
  if (saved)
    setenv("CI", saved_value.c_str(), 1);
  else
    unsetenv("CI");
}

// env: shell assignments put before the call ("A=1 B=2").
int run_script(const std::string& args, pid_t owner = getpid(), const std::string& env = "") {
  int rc = std::system((env + " LAB_OWNER_PID=" + std::to_string(owner) + " " + lab_script_path() +
                        " " + args + " >/dev/null 2>&1")
                           .c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string write_topology(const std::string& name, const std::string& text) {
  std::string path = "/tmp/" + name + ".topology";
  std::ofstream(path) << text;
  return path;
}

TEST(LabScript, FailedUpRemovesWhatItMade) {
  REQUIRE_ROOT();
  std::string id = unique_lab_id('s');
  // A group MAC cannot be a veth's address: the namespaces exist by the time that fails.
  std::string topo = write_topology(id,
                                    "segment 0 192.0.2.1/24\n"
                                    "camera 0 0 02:00:01:00:00:01 192.0.2.10/24\n"
                                    "camera 1 0 01:00:01:00:00:02 192.0.2.11/24\n");
  EXPECT_NE(run_script("up " + id + " " + topo), 0);
  EXPECT_TRUE(lab_namespaces(id).empty());
  struct stat st {};
  EXPECT_NE(stat(("/run/mardo-lab/" + id).c_str(), &st), 0);
  std::remove(topo.c_str());
}

TEST(LabScript, UpWithoutPrivilegesFailsAndLeavesNothing) {
  REQUIRE_ROOT();
  if (std::system("command -v setpriv >/dev/null 2>&1") != 0) GTEST_SKIP() << "no setpriv";
  std::string id = unique_lab_id('s');
  std::string topo = write_topology(id,
                                    "segment 0 192.0.2.1/24\n"
                                    "camera 0 0 02:00:01:00:00:01 192.0.2.10/24\n");
  char state[] = "/tmp/mardo-lab-state-XXXXXX";
  ASSERT_TRUE(mkdtemp(state));
  chmod(state, 0777);
  chmod(topo.c_str(), 0644);
  int rc = std::system(("MARDO_LAB_STATE=" + std::string(state) +
                        " setpriv --reuid=65534 --regid=65534 --clear-groups " + lab_script_path() +
                        " up " + id + " " + topo + " >/dev/null 2>&1")
                           .c_str());
  EXPECT_NE(WEXITSTATUS(rc), 0);
  EXPECT_TRUE(lab_namespaces(id).empty());
  struct stat st {};
  EXPECT_NE(stat((std::string(state) + "/" + id).c_str(), &st), 0);
  std::filesystem::remove_all(state);
  std::remove(topo.c_str());
}

TEST(LabScript, UpGivesAddrgenmodeOnlyToAKernelWithIpv6) {
  REQUIRE_ROOT();
  // An "ip" first on PATH that refuses addrgenmode as a kernel booted without IPv6 does.
  char bin[] = "/tmp/mardo-noipv6-XXXXXX";
  ASSERT_TRUE(mkdtemp(bin));
  std::string ip = std::string(bin) + "/ip";
  std::ofstream(ip) << "#!/bin/bash\n"
                       "PATH=${PATH#*:}\n"
                       "[[ \" $* \" == *' -batch - '* ]] || exec ip \"$@\"\n"
                       "in=$(cat)\n"
                       "if [[ $in == *addrgenmode* ]]; then\n"
                       "  echo 'Error: Address family not supported by protocol.' >&2\n"
                       "  exit 1\n"
                       "fi\n"
                       "exec ip \"$@\" <<<\"$in\"\n";
  chmod(ip.c_str(), 0755);
  std::string topo = write_topology(unique_lab_id('s'),
                                    "segment 0 192.0.2.1/24\n"
                                    "camera 0 0 02:00:01:00:00:01 192.0.2.10/24\n"
                                    "tun\n");
  const struct {
    const char* ipv6;
    bool up;
  } rows[] = {{"0", true}, {"1", false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string("MARDO_LAB_IPV6=") + row.ipv6);
    std::string id = unique_lab_id('s');
    int rc = run_script("up " + id + " " + topo, getpid(),
                        "PATH=" + std::string(bin) + ":$PATH MARDO_LAB_IPV6=" + row.ipv6);
    EXPECT_EQ(rc == 0, row.up) << "exit " << rc;
    EXPECT_EQ(lab_namespaces(id).size(), row.up ? 3u : 0u);
    struct stat st {};
    EXPECT_EQ(stat(("/run/mardo-lab/" + id).c_str(), &st) == 0, row.up);
    run_script("down " + id);
  }
  std::filesystem::remove_all(bin);
  std::remove(topo.c_str());
}

pid_t start_sleeper() {
  pid_t pid = fork();
  if (pid == 0) {
    pause();
    _exit(0);
  }
  return pid;
}

bool is_zombie(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  std::getline(stat, text);
  return text.find(") Z ") != std::string::npos;
}

TEST(LabScript, GcRemovesLabsOfEndedOwnersOnly) {
  REQUIRE_ROOT();
  // Owners that run while their labs are built, so no parallel gc takes the labs early.
  pid_t reaped = start_sleeper();
  pid_t zombie = start_sleeper();
  ASSERT_GT(reaped, 0);
  ASSERT_GT(zombie, 0);
  // A state file rewritten after up: "owner.start" with another start time is another
  // process of the same PID; an empty "owner.pid" is one still being written.
  const struct {
    const char* name;
    pid_t owner;
    const char* file;
    const char* text;
    bool survives;
  } rows[] = {{"owner_ended_and_reaped", reaped, nullptr, nullptr, false},
              {"owner_ended_not_reaped", zombie, nullptr, nullptr, false},
              {"owner_pid_reused", getpid(), "owner.start", "1\n", false},
              {"owner_pid_being_written", getpid(), "owner.pid", "", true},
              {"owner_running", getpid(), nullptr, nullptr, true}};
  std::string topo = write_topology(unique_lab_id('s'),
                                    "segment 0 192.0.2.1/24\n"
                                    "camera 0 0 02:00:01:00:00:01 192.0.2.10/24\n");
  std::vector<std::string> ids;
  for (const auto& row : rows) {
    ids.push_back(unique_lab_id('s'));
    EXPECT_EQ(run_script("up " + ids.back() + " " + topo, row.owner), 0) << row.name;
    EXPECT_EQ(lab_namespaces(ids.back()).size(), 3u) << row.name;
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (rows[i].file)
      std::ofstream("/run/mardo-lab/" + ids[i] + "/" + rows[i].file) << rows[i].text;
  }
  kill(reaped, SIGKILL);
  waitpid(reaped, nullptr, 0);
  kill(zombie, SIGKILL);
  for (int i = 0; i < 400 && !is_zombie(zombie); ++i) usleep(5000);
  EXPECT_TRUE(is_zombie(zombie));

  EXPECT_EQ(run_script("gc"), 0);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(lab_namespaces(ids[i]).size(), rows[i].survives ? 3u : 0u);
  }
  waitpid(zombie, nullptr, 0);

  const std::string& alive = ids.back();
  EXPECT_EQ(run_script("down " + alive), 0);
  EXPECT_EQ(run_script("down " + alive), 0) << "down twice";
  EXPECT_TRUE(lab_namespaces(alive).empty());
  for (const std::string& id : ids) run_script("down " + id);
  std::remove(topo.c_str());
}

}  // namespace
}  // namespace mardo::lab
