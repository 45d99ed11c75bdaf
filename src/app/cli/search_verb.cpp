// `mardo-cli search`: the search controller behind a console stand-in for the window.
#include "app/cli/verb.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/log.h"
#include "core/text.h"
#include "discovery/headless_search.h"

namespace mardo {
namespace {

// Without raw capture every row says so ("capture": false and the warning), and with no row
// one object carries the two alone: a script that reads only stdout still learns that
// cameras reached by raw frames may be missing.
void print_json(const device_list& list, const std::string& warning) {
  const auto add_capture = [&warning](cJSON* obj) {
    cJSON_AddBoolToObject(obj, "capture", warning.empty());
    if (!warning.empty()) cJSON_AddStringToObject(obj, "warning", warning.c_str());
  };
  if (list.count() == 0 && !warning.empty()) {
    cJSON* obj = cJSON_CreateObject();
    add_capture(obj);
    char* text = cJSON_PrintUnformatted(obj);
    std::printf("%s\n", text);
    cJSON_free(text);
    cJSON_Delete(obj);
  }
  for (int row = 0; row < list.count(); ++row) {
    cJSON* obj = cJSON_CreateObject();
    cJSON_AddNumberToObject(obj, "row", row);
    cJSON* columns = cJSON_AddArrayToObject(obj, "columns");
    for (int c = 0; c < kColumnCount; ++c) {
      cJSON_AddItemToArray(columns, cJSON_CreateString(ansi_string(list.text(row, c)).c_str()));
    }
    cJSON_AddNumberToObject(obj, "tag", list.tag(row));
    cJSON_AddBoolToObject(obj, "checked", list.checked(row));
    add_capture(obj);
    char* text = cJSON_PrintUnformatted(obj);
    std::printf("%s\n", text);
    cJSON_free(text);
    cJSON_Delete(obj);
  }
}

void print_table(const device_list& list) {
  std::printf("%-4s %-17s %-15s %-6s %-10s %s\n", "id", "mac", "ip", "tag", "adapter",
              "dev | ver | info | dup | full version | localmac | algo");
  for (int row = 0; row < list.count(); ++row) {
    auto col = [&](int c) { return ansi_string(list.text(row, c)); };
    std::printf("%-4s %-17s %-15s %-6u %-10s %s | %s | %s | %s | %s | %s | %s\n",
                col(kColId).c_str(), col(kColMac).c_str(), col(kColIp).c_str(), list.tag(row),
                col(kColEtherName).c_str(), col(kColDev).c_str(), col(kColVer).c_str(),
                col(kColInfo).c_str(), col(kColDupMark).c_str(), col(kColFullVersion).c_str(),
                col(kColLocalMac).c_str(), col(kColAlgo).c_str());
  }
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, quotes doubled.
std::string csv_field(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

// Every column and the tag, a header row first. The byte-order mark tells spreadsheet
// programs that the text is UTF-8 (the Chinese texts are garbled without it).
void print_csv(const device_list& list) {
  static constexpr const char* kHeaders[kColumnCount] = {
      "id", "mac", "ip", "ver", "dev", "info", "dup mark", "full version", "ether name", "localmac", "algo"};
  std::string out = "\xEF\xBB\xBF";
  for (const char* h : kHeaders) out += std::string(h) + ",";
  out += "tag\r\n";
  for (int row = 0; row < list.count(); ++row) {
    for (int c = 0; c < kColumnCount; ++c) out += csv_field(ansi_string(list.text(row, c))) + ",";
    out += std::to_string(list.tag(row)) + "\r\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
}

int run_search(bool json, bool console, bool csv = false) {
  static stdout_console out;
  if (console) {
    set_console_window(&out);
    toggle_console();
  }
  device_state state;
  const std::string warning = cli::open_adapters(state, "search");
  run_headless_search(state);
  if (csv) {
    print_csv(state.list);
  } else if (json) {
    print_json(state.list, warning);
  } else {
    print_table(state.list);
  }
  std::fflush(stdout);
  state.adapters.clear();
  return cli::kExitOk;
}

}  // namespace

namespace cli {

void add_search_verb(CLI::App& app, int& status) {
  struct options_t {
    bool json = false;
    bool console = false;
    bool csv = false;
  };
  auto options = std::make_shared<options_t>();
  CLI::App* verb = app.add_subcommand(
      "search", "Find the cameras on every adapter (about 3 s) and print one row each.");
  add_json_flag(*verb, options->json);
  verb->add_flag("--csv", options->csv,
                 "print every column as CSV (UTF-8 with a byte-order mark, a header row, CR LF)")
      ->excludes("--json");
  verb->add_flag("--console", options->console,
                 "print the diagnostic lines, as if the console were open");
  verb->footer(
      "With --json: one object per row, {\"row\", \"columns\", \"tag\", \"checked\", "
      "\"capture\"}; without raw capture (the warning also on stderr) \"capture\" is false and "
      "\"warning\" tells why, on one object of its own when no row was found.\n"
      "It sends on every adapter it finds: run it inside a lab or on the camera network.");
  verb->callback([options, &status] { status = run_search(options->json, options->console, options->csv); });
}

}  // namespace cli
}  // namespace mardo
