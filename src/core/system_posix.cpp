#include "core/system.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace mardo {
namespace {

std::optional<std::uint64_t> regular_size(const struct stat& st) {
  if (!S_ISREG(st.st_mode) || st.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

bool utc_time(std::time_t when, std::tm& out) {
  std::tm fields{};
  if (gmtime_r(&when, &fields) == nullptr) return false;
  out = fields;
  return true;
}

bool local_time(std::time_t when, std::tm& out) {
  std::tm fields{};
  if (localtime_r(&when, &fields) == nullptr) return false;
  out = fields;
  return true;
}

std::string own_program_path() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
}

std::FILE* open_file(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

std::optional<std::uint64_t> regular_file_size(std::FILE* file) {
  struct stat st {};
  if (fstat(fileno(file), &st) != 0) return std::nullopt;
  return regular_size(st);
}

std::optional<std::uint64_t> regular_file_size(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return regular_size(st);
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

void write_stdout(std::string_view bytes) {
  write_all(STDOUT_FILENO, bytes);
}

std::vector<std::string> program_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

utf8_console::utf8_console() = default;
utf8_console::~utf8_console() = default;

}  // namespace mardo
