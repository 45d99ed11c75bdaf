// mardo-cli from the outside: started in the workstation namespace like a technician's
// script would, its JSON lines read back.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "lab/lab.h"
#include "upgrade/upgrade_fixtures.h"

// Skips the test without the program at `path`, except under CI where it fails it.
#define REQUIRE_PROGRAM(path, why)                                     \
  do {                                                                 \
    if (access(path, X_OK) != 0) {                                     \
      if (mardo::lab::running_in_ci()) FAIL() << path << ": " << why;  \
      GTEST_SKIP() << path << ": " << why;                             \
    }                                                                  \
  } while (0)

namespace {

using mardo::lab::json_member;

struct cli_run_t {
  std::vector<std::string> lines;
  int status = -1;
};

// A command's standard output, line by line, and its exit status.
cli_run_t run_command(const std::string& command) {
  cli_run_t run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buf[8192];
  while (std::fgets(buf, sizeof buf, pipe)) {
    std::string line(buf);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    run.lines.push_back(line);
  }
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// mardo-cli in the lab's workstation namespace.
cli_run_t run_cli(const mardo::lab::Lab& lab, const std::string& args) {
  return run_command(std::string(MARDO_LAB_SCRIPT) + " exec " + lab.lab_id() + " " + MARDO_CLI + " " + args);
}

// The same with its standard error kept in `err` (the lines a verb writes there).
cli_run_t run_cli(const mardo::lab::Lab& lab, const std::string& args, std::string& err,
                  const std::string& wrapper = "") {
  mardo::test::temp_dir dir;
  const cli_run_t run = run_command(std::string(MARDO_LAB_SCRIPT) + " exec " + lab.lab_id() + " " + wrapper +
                                    MARDO_CLI + " " + args + " 2>" + dir.file("err"));
  const auto bytes = dir.read("err");
  err.assign(bytes.begin(), bytes.end());
  return run;
}

TEST(CliLab, UpgradeExitsZeroOnlyWhenEveryChosenCameraSucceeded) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(3);
  cfg.cameras[2].extra_json = R"("svc_header_error":1)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  mardo::test::temp_dir dir;
  const auto package = mardo::test::make_package({{"a.bin", mardo::test::pattern(5000)}}, {}, 1);
  dir.write("pkg.bin", package);
  auto broken = package;
  broken[100] ^= 1;
  dir.write("broken.bin", broken);
  const std::string mac0 = "02-00-01-00-00-00", mac1 = "02:00:01:00:00:01";

  const cli_run_t good = run_cli(lab, "upgrade --package " + dir.file("pkg.bin") + " --mac " +
                                          mac0 + " --mac " + mac1 + " --json");
  EXPECT_EQ(good.status, 0);
  std::vector<std::string> results;
  for (const auto& l : good.lines)
    if (json_member(l, "event") == "result")
      results.push_back(json_member(l, "ip") + " " + json_member(l, "status"));
  EXPECT_EQ(results, (std::vector<std::string>{"192.0.2.10 升级成功，相机即将重启！",
                                               "192.0.2.11 升级成功，相机即将重启！"}));

  const cli_run_t some_failed = run_cli(lab, "upgrade --package " + dir.file("pkg.bin") + " --all");
  EXPECT_EQ(some_failed.status, 1);
  ASSERT_FALSE(some_failed.lines.empty());
  EXPECT_NE(some_failed.lines.back().find("包头数据校验回应失败"), std::string::npos)
      << some_failed.lines.back();

  EXPECT_EQ(run_cli(lab, "upgrade --package " + dir.file("broken.bin") + " --all").status, 2);
  // A camera not found is one that failed, not a bad argument.
  EXPECT_EQ(run_cli(lab, "upgrade --package " + dir.file("pkg.bin") + " --mac 02:00:01:00:00:99").status, 1);
}

TEST(CliLab, UpgradeWithMaxParallelTwoNeverFeedsMoreThanTwoCamerasAtOnce) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(4);
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  mardo::test::temp_dir dir;
  dir.write("pkg.bin",
            mardo::test::make_package({{"a.bin", mardo::test::pattern(2u << 20)}}, {}, 1));
  const cli_run_t run =
      run_cli(lab, "upgrade --package " + dir.file("pkg.bin") + " --all --max-parallel 2");
  EXPECT_EQ(run.status, 0);
  // From a camera's header to its image: the span in which it is being fed.
  std::vector<std::pair<std::uint64_t, int>> edges;
  int images = 0;
  for (const auto& e : lab.events()) {
    if (e.channel == "svc" && e.len == 1056 && e.bytes.size() >= 20 && e.bytes[16] == 0 &&
        e.bytes[8] == 0x11 && e.bytes[9] == 0x27)  // command 10001, fragment 0
      edges.emplace_back(e.t_ms, +1);
    if (e.channel == "svc-image") {
      edges.emplace_back(e.t_ms, -1);
      ++images;
    }
  }
  EXPECT_EQ(images, 4);
  std::sort(edges.begin(), edges.end());
  int at_once = 0, most = 0;
  for (const auto& [t, d] : edges) most = std::max(most, at_once += d);
  EXPECT_EQ(most, 2);
}

TEST(CliLab, SearchPrintsOneJsonObjectPerRow) {
  mardo::lab::lab_config_t cfg;
  cfg.segments = {mardo::lab::segment_t{}, mardo::lab::segment_t{}};
  cfg.cameras.resize(3);
  cfg.cameras[0].mac = "02:AB:00:00:0A:01";
  cfg.cameras[0].ip = "192.0.2.101";
  cfg.cameras[0].version = "V1.SVR_2.0, algo : a, flash : 8M";
  cfg.cameras[0].extra_json = R"("mc_mac":"02:AB:00:00:0A:01")";
  cfg.cameras[1].mac = "02:AB:00:00:0A:02";
  cfg.cameras[1].ip = "192.0.2.100";
  cfg.cameras[1].extra_json = R"("mc_search":false)";
  cfg.cameras[2].segment = 1;
  cfg.cameras[2].mac = "02:AB:00:00:0A:03";
  cfg.cameras[2].ip = "198.51.100.5";
  cfg.cameras[2].extra_json = R"("raw_search":false,"mc_mac":"02:ab:00:00:0a:03")";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const auto lines = run_cli(lab, "search --json").lines;
  ASSERT_EQ(lines.size(), 3u);
  const char* expected_ip[] = {"192.0.2.100", "192.0.2.101", "198.51.100.5"};
  const char* expected_mac[] = {"02-AB-00-00-0A-02", "02-AB-00-00-0A-01", "02-ab-00-00-0a-03"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::unique_ptr<cJSON, void (*)(cJSON*)> row(cJSON_Parse(lines[i].c_str()), cJSON_Delete);
    ASSERT_TRUE(row) << lines[i];
    EXPECT_EQ(cJSON_GetObjectItem(row.get(), "row")->valueint, static_cast<int>(i));
    const cJSON* columns = cJSON_GetObjectItem(row.get(), "columns");
    ASSERT_EQ(cJSON_GetArraySize(columns), 11);
    EXPECT_STREQ(cJSON_GetArrayItem(columns, 0)->valuestring, std::to_string(i + 1).c_str());
    EXPECT_STREQ(cJSON_GetArrayItem(columns, 1)->valuestring, expected_mac[i]);
    EXPECT_STREQ(cJSON_GetArrayItem(columns, 2)->valuestring, expected_ip[i]);
    const int adapter = i == 2 ? 1 : 0;
    EXPECT_EQ(cJSON_GetObjectItem(row.get(), "tag")->valueint >> 16, adapter);
    EXPECT_STREQ(cJSON_GetArrayItem(columns, 8)->valuestring, adapter ? "eth1" : "eth0");
    EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(row.get(), "checked")));
  }
}

TEST(CliLab, ConsoleFlagPrintsTheDiagnosticLines) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(1);
  cfg.cameras[0].mac = "02:AB:00:00:0A:11";
  cfg.cameras[0].ip = "192.0.2.111";
  cfg.cameras[0].version = "V9";
  // The raw line is written only for a row the raw path makes, so the raw path must win.
  cfg.cameras[0].extra_json = R"("mc_search":false)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const auto lines = run_cli(lab, "search --console").lines;
  bool send = false, winpcap = false;
  for (const auto& l : lines) {
    send |=
        l == "[192.0.2.1]Send: iSend=37, acTempBuf={\"cmd\":\"devSearch\", \"type\":1}, error=0";
    winpcap |= l == "[192.0.2.1]winpcap recv: V9 ";
  }
  EXPECT_TRUE(send);
  EXPECT_TRUE(winpcap);
}

}  // namespace

namespace {

// Copies: the events may be a temporary.
std::vector<mardo::lab::sim_event_t> raw_received(const std::vector<mardo::lab::sim_event_t>& events,
                                                  int camera, std::uint16_t ethertype) {
  std::vector<mardo::lab::sim_event_t> out;
  for (const auto& e : events)
    if (e.camera == camera && e.channel == "raw" && e.ethertype == ethertype) out.push_back(e);
  return out;
}

// Five cameras, two of them found only by raw frames: one run of addresses in list order
// across both transports, and a new search finds every camera at its new address.
TEST(CliLab, BatchIpGivesFiveCamerasConsecutiveAddressesAndVerifyFindsThemThere) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(5);
  cfg.cameras[1].extra_json = R"("mc_search":false)";
  cfg.cameras[3].extra_json = R"("mc_search":false)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const cli_run_t run = run_cli(lab, "batch-ip --start 192.0.2.100 --gateway '' --all --verify");
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 5u);
  for (int n = 0; n < 5; ++n) {
    const std::string& line = run.lines[static_cast<std::size_t>(n)];
    EXPECT_NE(line.find("192.0.2.10" + std::to_string(n)), std::string::npos) << line;
    EXPECT_NE(line.find(n % 2 ? "已发送 | 已确认" : "修改IP成功 | 已确认"), std::string::npos) << line;
  }
  // The raw cameras' frames: 26 bytes, the empty gateway ("none") as 0.0.0.0.
  const auto events = lab.events();
  for (int n : {1, 3}) {
    const auto sets = raw_received(events, n, 0xFFF2);
    ASSERT_EQ(sets.size(), 1u) << n;
    EXPECT_EQ(sets[0].len, 26u);
    EXPECT_EQ(std::vector<std::uint8_t>(sets[0].bytes.begin() + 14, sets[0].bytes.end()),
              (std::vector<std::uint8_t>{192, 0, 2, static_cast<std::uint8_t>(100 + n), 255, 255,
                                         255, 0, 0, 0, 0, 0}));
  }
}

// After a search the adapter's shared handle passes only search answers; the query goes on a
// handle of its own, so the camera's own gateway comes back into the change.
TEST(CliLab, RawIpChangeAfterASearchIsAnsweredAndVerifyReportsACameraThatIgnoredIt) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(3);
  cfg.cameras[0].gateway = "192.0.2.254";
  cfg.cameras[0].extra_json = R"("mc_search":false)";
  cfg.cameras[1].extra_json = R"("mc_search":false,"raw_set_ip":false)";
  // An answer whose payload length is not 12 is not used: the gateway stays empty.
  cfg.cameras[2].gateway = "192.0.2.254";
  cfg.cameras[2].ip_query_len_field = 16;
  cfg.cameras[2].extra_json = R"("mc_search":false)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const cli_run_t changed = run_cli(lab, "ip --mac 02:00:01:00:00:00 --ip 192.0.2.50 --verify");
  EXPECT_EQ(changed.status, 0) << (changed.lines.empty() ? "" : changed.lines.back());
  const auto sets = raw_received(lab.events(), 0, 0xFFF2);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(std::vector<std::uint8_t>(sets[0].bytes.begin() + 22, sets[0].bytes.end()),
            (std::vector<std::uint8_t>{192, 0, 2, 254}))
      << ::testing::PrintToString(changed.lines);
  EXPECT_EQ(raw_received(lab.events(), 0, 0xFFF8).size(), 1u);
  EXPECT_EQ(run_cli(lab, "ip --mac 02:00:01:00:00:02 --ip 192.0.2.52").status, 0);
  const auto unanswered = raw_received(lab.events(), 2, 0xFFF2);
  ASSERT_EQ(unanswered.size(), 1u);
  EXPECT_EQ(std::vector<std::uint8_t>(unanswered[0].bytes.begin() + 22, unanswered[0].bytes.end()),
            (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));

  const cli_run_t ignored = run_cli(lab, "ip --mac 02:00:01:00:00:01 --ip 192.0.2.51 --verify");
  EXPECT_EQ(ignored.status, 1);
  ASSERT_FALSE(ignored.lines.empty());
  EXPECT_NE(ignored.lines.back().find("未确认"), std::string::npos) << ignored.lines.back();
}

// What reached each camera other than the searches: a refusal must leave this empty.
std::vector<mardo::lab::sim_event_t> commands(const std::vector<mardo::lab::sim_event_t>& events,
                                              std::size_t from) {
  std::vector<mardo::lab::sim_event_t> out;
  for (std::size_t i = from; i < events.size(); ++i) {
    const auto& e = events[i];
    if ((e.channel == "raw" && e.ethertype != 0xFFF0) ||
        (e.channel == "mc" && e.text().find("devSearch") == std::string::npos))
      out.push_back(e);
  }
  return out;
}

// The command line's verdicts on what it was asked: texts that are not addresses and a
// station that is not among the cameras are refused (2) before anything reaches a camera; a
// --mac the search did not find is a camera that failed (1), the others still acted on.
TEST(CliLab, BadArgumentsSendNothingAndACameraNotFoundFailsAlone) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(2);
  cfg.cameras[0].extra_json = R"("mc_search":false)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const std::string raw = " --mac 02:00:01:00:00:00", mc = " --mac 02:00:01:00:00:01";
  struct row_t {
    const char* name;
    std::string args;
    int status;
    bool searched;        // the refusal comes only after the search
    const char* command;  // what the line of camera 0 says; nullptr: nothing reaches a camera
  };
  const row_t rows[] = {
      {"letter O in --ip", "ip" + raw + " --ip 192.0.2.3OO", 2, false, nullptr},
      {"--netmask with a hole", "ip" + mc + " --ip 192.0.2.51 --netmask 255.0.255.0", 2, false, nullptr},
      {"--gateway of five octets", "ip" + mc + " --ip 192.0.2.51 --gateway 192.0.2.1.1", 2, false, nullptr},
      {"--start with a leading zero", "batch-ip --start 192.0.2.010 --all", 2, false, nullptr},
      {"--station not among --mac", "factory-test" + raw + " --station 02:00:01:00:00:01", 2, false, nullptr},
      {"--station not among --all", "factory-test --all --station 02:00:01:00:00:09", 2, true, nullptr},
      {"--mac not found beside a found one", "batch-ip --start 192.0.2.60" + raw + " --mac 02:00:01:00:00:99", 1,
       true, "已发送"},
  };
  for (const row_t& r : rows) {
    const std::size_t before = lab.events().size();
    std::string err;
    const cli_run_t run = run_cli(lab, r.args, err);
    EXPECT_EQ(run.status, r.status) << r.name << ": " << err;
    EXPECT_NE(err.find("mardo-cli "), std::string::npos) << r.name << ": the reason goes to stderr";
    const auto events = lab.events();
    bool searched = false;
    for (std::size_t i = before; i < events.size(); ++i) searched |= events[i].channel == "raw";
    EXPECT_EQ(searched, r.searched) << r.name;
    if (!r.command) {
      EXPECT_TRUE(commands(events, before).empty()) << r.name;
      continue;
    }
    const auto sent = commands(lab.wait_events([&](const auto& ev) { return !commands(ev, before).empty(); }, 2000),
                               before);
    ASSERT_EQ(sent.size(), 1u) << r.name;
    EXPECT_EQ(sent[0].ethertype, 0xFFF2) << r.name;
    ASSERT_EQ(run.lines.size(), 2u) << r.name;
    EXPECT_NE(run.lines[0].find(r.command), std::string::npos) << r.name << ": " << run.lines[0];
    EXPECT_EQ(run.lines[1].rfind("02:00:01:00:00:99", 0), 0u) << r.name << ": " << run.lines[1];
    EXPECT_NE(run.lines[1].find("未找到"), std::string::npos) << r.name << ": " << run.lines[1];
  }
}

// A camera answers the change from its old address and moves a second later, as one whose
// network restarts: a single search right after the change would not find it there yet.
TEST(CliLab, VerifySearchesAgainUntilCamerasThatMoveLateAnswerAtTheirNewAddress) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(2);
  cfg.cameras[0].extra_json = R"("move_delay_ms":1000)";
  cfg.cameras[1].extra_json = R"("move_delay_ms":1000,"mc_search":false)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const cli_run_t run = run_cli(lab, "batch-ip --start 192.0.2.70 --all --verify");
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 2u);
  const char* expected[] = {"192.0.2.70", "修改IP成功 | 已确认", "192.0.2.71", "已发送 | 已确认"};
  for (int n : {0, 1}) {
    const std::string& line = run.lines[static_cast<std::size_t>(n)];
    EXPECT_NE(line.find(expected[2 * n]), std::string::npos) << line;
    EXPECT_NE(line.find(expected[2 * n + 1]), std::string::npos) << line;
  }
  // Each camera took its new address no sooner than a second after the change reached it.
  const auto events = lab.events();
  for (int n : {0, 1}) {
    std::uint64_t asked = 0, moved = 0;
    for (const auto& e : events) {
      if (e.camera != n) continue;
      if (!asked && ((e.channel == "mc" && e.text().find("modifyDevIp") != std::string::npos) ||
                     (e.channel == "raw" && e.ethertype == 0xFFF2)))
        asked = e.t_ms;
      if (e.channel == "moved") moved = e.t_ms;
    }
    ASSERT_NE(asked, 0u) << n;
    EXPECT_GE(moved, asked + 1000) << n;
  }
}

// Without the right to capture (here: CAP_NET_RAW dropped) only multicast cameras are found;
// every verb says so once on stderr, and search --json carries it in its output.
TEST(CliLab, WithoutRawCaptureEveryVerbWarnsOnceAndSearchJsonSaysSo) {
  REQUIRE_PROGRAM("/usr/bin/setpriv", "not installed (util-linux)");
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(2);
  cfg.cameras[1].extra_json = R"("mc_search":false)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const std::string no_raw = "setpriv --bounding-set=-net_raw ";
  for (const char* args : {"search --json", "sync-time --all"}) {
    std::string err;
    const cli_run_t run = run_cli(lab, args, err, no_raw);
    std::size_t warnings = 0;
    for (std::size_t at = err.find("no raw capture"); at != std::string::npos;
         at = err.find("no raw capture", at + 1))
      ++warnings;
    EXPECT_EQ(warnings, 1u) << args << ": " << err;
    EXPECT_NE(err.find("sudo setcap cap_net_raw,cap_net_admin+eip " + std::string(MARDO_CLI)), std::string::npos)
        << args << ": " << err;
    if (std::string(args) != "search --json") continue;
    ASSERT_EQ(run.lines.size(), 1u) << ::testing::PrintToString(run.lines);
    EXPECT_EQ(json_member(run.lines[0], "capture"), "false");
    EXPECT_NE(json_member(run.lines[0], "warning")
                  .find("cameras reached only by raw frames are not found"),
              std::string::npos)
        << run.lines[0];
  }
  EXPECT_EQ(json_member(run_cli(lab, "search --json").lines.at(0), "capture"), "true");
}

TEST(CliLab, MaintenanceFramesExportAndCsv) {
  mardo::lab::lab_config_t cfg;
  cfg.segments = {mardo::lab::segment_t{}, mardo::lab::segment_t{}};
  cfg.cameras.resize(3);
  cfg.cameras[2].segment = 1;
  cfg.cameras[0].extra_json = R"("reboot_ms":60000)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  EXPECT_EQ(run_cli(lab, "sync-time --all").status, 0);
  EXPECT_EQ(run_cli(lab, "delete-logs --all").status, 0);
  EXPECT_EQ(run_cli(lab, "reboot --mac 02:00:01:00:00:00").status, 0);
  const auto events = lab.events();
  for (int n = 0; n < 3; ++n) {
    const auto clock = raw_received(events, n, 0xFFF3);
    const auto logs = raw_received(events, n, 0xFFF4);
    ASSERT_EQ(clock.size(), 1u) << n;
    ASSERT_EQ(logs.size(), 1u) << n;
    EXPECT_EQ(clock[0].len, 30u);
    EXPECT_EQ(logs[0].len, 14u);
    // Each frame left by its camera's own adapter, from that adapter's MAC.
    EXPECT_EQ(clock[0].src, n == 2 ? "02:00:00:00:ff:01" : "02:00:00:00:ff:00") << n;
  }
  ASSERT_EQ(raw_received(events, 0, 0xFFF1).size(), 1u);
  EXPECT_EQ(raw_received(events, 0, 0xFFF1)[0].len, 14u);
  // The rebooting camera answers nothing: the next search does not find it.
  const cli_run_t csv = run_cli(lab, "search --csv");
  ASSERT_EQ(csv.lines.size(), 3u);
  EXPECT_EQ(csv.lines[0].rfind("\xEF\xBB\xBFid,mac,ip,ver,dev,info,", 0), 0u) << csv.lines[0];
  EXPECT_EQ(csv.lines[1].find("192.0.2.10"), std::string::npos);

  mardo::test::temp_dir dir;
  const cli_run_t exported = run_cli(lab, "export-macs --all --out " + dir.file("macs.txt"));
  EXPECT_EQ(exported.status, 0);
  EXPECT_EQ(dir.read("macs.txt").size(), 2u * 19u);
}

}  // namespace

namespace {

// The command frames as a dissector no one here wrote sees them on the camera's wire: tshark,
// capturing in the camera's namespace while mardo-cli sends.
TEST(CliLab, TsharkSeesEachCommandFrameWithItsExactLengthAndBytes) {
  REQUIRE_PROGRAM("/usr/bin/tshark", "not installed (scripts/deps.sh)");
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(1);
  cfg.cameras[0].gateway = "192.0.2.254";
  cfg.cameras[0].extra_json = R"("mc_search":false,"set_ip_moves_interface":false)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  mardo::test::temp_dir dir;
  const std::string file = dir.file("wire.pcap");
  const pid_t tshark = fork();
  if (tshark == 0) {
    execlp("ip", "ip", "netns", "exec", lab.camera_netns(0).c_str(), "tshark", "-q", "-i", "eth0",
           "-f", "ether proto 0xfff1 or ether proto 0xfff2 or ether proto 0xfff3 or ether proto 0xfff4 or ether proto 0xfff8",
           "-w", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // It captures once the file is there.
  for (int i = 0; i < 100 && access(file.c_str(), F_OK) != 0; ++i) usleep(100 * 1000);
  usleep(500 * 1000);
  EXPECT_EQ(run_cli(lab, "ip --mac 02:00:01:00:00:00 --ip 192.0.2.60 --gateway ''").status, 0);
  EXPECT_EQ(run_cli(lab, "sync-time --all").status, 0);
  EXPECT_EQ(run_cli(lab, "delete-logs --all").status, 0);
  EXPECT_EQ(run_cli(lab, "reboot --all").status, 0);
  usleep(500 * 1000);
  kill(tshark, SIGINT);
  waitpid(tshark, nullptr, 0);

  // Wireshark knows 0xFFF2 as Cisco ACI's ARP gleaning; without its ARP dissector the bytes
  // show as plain data.
  const std::string fields =
      "tshark -r " + file + " --disable-protocol arp -Y 'eth.src == 02:00:00:00:ff:00' -T fields -E separator=' ' "
      "-e frame.len -e eth.dst -e eth.type -e data.data 2>/dev/null";
  std::vector<std::string> lines;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(fields.c_str(), "r"), pclose);
  ASSERT_TRUE(pipe);
  char buf[4096];
  while (std::fgets(buf, sizeof buf, pipe.get())) {
    std::string line(buf);
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    lines.push_back(line);
  }
  // Search requests are broadcast (0xFFF0, not captured); what is left is ours, in order. The
  // clock's 16 bytes change from run to run: only their length is fixed.
  ASSERT_EQ(lines.size(), 5u) << ::testing::PrintToString(lines);
  EXPECT_EQ(lines[0], "26 02:00:01:00:00:00 0xfff8 000000000000000000000000");
  EXPECT_EQ(lines[1], "26 02:00:01:00:00:00 0xfff2 c000023cffffff0000000000");
  EXPECT_EQ(lines[2].rfind("30 02:00:01:00:00:00 0xfff3 ", 0), 0u) << lines[2];
  EXPECT_EQ(lines[2].size(), std::string("30 02:00:01:00:00:00 0xfff3 ").size() + 32);
  EXPECT_EQ(lines[3], "14 02:00:01:00:00:00 0xfff4");
  EXPECT_EQ(lines[4], "14 02:00:01:00:00:00 0xfff1");
}

}  // namespace

namespace {

TEST(CliLab, ProductModelsSetThenQueryAndTheRefusals) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(2);
  cfg.cameras[1].extra_json = R"("cmd":false)";  // no command port: it never answers
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  mardo::test::temp_dir dir;
  dir.write("params.bin", mardo::test::pattern(3000));
  const cli_run_t set = run_cli(lab, "product set --product P-100 --hardware HW-2 --package " +
                                         dir.file("params.bin") + " --all");
  EXPECT_EQ(set.status, 1);
  ASSERT_EQ(set.lines.size(), 2u);
  EXPECT_NE(set.lines[0].find("设置成功"), std::string::npos) << set.lines[0];
  EXPECT_NE(set.lines[1].find("设置失败"), std::string::npos) << set.lines[1];
  const cli_run_t query = run_cli(lab, "product query --all");
  EXPECT_EQ(query.status, 1);
  ASSERT_EQ(query.lines.size(), 2u);
  EXPECT_NE(query.lines[0].find("P-100 | HW-2"), std::string::npos) << query.lines[0];
  EXPECT_NE(query.lines[1].find("获取失败"), std::string::npos) << query.lines[1];
  // A package path that does not fit its 256 bytes is refused before anything is sent.
  EXPECT_EQ(run_cli(lab, "product set --product P --hardware H --package /" + std::string(255, 'p') +
                             " --all").status,
            2);
}

TEST(CliLab, FactoryTestExitsZeroOnlyWhenEveryCameraPassed) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(2);
  cfg.cameras[1].extra_json = R"("switch2":31)";
  mardo::lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  // One camera: it is the station camera, and it passes all six items.
  const cli_run_t one = run_cli(lab, "factory-test --mac 02:00:01:00:00:00");
  EXPECT_EQ(one.status, 0);
  ASSERT_FALSE(one.lines.empty());
  EXPECT_NE(one.lines.back().find("出厂测试成功！ (station)"), std::string::npos) << one.lines.back();
  // Two without a station: five items each; one fails its second switch input.
  const cli_run_t both = run_cli(lab, "factory-test --all");
  EXPECT_EQ(both.status, 1);
  ASSERT_GE(both.lines.size(), 2u);
  EXPECT_NE(both.lines[both.lines.size() - 2].find("出厂测试成功！"), std::string::npos);
  EXPECT_NE(both.lines.back().find("开关量2 测试失败！"), std::string::npos) << both.lines.back();
}

}  // namespace
