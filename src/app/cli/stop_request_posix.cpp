#include "app/cli/stop_request.h"

#include <csignal>
#include <ctime>

namespace mardo::cli {

stop_request::stop_request() {
  sigemptyset(&stops_);
  sigaddset(&stops_, SIGINT);
  sigaddset(&stops_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops_, nullptr);
  // Output into a closed pipe (`| head`) must not end the run before the cameras get their
  // file back.
  std::signal(SIGPIPE, SIG_IGN);
}

stop_request::~stop_request() = default;

bool stop_request::pending() const {
  sigset_t pending;
  sigpending(&pending);
  return sigismember(&pending, SIGINT) || sigismember(&pending, SIGTERM);
}

bool stop_request::wait(int seconds) {
  if (seconds <= 0) {
    int signal_number = 0;
    sigwait(&stops_, &signal_number);
    return true;
  }
  timespec left{seconds, 0};
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    if (sigtimedwait(&stops_, nullptr, &left) > 0) return true;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long gone_ms =
        (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    const long long rest_ms = seconds * 1000LL - gone_ms;
    // Woken early by something else (EINTR): wait for the rest.
    if (rest_ms <= 0) return false;
    left = {static_cast<time_t>(rest_ms / 1000), static_cast<long>(rest_ms % 1000) * 1000000};
  }
}

}  // namespace mardo::cli
