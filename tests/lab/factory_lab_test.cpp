// The factory test against camsim's cameras: several at once, each with its own results, the
// station camera with its RESET wait.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include "core/text.h"
#include "lab/lab.h"
#include "net/capture.h"
#include "net/raw_frame.h"
#include "testing/factory_test.h"

namespace mardo {
namespace {

// The workstation's lab adapter and a row per camera, as a search would leave them.
void add_lab_rows(const lab::Lab& lab, device_state& state, int cameras, bool ticked) {
  dev_info_t adapter{};
  std::snprintf(adapter.acName, sizeof adapter.acName, "%s", lab.ws_ifname(0).c_str());
  const auto ws_mac = lab.ws_mac(0);
  std::copy(ws_mac.begin(), ws_mac.end(), adapter.aucMac);
  state.adapters.assign({adapter});
  for (int n = 0; n < cameras; ++n) {
    const int row = state.list.add_row();
    state.list.set_text(row, kColMac, wide_string(format_mac_upper(lab.camera_mac(n).data())));
    state.list.set_text(row, kColIp, wide_string(lab.camera(n).ip));
    state.list.set_checked(row, ticked);
  }
}

class scripted_factory_prompts : public factory_prompts {
 public:
  bool ask(std::string_view text) override {
    asked = std::string(text);
    return true;
  }
  bool choose_station(const std::vector<camera_t>&, int* index) override {
    *index = station;
    return true;
  }
  bool choose_port(std::string*, std::string*) override { return false; }
  std::string asked;
  int station = -1;
};

TEST(FactoryLab, EveryCameraAtOnceWithItsOwnResultsAndTheStationsReset) {
  lab::lab_config_t cfg;
  cfg.cameras.resize(3);
  // A camera in UTC+8 reports its clock in its zone: the zone is applied and it passes.
  cfg.cameras[0].extra_json = R"("tz_index":27)";
  cfg.cameras[1].extra_json = R"("switch1":29,"sd":1,"reset_press_ms":-1)";
  // Never back from the reboot: 22 probes, then the clock is asked all the same.
  cfg.cameras[2].extra_json = R"("chip":0,"presence":false)";
  // Ten minutes ahead: every one of the 20 attempts is off by more than 89 s.
  cfg.cameras.emplace_back();
  cfg.cameras[3].extra_json = R"("clock_offset_s":600)";
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  ASSERT_TRUE(load_capture_library());
  device_state state;
  std::mutex mutex;
  std::map<int, std::vector<std::string>> history;
  state.list.subscribe([&](const list_change_t& c) {
    if (c.kind != list_change_t::kText || c.column != kColInfo || !c.text) return;
    std::lock_guard lock(mutex);
    history[c.row].push_back(ansi_string(*c.text));
  });
  {
    lab::netns_scope in(lab.ws_netns());
    add_lab_rows(lab, state, 4, true);
    scripted_factory_prompts prompts;
    prompts.station = 1;
    factory_station_t station;
    factory_timing_t quick;
    // The pauses between items and between clock attempts only; every wait for a camera, and
    // the 20 attempts, stay.
    quick.item_pause_ms = 0;
    quick.clock_retry_ms = 0;
    std::vector<bool> running;
    run_factory_test(state, prompts, &station, [&](bool on) { running.push_back(on); }, quick);
    EXPECT_EQ(prompts.asked, "是否确认开始出厂测试？");
    EXPECT_EQ(station.row, 1);
    EXPECT_EQ(running, (std::vector<bool>{true, false}));
  }
  auto last = [&](int row) { return ansi_string(state.list.text(row, kColInfo)); };
  EXPECT_EQ(last(0), "出厂测试成功！");
  EXPECT_EQ(last(1), "开关量1 SD卡 RESET 测试失败！");
  EXPECT_EQ(last(2), "加密芯片 测试失败！");
  EXPECT_EQ(last(3), "RTC 测试失败！");
  const auto& h1 = history[1];
  EXPECT_NE(std::find(h1.begin(), h1.end(), "SD卡测试失败：已插入但未挂载"), h1.end());
  EXPECT_NE(std::find(h1.begin(), h1.end(), "请在30秒内按下RESET键"), h1.end());
  // Only the station camera is asked for the audio loopback and the RESET key.
  const auto events = lab.events();
  for (int n = 0; n < 3; ++n) {
    int audio = 0, reset = 0, clock = 0, reboot = 0, probes = 0, clock_requests = 0;
    for (const auto& e : events) {
      if (e.camera != n || e.channel != "raw") continue;
      if (e.ethertype == 0xFFF5 && e.bytes.size() >= 16 && e.bytes[14] == 4) ++audio;
      if (e.ethertype == 0xFFF5 && e.bytes.size() >= 16 && e.bytes[14] == 6) ++reset;
      if (e.ethertype == 0xFFF3 && e.len == 30) ++clock;
      if (e.ethertype == 0xFFF1) ++reboot;
      if (e.ethertype == 0xFFF6) ++probes;
      if (e.ethertype == 0xFFF5 && e.bytes.size() >= 16 && e.bytes[14] == 1) ++clock_requests;
    }
    EXPECT_EQ(probes, n == 2 ? 22 : 1) << n;
    EXPECT_EQ(clock_requests, 1) << n;
    EXPECT_EQ(audio, n == 1 ? 1 : 0) << n;
    EXPECT_EQ(reset, n == 1 ? 1 : 0) << n;
    EXPECT_EQ(clock, 1) << n;
    EXPECT_EQ(reboot, 1) << n;
  }
}

}  // namespace
}  // namespace mardo

namespace mardo {
namespace {

// The RS485 item through a pseudo-terminal camsim holds for each station camera: the loopback
// passes once the workstation's end is set from the camera's own record; a record without a
// table entry, or a port that cannot be opened, fails the item only.
TEST(FactoryLab, Rs485ItemOverTheCamerasPseudoTerminal) {
  char tmpl[] = "/tmp/mardo-rs485-XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  lab::lab_config_t cfg;
  cfg.cameras.resize(3);
  cfg.cameras[0].extra_json = R"("rs485_pty":")" + dir + R"(/cam0","rs485_1":[6,3,0,0,0])";
  cfg.cameras[1].extra_json = R"("rs485_pty":")" + dir + R"(/cam1","rs485_2":[9,3,0,0,0])";
  cfg.cameras[2].extra_json = R"("rs485_pty":")" + dir + R"(/cam2")";
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  ASSERT_TRUE(load_capture_library());
  device_state state;
  std::vector<factory_outcome_t> out(3);
  {
    lab::netns_scope in(lab.ws_netns());
    add_lab_rows(lab, state, 3, false);
    const factory_station_t stations[3] = {{state.list.id(0), 0, dir + "/cam0", "RS485-1"},
                                           {state.list.id(1), 1, dir + "/cam1", "RS485-2"},
                                           {state.list.id(2), 2, dir + "/missing", "RS485-1"}};
    factory_timing_t quick;
    quick.item_pause_ms = 0;
    std::vector<std::thread> workers;
    for (int n = 0; n < 3; ++n)
      workers.emplace_back([&, n] { out[static_cast<std::size_t>(n)] = run_factory_worker(state, *camera_at(state, n), stations[n], quick); });
    for (auto& w : workers) w.join();
  }
  EXPECT_EQ(out[0].verdict, "出厂测试成功！");
  EXPECT_EQ(out[0].tested, kItemCount);
  EXPECT_EQ(out[1].verdict, "RS485 测试失败！");
  EXPECT_EQ(out[2].verdict, "RS485 测试失败！");
  // The first camera's port saw the text and its NUL, and answered it unchanged.
  bool echoed = false;
  for (const auto& e : lab.events())
    if (e.camera == 0 && e.channel == "rs485-sent")
      echoed = e.bytes == std::vector<std::uint8_t>{'K', 'T', 'O', ' ', 'R', 'S', '4', '8', '5', ' ', 't', 'e', 's', 't', '1', 0};
  EXPECT_TRUE(echoed);
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace mardo
