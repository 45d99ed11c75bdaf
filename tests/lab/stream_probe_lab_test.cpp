// The stream probe against camsim's cameras over both transports, and the power-off test of
// mardo-cli with cameras whose power is cut while they stream.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "testing/stream_probe.h"

namespace {

using clock_type = std::chrono::steady_clock;

// What one probe reported: status events as -1 (ended) and -2 (playing), NAL units by the
// serial camsim wrote into them, or -3 for a unit that is not whole.
struct probe_record {
  std::mutex lock;
  std::map<std::string, std::vector<long long>> by_host;
  std::map<std::string, std::map<long long, int>> type_of;  // NAL type by serial
  std::map<std::string, std::set<int>> types_seen;

  static long long whole_serial(const std::uint8_t* d, std::int32_t n) {
    if (n < 9) return -3;
    const long long serial = (d[1] << 24 | d[2] << 16 | d[3] << 8 | d[4]) & 0xFFFFFFFFLL;
    const long long length = (d[5] << 24 | d[6] << 16 | d[7] << 8 | d[8]) & 0xFFFFFFFFLL;
    if (length != n) return -3;
    for (std::int32_t i = 9; i < n; ++i)
      if (d[i] != static_cast<std::uint8_t>(serial + i)) return -3;
    return serial;
  }
  static void handler(void* owner, const char* host, std::uint8_t pt, std::uint32_t,
                      const std::uint8_t* data, std::int32_t length) {
    auto* self = static_cast<probe_record*>(owner);
    std::lock_guard guard(self->lock);
    if (data == nullptr) {
      self->by_host[host].push_back(length == 1 ? -2 : -1);
      return;
    }
    if (pt != 96 || length == 0) return;
    const long long serial = whole_serial(data, length);
    self->by_host[host].push_back(serial);
    self->type_of[host][serial] = data[0] & 0x1F;
    self->types_seen[host].insert(data[0] & 0x1F);
  }
  std::vector<long long> of(const std::string& host) {
    std::lock_guard guard(lock);
    return by_host[host];
  }
  std::vector<long long> statuses(const std::string& host) {
    std::vector<long long> s;
    for (long long v : of(host))
      if (v == -1 || v == -2) s.push_back(v);
    return s;
  }
};

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  while (!pred()) {
    if (clock_type::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A probe started in the workstation's namespace; its threads stay there.
mardo::stream_probe* probe_in(const mardo::lab::Lab& lab, const char* host, bool interleaved,
                              bool main_stream, probe_record& record) {
  mardo::lab::netns_scope in(lab.ws_netns());
  return mardo::probe_start(host, 554, interleaved, main_stream, &probe_record::handler, &record);
}

std::vector<std::string> requests_to(const std::vector<mardo::lab::sim_event_t>& events,
                                     int camera) {
  std::vector<std::string> texts;
  for (const auto& e : events)
    if (e.camera == camera && e.channel == "rtsp")
      texts.emplace_back(e.bytes.begin(), e.bytes.end());
  return texts;
}

// Fragmented frames (10000 bytes in pieces of 1400) and one unit that loses its second piece.
constexpr const char* kStreaming = R"("rtsp_kbps":2000,"rtsp_lose_nal":10)";

TEST(StreamProbeLab, BothTransportsSendTheExactRequestsAndDeliverWholeUnitsAroundALoss) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(2);
  cfg.cameras[0].extra_json =
      std::string(kStreaming) + R"(,"rtsp_session":"   SESSION0","port8200":true)";
  cfg.cameras[1].extra_json = std::string(kStreaming) + R"(,"rtsp_track":-1,"rtsp_session":" )" +
                              std::string(100, 'k') + R"(;timeout=60")";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  probe_record record;
  mardo::stream_probe* tcp = probe_in(lab, "192.0.2.10", true, true, record);
  mardo::stream_probe* udp = probe_in(lab, "192.0.2.11", false, true, record);
  ASSERT_TRUE(tcp && udp);
  // Past the next sequence parameter set (serial 27) after the loss.
  const auto past_key = [&](const std::string& host) {
    const auto got = record.of(host);
    return !got.empty() && got.back() > 40;
  };
  EXPECT_TRUE(wait_until([&] { return past_key("192.0.2.10") && past_key("192.0.2.11"); }, 15000));
  mardo::probe_stop(tcp);
  mardo::probe_stop(udp);
  const auto events = lab.wait_events(
      [](const auto& ev) {
        int teardowns = 0;
        for (int c = 0; c < 2; ++c)
          for (const auto& r : requests_to(ev, c)) teardowns += r.starts_with("TEARDOWN");
        return teardowns == 2;
      },
      3000);

  for (const std::string host : {"192.0.2.10", "192.0.2.11"}) {
    SCOPED_TRACE(host);
    const auto got = record.of(host);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), -2);  // playing first
    long long previous = -1;
    bool after_loss = false;
    for (std::size_t i = 1; i < got.size(); ++i) {
      ASSERT_GE(got[i], 0) << "event " << i << " is no whole unit";
      EXPECT_NE(got[i], 10);
      if (previous < 10 && got[i] > 10) {
        // The first unit after the lost one is the next parameter set, nothing before it.
        EXPECT_EQ(got[i], 27);
        after_loss = true;
      } else if (previous >= 0) {
        EXPECT_EQ(got[i], previous + 1);
      }
      previous = got[i];
    }
    EXPECT_TRUE(after_loss);
  }
  {
    std::lock_guard guard(record.lock);
    EXPECT_EQ(record.type_of["192.0.2.10"][27], 7);
    EXPECT_EQ(record.type_of["192.0.2.11"][27], 7);
  }

  // Port 8200 is tried once per playing connection, where the camera listens on it.
  int checks = 0;
  for (const auto& e : events) checks += e.channel == "port8200" ? (e.camera == 0 ? 1 : 100) : 0;
  EXPECT_EQ(checks, 1);

  const auto tcp_requests = requests_to(events, 0);
  ASSERT_GE(tcp_requests.size(), 5u);
  EXPECT_EQ(tcp_requests[0], "DESCRIBE rtsp://192.0.2.10/stream_main RTSP/1.0\r\nCSeq: 1\r\n\r\n");
  EXPECT_EQ(tcp_requests[1],
            "SETUP rtsp://192.0.2.10/stream_main/trackID=1 RTSP/1.0\r\nCSeq: 2\r\n"
            "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n\r\n");
  EXPECT_EQ(tcp_requests[2],
            "PLAY rtsp://192.0.2.10 RTSP/1.0\r\nCSeq: 3\r\nSession: SESSION0\r\n\r\n");
  for (std::size_t i = 3; i + 1 < tcp_requests.size(); ++i)
    EXPECT_EQ(tcp_requests[i], "GET_PARAMETER rtsp://192.0.2.10 RTSP/1.0\r\nCSeq: " +
                                   std::to_string(i + 1) + "\r\nSession: SESSION0\r\n\r\n");
  EXPECT_EQ(tcp_requests.back(),
            "TEARDOWN rtsp://192.0.2.10 RTSP/1.0\r\nCSeq: " + std::to_string(tcp_requests.size()) +
                "\r\nSession: SESSION0\r\n\r\n");

  const auto udp_requests = requests_to(events, 1);
  ASSERT_GE(udp_requests.size(), 5u);
  const std::string setup =
      "SETUP rtsp://192.0.2.11/stream_main/trackID=0 RTSP/1.0\r\nCSeq: 2\r\n"
      "Transport: RTP/AVP;unicast;client_port=";
  ASSERT_TRUE(udp_requests[1].starts_with(setup)) << udp_requests[1];
  int rtp_port = 0, rtcp_port = 0;
  EXPECT_EQ(std::sscanf(udp_requests[1].c_str() + setup.size(), "%d-%d", &rtp_port, &rtcp_port), 2);
  EXPECT_EQ(rtcp_port, rtp_port + 1);
  const std::string session(63, 'k');
  EXPECT_EQ(udp_requests[2],
            "PLAY rtsp://192.0.2.11 RTSP/1.0\r\nCSeq: 3\r\nSession: " + session + "\r\n\r\n");
  EXPECT_TRUE(udp_requests.back().starts_with("TEARDOWN rtsp://192.0.2.11 RTSP/1.0\r\n"));
  EXPECT_TRUE(udp_requests.back().ends_with("Session: " + session + "\r\n\r\n"));
}

TEST(StreamProbeLab, ADarkPeriodEndsTheConnectionAndTheProbeConnectsAgain) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(2);
  // Longer than the probe's patience on either transport.
  cfg.cameras[0].extra_json = R"("rtsp_dark":{"play_ms":1000,"dark_ms":40000})";
  cfg.cameras[1].extra_json = R"("rtsp_dark":{"play_ms":1000,"dark_ms":40000})";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  probe_record record;
  mardo::stream_probe* tcp = probe_in(lab, "192.0.2.10", true, true, record);
  mardo::stream_probe* udp = probe_in(lab, "192.0.2.11", false, false, record);
  ASSERT_TRUE(tcp && udp);
  const std::vector<long long> up_down_up = {-2, -1, -2};
  const auto reconnected = [&](const std::string& host) {
    return record.statuses(host) == up_down_up;
  };
  EXPECT_TRUE(
      wait_until([&] { return reconnected("192.0.2.10") && reconnected("192.0.2.11"); }, 40000));
  // Media flows on the new connection.
  const std::size_t before = record.of("192.0.2.10").size();
  EXPECT_TRUE(wait_until([&] { return record.of("192.0.2.10").size() > before + 5; }, 3000));
  mardo::probe_stop(tcp);
  mardo::probe_stop(udp);
  EXPECT_EQ(record.statuses("192.0.2.10"), up_down_up);
  EXPECT_EQ(record.statuses("192.0.2.11"), up_down_up);
  int plays = 0;
  for (const auto& e : lab.events()) plays += e.channel == "rtsp-play";
  EXPECT_EQ(plays, 4);
  EXPECT_TRUE(
      requests_to(lab.events(), 1).front().starts_with("DESCRIBE rtsp://192.0.2.11/stream_sub "));
}

TEST(StreamProbeLab, StoppedWhileConnectingOrWaitingForAnAnswerItReportsNothing) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(1);
  cfg.cameras[0].extra_json = R"("rtsp_describe":"silence")";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  probe_record record;
  mardo::stream_probe* silent = probe_in(lab, "192.0.2.10", true, true, record);
  mardo::stream_probe* absent = probe_in(lab, "192.0.2.99", false, true, record);
  ASSERT_TRUE(silent && absent);
  lab.wait_events([](const auto& ev) { return !requests_to(ev, 0).empty(); }, 3000);
  mardo::probe_stop(silent);
  mardo::probe_stop(absent);
  std::lock_guard guard(record.lock);
  EXPECT_TRUE(record.by_host.empty());
  const auto requests = requests_to(lab.events(), 0);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].starts_with("DESCRIBE "));
}

// ---- against a server no one here wrote ----

// GStreamer's RTSP server with a live H.264 test pattern, in camera 0's namespace, its
// control names and its play path set to the camera's conventions (see the script).
TEST(StreamProbeLab, ReachesPlayingOnGStreamersServerAndGetsParameterSetsAndSlices) {
  if (std::system("/usr/bin/python3 -c 'import gi; gi.require_version(\"GstRtspServer\", \"1.0\")' "
                  "2>/dev/null") != 0) {
    if (mardo::lab::running_in_ci())
      FAIL() << "GStreamer's RTSP server is not installed (scripts/deps.sh)";
    GTEST_SKIP() << "GStreamer's RTSP server is not installed (scripts/deps.sh)";
  }
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(1);
  cfg.start_camsim = false;
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t server = fork();
  ASSERT_GE(server, 0);
  if (server == 0) {
    dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    execl(MARDO_LAB_SCRIPT, "lab", "exec-camera", lab.lab_id().c_str(), "0", "/usr/bin/python3",
          MARDO_RTSP_SERVER, "--port", "554", "--path", "/stream_main",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(out[1]);
  std::string ready;
  char c;
  while (ready.find("ready") == std::string::npos && read(out[0], &c, 1) == 1) ready += c;
  ASSERT_NE(ready.find("ready"), std::string::npos);

  // One record per transport: both probes talk to the same host.
  probe_record over_tcp, over_udp;
  mardo::stream_probe* tcp = probe_in(lab, "192.0.2.10", true, true, over_tcp);
  mardo::stream_probe* udp = probe_in(lab, "192.0.2.10", false, true, over_udp);
  ASSERT_TRUE(tcp && udp);
  const std::set<int> wanted = {1, 5, 7, 8};
  const auto all_types = [&](probe_record& r) {
    std::lock_guard guard(r.lock);
    const auto& seen = r.types_seen["192.0.2.10"];
    return std::includes(seen.begin(), seen.end(), wanted.begin(), wanted.end());
  };
  EXPECT_TRUE(wait_until([&] { return all_types(over_tcp) && all_types(over_udp); }, 15000));
  mardo::probe_stop(tcp);
  mardo::probe_stop(udp);
  kill(server, SIGTERM);
  int status = 0;
  waitpid(server, &status, 0);
  ::close(out[0]);
  for (probe_record* r : {&over_tcp, &over_udp}) {
    EXPECT_TRUE(all_types(*r));
    EXPECT_EQ(r->statuses("192.0.2.10"), std::vector<long long>{-2});  // playing, never ended
  }
}

// ---- the power-off test from the command line ----

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every event-log line the tool wrote under the state directory.
std::vector<std::string> event_lines(const std::string& state_dir) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (const auto& f : std::filesystem::directory_iterator(state_dir + "/mardo", ec)) {
    std::istringstream in(read_text(f.path()));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
  }
  return lines;
}

int count_of(const std::vector<std::string>& lines, const std::string& line) {
  int n = 0;
  for (const auto& l : lines) n += l == line;
  return n;
}

TEST(PowerTestLab, FourCamerasThreeCutsEachGiveFourConnectionsAndThreeBreaks) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(4);
  for (int n = 0; n < 4; ++n) {
    const int a = 900 + 350 * n, b = 1200 + 250 * n, c = 700 + 500 * n;
    cfg.cameras[static_cast<std::size_t>(n)].extra_json =
        R"("power_cuts":[{"play_ms":)" + std::to_string(a) + R"(,"off_ms":)" +
        std::to_string(1500 + 300 * n) + R"(},{"play_ms":)" + std::to_string(b) +
        R"(,"off_ms":2000},{"play_ms":)" + std::to_string(c) + R"(,"off_ms":)" +
        std::to_string(1000 + 400 * n) + "}]";
  }
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  char dir_template[] = "/tmp/mardo-power-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string state_dir = dir_template, out_path = state_dir + "/out.txt";
  const std::string state_env = "XDG_STATE_HOME=" + state_dir;
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::freopen(out_path.c_str(), "w", stdout);
    execl("/usr/bin/env", "env", state_env.c_str(), MARDO_LAB_SCRIPT, "exec", lab.lab_id().c_str(),
          MARDO_CLI, "power-test", "--all", static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto connected_four_times = [&] {
    const auto lines = event_lines(state_dir);
    for (int n = 0; n < 4; ++n)
      if (count_of(lines, "相机 192.0.2." + std::to_string(10 + n) + " 连接建立 4 次") != 1)
        return false;
    return true;
  };
  const bool done = wait_until(connected_four_times, 80000);
  kill(pid, SIGINT);
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(done);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const auto lines = event_lines(state_dir);
  EXPECT_EQ(count_of(lines, "开始断电测试：共4台相机"), 1);
  const std::string out = read_text(out_path);
  const auto events = lab.events();
  for (int n = 0; n < 4; ++n) {
    const std::string ip = "192.0.2." + std::to_string(10 + n);
    SCOPED_TRACE(ip);
    int connects = 0, breaks = 0;
    for (const auto& l : lines) {
      connects += l.starts_with("相机 " + ip + " 连接建立 ");
      breaks += l.starts_with("相机 " + ip + " 连接断开 ");
    }
    EXPECT_EQ(connects, 4);
    EXPECT_EQ(breaks, 3);
    for (int k = 1; k <= 3; ++k)
      EXPECT_EQ(count_of(lines, "相机 " + ip + " 连接断开 " + std::to_string(k) + " 次"), 1);
    char row[128];
    std::snprintf(row, sizeof row, "%-17s %-15s %11d %6d",
                  ("02-00-01-00-00-0" + std::to_string(n)).c_str(), ip.c_str(), 4, 3);
    EXPECT_NE(out.find(row), std::string::npos) << out;

    std::vector<std::string> shell;
    for (const auto& e : events) {
      if (e.camera != n || e.channel != "raw" || e.ethertype != 0xFFF7) continue;
      ASSERT_EQ(e.len, 56u);
      ASSERT_GE(e.bytes.size(), 56u);
      EXPECT_EQ(e.bytes[14] | e.bytes[15] << 8, 40);
      shell.emplace_back(e.bytes.begin() + 16, e.bytes.begin() + 56);
    }
    EXPECT_EQ(shell, (std::vector<std::string>{"mv /root/rovlet.tgz /root/rovlet.tgz.bak",
                                               "mv /root/rovlet.tgz.bak /root/rovlet.tgz"}));
  }
  std::filesystem::remove_all(state_dir);
}

}  // namespace
