// mardo-cli: the tool's core without a window, for production-line scripts, demos without
// a display and tests from the outside.
#include <string>
#include <vector>

#include "app/cli/cli_app.h"
#include "core/system.h"

int main(int argc, char** argv) {
  const mardo::utf8_console console;
  std::vector<std::string> arguments = mardo::program_arguments(argc, argv);
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return mardo::cli::run(static_cast<int>(arguments.size()), pointers.data());
}
