#pragma once
// `mardo-cli package FILE [--version TEXT] [--json]`: what the upgrade run would make of a
// package file, before any camera is touched.
namespace mardo {

// argv[0] is "package". Prints the report on stdout; returns 0 when the package would be
// used as it is, 1 when a check fails or no image fits, 2 (with the usage on stderr) on bad
// arguments.
int run_cli_package(int argc, char** argv);

}  // namespace mardo
