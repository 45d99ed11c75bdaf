// mardo-cli: the tool's core without a window, for production-line scripts, demos without
// a display and tests from the outside.
#include "app/cli/cli_app.h"

int main(int argc, char** argv) {
  return mardo::cli::run(argc, argv);
}
