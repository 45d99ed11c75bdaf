#include "app/cli/cli_app.h"

#include <iostream>
#include <string>

#include "app/cli/verb.h"

#ifndef MARDO_FILE_VERSION
#error "MARDO_FILE_VERSION must give the file version"
#endif

namespace mardo::cli {

int run(int argc, char** argv) {
  CLI::App app("mardo-cli: the camera tool's core without a window.", "mardo-cli");
  app.set_version_flag("--version", MARDO_FILE_VERSION);
  app.footer(kExitStatusHelp);
  app.require_subcommand(1);
  int status = kExitOk;
  add_search_verb(app, status);
  add_package_verb(app, status);
  add_upgrade_verb(app, status);
  add_ip_verbs(app, status);
  add_maintenance_verbs(app, status);
  add_export_verb(app, status);
  add_product_verb(app, status);
  add_factory_verb(app, status);
  add_power_verb(app, status);
  // CLI11 would only say that a subcommand is required; name the word it did not know.
  const auto is_verb = [&app](const std::string& word) {
    for (const CLI::App* verb : app.get_subcommands({})) {
      if (verb->check_name(word)) return true;
    }
    return false;
  };
  if (argc > 1 && argv[1][0] != '-' && !is_verb(argv[1])) {
    std::cerr << "mardo-cli: unknown verb '" << argv[1] << "'\n"
              << "Run with --help for more information.\n";
    return kExitBadInput;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e, std::cout, std::cerr);
    return kExitBadInput;
  }
  return status;
}

}  // namespace mardo::cli
