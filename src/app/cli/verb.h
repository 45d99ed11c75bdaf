#pragma once
// What every verb of mardo-cli shares: the exit-status convention, the --json flag, the
// warning without raw capture, and the one way to choose the cameras (rows) a verb acts on.
// Each verb lives in a file of its own and adds its subcommand through an add_*_verb function
// listed in cli_app.cpp.
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "core/device_table.h"

namespace mardo::cli {

inline constexpr int kExitOk = 0;          // every chosen camera succeeded
inline constexpr int kExitSomeFailed = 1;  // some chosen camera (or the package) failed
inline constexpr int kExitBadInput = 2;    // bad arguments or input; the reason is on stderr
inline constexpr const char* kExitStatusHelp =
    "Exit status: 0 every chosen camera succeeded; 1 some failed; 2 bad arguments or input "
    "(the reason is on stderr).";

// Each verb adds its subcommand; its callback stores the verb's exit status.
void add_search_verb(CLI::App& app, int& status);
void add_package_verb(CLI::App& app, int& status);
void add_upgrade_verb(CLI::App& app, int& status);
void add_ip_verbs(CLI::App& app, int& status);
void add_maintenance_verbs(CLI::App& app, int& status);
void add_export_verb(CLI::App& app, int& status);
void add_product_verb(CLI::App& app, int& status);
void add_factory_verb(CLI::App& app, int& status);
void add_power_verb(CLI::App& app, int& status);

// --json: machine-readable output instead of the text.
void add_json_flag(CLI::App& verb, bool& json);

// A MAC text as canonical_mac reads it; the refusal names the text.
CLI::Validator mac_check();

// --all, or --mac MAC repeated: the rows of the device list a verb acts on.
struct row_choice_t {
  bool all = false;
  std::vector<std::string> macs;
};
void add_row_choice(CLI::App& verb, row_choice_t& choice);

// The MAC text in one spelling: uppercase, bytes joined by "-"; empty when it is not six
// bytes of two hexadecimal digits joined by "-" or ":".
std::string canonical_mac(const std::string& text);

// The rows chosen, in list order. A --mac that matches no row's column 1 is named in
// *missing (and chooses nothing).
std::vector<int> chosen_rows(const device_list& list, const row_choice_t& choice,
                             std::vector<std::string>* missing);

// The capture library and the adapters, as the window starts. Without raw capture (no
// library, or no right to capture on an adapter) the warning goes to stderr once
// ("mardo-cli <verb>: ..."): what it costs and how to grant it. Gives that warning, or empty
// when every adapter captures.
std::string open_adapters(device_state& state, const char* verb);

// The text of a camera the search did not find, on its own result line.
inline constexpr char kTextNotFound[] = "未找到";

// What the verbs that act on cameras start with: open_adapters, the search of the window over
// every adapter, then the chosen rows ticked and every other row not. Gives kExitOk with the
// rows when the search found some chosen camera; each --mac it did not find is named on stderr
// and in `missing`: a camera that failed, which the verb reports on a line of its own while it
// acts on the others, and then exits 1 (with_missing). Gives kExitSomeFailed when no chosen
// camera was found.
int search_and_tick(device_state& state, const row_choice_t& choice, const char* verb,
                    std::vector<int>& rows, std::vector<std::string>& missing);

// One "MAC - 未找到" line per camera not found, in the layout of the verbs' result lines.
void print_not_found(const std::vector<std::string>& missing);
// A verb's exit status with the cameras not found counted as failed.
int with_missing(int status, const std::vector<std::string>& missing);

}  // namespace mardo::cli
