#include "core/log.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "core/system.h"

namespace mardo {
namespace {

std::atomic<console_window*> installed_window{nullptr};
// Null until toggle_console has created the installed view; the logging threads read it.
std::atomic<console_window*> console{nullptr};
std::atomic<std::uint64_t> formatted_lines{0};

// Diagnostic lines are short; longer ones take a second pass into a buffer of their size.
constexpr std::size_t kShortLine = 512;

}  // namespace

void set_console_window(console_window* window) {
  console.store(nullptr, std::memory_order_release);
  installed_window.store(window, std::memory_order_release);
}

void toggle_console() {
  if (console_window* window = console.load(std::memory_order_acquire)) {
    if (window->is_visible()) {
      window->hide();
    } else {
      window->show();
    }
    return;
  }
  console_window* window = installed_window.load(std::memory_order_acquire);
  if (window == nullptr) return;
  window->create();
  console.store(window, std::memory_order_release);
  window->show();
}

void log_printf(const char* format, ...) {
  console_window* window = console.load(std::memory_order_acquire);
  if (window == nullptr || format == nullptr || !window->is_visible()) return;
  formatted_lines.fetch_add(1, std::memory_order_relaxed);

  char short_line[kShortLine];
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(short_line, sizeof short_line, format, args);
  va_end(args);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof short_line) {
    window->write(std::string_view(short_line, static_cast<std::size_t>(length)));
  } else if (length > 0) {
    const auto size = static_cast<std::size_t>(length) + 1;
    std::unique_ptr<char[]> long_line(new (std::nothrow) char[size]);
    if (long_line && std::vsnprintf(long_line.get(), size, format, again) == length) {
      window->write(std::string_view(long_line.get(), static_cast<std::size_t>(length)));
    }
  }
  va_end(again);
}

std::uint64_t formatted_line_count() {
  return formatted_lines.load(std::memory_order_relaxed);
}

void stdout_console::write(std::string_view line) {
  std::string unix_line;
  if (line.ends_with("\r\n")) {
    unix_line.reserve(line.size() - 1);
    unix_line.append(line.substr(0, line.size() - 2)).push_back('\n');
    line = unix_line;
  }
  // One write per line keeps concurrent lines whole.
  write_stdout(line);
}

}  // namespace mardo
