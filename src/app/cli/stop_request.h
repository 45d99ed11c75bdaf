#pragma once
// Ctrl+C as a request to end a verb cleanly rather than the end of the process: SIGINT and
// SIGTERM on POSIX systems; Ctrl+C, Ctrl+Break, closing the console and shutdown on Windows.
// One implementation per system.
#ifndef _WIN32
#include <signal.h>
#endif

namespace mardo::cli {

class stop_request {
 public:
  // Takes the requests over from the system. POSIX: before any thread starts, so that every
  // thread inherits the blocked signals; they stay blocked after the object is gone, so that a
  // late one cannot end the process before it reports.
  stop_request();
  ~stop_request();
  stop_request(const stop_request&) = delete;
  stop_request& operator=(const stop_request&) = delete;

  // A request came and has not been waited for.
  bool pending() const;
  // Waits for a request, at most `seconds` (0 or less: without end). True when one came.
  bool wait(int seconds);

#ifndef _WIN32
 private:
  sigset_t stops_;
#endif
};

}  // namespace mardo::cli
