// mardo-cli: the tool's core without a window, for production-line scripts, demos without
// a display and tests from the outside.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/cli_package.h"
#include "app/cli_search.h"
#include "app/log.h"

namespace {

int usage() {
  std::fprintf(
      stderr,
      "usage: mardo-cli search [--json] [--console]\n"
      "       mardo-cli package FILE [--version TEXT] [--json]\n"
      "  search     find the cameras on every adapter (about 3 s) and print the rows\n"
      "  --json     one JSON object per row: {\"row\", \"columns\", \"tag\", \"checked\"}\n"
      "  --console  print the diagnostic lines, as if the console were open\n"
      "  package    what an upgrade makes of FILE, and with --version the image it\n"
      "             would choose for a camera with that full version text\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string_view command = argv[1];
  if (command == "package") return mardo::run_cli_package(argc - 1, argv + 1);
  bool json = false;
  bool console = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--json")
      json = true;
    else if (arg == "--console")
      console = true;
    else
      return usage();
  }
  static mardo::stdout_console out;
  if (console) {
    mardo::set_console_window(&out);
    mardo::toggle_console();
  }
  if (command == "search") return mardo::run_cli_search(json);
  return usage();
}
