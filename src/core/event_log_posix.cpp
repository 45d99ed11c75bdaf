// The day files in $XDG_STATE_HOME/mardo, by default ~/.local/state/mardo.
#include "core/event_log_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "core/system.h"

namespace mardo {
namespace {

constexpr mode_t kDirMode = 0700;
constexpr mode_t kFileMode = 0600;

std::string home_dir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

// A relative XDG_STATE_HOME is invalid by the XDG rules and is ignored.
std::string state_dir() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/mardo";
  const std::string home = home_dir();
  if (home.empty()) return {};
  return home + "/.local/state/mardo";
}

void make_dirs(const std::string& path) {
  // Failures show at the open that follows.
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), kDirMode);
  }
  ::mkdir(path.c_str(), kDirMode);
}

int open_day_file(const std::string& day) {
  const std::string dir = state_dir();
  if (dir.empty()) return -1;
  const std::string path = dir + "/events-" + day + ".log";
  constexpr int kFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  int fd = ::open(path.c_str(), kFlags, kFileMode);
  if (fd < 0 && errno == ENOENT) {
    make_dirs(dir);
    fd = ::open(path.c_str(), kFlags, kFileMode);
  }
  return fd;
}

}  // namespace

bool append_to_day_file(const std::string& day, std::string_view lines) {
  const int fd = open_day_file(day);
  const bool written = fd >= 0 && write_all(fd, lines);
  if (fd >= 0) ::close(fd);
  return written;
}

}  // namespace mardo
