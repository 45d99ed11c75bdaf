#pragma once
// mardo-cli's command line: the verbs over one CLI11 app.
namespace mardo::cli {

// Parses and runs one command line (argv[0] is the program). Gives the exit status of
// verb.h; usage and help go to stdout, reasons of a refusal to stderr.
int run(int argc, char** argv);

}  // namespace mardo::cli
