// `mardo-cli power-test (--all | --mac MAC ...) [--seconds N]`: the window's power-off test
// after a search, for N seconds or until SIGINT/SIGTERM. Each connection line is printed as
// it comes; at the end every camera's shell command is undone and its counts are listed.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/cli/verb.h"
#include "testing/power_test.h"

namespace mardo {
namespace {

struct options_t {
  cli::row_choice_t rows;
  int seconds = 0;  // 0: until interrupted
};

// Waits for the end of the run: the time, or a stop signal. True when a signal came.
bool wait_for_end(const sigset_t& stops, int seconds) {
  if (seconds <= 0) {
    int signal_number = 0;
    sigwait(&stops, &signal_number);
    return true;
  }
  timespec left{seconds, 0};
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (sigtimedwait(&stops, nullptr, &left) > 0) return true;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long gone_ms =
        (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    const long long rest_ms = seconds * 1000LL - gone_ms;
    // Woken early by something else (EINTR): wait for the rest.
    if (rest_ms <= 0) return false;
    left = {static_cast<time_t>(rest_ms / 1000), static_cast<long>(rest_ms % 1000) * 1000000};
  }
}

int run_power_test(const options_t& o) {
  // Blocked before any thread starts, so every thread inherits the mask and the signal
  // waits here for the clean stop.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  // Output into a closed pipe (`| head`) must not end the run before the cameras get their
  // file back.
  std::signal(SIGPIPE, SIG_IGN);

  device_state state;
  std::vector<int> rows;
  std::vector<std::string> missing;
  if (const int status = cli::search_and_tick(state, o.rows, "power-test", rows, missing);
      status != cli::kExitOk) {
    cli::print_not_found(missing);
    return status;
  }
  sigset_t pending;
  sigpending(&pending);
  if (sigismember(&pending, SIGINT) || sigismember(&pending, SIGTERM)) {
    std::fprintf(stderr, "mardo-cli power-test: interrupted before the test started\n");
    return cli::kExitSomeFailed;
  }

  std::mutex out;
  power_test test(state);
  test.set_line_observer([&out](const std::string& line) {
    std::lock_guard lock(out);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  });
  std::int32_t reboot_count = 0;
  test.start(&reboot_count);
  wait_for_end(stops, o.seconds);
  const std::vector<power_test_result> results = test.stop();
  test.set_line_observer(nullptr);

  bool all_connected = true;
  std::lock_guard lock(out);
  std::printf("%-17s %-15s %11s %6s\n", "MAC", "IP", "connections", "breaks");
  for (const power_test_result& r : results) {
    std::printf("%-17s %-15s %11d %6d\n", r.mac.c_str(), r.ip.c_str(), r.connects, r.drops);
    all_connected = all_connected && r.connects > 0;
  }
  cli::print_not_found(missing);
  state.adapters.clear();
  return cli::with_missing(all_connected ? cli::kExitOk : cli::kExitSomeFailed, missing);
}

}  // namespace

namespace cli {

void add_power_verb(CLI::App& app, int& status) {
  auto o = std::make_shared<options_t>();
  CLI::App* verb = app.add_subcommand(
      "power-test",
      "Search, then keep a video stream open to each chosen camera and count its "
      "connections and breaks while its power is cut and restored.");
  add_row_choice(*verb, o->rows);
  verb->add_option("--seconds", o->seconds, "how long the test runs (default: until Ctrl+C)")
      ->check(CLI::PositiveNumber);
  verb->footer(
      "Ctrl+C (or SIGTERM) stops the test cleanly: every camera's file is moved back "
      "and the counts are listed. Exit status: 0 every camera's stream came up at "
      "least once; 1 otherwise, also when a --mac was not found (listed as 未找到; the others "
      "are still tested); 2 bad arguments.");
  verb->callback([o, &status] { status = run_power_test(*o); });
}

}  // namespace cli
}  // namespace mardo
