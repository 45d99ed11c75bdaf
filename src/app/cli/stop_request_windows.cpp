#include "app/cli/stop_request.h"

#include <windows.h>

#include <algorithm>

namespace mardo::cli {
namespace {

// The longest single wait; a longer one is taken in parts.
constexpr ULONGLONG kLongestWaitMs = 0x7FFFFFFF;

// Made once and never closed: the system calls the handler on a thread of its own, which may
// still run while the process ends.
HANDLE stop_event() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI on_console_event(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      SetEvent(stop_event());
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when the handler returns, or when the system stops waiting for it
      // (about 5 s): until then the verb gives the cameras their file back, as far as it gets.
      // Best effort only, which is why the help names Ctrl+C alone.
      SetEvent(stop_event());
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

stop_request::stop_request() {
  stop_event();
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

stop_request::~stop_request() {
  SetConsoleCtrlHandler(on_console_event, FALSE);
}

bool stop_request::pending() const {
  return WaitForSingleObject(stop_event(), 0) == WAIT_OBJECT_0;
}

bool stop_request::wait(int seconds) {
  if (seconds <= 0) return WaitForSingleObject(stop_event(), INFINITE) == WAIT_OBJECT_0;
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    const auto part = static_cast<DWORD>(std::min(end - now, kLongestWaitMs));
    const DWORD woken = WaitForSingleObject(stop_event(), part);
    if (woken != WAIT_TIMEOUT) return woken == WAIT_OBJECT_0;
  }
  return false;
}

}  // namespace mardo::cli
