#pragma once
// The MAC texts of the ticked rows, one per line (CR LF), into a file named after the moment
// of the export, in the program's folder.
#include <ctime>
#include <optional>
#include <string>

#include "core/device_list.h"

namespace mardo {

inline constexpr char kTextExportFailed[] = "导出MAC失败：";  // followed by the path

// "<folder>/YYYYMMDDhhmmss.txt" of a local time.
std::string export_file_path(const std::string& folder, const std::tm& local);
// The folder of the running program.
std::string program_folder();
// The file's bytes.
std::string export_content(const device_list& list);

struct export_result_t {
  bool wrote = false;   // nothing ticked: false, with an empty path
  std::string path;
  bool failed = false;  // the file could not be created or written whole
};

export_result_t export_macs(const device_list& list, const std::string& folder,
                            const std::tm& local);

}  // namespace mardo
