// `mardo-cli export-macs [--out FILE]`: the chosen cameras' MAC texts, one per line (CR LF),
// into the file the window's export makes (named after the moment, in the program's folder),
// or into FILE.
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/verb.h"
#include "config/mac_export.h"
#include "core/system.h"
#include "core/text.h"

namespace mardo {
namespace {

struct options_t {
  cli::row_choice_t rows;
  std::string out;
};

int run_export(const options_t& o) {
  device_state state;
  std::vector<int> rows;
  std::vector<std::string> missing;
  if (const int status = cli::search_and_tick(state, o.rows, "export-macs", rows, missing); status != cli::kExitOk)
    return status;
  state.adapters.clear();
  export_result_t result;
  if (o.out.empty()) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    local_time(now, local);
    result = export_macs(state.list, program_folder(), local);
  } else {
    result.path = o.out;
    const std::string content = export_content(state.list);
    std::FILE* f = open_file(o.out, "wb");
    result.wrote = f && std::fwrite(content.data(), 1, content.size(), f) == content.size();
    if (f && std::fclose(f) != 0) result.wrote = false;
    result.failed = !result.wrote;
  }
  if (result.failed) {
    std::fprintf(stderr, "mardo-cli export-macs: %s%s\n", kTextExportFailed, result.path.c_str());
    return cli::kExitSomeFailed;
  }
  std::printf("%s\n", result.path.c_str());
  // Those not found are named on stderr: stdout is the path alone.
  return cli::with_missing(cli::kExitOk, missing);
}

}  // namespace

namespace cli {

void add_export_verb(CLI::App& app, int& status) {
  auto options = std::make_shared<options_t>();
  CLI::App* verb = app.add_subcommand("export-macs", "Search, then write the chosen cameras' MACs to a file.");
  add_row_choice(*verb, options->rows);
  verb->add_option("--out", options->out, "the file (default: YYYYMMDDhhmmss.txt in the program's folder)")
      ->type_name("FILE");
  verb->footer("Prints the file's path. Exit status: 0 written; 1 not written (the reason on "
               "stderr), or written without a --mac that was not found (named on stderr); 2 bad "
               "arguments.");
  verb->callback([options, &status] { status = run_export(*options); });
}

}  // namespace cli
}  // namespace mardo
