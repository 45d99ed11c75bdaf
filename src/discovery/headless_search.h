#pragma once
// A search without a window: a stand-in that keeps the Search button's state and runs the
// search timer on a thread of its own, as the window's timer would. For the command line,
// benchmarks and tests.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "discovery/search.h"

namespace mardo {

class headless_window final : public search_window {
 public:
  ~headless_window() override;

  // The search whose on_timer() the timer calls.
  void bind(device_search& search) { search_ = &search; }
  // Called on each change of the Search button, on the thread that changed it.
  void on_enable(std::function<void(bool)> fn) { on_enable_ = std::move(fn); }
  void read_controls() override { ++control_reads_; }
  void set_search_enabled(bool enabled) override;
  void arm_search_timer(int period_ms) override;
  void stop_timer();

  std::vector<bool> enable_history() const;
  std::uint64_t enabled_at_ms() const;  // tick of the last enable
  int control_reads() const { return control_reads_; }

 private:
  device_search* search_ = nullptr;
  std::function<void(bool)> on_enable_;
  mutable std::mutex mutex_;
  std::vector<bool> history_;
  std::uint64_t enabled_at_ = 0;
  std::atomic<int> control_reads_{0};

  std::mutex timer_mutex_;
  std::condition_variable timer_cv_;
  bool stopping_ = false;
  std::thread timer_;
};

struct headless_search_t {
  std::uint64_t took_ms;  // from the click to the Search button's re-enable
  std::vector<bool> enable_history;
};

// One search on the calling thread's network namespace: click, wait for its end.
headless_search_t run_headless_search(device_state& state);

}  // namespace mardo
