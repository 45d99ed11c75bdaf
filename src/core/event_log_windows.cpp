// The day files in %LOCALAPPDATA%\mardo.
#include "core/event_log_file.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shlobj.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "core/system.h"

namespace mardo {
namespace {

// WriteFile counts in a DWORD.
constexpr std::size_t kLongestWrite = std::size_t{1} << 30;

// %LOCALAPPDATA%, else the system's folder of it. A relative value would put the log wherever
// the program was started; it is ignored.
std::wstring local_app_data() {
  std::wstring value(GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0), L'\0');
  const DWORD length =
      GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), static_cast<DWORD>(value.size()));
  if (length > 0 && length < value.size()) {
    value.resize(length);
    if (std::filesystem::path(value).is_absolute()) return value;
  }
  PWSTR known = nullptr;
  std::wstring folder;
  if (SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known) == S_OK) folder = known;
  CoTaskMemFree(known);
  return folder;
}

HANDLE open_day_file(const std::wstring& path) {
  // Appends only, each write at the end, also while another process writes the same day.
  return CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool append_to_day_file(const std::string& day, std::string_view lines) {
  const std::wstring base = local_app_data();
  if (base.empty()) return false;
  const std::wstring dir = base + L"\\mardo";
  const std::wstring path = dir + L"\\events-" + wide_text(day) + L".log";
  HANDLE file = open_day_file(path);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PATH_NOT_FOUND) {
    // Failures show at the open that follows.
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(dir), ignored);
    file = open_day_file(path);
  }
  if (file == INVALID_HANDLE_VALUE) return false;
  bool written = true;
  while (written && !lines.empty()) {
    DWORD count = 0;
    const auto size = static_cast<DWORD>(std::min(lines.size(), kLongestWrite));
    written = WriteFile(file, lines.data(), size, &count, nullptr) && count > 0;
    lines.remove_prefix(count);
  }
  CloseHandle(file);
  return written;
}

}  // namespace mardo
