#pragma once
// The few calls of the operating system that the core and the shells share, one
// implementation per system (system_posix.cpp, system_windows.cpp). 8-bit text is UTF-8 on
// every system: Windows' wide texts are converted at this border, with the same conversion as
// core/text.h.
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mardo {

// The calendar fields of a moment in UTC, or in the local time zone. False when the system
// cannot represent the moment (Windows: before 1970); `out` is then left as it was.
bool utc_time(std::time_t when, std::tm& out);
bool local_time(std::time_t when, std::tm& out);

// The running program's full path, or "" when the system does not tell.
std::string own_program_path();

// Where a folder's name ends in a path. Windows takes either slash and writes a backslash.
#ifdef _WIN32
inline constexpr std::string_view kPathSeparators = "\\/";
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr std::string_view kPathSeparators = "/";
inline constexpr char kPathSeparator = '/';
#endif

// fopen by a UTF-8 name. Windows opens through the wide API, so that the name does not
// depend on the ANSI code page.
std::FILE* open_file(const std::string& path, const char* mode);

// The size of a regular file, open or by name, in 64 bits on every system; nullopt for
// anything else (a directory, a device, a pipe) or when the system cannot tell.
std::optional<std::uint64_t> regular_file_size(std::FILE* file);
std::optional<std::uint64_t> regular_file_size(const std::string& path);

// Bytes to standard output as they are, in one write where the system takes them whole.
void write_stdout(std::string_view bytes);

// The command line as UTF-8 texts, argv[0] first. Windows parses its wide command line: the
// argv of main comes in the ANSI code page wherever the program's manifest does not make
// that UTF-8 (before Windows 10 1903).
std::vector<std::string> program_arguments(int argc, char** argv);

// For the life of the object, a console shows and takes UTF-8 and standard output and error
// carry the bytes as written (no CR added by the C runtime). Nothing to do on POSIX systems.
class utf8_console {
 public:
  utf8_console();
  ~utf8_console();
  utf8_console(const utf8_console&) = delete;
  utf8_console& operator=(const utf8_console&) = delete;

#ifdef _WIN32
 private:
  unsigned int output_code_page_ = 0;  // what the console had before; 0: no console
  unsigned int input_code_page_ = 0;
#endif
};

#ifdef _WIN32
std::wstring wide_text(std::string_view utf8);
std::string utf8_text(std::wstring_view wide);
#else
// Writes all of `bytes`, going on after a partial or interrupted write; false on an error.
bool write_all(int fd, std::string_view bytes);
#endif

}  // namespace mardo
