// The upgrade session and the upgrade manager against camsim's cameras: every route end to
// end, with the texts each row showed and the bytes each camera stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "lab/lab.h"
#include "net/raw_frame.h"
#include "net/sockets.h"
#include "upgrade/package.h"
#include "upgrade/tftp_transfer.h"
#include "upgrade/upgrade_fixtures.h"
#include "upgrade/upgrade_manager.h"
#include "upgrade/upgrade_session.h"

namespace mardo {
namespace {

using test::bytes_t;
using test::pattern;

constexpr const char* kCamera = "V5.PANASONIC_MN34220_SUBLVDS_1080P_30FPS_DLA, flash : 24, alpu : 802E";
constexpr const char* kOldImageName = "fw_K8840M_molk_SC_alpu_D_.bin";

// Short waits: the routes' behaviour, not their pacing, is under test here.
constexpr session_timing_t kQuick{.after_patch_ms = 300,
                                  .patch_probe_seconds = 3,
                                  .probe_pause_ms = 200,
                                  .restart_tries = 20,
                                  .status_deadline_ms = 1500,
                                  .poll_pause_ms = 50,
                                  .prepare_wait_ms = 100};

// The window's part: rows, their column-5 history, the package path, message boxes.
class lab_host : public upgrade_host {
 public:
  explicit lab_host(session_timing_t timing = kQuick) : timing_(timing) {
    state_.list.subscribe([this](const list_change_t& c) {
      if (c.kind != list_change_t::kText || c.column != kColInfo || !c.text) return;
      std::lock_guard lock(mutex_);
      history_[c.row].push_back(ansi_string(*c.text));
    });
  }
  device_state& state() override { return state_; }
  void post_transfer_progress(const upgrade_task_t& task, int percent) override {
    state_.list.set_status_of(task.camera.id, transfer_progress_text(task.image_name, percent));
  }
  std::u16string read_package_path() override { return wide_string(path); }
  void set_upgrade_enabled(bool on) override {
    std::lock_guard lock(mutex_);
    enabled.push_back(on);
  }
  void message_box(std::string_view text, std::string_view) override {
    std::lock_guard lock(mutex_);
    boxes.emplace_back(text);
  }
  const session_timing_t& timing() const override { return timing_; }

  // A row for camera n of the lab.
  int add_camera(const lab::Lab& lab, int n) {
    const int row = state_.list.add_row();
    state_.list.set_text(row, kColMac, wide_string(format_mac_upper(lab.camera_mac(n).data())));
    state_.list.set_text(row, kColIp, wide_string(lab.camera(n).ip));
    state_.list.set_text(row, kColFullVersion, wide_string(kCamera));
    state_.list.set_checked(row, true);
    return row;
  }
  std::vector<std::string> history(int row) {
    std::lock_guard lock(mutex_);
    return history_[row];
  }
  std::string final_text(int row) { return ansi_string(state_.list.text(row, kColInfo)); }

  std::string path;
  std::vector<bool> enabled;
  std::vector<std::string> boxes;

 private:
  device_state state_;
  session_timing_t timing_;
  std::mutex mutex_;
  std::map<int, std::vector<std::string>> history_;
};

using files_t = std::vector<std::vector<std::uint8_t>>;

std::vector<std::uint8_t> crc_be(const bytes_t& bytes) {
  const std::uint32_t crc = package_crc32(bytes);
  return {static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
          static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
}

// The files camera n stored whole, by channel ("svc-image", "tftp-file"), as CRC bytes.
std::vector<std::vector<std::uint8_t>> stored(const std::vector<lab::sim_event_t>& events, int n,
                                              const std::string& channel) {
  std::vector<std::vector<std::uint8_t>> out;
  for (const auto& e : events)
    if (e.camera == n && e.channel == channel) out.push_back(e.bytes);
  return out;
}

// The work record of camera n's session over `package`, with the camera's row in the list.
upgrade_task_t session_task(lab_host& host, const lab::Lab& lab, int n, const bytes_t& package) {
  upgrade_task_t task;
  task.owner = &host;
  task.camera = *camera_at(host.state(), host.add_camera(lab, n));
  task.data = package.data();
  task.length = static_cast<int>(package.size());
  return task;
}

const bytes_t kImageA = pattern(3000, 1);  // three pieces
const bytes_t kImageB = pattern(1025, 2);  // two pieces: 1024 and 1

struct SessionRow {
  const char* name;
  const char* behaviour;  // camsim members of the camera
  std::vector<std::string> history;  // column 5 from the start, or only the last text when one
  int images;  // images the camera took whole and intact
  bool empty_first = false;  // the package's first image is empty, its second kImageB
};

// Every row's camera in one lab, every session at once on its own thread.
TEST(UpgradeSessionLab, ServiceRouteOutcomes) {
  const std::vector<SessionRow> rows = {
      {"two_entries",
       "",
       {"进度 16% (1/2) a.bin", "进度 33% (1/2) a.bin", "进度 50% (1/2) a.bin",
        "进度 75% (2/2) b.bin", "进度 100% (2/2) b.bin", "升级成功，相机即将重启！"},
       2},
      {"no_restart_flag_and_slow_finish",
       R"("svc_reset_flag":false,"svc_finish_after":2)",
       {"进度 16% (1/2) a.bin", "进度 33% (1/2) a.bin", "进度 50% (1/2) a.bin",
        "正在更新 (1/2) a.bin", "进度 75% (2/2) b.bin", "进度 100% (2/2) b.bin",
        "正在更新 (2/2) b.bin", "升级文件已更新完成！"},
       2},
      // The polling failures end an entry, not the route: the next image still goes out.
      {"status_error_word", R"("svc_status":"error")", {"获取升级状态失败"}, 2},
      {"status_never_finishes", R"("svc_finish_after":1000000)", {"等待相机更新状态超时"}, 2},
      {"image_answer_error", R"("svc_image_error":5)", {"查询相机重启状态失败"}, 1},
      {"header_rejected",
       R"("svc_header_error":1)",
       {"包头数据校验回应失败，请检查升级包是否正确"},
       0},
      // Each answer's header and text written apart are read as one answer.
      {"answers_split_in_two_writes", R"("svc_split_ms":100)", {"升级成功，相机即将重启！"}, 2},
      // Older cameras state no length in their answers; the text behind the header counts.
      {"answers_that_state_no_length", R"("svc_unsized":true)", {"升级成功，相机即将重启！"}, 2},
      // A bare header accepts nothing: no image goes out.
      {"bare_header_answer", R"("svc_header_bare":true)", {"包头数据应答失败"}, 0},
      // The last image's success does not hide the first one's failure.
      {"status_error_on_image_0_of_2", R"("svc_status_error_image":0)", {"获取升级状态失败"}, 2},
      // The image after an empty one still goes out; the empty one is the last word.
      {"empty_first_image", "", {"a.bin 小包大小为0"}, 1, true},
  };
  lab::lab_config_t cfg;
  for (const auto& row : rows) cfg.cameras.push_back({.extra_json = row.behaviour});
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const bytes_t package = test::make_package({{"fw/a.bin", kImageA}, {"fw/b.bin", kImageB}}, {}, 1);
  const bytes_t empty_first = test::make_package({{"fw/a.bin", {}}, {"fw/b.bin", kImageB}}, {}, 1);
  lab_host host;
  std::vector<upgrade_task_t> tasks(rows.size());
  std::vector<std::thread> workers;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    upgrade_task_t& task = tasks[i];
    task = session_task(host, lab, static_cast<int>(i), rows[i].empty_first ? empty_first : package);
    workers.emplace_back([&lab, &task] {
      lab::netns_scope in(lab.ws_netns());
      run_upgrade_session(task, kQuick);
    });
  }
  for (auto& w : workers) w.join();
  const auto events = lab.events();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].name);
    const int row = static_cast<int>(i);
    if (rows[i].history.size() == 1)
      EXPECT_EQ(host.final_text(row), rows[i].history[0]);
    else
      EXPECT_EQ(host.history(row), rows[i].history);
    const auto images = stored(events, row, "svc-image");
    ASSERT_EQ(images.size(), static_cast<std::size_t>(rows[i].images));
    const files_t sent =
        rows[i].empty_first ? files_t{crc_be(kImageB)} : files_t{crc_be(kImageA), crc_be(kImageB)};
    EXPECT_TRUE(std::equal(images.begin(), images.end(), sent.begin()));
  }
}

// The routes other than the service: the bootstrap, the older devices, and the ends before
// any image goes out.
TEST(UpgradeSessionLab, BootstrapOlderRouteAndRefusals) {
  lab::lab_config_t cfg;
  cfg.cameras = {
      {.extra_json = R"("svc":false,"svc_after_patch":true,"svc_restart_ms":300)"},  // bootstrap
      {.extra_json = R"("svc":false)"},  // older device
      {.extra_json = R"("svc":false)"},  // older device, no old entries
      {.extra_json = R"("svc":false)"},  // the bootstrap that never brings the service
      {},                                // a package whose header was altered
  };
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  test::temp_dir dir;
  const bytes_t patch = pattern(5000, 9);
  const bytes_t old_image = pattern(2000, 7);
  const bytes_t with_patch = test::make_package({{"a.bin", kImageA}}, {}, 1);
  const bytes_t with_old =
      test::make_package({{"a.bin", kImageA}}, {{"x/fw_K702W_SC_mac_.bin", pattern(10, 3)},
                                                {std::string("y/") + kOldImageName, old_image}}, 1);
  const bytes_t new_only = test::make_package({{"a.bin", kImageA}}, {}, 1);
  bytes_t altered = new_only;
  altered[100] ^= 1;  // inside the range the header checksum covers
  dir.write("p/pkg.bin", with_patch);
  dir.write("p/patch.bin", patch);
  dir.write("q/patch.bin", patch);

  struct run_t {
    const bytes_t* package;
    std::string path;
  };
  const std::vector<run_t> runs = {{&with_patch, dir.file("p/pkg.bin")},
                                   {&with_old, dir.file("o/pkg.bin")},
                                   {&new_only, dir.file("o/pkg.bin")},
                                   {&with_patch, dir.file("q/pkg.bin")},
                                   {&altered, dir.file("o/pkg.bin")}};
  std::vector<std::unique_ptr<lab_host>> hosts;
  std::vector<upgrade_task_t> tasks(runs.size());
  std::vector<std::thread> workers;
  std::uint16_t port = 0;
  socket_handle reserved(open_bound_socket(kSockDatagram, port, 0));
  for (std::size_t i = 0; i < runs.size(); ++i) {
    hosts.push_back(std::make_unique<lab_host>());
    lab_host& host = *hosts.back();
    host.keep_package_path(wide_string(runs[i].path));
    upgrade_task_t& task = tasks[i];
    task.owner = &host;
    task.camera = *camera_at(host.state(), host.add_camera(lab, static_cast<int>(i)));
    task.data = runs[i].package->data();
    task.length = static_cast<int>(runs[i].package->size());
    task.local_port = port;
    workers.emplace_back([&lab, &task] {
      lab::netns_scope in(lab.ws_netns());
      run_upgrade_session(task, kQuick);
    });
  }
  for (auto& w : workers) w.join();
  const auto events = lab.events();

  EXPECT_EQ(hosts[0]->final_text(0), "升级成功，相机即将重启！");
  const auto h0 = hosts[0]->history(0);
  EXPECT_NE(std::find(h0.begin(), h0.end(), "patch包更新完成，等待相机重启..."), h0.end());
  EXPECT_EQ(stored(events, 0, "tftp-file"), files_t{crc_be(patch)});
  EXPECT_EQ(stored(events, 0, "svc-image"), files_t{crc_be(kImageA)});

  EXPECT_EQ(hosts[1]->history(0).front(), kOldImageName);
  EXPECT_EQ(hosts[1]->final_text(0), "升级成功，相机即将重启！");
  EXPECT_EQ(stored(events, 1, "tftp-file"), files_t{crc_be(old_image)});

  EXPECT_EQ(hosts[2]->final_text(0), "旧升级包个数为0");
  EXPECT_EQ(hosts[3]->final_text(0), "相机重启超时");
  EXPECT_EQ(hosts[4]->final_text(0), "大包CRC校验失败");
  // Nothing goes out for a package that fails its checks.
  for (const auto& e : events) EXPECT_NE(e.camera, 4) << e.channel;
}

// A camera that drops the connection mid-image: a failure text, never a success.
TEST(UpgradeSessionLab, ConnectionResetMidImageEndsWithAFailure) {
  lab::lab_config_t cfg;
  cfg.cameras = {{.extra_json = R"("svc_reset_after":3)"}};
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const bytes_t package = test::make_package({{"big.bin", pattern(8u << 20, 4)}}, {}, 1);
  lab_host host;
  upgrade_task_t task = session_task(host, lab, 0, package);
  {
    lab::netns_scope in(lab.ws_netns());
    run_upgrade_session(task, kQuick);
  }
  const std::string text = host.final_text(0);
  EXPECT_TRUE(text.rfind("发送升级包数据失败 ", 0) == 0 || text == "查询相机重启状态失败") << text;
  EXPECT_TRUE(stored(lab.events(), 0, "svc-image").empty());
}

// The workstation's count of destinations it reported unreachable to its own sockets (an
// address request that went unanswered three times ends there).
long unreachable_reports(const lab::Lab& lab) {
  lab::netns_scope in(lab.ws_netns());
  std::ifstream snmp("/proc/thread-self/net/snmp");
  std::string names, values;
  while (std::getline(snmp, names) && std::getline(snmp, values)) {
    if (names.rfind("Icmp:", 0) != 0) continue;
    std::istringstream n(names), v(values);
    std::string name, value;
    while (n >> name && v >> value)
      if (name == "OutDestUnreachs") return std::stol(value);
  }
  return -1;
}

// On a full link the workstation's address requests can be lost until the kernel gives the
// camera up as unreachable; the session asks again rather than take the camera for one
// without the service. Here the camera's switch port is down until the kernel gave it up.
TEST(UpgradeSessionLab, CameraUnreachableAtFirstIsAskedAgain) {
  lab::lab_config_t cfg;
  cfg.cameras.resize(1);
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  const std::string port = "ip -n " + lab.lab_id() + "-sw link set c0 ";
  const long before = unreachable_reports(lab);
  ASSERT_EQ(std::system((port + "down").c_str()), 0);
  const bytes_t package = test::make_package({{"fw/a.bin", kImageA}}, {}, 1);
  lab_host host;
  upgrade_task_t task = session_task(host, lab, 0, package);
  std::thread session([&lab, &task] {
    lab::netns_scope in(lab.ws_netns());
    run_upgrade_session(task, kQuick);
  });
  bool gave_up = false;
  for (int i = 0; i < 200 && !gave_up; ++i) {
    gave_up = unreachable_reports(lab) > before;
    if (!gave_up) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(std::system((port + "up").c_str()), 0);
  session.join();
  EXPECT_TRUE(gave_up) << "the workstation never gave the camera up";
  EXPECT_EQ(host.final_text(0), "升级成功，相机即将重启！");
  EXPECT_EQ(stored(lab.events(), 0, "svc-image"), files_t{crc_be(kImageA)});
}

// The manager over a lab: three cameras per run, with the real waits.
class UpgradeManagerLab : public ::testing::Test {
 protected:
  void SetUp() override {
    cfg_.cameras.resize(3);
    for (auto& c : cfg_.cameras) c.extra_json = R"("svc":false)";
  }
  // First event of a channel per camera, as camsim's clock saw it.
  static std::vector<std::uint64_t> first_times(const std::vector<lab::sim_event_t>& events,
                                                const std::string& channel, int cameras) {
    std::vector<std::uint64_t> t(static_cast<std::size_t>(cameras), 0);
    for (const auto& e : events)
      if (e.channel == channel && e.camera >= 0 && e.camera < cameras &&
          t[static_cast<std::size_t>(e.camera)] == 0)
        t[static_cast<std::size_t>(e.camera)] = e.t_ms;
    return t;
  }
  lab::lab_config_t cfg_;
};

TEST_F(UpgradeManagerLab, ArchiveWithAFullPackageStartsEveryWorkerAtOnce) {
  for (auto& c : cfg_.cameras) c.extra_json = "";
  lab::Lab lab(cfg_);
  LAB_REQUIRE(lab);
  test::temp_dir dir;
  dir.write("full.bin", test::make_package({{"a.bin", kImageA}}, {}, 1));
  ASSERT_TRUE(dir.zip("fw.iupk", {"full.bin"}));
  lab_host host(kSessionTiming);
  for (int n = 0; n < 3; ++n) host.add_camera(lab, n);
  host.state().list.set_text(1, kColInfo, u"stale");
  host.path = dir.file("fw.iupk");
  {
    lab::netns_scope in(lab.ws_netns());
    run_upgrade(host);
  }
  const auto events = lab.events();
  const auto t = first_times(events, "svc", 3);
  for (int n = 0; n < 3; ++n) {
    EXPECT_EQ(host.final_text(n), "升级成功，相机即将重启！") << n;
    EXPECT_EQ(stored(events, n, "svc-image"), files_t{crc_be(kImageA)}) << n;
  }
  EXPECT_EQ(host.history(1).at(1), "");  // cleared first
  EXPECT_LT(*std::max_element(t.begin(), t.end()) - *std::min_element(t.begin(), t.end()), 1000u);
  EXPECT_EQ(host.enabled, (std::vector<bool>{false, true}));
  EXPECT_TRUE(host.boxes.empty());
}

TEST_F(UpgradeManagerLab, ArchiveOfPlainImagesSendsThemByTftpAboutThreeSecondsApart) {
  lab::Lab lab(cfg_);
  LAB_REQUIRE(lab);
  test::temp_dir dir;
  const bytes_t image = pattern(7000, 5);
  dir.write(kOldImageName, image);
  dir.write("fw_K8840M_SC_mac_.bin", pattern(100, 6));
  ASSERT_TRUE(dir.zip("fw.zip", {"fw_K8840M_SC_mac_.bin", kOldImageName}));
  lab_host host(kSessionTiming);
  for (int n = 0; n < 3; ++n) host.add_camera(lab, n);
  host.path = dir.file("fw.zip");
  {
    lab::netns_scope in(lab.ws_netns());
    run_upgrade(host);
  }
  const auto events = lab.events();
  const auto t = first_times(events, "tftp", 3);
  for (int n = 0; n < 3; ++n) {
    EXPECT_EQ(host.final_text(n), "升级成功，相机即将重启！") << n;
    EXPECT_EQ(stored(events, n, "tftp-file"), files_t{crc_be(image)}) << n;
    EXPECT_EQ(host.history(n).at(1), kOldImageName) << n;
  }
  for (int n = 1; n < 3; ++n) {
    EXPECT_GE(t[n] - t[n - 1], 2900u) << n;
    EXPECT_LT(t[n] - t[n - 1], 4500u) << n;
  }
  // Each TFTP transfer was announced by the request 21380 on the command port.
  for (std::uint64_t at : first_times(events, "cmd", 3)) EXPECT_NE(at, 0u);
}

TEST_F(UpgradeManagerLab, PathWithoutADotIsAPlainImageSentUnderItsOwnName) {
  cfg_.cameras.resize(2);
  lab::Lab lab(cfg_);
  LAB_REQUIRE(lab);
  test::temp_dir dir;
  const bytes_t image = pattern(1500, 8);
  dir.write("firmware", image);
  lab_host host(kQuick);
  for (int n = 0; n < 2; ++n) host.add_camera(lab, n);
  host.path = dir.file("firmware");
  {
    lab::netns_scope in(lab.ws_netns());
    run_upgrade(host);
  }
  const auto events = lab.events();
  for (int n = 0; n < 2; ++n) {
    EXPECT_EQ(host.final_text(n), "升级成功，相机即将重启！") << n;
    EXPECT_EQ(stored(events, n, "tftp-file"), files_t{crc_be(image)}) << n;
    bool named = false;
    for (const auto& e : events)
      if (e.camera == n && e.channel == "tftp" &&
          std::string(e.bytes.begin(), e.bytes.end()).find("firmware") == 2)
        named = true;
    EXPECT_TRUE(named) << n;
  }
}

}  // namespace
}  // namespace mardo
