#include "core/log.h"
#include "core/worker_thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace mardo {
namespace {

class fake_console final : public console_window {
 public:
  void create() override { calls.push_back("create"); }
  void show() override {
    calls.push_back("show");
    visible = true;
  }
  void hide() override {
    calls.push_back("hide");
    visible = false;
  }
  bool is_visible() const override {
    ++visibility_checks;
    return visible;
  }
  void write(std::string_view line) override {
    std::lock_guard lock(mutex);
    lines.emplace_back(line);
  }

  std::vector<std::string> calls;  // UI thread only
  std::atomic<bool> visible{false};
  mutable std::atomic<int> visibility_checks{0};
  std::mutex mutex;
  std::vector<std::string> lines;
};

class Console : public testing::Test {
 protected:
  void SetUp() override { set_console_window(&console_); }
  void TearDown() override { set_console_window(nullptr); }
  fake_console console_;
};

TEST_F(Console, NothingIsFormattedOrWrittenBeforeTheFirstToggle) {
  const std::uint64_t formatted = formatted_line_count();
  log_printf("[%s] search sent\r\n", "192.0.2.1");
  EXPECT_EQ(formatted_line_count(), formatted);
  EXPECT_EQ(console_.visibility_checks, 0);
  EXPECT_TRUE(console_.lines.empty());
  EXPECT_TRUE(console_.calls.empty());
}

TEST_F(Console, TogglesCreateThenHideAndShowAlternately) {
  toggle_console();
  EXPECT_EQ(console_.calls, (std::vector<std::string>{"create", "show"}));
  toggle_console();
  toggle_console();
  toggle_console();
  EXPECT_EQ(console_.calls, (std::vector<std::string>{"create", "show", "hide", "show", "hide"}));
}

TEST_F(Console, LinesLoggedWhileHiddenAreLostAndNotFormatted) {
  toggle_console();
  log_printf("[%s] first %d\r\n", "192.0.2.1", 1);
  toggle_console();
  const std::uint64_t formatted = formatted_line_count();
  log_printf("[%s] hidden\r\n", "192.0.2.1");
  EXPECT_EQ(formatted_line_count(), formatted);
  toggle_console();
  log_printf("[%s] again\r\n", "192.0.2.1");
  EXPECT_EQ(console_.lines,
            (std::vector<std::string>{"[192.0.2.1] first 1\r\n", "[192.0.2.1] again\r\n"}));
}

TEST_F(Console, LongLineArrivesWholeInOneWrite) {
  toggle_console();
  const std::string payload(20000, 'x');
  log_printf("[%s] %s\r\n", "198.51.100.7", payload.c_str());
  ASSERT_EQ(console_.lines.size(), 1u);
  EXPECT_EQ(console_.lines[0], "[198.51.100.7] " + payload + "\r\n");
}

TEST_F(Console, ConcurrentLinesAreNeverSplit) {
  toggle_console();
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  // Long enough to need the second formatting pass for some lines.
  const std::string filler(600, '-');
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kLines; ++i) {
          log_printf("[203.0.113.%d] line %d %s\r\n", t, i, i % 2 ? filler.c_str() : "");
        }
      });
    }
  }
  ASSERT_EQ(console_.lines.size(), std::size_t{kThreads * kLines});
  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) {
      expected.insert("[203.0.113." + std::to_string(t) + "] line " + std::to_string(i) + " " +
                      (i % 2 ? filler : "") + "\r\n");
    }
  }
  EXPECT_EQ(std::set<std::string>(console_.lines.begin(), console_.lines.end()), expected);
}

// Runs body with fd 1 on a pipe and returns what reached the pipe.
template <typename Body>
std::string capture_stdout(Body body) {
  int pipe_fds[2];
  EXPECT_EQ(::pipe(pipe_fds), 0);
  std::string captured;
  std::jthread reader([&] {
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
      captured.append(buffer, static_cast<std::size_t>(got));
    }
  });
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(pipe_fds[1], STDOUT_FILENO);
  ::close(pipe_fds[1]);
  body();
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  reader.join();
  ::close(pipe_fds[0]);
  return captured;
}

TEST(StdoutConsole, WritesLinesWithUnixLineEndsOnlyWhileVisible) {
  stdout_console out;
  set_console_window(&out);
  const std::string big(100000, 'y');
  const std::string captured = capture_stdout([&] {
    log_printf("[%s] before\r\n", "192.0.2.1");
    toggle_console();
    EXPECT_TRUE(out.is_visible());
    log_printf("[%s] shown\r\n", "192.0.2.1");
    out.write("plain\n");
    out.write("no end");
    out.write("\r\n");
    log_printf("%s\r\n", big.c_str());
    toggle_console();
    log_printf("[%s] hidden\r\n", "192.0.2.1");
  });
  set_console_window(nullptr);
  EXPECT_EQ(captured, "[192.0.2.1] shown\nplain\nno end\n" + big + "\n");
}

// An exception in a worker would end the whole process; it must end only that worker's job.
TEST_F(Console, ExceptionInAWorkerEndsOnlyItsJobWithALine) {
  toggle_console();
  std::thread worker = start_worker("192.0.2.1", [] { throw std::runtime_error("no room"); });
  ASSERT_TRUE(worker.joinable());
  worker.join();
  std::lock_guard lock(console_.mutex);
  EXPECT_EQ(console_.lines, std::vector<std::string>{"[192.0.2.1]worker ended: no room\r\n"});
}

}  // namespace
}  // namespace mardo
