// `mardo-cli reboot`, `sync-time`, `delete-logs`: one raw frame to each chosen camera after a
// search. No question: the command line is the answer.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/verb.h"
#include "config/maintenance.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

class yes_prompts final : public config_prompts {
 public:
  bool ask(std::string_view) override { return true; }
  bool edit_ip(ip_fields_t&) override { return false; }
  bool edit_batch_ip(batch_ip_fields_t&) override { return false; }
  bool edit_manual_entry(manual_entry_fields_t&) override { return false; }
  void notify(std::string_view, std::string_view) override {}
};

enum class job_t { reboot, sync_time, delete_logs };

int run_job(job_t job, const cli::row_choice_t& choice, const char* verb) {
  device_state state;
  std::vector<int> rows;
  std::vector<std::string> missing;
  if (const int status = cli::search_and_tick(state, choice, verb, rows, missing);
      status != cli::kExitOk) {
    cli::print_not_found(missing);
    return status;
  }
  yes_prompts yes;
  int reboots = 0;
  int sent = 0;
  switch (job) {
    case job_t::reboot:
      sent = reboot_checked(state, yes, &reboots);
      break;
    case job_t::sync_time:
      sent = sync_time_checked(state, std::chrono::system_clock::now());
      break;
    case job_t::delete_logs:
      sent = delete_logs_checked(state, yes);
      break;
  }
  cli::print_not_found(missing);
  std::printf("%s: %d of %zu cameras sent their frame\n", verb, sent, rows.size() + missing.size());
  std::fflush(stdout);
  state.adapters.clear();
  return cli::with_missing(sent == static_cast<int>(rows.size()) ? cli::kExitOk : cli::kExitSomeFailed,
                           missing);
}

}  // namespace

namespace cli {

void add_maintenance_verbs(CLI::App& app, int& status) {
  struct verb_t {
    const char* name;
    const char* help;
    job_t job;
  };
  for (const verb_t& v : {verb_t{"reboot", "Search, then reboot the chosen cameras.", job_t::reboot},
                          verb_t{"sync-time", "Search, then set the chosen cameras' clocks to now (UTC).",
                                 job_t::sync_time},
                          verb_t{"delete-logs", "Search, then delete the chosen cameras' logs.",
                                 job_t::delete_logs}}) {
    auto choice = std::make_shared<row_choice_t>();
    CLI::App* verb = app.add_subcommand(v.name, v.help);
    add_row_choice(*verb, *choice);
    verb->footer(
        "One raw frame per camera, on the adapter it was found through; cameras do not answer.\n"
        "Exit status: 0 every chosen camera's frame was sent; 1 otherwise, also when a --mac was "
        "not found (its line says 未找到; the others still get their frame); 2 bad arguments.");
    const job_t job = v.job;
    const char* name = v.name;
    verb->callback([choice, job, name, &status] { status = run_job(job, *choice, name); });
  }
}

}  // namespace cli
}  // namespace mardo
