#include "core/system.h"

#include <windows.h>
// After windows.h, which they need.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <algorithm>

#include "core/text.h"

namespace mardo {
namespace {

// The longest path the wide API takes, in UTF-16 units.
constexpr std::size_t kLongestPath = 32768;
// WriteFile counts in a DWORD.
constexpr std::size_t kLongestWrite = std::size_t{1} << 30;

std::optional<std::uint64_t> regular_size(const struct _stat64& st) {
  if ((st.st_mode & _S_IFMT) != _S_IFREG || st.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

std::wstring wide_text(std::string_view utf8) {
  const std::u16string text = wide_string(utf8);
  return std::wstring(text.begin(), text.end());
}

std::string utf8_text(std::wstring_view wide) {
  return ansi_string(std::u16string(wide.begin(), wide.end()));
}

bool utc_time(std::time_t when, std::tm& out) {
  std::tm fields{};
  if (gmtime_s(&fields, &when) != 0) return false;
  out = fields;
  return true;
}

bool local_time(std::time_t when, std::tm& out) {
  std::tm fields{};
  if (localtime_s(&fields, &when) != 0) return false;
  out = fields;
  return true;
}

std::string own_program_path() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return utf8_text(path);
    }
    // A full buffer holds a path that was cut.
    if (path.size() >= kLongestPath) return {};
    path.resize(path.size() * 2);
  }
}

std::FILE* open_file(const std::string& path, const char* mode) {
  return _wfopen(wide_text(path).c_str(), wide_text(mode).c_str());
}

std::optional<std::uint64_t> regular_file_size(std::FILE* file) {
  struct _stat64 st {};
  if (_fstat64(_fileno(file), &st) != 0) return std::nullopt;
  return regular_size(st);
}

std::optional<std::uint64_t> regular_file_size(const std::string& path) {
  struct _stat64 st {};
  if (_wstat64(wide_text(path).c_str(), &st) != 0) return std::nullopt;
  return regular_size(st);
}

void write_stdout(std::string_view bytes) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  // A console before Windows 8 reports what it wrote of UTF-8 in characters, not bytes:
  // going on after such a "partial" write would repeat the line's end.
  DWORD mode = 0;
  const bool console = GetConsoleMode(out, &mode) != 0;
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto size = static_cast<DWORD>(std::min(bytes.size(), kLongestWrite));
    if (!WriteFile(out, bytes.data(), size, &written, nullptr) || written == 0 || console) return;
    bytes.remove_prefix(written);
  }
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(utf8_text(wide[i]));
  LocalFree(wide);
  return arguments;
}

utf8_console::utf8_console()
    : output_code_page_(GetConsoleOutputCP()), input_code_page_(GetConsoleCP()) {
  // Both are 0 for a process without a console (its output goes to a file or a pipe).
  if (output_code_page_ != 0) SetConsoleOutputCP(CP_UTF8);
  if (input_code_page_ != 0) SetConsoleCP(CP_UTF8);
  // Text mode would put a CR before every LF, in files too.
  if (_fileno(stdout) >= 0) _setmode(_fileno(stdout), _O_BINARY);
  if (_fileno(stderr) >= 0) _setmode(_fileno(stderr), _O_BINARY);
}

utf8_console::~utf8_console() {
  // The console decodes bytes when they are written: what waits must go out before the old
  // code pages come back.
  std::fflush(stdout);
  std::fflush(stderr);
  if (output_code_page_ != 0) SetConsoleOutputCP(output_code_page_);
  if (input_code_page_ != 0) SetConsoleCP(input_code_page_);
}

}  // namespace mardo
