// The Windows build of mardo-cli against simulated cameras, run under Wine in the lab's
// workstation namespace. Under Wine a program's sockets and adapter list belong to the
// namespace of its wineserver, not of the program: each test gives the lab a WINEPREFIX of
// its own, starts that prefix's wineserver inside the workstation namespace, and proves it
// is there before the program is started.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lab/lab.h"
#include "upgrade/package.h"
#include "upgrade/upgrade_fixtures.h"

extern char** environ;

namespace {

using mardo::lab::json_member;

namespace fs = std::filesystem;
using mardo::lab::Lab;

// Skips the test, except under CI where it fails it.
#define REQUIRE_OR_SKIP(condition, why)               \
  do {                                                \
    if (!(condition)) {                               \
      if (mardo::lab::running_in_ci()) FAIL() << why; \
      GTEST_SKIP() << why;                            \
    }                                                 \
  } while (0)

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Starts argv with stdout and stderr going to files (never a pipe: Wine's background
// services inherit them and would hold a pipe open until their wineserver ends).
pid_t spawn(std::vector<std::string> argv, const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// The exit status within the bound, or nullopt (the process is then ended by its PID).
std::optional<int> wait_exit(pid_t pid, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return std::nullopt;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string run_to_text(std::vector<std::string> argv, const std::string& scratch) {
  const pid_t pid = spawn(std::move(argv), scratch + ".out", scratch + ".err");
  if (pid < 0) return {};
  wait_exit(pid, 10000);
  std::string text = read_text(scratch + ".out");
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

struct cli_run_t {
  std::vector<std::string> lines;
  std::string err;
  int status = -1;
};

// A Windows station in the lab: a WINEPREFIX of its own (hard links to the build's prefix,
// beside it on the same file system, with what Wine writes copied), whose wineserver runs in
// the workstation namespace.
class wine_station {
 public:
  wine_station(const Lab& lab, std::string dir)
      : lab_(lab), dir_(std::move(dir)), prefix_(MARDO_WINE_STATIONS "/" + lab.lab_id()) {
    std::error_code ec;
    fs::remove_all(prefix_, ec);
    fs::create_directories(fs::path(prefix_).parent_path(), ec);
    fs::copy(MARDO_WINE_TEMPLATE, prefix_,
             fs::copy_options::recursive | fs::copy_options::create_hard_links |
                 fs::copy_options::copy_symlinks,
             ec);
    if (ec) {
      why_not_ = "cannot copy the WINEPREFIX: " + ec.message();
      return;
    }
    // What Wine writes again or appends to (the registry, the server's folder name, the
    // user's folders with the event log): copies, so the build's prefix never changes
    // through a link.
    for (const char* name :
         {"system.reg", "user.reg", "userdef.reg", "wineserver", "drive_c/users"}) {
      const fs::path file = fs::path(prefix_) / name;
      fs::remove_all(file, ec);
      fs::copy(fs::path(MARDO_WINE_TEMPLATE) / name, file,
               fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    }
    server_ = spawn({"ip", "netns", "exec", lab_.ws_netns(), "env", "WINEPREFIX=" + prefix_,
                     "WINEDEBUG=-all", "wineserver", "--foreground", "--persistent"},
                    dir_ + "/wineserver.out", dir_ + "/wineserver.err");
    if (server_ < 0) {
      why_not_ = "cannot start wineserver";
      return;
    }
    // The server is up once its socket exists in the folder it works in; until then a
    // program would start a server of its own.
    const std::string socket = "/proc/" + std::to_string(server_) + "/cwd/socket";
    for (int i = 0; i < 250 && access(socket.c_str(), F_OK) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (access(socket.c_str(), F_OK) != 0) {
      why_not_ = "wineserver made no socket: " + read_text(dir_ + "/wineserver.err");
      return;
    }
    // The folder the server works in is named for the prefix's device and inode; only that
    // one is removed at the end.
    struct stat st {};
    ::stat(prefix_.c_str(), &st);
    char own_name[64];
    std::snprintf(own_name, sizeof own_name, "server-%llx-%llx",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::error_code cwd_error;
    const fs::path cwd = fs::read_symlink("/proc/" + std::to_string(server_) + "/cwd", cwd_error);
    if (cwd.filename() == own_name) server_dir_ = cwd;
    ok_ = server_in_namespace();
    if (!ok_) why_not_ = "wineserver is not in " + lab_.ws_netns() + ": nothing is sent";
  }

  ~wine_station() {
    if (server_ > 0) {
      const pid_t killer = spawn({"env", "WINEPREFIX=" + prefix_, "wineserver", "-k"},
                                 dir_ + "/kill.out", dir_ + "/kill.err");
      if (killer > 0) wait_exit(killer, 10000);
      wait_exit(server_, 10000);
      std::error_code ec;
      if (!server_dir_.empty()) fs::remove_all(server_dir_, ec);
    }
    std::error_code ec;
    fs::remove_all(prefix_, ec);
  }
  wine_station(const wine_station&) = delete;
  wine_station& operator=(const wine_station&) = delete;

  bool ok() const { return ok_; }
  const std::string& why_not() const { return why_not_; }

  // The wineserver's network namespace, as `ip netns identify` names it, and its program.
  bool server_in_namespace() const {
    const std::string pid = std::to_string(server_);
    if (read_text("/proc/" + pid + "/comm").rfind("wineserver", 0) != 0) return false;
    return run_to_text({"ip", "netns", "identify", pid}, dir_ + "/identify") == lab_.ws_netns();
  }

  // mardo-cli.exe in the workstation namespace; nothing starts unless the server is proven
  // to be there now.
  cli_run_t run(const std::string& args_line) {
    cli_run_t run;
    if (!server_in_namespace()) {
      run.err = "wineserver left " + lab_.ws_netns();
      return run;
    }
    std::vector<std::string> argv = {"ip",
                                     "netns",
                                     "exec",
                                     lab_.ws_netns(),
                                     "env",
                                     "WINEPREFIX=" + prefix_,
                                     "WINEDEBUG=-all",
                                     "wine",
                                     MARDO_WINDOWS_CLI};
    std::istringstream words(args_line);
    for (std::string w; words >> w;) argv.push_back(w);
    const std::string out = dir_ + "/cli.out";
    const std::string err = dir_ + "/cli.err";
    const pid_t pid = spawn(argv, out, err);
    if (pid < 0) return run;
    run.status = wait_exit(pid, 120000).value_or(-1);
    std::istringstream lines(read_text(out));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      run.lines.push_back(line);
    }
    run.err = read_text(err);
    return run;
  }

 private:
  const Lab& lab_;
  std::string dir_;
  std::string prefix_;
  pid_t server_ = -1;
  fs::path server_dir_;
  bool ok_ = false;
  std::string why_not_;
};

// A row's MAC column, upper case with ":" as the lab writes MACs.
std::string row_mac(const std::string& json_line) {
  std::unique_ptr<cJSON, void (*)(cJSON*)> o(cJSON_Parse(json_line.c_str()), cJSON_Delete);
  const cJSON* mac = o ? cJSON_GetArrayItem(cJSON_GetObjectItem(o.get(), "columns"), 1) : nullptr;
  if (!cJSON_IsString(mac)) return {};
  std::string text = mac->valuestring;
  for (char& c : text) c = c == '-' ? ':' : static_cast<char>(std::toupper(c));
  return text;
}

// A Windows path to a file of the test: Wine maps the Unix root to drive Z.
std::string windows_path(const std::string& unix_path) {
  return "Z:" + unix_path;
}

class WineLab : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_OR_SKIP(access(MARDO_WINDOWS_CLI, R_OK) == 0,
                    std::string(MARDO_WINDOWS_CLI) + " is missing: run scripts/windows.sh");
    REQUIRE_OR_SKIP(access(MARDO_WINE_TEMPLATE "/system.reg", R_OK) == 0,
                    "no WINEPREFIX at " MARDO_WINE_TEMPLATE ": run scripts/windows.sh");
  }
};

// Camera 0 answers the search over multicast only, camera 1 over raw frames only, camera 2
// over multicast only with its answer sent to the group: the list has each once.
TEST_F(WineLab, SearchFindsCamerasOverMulticastAndRawFrames) {
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(3);
  cfg.cameras[0].raw_search = false;
  cfg.cameras[1].extra_json = R"("mc_search":false)";
  cfg.cameras[2].raw_search = false;
  cfg.cameras[2].extra_json = R"("mc_reply_to":"group")";
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  mardo::test::temp_dir dir;
  wine_station station(lab, dir.path());
  ASSERT_TRUE(station.ok()) << station.why_not();

  const cli_run_t run = station.run("search --json");
  ASSERT_EQ(run.status, 0) << run.err;
  std::multiset<std::string> macs;
  for (const std::string& line : run.lines) {
    if (!row_mac(line).empty()) macs.insert(row_mac(line));
    EXPECT_EQ(json_member(line, "capture"), "true") << line;
  }
  std::multiset<std::string> expected;
  for (int n = 0; n < 3; ++n) {
    const auto m = lab.camera_mac(n);
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    expected.insert(text);
  }
  EXPECT_EQ(macs, expected) << run.err;
  // What the cameras heard: a multicast search and a raw one, each from the Windows program.
  const auto events = lab.events();
  bool heard_mc = false, heard_raw = false;
  for (const auto& e : events) {
    heard_mc = heard_mc || (e.camera == 0 && e.channel == "mc");
    heard_raw = heard_raw || (e.camera == 1 && e.channel == "raw");
  }
  EXPECT_TRUE(heard_mc);
  EXPECT_TRUE(heard_raw);
}

// One command upgrades a camera over the upgrade service and an older one by TFTP; each
// stores exactly the bytes of its image. A third camera refuses the package: its line is a
// failure and the command's status says so.
TEST_F(WineLab, UpgradeSendsEveryCameraItsImageByteForByte) {
  using mardo::test::pattern;
  mardo::lab::lab_config_t cfg;
  cfg.cameras.resize(3);
  cfg.cameras[2].extra_json = R"("svc_header_error":1)";
  // An older camera, TFTP only, whose version names the sensor and region its image is for.
  cfg.cameras[1].extra_json = R"("svc":false)";
  cfg.cameras[1].version = "V5.PANASONIC_MN34220_SUBLVDS_1080P_30FPS_DLA, flash : 24, alpu : 802E";
  Lab lab(cfg);
  LAB_REQUIRE(lab);
  mardo::test::temp_dir dir;
  const auto image = pattern(300000, 1);
  const auto old_image = pattern(200000, 7);
  dir.write("pkg.bin", mardo::test::make_package({{"a.bin", image}},
                                                 {{"x/fw_K702W_SC_mac_.bin", pattern(10, 3)},
                                                  {"y/fw_K8840M_molk_SC_alpu_D_.bin", old_image}},
                                                 1));
  wine_station station(lab, dir.path());
  ASSERT_TRUE(station.ok()) << station.why_not();

  const cli_run_t run =
      station.run("upgrade --package " + windows_path(dir.file("pkg.bin")) + " --all");
  EXPECT_EQ(run.status, 1) << run.err;
  // The last line of each camera is its verdict.
  std::map<std::string, std::string> verdict;
  for (const std::string& line : run.lines)
    if (line.size() > 17 && line[2] == '-') verdict[line.substr(0, 17)] = line;
  EXPECT_NE(verdict["02-00-01-00-00-00"].find("升级成功"), std::string::npos);
  EXPECT_NE(verdict["02-00-01-00-00-01"].find("升级成功"), std::string::npos);
  EXPECT_EQ(verdict["02-00-01-00-00-02"].find("升级成功"), std::string::npos)
      << verdict["02-00-01-00-00-02"];
  EXPECT_FALSE(verdict["02-00-01-00-00-02"].empty());
  const auto events = lab.events();
  const auto crc_of = [](const std::vector<std::uint8_t>& bytes) {
    const std::uint32_t crc = mardo::package_crc32(bytes);
    return std::vector<std::uint8_t>{
        static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
        static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
  };
  std::vector<std::vector<std::uint8_t>> service0, tftp1;
  for (const auto& e : events) {
    if (e.camera == 0 && e.channel == "svc-image") service0.push_back(e.bytes);
    if (e.camera == 1 && e.channel == "tftp-file") tftp1.push_back(e.bytes);
  }
  EXPECT_EQ(service0, std::vector<std::vector<std::uint8_t>>{crc_of(image)});
  EXPECT_EQ(tftp1, std::vector<std::vector<std::uint8_t>>{crc_of(old_image)});
}

}  // namespace
