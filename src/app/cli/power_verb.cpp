// `mardo-cli power-test (--all | --mac MAC ...) [--seconds N]`: the window's power-off test
// after a search, for N seconds or until Ctrl+C (stop_request.h). Each connection line is
// printed as it comes; at the end every camera's shell command is undone and its counts are
// listed.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/cli/stop_request.h"
#include "app/cli/verb.h"
#include "testing/power_test.h"

namespace mardo {
namespace {

struct options_t {
  cli::row_choice_t rows;
  int seconds = 0;  // 0: until interrupted
};

int run_power_test(const options_t& o) {
  // Taken over before any thread starts: Ctrl+C waits here for the clean stop.
  cli::stop_request stop;

  device_state state;
  std::vector<int> rows;
  std::vector<std::string> missing;
  if (const int status = cli::search_and_tick(state, o.rows, "power-test", rows, missing);
      status != cli::kExitOk) {
    cli::print_not_found(missing);
    return status;
  }
  if (stop.pending()) {
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
  stop.wait(o.seconds);
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
#ifdef _WIN32
  constexpr const char* kStops = "Ctrl+C (or Ctrl+Break)";
#else
  constexpr const char* kStops = "Ctrl+C (or SIGTERM)";
#endif
  verb->footer(
      std::string(kStops) +
      " stops the test cleanly: every camera's file is moved back "
      "and the counts are listed. Exit status: 0 every camera's stream came up at "
      "least once; 1 otherwise, also when a --mac was not found (listed as 未找到; the others "
      "are still tested); 2 bad arguments.");
  verb->callback([o, &status] { status = run_power_test(*o); });
}

}  // namespace cli
}  // namespace mardo
