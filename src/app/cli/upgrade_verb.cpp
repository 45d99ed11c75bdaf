// `mardo-cli upgrade --package FILE (--all | --mac MAC ...) [--max-parallel N] [--json]`: a
// search, then the upgrade run of the window over the chosen cameras. Each row's status text
// is printed as it changes, and one line per camera at the end.
#include "app/cli/verb.h"

#include <cjson/cJSON.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "upgrade/package.h"
#include "upgrade/package_kind.h"
#include "upgrade/tftp_transfer.h"
#include "upgrade/tftp_write.h"
#include "upgrade/upgrade_manager.h"
#include "upgrade/zip_reader.h"

namespace mardo {
namespace {

// The window's part in a run, played on the terminal.
class cli_host final : public upgrade_host {
 public:
  cli_host(std::u16string path, int max_parallel)
      : path_(std::move(path)), max_parallel_(max_parallel) {}
  device_state& state() override { return state_; }
  void post_transfer_progress(const upgrade_task_t& task, int percent) override {
    state_.list.set_status_of(task.camera.id, transfer_progress_text(task.image_name, percent));
  }
  std::u16string read_package_path() override { return path_; }
  void set_upgrade_enabled(bool) override {}
  void message_box(std::string_view text, std::string_view) override {
    std::lock_guard lock(mutex_);
    notices_.emplace_back(text);
  }
  int max_parallel() const override { return max_parallel_; }
  std::vector<std::string> notices() const {
    std::lock_guard lock(mutex_);
    return notices_;
  }

 private:
  device_state state_;
  std::u16string path_;
  int max_parallel_;
  mutable std::mutex mutex_;
  std::vector<std::string> notices_;
};

std::string col(const device_list& list, int row, int column) {
  return ansi_string(list.text(row, column));
}

void print_line(bool json, const char* kind, const std::string& mac, const std::string& ip,
                const std::string& text, const bool* ok = nullptr) {
  if (!json) {
    std::printf("%-17s %-15s %s\n", mac.c_str(), ip.c_str(), text.c_str());
  } else {
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> o(cJSON_CreateObject(), &cJSON_Delete);
    cJSON_AddStringToObject(o.get(), "event", kind);
    cJSON_AddStringToObject(o.get(), "mac", mac.c_str());
    cJSON_AddStringToObject(o.get(), "ip", ip.c_str());
    cJSON_AddStringToObject(o.get(), "status", text.c_str());
    if (ok) cJSON_AddBoolToObject(o.get(), "ok", *ok);
    std::unique_ptr<char, decltype(&cJSON_free)> s(cJSON_PrintUnformatted(o.get()), &cJSON_free);
    std::printf("%s\n", s.get());
  }
  std::fflush(stdout);
}

// Prints every change of a ticked row's column 5. The list's observers may not read the list,
// so they queue the row and its new text; this thread adds the row's MAC and address.
class status_printer {
 public:
  status_printer(device_list& list, bool json) : list_(list), json_(json) {
    id_ = list_.subscribe([this](const list_change_t& c) {
      if (c.kind != list_change_t::kText || c.column != kColInfo) return;
      {
        std::lock_guard lock(mutex_);
        rows_.emplace_back(c.row, c.text ? ansi_string(*c.text) : std::string());
      }
      wake_.notify_one();
    });
    thread_ = std::thread([this] { loop(); });
  }
  ~status_printer() {
    list_.unsubscribe(id_);
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

 private:
  void loop() {
    std::vector<std::string> last(static_cast<std::size_t>(list_.count()));
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stop_ || !rows_.empty(); });
      if (rows_.empty()) return;
      const auto [row, text] = rows_.front();
      rows_.pop_front();
      lock.unlock();
      if (row >= 0 && static_cast<std::size_t>(row) < last.size() && list_.checked(row) &&
          !text.empty() && text != last[static_cast<std::size_t>(row)]) {
        last[static_cast<std::size_t>(row)] = text;
        print_line(json_, "status", col(list_, row, kColMac), col(list_, row, kColIp), text);
      }
      lock.lock();
    }
  }

  device_list& list_;
  bool json_;
  int id_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<int, std::string>> rows_;
  bool stop_ = false;
  std::thread thread_;
};

// A chosen camera the search did not find: a result that failed.
void print_not_found(bool json, const std::vector<std::string>& missing) {
  const bool ok = false;
  for (const std::string& mac : missing)
    print_line(json, "result", mac, "-", cli::kTextNotFound, &ok);
}

bool success_text(const std::string& text) {
  return text == kTextUpgradeDone || text == kTextUpdated;
}

// A package that no camera could use, named before anything is sent; empty when usable.
std::string package_problem(const std::string& path) {
  switch (package_route_of(path)) {
    case package_route_t::refused:
      return "a rar archive is not a package";
    case package_route_t::zip: {
      zip_package_t archive;
      const std::string_view failure = open_zip_package(path, archive);
      if (!failure.empty()) return std::string(failure);
      std::string why;
      for (const zip_slot_t& slot : archive.slots) {
        if (slot.usable()) return {};
        if (slot.candidate()) why += "; " + slot.name + " " + std::string(slot.fault());
      }
      return "the archive holds no usable .bin member" + why;
    }
    case package_route_t::plain:
      break;
  }
  file_bytes_t file;
  if (!read_plain_package(path, file))
    return "cannot read it whole (not a regular file, larger than 2 GiB, or unreadable)";
  if (file.size() == 0) return "the file is empty";
  if (package_is_full(file.bytes())) {
    const package_check_t check = validate_full_package(file.bytes());
    if (!check.ok()) return std::string(check.failure);
  }
  return {};
}

struct options_t {
  std::string package;
  cli::row_choice_t rows;
  int max_parallel = 0;
  bool json = false;
};

int run_upgrade_verb(const options_t& o) {
  const std::string problem = package_problem(o.package);
  if (!problem.empty()) {
    std::fprintf(stderr, "mardo-cli upgrade: %s: %s\n", o.package.c_str(), problem.c_str());
    return cli::kExitBadInput;
  }
  cli_host host(wide_string(o.package), o.max_parallel);
  device_state& state = host.state();
  std::vector<int> rows;
  std::vector<std::string> missing;
  if (const int status = cli::search_and_tick(state, o.rows, "upgrade", rows, missing); status != cli::kExitOk) {
    print_not_found(o.json, missing);
    state.adapters.clear();
    return status;
  }
  {
    status_printer printer(state.list, o.json);
    run_upgrade(host);
  }
  for (const std::string& notice : host.notices())
    std::fprintf(stderr, "mardo-cli upgrade: %s\n", notice.c_str());
  bool all_ok = true;
  for (int r : rows) {
    const std::string text = col(state.list, r, kColInfo);
    const bool ok = success_text(text);
    all_ok = all_ok && ok;
    print_line(o.json, "result", col(state.list, r, kColMac), col(state.list, r, kColIp), text, &ok);
  }
  print_not_found(o.json, missing);
  state.adapters.clear();
  return cli::with_missing(all_ok ? cli::kExitOk : cli::kExitSomeFailed, missing);
}

}  // namespace

namespace cli {

void add_upgrade_verb(CLI::App& app, int& status) {
  auto options = std::make_shared<options_t>();
  CLI::App* verb = app.add_subcommand(
      "upgrade", "Search, then upgrade the chosen cameras from one package, all at once.");
  verb->add_option("--package", options->package, "the package: a full package, a zip or .iupk "
                                                   "archive, or a plain image")
      ->required()
      ->type_name("FILE");
  add_row_choice(*verb, options->rows);
  verb->add_option("--max-parallel", options->max_parallel,
                   "at most N cameras at once (default: no limit)")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  add_json_flag(*verb, options->json);
  verb->footer(
      "Prints \"MAC IP status\" each time a camera's status changes, then one line per camera "
      "with its final status. With --json: one object per line, {\"event\": \"status\" or "
      "\"result\", \"mac\", \"ip\", \"status\"}, results with \"ok\".\n"
      "Exit status: 0 every camera ended with a success text; 1 some did not, also when a --mac "
      "was not found (its result says 未找到; the others are still upgraded); 2 bad arguments "
      "or a package that cannot be used (the reason is on stderr).");
  verb->callback([options, &status] { status = run_upgrade_verb(*options); });
}

}  // namespace cli
}  // namespace mardo
