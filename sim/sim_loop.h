#pragma once
// The simulator's single-threaded event loop: every camera socket of every channel is
// registered here, answers that must wait are timers, and SIGTERM/SIGINT end the run.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>

namespace mardo::sim {

class sim_loop {
 public:
  using io_handler = std::function<void(std::uint32_t events)>;

  sim_loop() = default;
  sim_loop(const sim_loop&) = delete;
  sim_loop& operator=(const sim_loop&) = delete;
  ~sim_loop();

  // Blocks SIGTERM and SIGINT on the calling thread and watches them.
  bool init(std::string* error);
  bool add(int fd, std::uint32_t events, io_handler handler);
  bool modify(int fd, std::uint32_t events);
  void remove(int fd);
  // Runs fn once, `ms` from now, on the loop.
  void after(int ms, std::function<void()> fn);
  // Until a stop signal; gives 0, or 1 when waiting failed.
  int run();

 private:
  int wait_timeout_ms() const;
  void run_due_timers();

  int epoll_fd_ = -1;
  int signal_fd_ = -1;
  bool stopping_ = false;
  std::unordered_map<int, io_handler> handlers_;
  // Equal due times run in the order they were set.
  std::multimap<std::uint64_t, std::function<void()>> timers_;
};

}  // namespace mardo::sim
