#include "discovery/headless_search.h"

#include <chrono>

#include "net/tick.h"

namespace mardo {

headless_window::~headless_window() {
  stop_timer();
}

void headless_window::set_search_enabled(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    history_.push_back(enabled);
    if (enabled) enabled_at_ = tick_ms();
  }
  if (on_enable_) on_enable_(enabled);
}

void headless_window::arm_search_timer(int period_ms) {
  stop_timer();
  std::lock_guard lock(timer_mutex_);
  stopping_ = false;
  timer_ = std::thread([this, period_ms] {
    std::unique_lock wait_lock(timer_mutex_);
    while (!timer_cv_.wait_for(wait_lock, std::chrono::milliseconds(period_ms),
                               [this] { return stopping_; })) {
      if (search_) search_->on_timer();
    }
  });
}

void headless_window::stop_timer() {
  {
    std::lock_guard lock(timer_mutex_);
    stopping_ = true;
  }
  timer_cv_.notify_all();
  if (timer_.joinable()) timer_.join();
}

std::vector<bool> headless_window::enable_history() const {
  std::lock_guard lock(mutex_);
  return history_;
}

std::uint64_t headless_window::enabled_at_ms() const {
  std::lock_guard lock(mutex_);
  return enabled_at_;
}

headless_search_t run_headless_search(device_state& state) {
  headless_window window;
  std::uint64_t clicked = 0;
  {
    device_search search(state, window);
    window.bind(search);
    clicked = tick_ms();
    search.on_search_clicked();
    search.wait_idle();
    // The timer must not outlive the search it calls.
    window.stop_timer();
  }
  return {window.enabled_at_ms() - clicked, window.enable_history()};
}

}  // namespace mardo
