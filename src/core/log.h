#pragma once
// Diagnostic lines for the technician's console, and the event log of operations.
#include <atomic>
#include <cstdint>
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
  // One line handed to log_event, while the view is visible; a view without a place for
  // event lines ignores it. Called from any thread.
  virtual void write_event(std::string_view line) { static_cast<void>(line); }
};

// The console of the command-line front end (--console): standard output, shown and hidden
// like the window. A trailing "\r\n" is written as "\n"; each line goes out in one write.
class stdout_console final : public console_window {
 public:
  void create() override {}
  void show() override { visible_.store(true, std::memory_order_release); }
  void hide() override { visible_.store(false, std::memory_order_release); }
  bool is_visible() const override { return visible_.load(std::memory_order_acquire); }
  void write(std::string_view line) override;

 private:
  std::atomic<bool> visible_{false};
};

// Installs the view that toggle_console creates on first use. Call before the first toggle;
// the view must outlive all logging. Installing a view starts over: the console counts as
// not yet created until the next toggle_console.
void set_console_window(console_window* window);

// First call creates and shows the console; later calls hide it when visible, show it
// when hidden.
void toggle_console();

// Formats and writes one line while the console is visible; formats nothing otherwise.
void log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// How many lines log_printf has formatted since the process started; lets a test prove that
// nothing is formatted while the console is hidden.
std::uint64_t formatted_line_count();

// The view that is also shown log_event's lines while it is visible (null: none). A console
// with an event pane registers itself once it has been created and withdraws before it goes;
// it must outlive all logging, like the installed view.
void set_event_view(console_window* window);

// Hands one finished line to the event log. Returns at once and never fails visibly;
// lines are appended in the background to events-YYYYMMDD.log in $XDG_STATE_HOME/mardo/
// (default ~/.local/state/mardo/; on Windows %LOCALAPPDATA%\mardo\), and shown in the event
// view while it is visible (nothing is handed to a hidden one).
void log_event(const char* line);

// Waits (bounded) until every line handed over so far is in its file. For orderly ends.
void flush_event_log();

// Event lines handed over but not written: the queue was full (4096 lines waiting), or the
// directory or the day file could not be opened or written.
std::uint64_t event_log_lost_count();

}  // namespace mardo
