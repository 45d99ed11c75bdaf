#include "core/log.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

extern char** environ;

namespace mardo {
namespace {

namespace fs = std::filesystem;

std::string today() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::strftime(stamp, sizeof stamp, "%Y%m%d", &local);
  return stamp;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Sets an environment variable for the life of the object.
class scoped_env {
 public:
  scoped_env(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~scoped_env() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  scoped_env(const scoped_env&) = delete;
  scoped_env& operator=(const scoped_env&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class EventLog : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mardo-event-log-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    // Nothing from an earlier test may still be on its way.
    flush_event_log();
  }
  void TearDown() override {
    flush_event_log();
    fs::remove_all(root_);
  }

  // Today's file; a test that runs across midnight reads both days.
  std::string logged(const fs::path& dir, const std::string& day_before) const {
    std::string text = read_file(dir / ("events-" + day_before + ".log"));
    if (today() != day_before) text += read_file(dir / ("events-" + today() + ".log"));
    return text;
  }

  fs::path root_;
};

TEST_F(EventLog, AppendsLinesWithOneLineEndToTheDayFile) {
  const scoped_env state("XDG_STATE_HOME", (root_ / "state").string());
  const std::string day = today();
  const fs::path dir = root_ / "state" / "mardo";
  fs::create_directories(dir);
  std::ofstream(dir / ("events-" + day + ".log")) << "kept\n";

  log_event("upgrade 192.0.2.10 start");
  log_event("reboot 192.0.2.11\r\n");
  log_event("test 192.0.2.12 done\n");
  log_event(nullptr);
  log_event("");
  flush_event_log();

  EXPECT_EQ(logged(dir, day),
            "kept\nupgrade 192.0.2.10 start\nreboot 192.0.2.11\ntest 192.0.2.12 done\n\n");
}

TEST_F(EventLog, CreatesMissingDirectoriesPrivately) {
  const scoped_env state("XDG_STATE_HOME", (root_ / "a" / "b").string());
  const std::string day = today();
  log_event("升级成功，相机即将重启！");
  flush_event_log();

  const fs::path dir = root_ / "a" / "b" / "mardo";
  EXPECT_EQ(logged(dir, day), "升级成功，相机即将重启！\n");
  struct stat info {};
  ASSERT_EQ(::stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(EventLog, RelativeStateHomeFallsBackToHome) {
  const scoped_env home("HOME", root_.string());
  const scoped_env state("XDG_STATE_HOME", "relative/state");
  const std::string day = today();
  log_event("power-off test 203.0.113.5 round 1");
  flush_event_log();
  EXPECT_EQ(logged(root_ / ".local" / "state" / "mardo", day),
            "power-off test 203.0.113.5 round 1\n");
}

TEST_F(EventLog, UnwritableDirectoryLosesLinesQuietlyAndALaterLineRetries) {
  std::ofstream(root_ / "file") << "not a directory";
  {
    const scoped_env state("XDG_STATE_HOME", (root_ / "file" / "state").string());
    const std::uint64_t lost = event_log_lost_count();
    const auto start = std::chrono::steady_clock::now();
    log_event("lost line");
    flush_event_log();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(event_log_lost_count(), lost + 1);
  }
  const scoped_env state("XDG_STATE_HOME", (root_ / "good").string());
  const std::string day = today();
  log_event("kept line");
  flush_event_log();
  EXPECT_EQ(logged(root_ / "good" / "mardo", day), "kept line\n");
}

TEST_F(EventLog, FloodIsEitherWrittenOrCountedLost) {
  const scoped_env state("XDG_STATE_HOME", root_.string());
  const std::string day = today();
  constexpr int kLines = 20000;
  const std::uint64_t lost = event_log_lost_count();
  for (int i = 0; i < kLines; ++i) log_event(("line " + std::to_string(i)).c_str());
  flush_event_log();

  const std::string text = logged(root_ / "mardo", day);
  const auto written = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
  EXPECT_GT(written, 0u);
  EXPECT_EQ(written + (event_log_lost_count() - lost), std::uint64_t{kLines});
  EXPECT_EQ(text.rfind("line ", 0), 0u);
}

constexpr char kChildSwitch[] = "MARDO_EVENT_LOG_EXIT_CHILD";
constexpr int kExitLines = 1000;

// Run only as the child of the test below (disabled, so the suite itself never runs it):
// lines handed over just before exit.
TEST(EventLogExit, DISABLED_ChildLogsAndExits) {
  if (std::getenv(kChildSwitch) == nullptr) GTEST_SKIP() << "runs as a child process only";
  for (int i = 0; i < kExitLines; ++i) log_event("exit line");
  std::exit(0);
}

TEST_F(EventLog, LinesHandedOverBeforeExitAreWritten) {
  const scoped_env state("XDG_STATE_HOME", root_.string());
  const scoped_env child(kChildSwitch, "1");
  const std::string day = today();
  char program[] = "/proc/self/exe";
  char filter[] = "--gtest_filter=EventLogExit.DISABLED_ChildLogsAndExits";
  char disabled[] = "--gtest_also_run_disabled_tests";
  char* argv[] = {program, filter, disabled, nullptr};
  pid_t pid = 0;
  ASSERT_EQ(::posix_spawn(&pid, program, nullptr, nullptr, argv, environ), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::string expected;
  for (int i = 0; i < kExitLines; ++i) expected += "exit line\n";
  EXPECT_EQ(logged(root_ / "mardo", day), expected);
}

}  // namespace
}  // namespace mardo
