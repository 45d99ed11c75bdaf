// `mardo-cli package FILE [--version TEXT] [--json]`: what the upgrade run would make of a
// package file, before any camera is touched.
#include "app/cli/verb.h"

#include <cjson/cJSON.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/system.h"
#include "core/text.h"
#include "upgrade/choice.h"
#include "upgrade/package.h"
#include "upgrade/package_kind.h"
#include "upgrade/rules.h"
#include "upgrade/zip_reader.h"

namespace mardo {
namespace {

// The older-device route of a full package without old entries ends with this text.
constexpr std::string_view kTextNoOldEntries = "旧升级包个数为0";

struct slot_row_t {
  std::size_t index = 0;
  std::string name;
  std::int64_t count = 0;
  bool password = false;
};

struct entry_row_t {
  std::string name;
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  bool crc_ok = false;
  std::string failure;  // the text a failed checksum shows
};

struct report_t {
  std::string_view kind;
  std::string check;
  std::vector<slot_row_t> slots;
  int full_slot = -1;
  std::vector<entry_row_t> entries;
  std::optional<std::string> choice;
  bool usable = true;
};

void describe_full(std::span<const std::uint8_t> package, const std::string* version,
                   report_t& report) {
  const package_check_t check = validate_full_package(package);
  report.check = std::string(check.failure);
  if (!check.ok()) report.usable = false;
  const std::uint64_t total = std::uint64_t{check.new_count} + check.old_count;
  for (std::uint32_t i = 0; i < total; ++i) {
    const std::optional<package_entry_t> entry = entry_at(package, i);
    if (!entry) break;
    entry_row_t row;
    row.name = std::string(image_short_name(entry->image_name));
    row.offset = entry->image_offset;
    row.length = entry->image_length;
    row.crc_ok = image_crc_ok(package, *entry);
    if (!row.crc_ok) {
      row.failure = image_crc_failure_text(*entry, i < check.new_count);
      report.usable = false;
    }
    report.entries.push_back(std::move(row));
  }
  if (version == nullptr) return;
  if (!check.ok()) {
    report.choice = report.check;
  } else if (check.old_count == 0) {
    report.choice = std::string(kTextNoOldEntries);
    report.usable = false;
  } else {
    const package_choice_t choice = choose_package_image(package, *version);
    report.choice = choice.text;
    if (!choice.selected()) report.usable = false;
  }
}

void describe_zip(const zip_package_t& archive, const std::string* version, report_t& report) {
  for (std::size_t k = 0; k < archive.slots.size(); ++k) {
    const zip_slot_t& slot = archive.slots[k];
    if (!slot.taken()) continue;
    report.slots.push_back({k, slot.name, slot.count, slot.password_tried});
  }
  report.full_slot = archive.full_slot;
  if (archive.full_slot >= 0) {
    describe_full(archive.slots[static_cast<std::size_t>(archive.full_slot)].bytes(), version,
                  report);
    return;
  }
  if (version == nullptr) return;
  const package_choice_t choice = choose_zip_slot(archive, *version);
  report.choice = choice.text;
  if (!choice.selected()) report.usable = false;
}

// Names come from the file; what is printed must be valid UTF-8.
std::string clean(std::string_view text) {
  return ansi_string(wide_string(text));
}

void print_json(const report_t& report) {
  cJSON* obj = cJSON_CreateObject();
  cJSON_AddStringToObject(obj, "kind", std::string(report.kind).c_str());
  cJSON_AddStringToObject(obj, "check", report.check.c_str());
  cJSON* slots = cJSON_AddArrayToObject(obj, "slots");
  for (const slot_row_t& s : report.slots) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddNumberToObject(item, "index", static_cast<double>(s.index));
    cJSON_AddStringToObject(item, "name", clean(s.name).c_str());
    cJSON_AddNumberToObject(item, "count", static_cast<double>(s.count));
    cJSON_AddBoolToObject(item, "password", s.password);
    cJSON_AddItemToArray(slots, item);
  }
  if (report.full_slot >= 0)
    cJSON_AddNumberToObject(obj, "full_slot", report.full_slot);
  else
    cJSON_AddNullToObject(obj, "full_slot");
  cJSON* entries = cJSON_AddArrayToObject(obj, "entries");
  for (const entry_row_t& e : report.entries) {
    cJSON* item = cJSON_CreateObject();
    cJSON_AddStringToObject(item, "name", clean(e.name).c_str());
    cJSON_AddNumberToObject(item, "offset", e.offset);
    cJSON_AddNumberToObject(item, "length", e.length);
    cJSON_AddBoolToObject(item, "crc_ok", e.crc_ok);
    cJSON_AddItemToArray(entries, item);
  }
  if (report.choice) cJSON_AddStringToObject(obj, "choice", clean(*report.choice).c_str());
  char* text = cJSON_PrintUnformatted(obj);
  std::printf("%s\n", text);
  cJSON_free(text);
  cJSON_Delete(obj);
}

void print_text(const report_t& report) {
  std::printf("kind: %s\n", std::string(report.kind).c_str());
  if (report.kind == "zip") {
    std::printf("slots:%s\n", report.slots.empty() ? " none" : "");
    for (const slot_row_t& s : report.slots) {
      std::printf("  %3zu  %s  count %lld  password %s\n", s.index, clean(s.name).c_str(),
                  static_cast<long long>(s.count), s.password ? "yes" : "no");
    }
    if (report.full_slot >= 0)
      std::printf("full slot: %d\n", report.full_slot);
    else
      std::printf("full slot: none\n");
  }
  std::printf("check: %s\n", report.check.empty() ? "ok" : report.check.c_str());
  if (!report.entries.empty()) std::printf("entries:\n");
  for (std::size_t i = 0; i < report.entries.size(); ++i) {
    const entry_row_t& e = report.entries[i];
    std::printf("  %2zu  %s  offset %u  length %u  crc %s\n", i, clean(e.name).c_str(), e.offset,
                e.length, e.crc_ok ? "good" : clean(e.failure).c_str());
  }
  if (report.choice) std::printf("choice: %s\n", clean(*report.choice).c_str());
}

int run_package(const std::string& path, const std::optional<std::string>& version, bool json) {
  const std::string* camera = version ? &*version : nullptr;

  report_t report;
  zip_package_t archive;
  file_bytes_t plain;
  switch (package_route_of(path)) {
    case package_route_t::refused:
      report.kind = "rar";
      report.check = std::string(kTextNoMatchingImage);
      if (camera) report.choice = report.check;
      report.usable = false;
      break;
    case package_route_t::zip:
      report.kind = "zip";
      if (const std::string_view failure = open_zip_package(path, archive); !failure.empty()) {
        report.check = std::string(failure);
        if (camera) report.choice = report.check;
        report.usable = false;
        break;
      }
      describe_zip(archive, camera, report);
      break;
    case package_route_t::plain:
      if (!read_plain_package(path, plain)) {
        std::fprintf(stderr, "mardo-cli package: cannot read %s\n", path.c_str());
        return cli::kExitBadInput;
      }
      if (package_is_full(plain.bytes())) {
        report.kind = "full";
        describe_full(plain.bytes(), camera, report);
      } else {
        report.kind = "plain";
        // A plain image goes to every camera as it is, under its own name.
        const std::size_t slash = path.find_last_of(kPathSeparators);
        if (camera) report.choice = slash == std::string::npos ? path : path.substr(slash + 1);
      }
      break;
  }
  if (json)
    print_json(report);
  else
    print_text(report);
  std::fflush(stdout);
  return report.usable ? cli::kExitOk : cli::kExitSomeFailed;
}

}  // namespace

namespace cli {

void add_package_verb(CLI::App& app, int& status) {
  struct options_t {
    std::string file;
    std::optional<std::string> version;
    bool json = false;
  };
  auto options = std::make_shared<options_t>();
  CLI::App* verb = app.add_subcommand(
      "package", "Show what an upgrade makes of a package file; no camera is touched.");
  verb->add_option("FILE", options->file,
                   "a full package, a zip archive (.zip, .iupk) or a plain image")
      ->required()
      ->check(CLI::Validator(
          [](const std::string& text) { return text.empty() ? "empty FILE" : std::string(); }, ""));
  verb->add_option("--version", options->version,
                   "also choose the image for a camera with this full version text")
      ->type_name("TEXT");
  add_json_flag(*verb, options->json);
  verb->footer(
      "With --json: one object, {\"kind\", \"check\", \"slots\", \"full_slot\", "
      "\"entries\", \"choice\"}.\n"
      "Exit status: 0 the package would be used as it is; 1 a check failed or no image fits; "
      "2 bad arguments or a file that cannot be read.");
  verb->callback(
      [options, &status] { status = run_package(options->file, options->version, options->json); });
}

}  // namespace cli
}  // namespace mardo
