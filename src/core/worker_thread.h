#pragma once
// How every worker of the tool is started. An exception thrown in a worker would end the
// whole process; here it ends only that worker's job, with a diagnostic line.
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/log.h"
#include "core/stop.h"

namespace mardo {

// Runs fn and swallows what it throws; `where` opens the diagnostic line as "[%s]" does.
template <typename Fn>
void run_guarded(const std::string& where, Fn&& fn) noexcept {
  try {
    std::forward<Fn>(fn)();
  } catch (const std::exception& e) {
    log_printf("[%s]worker ended: %s\r\n", where.c_str(), e.what());
  } catch (...) {
    log_printf("[%s]worker ended by an unknown exception\r\n", where.c_str());
  }
}

// Starts fn on a thread of its own under run_guarded, working for the job of `stop` (by
// default the starting thread's own job). Gives a thread that is not joinable when the system
// cannot start one (the job is then not done, and the line says so).
template <typename Thread = std::thread, typename Fn>
Thread start_worker(std::string where, Fn fn, stop_flag* stop = current_stop_flag()) noexcept {
  try {
    return Thread([where, fn = std::move(fn), stop]() mutable {
      const stop_scope job(stop);
      run_guarded(where, fn);
    });
  } catch (const std::system_error& e) {
    log_printf("[%s]cannot start a thread: %s\r\n", where.c_str(), e.what());
  } catch (...) {
    log_printf("[%s]cannot start a thread\r\n", where.c_str());
  }
  return Thread();
}

}  // namespace mardo
