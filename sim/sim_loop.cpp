#include "sim_loop.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "event_log.h"

namespace mardo::sim {

sim_loop::~sim_loop() {
  if (signal_fd_ >= 0) ::close(signal_fd_);
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
}

bool sim_loop::init(std::string* error) {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) {
    *error = std::string("epoll_create1: ") + std::strerror(errno);
    return false;
  }
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) {
    *error = std::string("sigprocmask: ") + std::strerror(errno);
    return false;
  }
  signal_fd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signal_fd_ < 0) {
    *error = std::string("signalfd: ") + std::strerror(errno);
    return false;
  }
  return add(signal_fd_, EPOLLIN, [this](std::uint32_t) { stopping_ = true; });
}

bool sim_loop::add(int fd, std::uint32_t events, io_handler handler) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) return false;
  handlers_[fd] = std::move(handler);
  return true;
}

bool sim_loop::modify(int fd, std::uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  return epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void sim_loop::remove(int fd) {
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  handlers_.erase(fd);
}

void sim_loop::after(int ms, std::function<void()> fn) {
  timers_.emplace(monotonic_ms() + static_cast<std::uint64_t>(ms < 0 ? 0 : ms), std::move(fn));
}

int sim_loop::wait_timeout_ms() const {
  if (timers_.empty()) return -1;
  std::uint64_t now = monotonic_ms();
  std::uint64_t due = timers_.begin()->first;
  return due <= now ? 0 : static_cast<int>(due - now);
}

void sim_loop::run_due_timers() {
  std::uint64_t now = monotonic_ms();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    auto fn = std::move(timers_.begin()->second);
    timers_.erase(timers_.begin());
    fn();
  }
}

int sim_loop::run() {
  std::vector<epoll_event> events(256);
  while (!stopping_) {
    int n =
        epoll_wait(epoll_fd_, events.data(), static_cast<int>(events.size()), wait_timeout_ms());
    if (n < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    for (int i = 0; i < n && !stopping_; ++i) {
      auto it = handlers_.find(events[static_cast<std::size_t>(i)].data.fd);
      // A handler may remove another fd whose event is already in this batch.
      if (it == handlers_.end()) continue;
      io_handler handler = it->second;
      handler(events[static_cast<std::size_t>(i)].events);
    }
    run_due_timers();
  }
  return 0;
}

}  // namespace mardo::sim
