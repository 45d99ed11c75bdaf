#include "app/cli/verb.h"

#include <cctype>
#include <cstdio>

#include "core/system.h"
#include "core/text.h"
#include "discovery/headless_search.h"
#include "net/adapters.h"
#include "net/capture.h"

namespace mardo::cli {
namespace {

#ifdef _WIN32
// Raw frames come through Npcap on Windows: the remedy is to install it, or to run with the
// rights its installation asked for.
constexpr char kNoCaptureLibrary[] = "no raw capture (Npcap's wpcap.dll could not be loaded)";

std::string capture_remedy() {
  return ": 仅响应原始以太网帧的相机无法找到；请从 https://npcap.com 安装 Npcap（安装时不要勾选"
         "“Restrict Npcap driver's access to Administrators only”），或以管理员身份运行";
}
#else
constexpr char kNoCaptureLibrary[] =
    "no raw capture (libpcap could not be loaded: install libpcap0.8)";

std::string capture_remedy() {
  const std::string self = own_program_path();
  return ": cameras reached only by raw frames are not found; run as root, or grant it with "
         "`sudo setcap cap_net_raw,cap_net_admin+eip " +
         (self.empty() ? std::string("mardo-cli") : self) + "`";
}
#endif

}  // namespace

void add_json_flag(CLI::App& verb, bool& json) {
  verb.add_flag("--json", json, "print JSON instead of text");
}

CLI::Validator mac_check() {
  return CLI::Validator(
      [](const std::string& text) {
        return canonical_mac(text).empty() ? "not a MAC: " + text : std::string();
      },
      "MAC");
}

void add_row_choice(CLI::App& verb, row_choice_t& choice) {
  CLI::Option_group* cameras = verb.add_option_group("cameras", "which cameras (one is needed)");
  cameras->add_flag("--all", choice.all, "every camera found");
  cameras
      ->add_option("--mac", choice.macs,
                   "a camera by its MAC (either case, \"-\" or \":\" between bytes); repeat "
                   "for more")
      ->type_name("MAC")
      ->check(mac_check());
  // Exactly one of the two: --all, or --mac as often as wanted.
  cameras->require_option(1);
}

std::string canonical_mac(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  if (text.size() != 17) return {};
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i % 3 == 2) {
      if (c != '-' && c != ':') return {};
      out += '-';
    } else {
      if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
      out += kDigits[std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                                 : std::toupper(c) - 'A' + 10];
    }
  }
  return out;
}

std::vector<int> chosen_rows(const device_list& list, const row_choice_t& choice,
                             std::vector<std::string>* missing) {
  std::vector<int> rows;
  const int count = list.count();
  if (choice.all) {
    for (int row = 0; row < count; ++row) rows.push_back(row);
    return rows;
  }
  std::vector<std::string> row_macs;
  for (int row = 0; row < count; ++row)
    row_macs.push_back(canonical_mac(ansi_string(list.text(row, kColMac))));
  std::vector<bool> taken(static_cast<std::size_t>(count), false);
  for (const std::string& wanted : choice.macs) {
    const std::string key = canonical_mac(wanted);
    bool found = false;
    for (int row = 0; row < count; ++row) {
      if (key.empty() || row_macs[static_cast<std::size_t>(row)] != key) continue;
      found = true;
      taken[static_cast<std::size_t>(row)] = true;
    }
    if (!found && missing) missing->push_back(wanted);
  }
  for (int row = 0; row < count; ++row) {
    if (taken[static_cast<std::size_t>(row)]) rows.push_back(row);
  }
  return rows;
}

std::string open_adapters(device_state& state, const char* verb) {
  const bool library = load_capture_library();
  enumerate_adapters(state.adapters);
  const std::vector<std::string> blind = adapters_without_capture(state.adapters);
  if (library && blind.empty()) return {};
  std::string where;
  for (const std::string& name : blind) where += (where.empty() ? "" : ", ") + name;
  const std::string warning =
      (library ? "no raw capture on " + where + " (no right to capture, or the interface is down)"
               : std::string(kNoCaptureLibrary)) +
      capture_remedy();
  std::fprintf(stderr, "mardo-cli %s: %s\n", verb, warning.c_str());
  return warning;
}

int search_and_tick(device_state& state, const row_choice_t& choice, const char* verb,
                    std::vector<int>& rows, std::vector<std::string>& missing) {
  open_adapters(state, verb);
  run_headless_search(state);
  missing.clear();
  rows = chosen_rows(state.list, choice, &missing);
  for (const std::string& mac : missing)
    std::fprintf(stderr, "mardo-cli %s: no camera with MAC %s was found\n", verb, mac.c_str());
  if (rows.empty()) {
    if (missing.empty()) std::fprintf(stderr, "mardo-cli %s: no camera was found\n", verb);
    return kExitSomeFailed;
  }
  for (int r = 0; r < state.list.count(); ++r) state.list.set_checked(r, false);
  for (int r : rows) state.list.set_checked(r, true);
  return kExitOk;
}

void print_not_found(const std::vector<std::string>& missing) {
  for (const std::string& mac : missing) std::printf("%-17s %-15s %s\n", mac.c_str(), "-", kTextNotFound);
  std::fflush(stdout);
}

int with_missing(int status, const std::vector<std::string>& missing) {
  return missing.empty() || status != kExitOk ? status : kExitSomeFailed;
}

}  // namespace mardo::cli
