#pragma once
// Diagnostic lines for the technician's console, and the event log of operations.
#include <string_view>

namespace mardo {

// The hideable diagnostic view. The shell (the Qt console window, or stdout for the
// command line) implements it; is_visible() and write() are called from any thread.
class console_window {
 public:
  virtual ~console_window() = default;
  virtual void create() = 0;  // first use; the view cannot be closed for good by the user
  virtual void show() = 0;
  virtual void hide() = 0;
  virtual bool is_visible() const = 0;
  // One whole line, written in one piece so concurrent lines never split each other.
  virtual void write(std::string_view line) = 0;
};

// Installs the view that toggle_console creates on first use. Call before the first toggle.
void set_console_window(console_window* window);

// First call creates and shows the console; later calls hide it when visible, show it
// when hidden.
void toggle_console();

// Formats and writes one line while the console is visible; formats nothing otherwise.
void log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Hands one finished line to the event log. Returns at once and never fails visibly;
// lines are appended in the background to events-YYYYMMDD.log in $XDG_STATE_HOME/mardo/
// (default ~/.local/state/mardo/).
void log_event(const char* line);

// Waits (bounded) until every line handed over so far is in its file. For orderly ends.
void flush_event_log();

}  // namespace mardo
