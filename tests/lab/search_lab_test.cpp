// The search over both paths, against simulated cameras.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "discovery/headless_search.h"
#include "lab/lab.h"
#include "lab/line_console.h"
#include "net/capture.h"
#include "net/tick.h"

namespace mardo {
namespace {

using lab::camera_t;
using lab::Lab;
using lab::lab_config_t;

// One search from the click to the button's re-enable, inside the workstation
// namespace.
headless_search_t run_search(const Lab& lab, device_state& state) {
  lab::netns_scope in(lab.ws_netns());
  return run_headless_search(state);
}

std::string col(const device_state& s, int row, int column) {
  return ansi_string(s.list.text(row, column));
}

int find_row(const device_state& s, const std::string& mac) {
  for (int row = 0; row < s.list.count(); ++row) {
    if (col(s, row, kColMac) == mac) return row;
  }
  return -1;
}

camera_t cam(int segment, const char* mac, const char* ip, const char* extra = "") {
  camera_t c;
  c.segment = segment;
  c.mac = mac;
  c.ip = ip;
  c.gateway = "192.0.2.254";
  c.extra_json = extra;
  return c;
}

class SearchLab : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(load_capture_library()); }
  void TearDown() override { state_.adapters.clear(); }
  device_state state_;
};

TEST_F(SearchLab, BothPathsWithTheSameMacTextGiveOneRowAndTheAddressIsMapped) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:AB:00:00:03:01", "192.0.2.31", R"("mc_mac":"02:AB:00:00:03:01")")};
  cfg.cameras[0].version = "V1.0.2.SVR_3.4.5, algo : x1, flash : 16M";
  cfg.cameras[0].model = "IPC-B1";
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  const auto result = run_search(lab, state_);
  ASSERT_EQ(state_.list.count(), 1);
  EXPECT_EQ(col(state_, 0, kColId), "1");
  EXPECT_EQ(col(state_, 0, kColMac), "02-AB-00-00-03-01");
  EXPECT_EQ(col(state_, 0, kColIp), "192.0.2.31");
  EXPECT_EQ(col(state_, 0, kColVer), "3.4.5, flash : 16M");
  EXPECT_EQ(col(state_, 0, kColFullVersion), "V1.0.2.SVR_3.4.5, algo : x1, flash : 16M");
  EXPECT_EQ(col(state_, 0, kColDev), "IPC-B1");
  EXPECT_EQ(col(state_, 0, kColEtherName), "eth0");
  EXPECT_EQ(col(state_, 0, kColLocalMac), "02-00-00-00-ff-00");
  EXPECT_EQ(row_adapter(state_.list.tag(0)), 0);
  const auto addr = state_.addrs.lookup("02-AB-00-00-03-01");
  ASSERT_TRUE(addr);
  EXPECT_EQ(addr->uiIp, inet_addr("192.0.2.31"));
  EXPECT_EQ(addr->uiNetmask, inet_addr("255.255.255.0"));
  ASSERT_EQ(result.enable_history, (std::vector<bool>{false, true}));
  EXPECT_GE(result.took_ms, 3000u);
  EXPECT_LT(result.took_ms, 4500u);
}

// A click on the button once it shows enabled again must start a search, not be ignored.
TEST_F(SearchLab, TheButtonIsEnabledOnlyWhenAClickWouldStartASearch) {
  Lab lab(lab_config_t{});
  LAB_REQUIRE(lab);
  lab::netns_scope in(lab.ws_netns());
  headless_window window;
  std::vector<bool> running_at_enable;
  {
    device_search search(state_, window);
    window.bind(search);
    window.on_enable([&](bool enabled) {
      if (enabled) running_at_enable.push_back(search.running());
    });
    search.on_search_clicked();
    search.wait_idle();
    window.stop_timer();
  }
  EXPECT_EQ(running_at_enable, std::vector<bool>{false});
}

TEST_F(SearchLab, LowercaseMulticastMacGivesASecondRow) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:ab:00:00:03:02", "192.0.2.32", R"("mc_mac":"02:ab:00:00:03:02")")};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  run_search(lab, state_);
  ASSERT_EQ(state_.list.count(), 2);
  EXPECT_GE(find_row(state_, "02-AB-00-00-03-02"), 0);
  EXPECT_GE(find_row(state_, "02-ab-00-00-03-02"), 0);
  EXPECT_TRUE(state_.addrs.lookup("02-ab-00-00-03-02").has_value());
  EXPECT_FALSE(state_.addrs.lookup("02-AB-00-00-03-02").has_value());
  // Both rows share the address, so both are marked.
  EXPECT_EQ(col(state_, 0, kColDupMark), "1");
  EXPECT_EQ(col(state_, 1, kColDupMark), "1");
}

TEST_F(SearchLab, OneCameraOnTwoAdaptersGetsOneRowOnTheFirstToAnswer) {
  lab_config_t cfg;
  cfg.segments = {lab::segment_t{}, lab::segment_t{}};
  // The same camera seen from both segments; the one on segment 0 is slow to
  // answer.
  cfg.cameras = {cam(0, "02:AB:00:00:03:03", "192.0.2.33", R"("mc_search":false)"),
                 cam(1, "02:AB:00:00:03:03", "198.51.100.33", R"("mc_search":false)")};
  cfg.cameras[0].reply_delay_ms = 400;
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  run_search(lab, state_);
  ASSERT_EQ(state_.list.count(), 1);
  EXPECT_EQ(row_adapter(state_.list.tag(0)), 1);
  EXPECT_EQ(col(state_, 0, kColIp), "198.51.100.33");
  EXPECT_EQ(col(state_, 0, kColEtherName), "eth1");
}

TEST_F(SearchLab, ASecondMulticastAnswerUpdatesTheMapButNotTheList) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:ab:00:00:03:04", "192.0.2.34",
                     R"("raw_search":false,"mc_mac":"02:ab:00:00:03:04",)"
                     R"("mc_answers":[{},{"delay_ms":300,"ip":"192.0.2.134"}])")};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  run_search(lab, state_);
  ASSERT_EQ(state_.list.count(), 1);
  EXPECT_EQ(col(state_, 0, kColIp), "192.0.2.34");
  const auto addr = state_.addrs.lookup("02-ab-00-00-03-04");
  ASSERT_TRUE(addr);
  EXPECT_EQ(addr->uiIp, inet_addr("192.0.2.134"));
}

TEST_F(SearchLab, AlgorithmMarkersHideTheCameraOnBothPaths) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:AB:00:00:03:05", "192.0.2.35"),
                 cam(0, "02:AB:00:00:03:06", "192.0.2.36"),
                 cam(0, "02:AB:00:00:03:07", "192.0.2.37")};
  for (auto& c : cfg.cameras) {
    c.extra_json = "\"mc_mac\":\"" + c.mac + "\",\"mc_answers\":[{\"delay_ms\":500}]";
  }
  cfg.cameras[0].version = "V5, algo : rvk";
  cfg.cameras[1].version = "V5, algo : Rvkw";
  cfg.cameras[2].version = "V5, algo : x2";
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  run_search(lab, state_);
  ASSERT_EQ(state_.list.count(), 1);
  EXPECT_EQ(col(state_, 0, kColMac), "02-AB-00-00-03-07");
  // The hidden cameras' multicast answers were still mapped.
  EXPECT_TRUE(state_.addrs.lookup("02-AB-00-00-03-05").has_value());
}

TEST_F(SearchLab, ShortRawAnswerGivesNumberMacAndIpOnly) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:AB:00:00:03:08", "192.0.2.38", R"("mc_search":false)")};
  cfg.cameras[0].search_answer_len = 78;
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  run_search(lab, state_);
  ASSERT_EQ(state_.list.count(), 1);
  EXPECT_EQ(col(state_, 0, kColId), "1");
  EXPECT_EQ(col(state_, 0, kColMac), "02-AB-00-00-03-08");
  EXPECT_EQ(col(state_, 0, kColIp), "192.0.2.38");
  for (int c : {kColVer, kColDev, kColFullVersion, kColEtherName, kColLocalMac, kColAlgo}) {
    EXPECT_EQ(col(state_, 0, c), "") << c;
  }
}

TEST_F(SearchLab, SharedAddressesAreMarkedAndRowsSortedAndNumbered) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:AB:00:00:04:01", "192.0.2.50", R"("mc_search":false)"),
                 cam(0, "02:AB:00:00:04:02", "192.0.2.7", R"("mc_search":false)"),
                 cam(0, "02:AB:00:00:04:03", "192.0.2.50", R"("mc_search":false)"),
                 cam(0, "02:AB:00:00:04:04", "192.0.2.200", R"("mc_search":false)"),
                 cam(0, "02:AB:00:00:04:05", "192.0.2.50", R"("mc_search":false)")};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  run_search(lab, state_);
  ASSERT_EQ(state_.list.count(), 5);
  const char* ips[] = {"192.0.2.7", "192.0.2.50", "192.0.2.50", "192.0.2.50", "192.0.2.200"};
  for (int row = 0; row < 5; ++row) {
    EXPECT_EQ(col(state_, row, kColIp), ips[row]);
    EXPECT_EQ(col(state_, row, kColId), std::to_string(row + 1));
    EXPECT_EQ(col(state_, row, kColDupMark), (row >= 1 && row <= 3) ? "1" : "");
  }
}

TEST_F(SearchLab, NoAnswersStillTakesThreeSecondsAndLeavesEverythingEmpty) {
  lab_config_t cfg;
  cfg.cameras = {
      cam(0, "02:AB:00:00:05:01", "192.0.2.51", R"("mc_search":false,"raw_search":false)")};
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  state_.list.add_row();  // a stale row from before goes
  const auto result = run_search(lab, state_);
  EXPECT_EQ(state_.list.count(), 0);
  EXPECT_EQ(state_.addrs.size(), 0u);
  EXPECT_EQ(state_.seen.size(), 0u);
  EXPECT_GE(result.took_ms, 3000u);
  EXPECT_LT(result.took_ms, 4500u);
  // The search frames went out three times, a second apart.
  const auto events = lab.events();
  std::vector<std::uint64_t> at;
  std::size_t frame_size = 0;
  for (const auto& e : events) {
    if (e.channel != "raw" || e.ethertype != 0xFFF0) continue;
    at.push_back(e.t_ms);
    frame_size = e.bytes.size();
  }
  ASSERT_EQ(at.size(), 3u);
  EXPECT_NEAR(static_cast<double>(at[1] - at[0]), 1000.0, 200.0);
  EXPECT_NEAR(static_cast<double>(at[2] - at[1]), 1000.0, 200.0);
  EXPECT_EQ(frame_size, 128u);
}

TEST_F(SearchLab, WithoutAnyAdapterTheSearchStillTakesThreeSeconds) {
  lab_config_t cfg;
  cfg.add_tun = true;
  cfg.start_camsim = false;
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  // Leave the workstation with loopback and a tun device only.
  ASSERT_EQ(std::system(("ip -n " + lab.ws_netns() + " link del eth0").c_str()), 0);
  const auto result = run_search(lab, state_);
  EXPECT_EQ(state_.adapters.count(), 0);
  EXPECT_EQ(state_.list.count(), 0);
  EXPECT_GE(result.took_ms, 3000u);
  EXPECT_LT(result.took_ms, 4500u);
}

TEST_F(SearchLab, DiagnosticLinesOfBothPaths) {
  lab_config_t cfg;
  // One camera per path: the raw line is written only for a row the raw path makes.
  cfg.cameras = {cam(0, "02:AB:00:00:06:01", "192.0.2.61", R"("mc_search":false)"),
                 cam(0, "02:AB:00:00:06:02", "192.0.2.62", R"("raw_search":false)")};
  cfg.cameras[0].version = "V6.1";
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  std::vector<std::string> lines;
  {
    lab::console_scope log;
    run_search(lab, state_);
    lines = log.console.lines();
  }
  auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("[192.0.2.1]winpcap recv: V6.1 \r\n"));
  EXPECT_TRUE(
      has("[192.0.2.1]Send: iSend=37, acTempBuf={\"cmd\":\"devSearch\", "
          "\"type\":1}, error=0\r\n"));
  bool socket_line = false;
  for (const auto& l : lines) {
    if (l.rfind("[192.0.2.1]socket recv: {", 0) == 0 && l.ends_with("} \r\n")) socket_line = true;
  }
  EXPECT_TRUE(socket_line);
  // The request reached the camera as a 37-byte datagram with the little-endian
  // header.
  const auto events = lab.events();
  bool request_seen = false;
  for (const auto& e : events) {
    if (e.channel != "mc" || e.bytes.size() != 37) continue;
    const std::vector<std::uint8_t> head(e.bytes.begin(), e.bytes.begin() + 8);
    EXPECT_EQ(head, (std::vector<std::uint8_t>{0xBA, 0xBA, 0xBA, 0x5A, 0x1D, 0, 0, 0}));
    request_seen = true;
  }
  EXPECT_TRUE(request_seen);
}

TEST_F(SearchLab, ShowAlgoSwitchRedisplaysEveryRow) {
  lab_config_t cfg;
  cfg.cameras = {cam(0, "02:AB:00:00:07:01", "192.0.2.71", R"("mc_search":false)")};
  cfg.cameras[0].version = "V1.SVR_2.0, algo : a, flash : 8M";
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  run_search(lab, state_);
  ASSERT_EQ(state_.list.count(), 1);
  EXPECT_EQ(col(state_, 0, kColVer), "2.0, flash : 8M");
  headless_window window;
  device_search search(state_, window);
  state_.show_algo = 1;
  search.on_show_algo_changed();
  EXPECT_EQ(col(state_, 0, kColVer), "V1.SVR_2.0, algo : a, flash : 8M");
  state_.show_algo = 0;
  search.on_show_algo_changed();
  EXPECT_EQ(col(state_, 0, kColVer), "2.0, flash : 8M");
  EXPECT_EQ(window.control_reads(), 2);
}

}  // namespace
}  // namespace mardo
