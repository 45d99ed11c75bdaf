#include "config/mac_export.h"

#include <cstdio>
#include <memory>

#include "core/system.h"
#include "core/text.h"

namespace mardo {

std::string export_file_path(const std::string& folder, const std::tm& local) {
  char name[96];
  std::snprintf(name, sizeof name, "%04d%02d%02d%02d%02d%02d.txt", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return folder + kPathSeparator + name;
}

std::string program_folder() {
  const std::string full = own_program_path();
  const std::size_t slash = full.find_last_of(kPathSeparators);
  return slash == std::string::npos ? "." : full.substr(0, slash);
}

std::string export_content(const device_list& list) {
  std::string out;
  for (int r = 0; r < list.count(); ++r) {
    if (!list.checked(r)) continue;
    out += ansi_string(list.text(r, kColMac));
    out += "\r\n";
  }
  return out;
}

export_result_t export_macs(const device_list& list, const std::string& folder,
                            const std::tm& local) {
  export_result_t result;
  if (!any_checked(list)) return result;
  result.path = export_file_path(folder, local);
  const std::string content = export_content(list);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(open_file(result.path, "wb"), &std::fclose);
  const bool written = file && std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
  const bool closed = file && std::fclose(file.release()) == 0;
  result.wrote = written && closed;
  result.failed = !result.wrote;
  return result;
}

}  // namespace mardo
