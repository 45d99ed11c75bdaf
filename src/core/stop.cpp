#include "core/stop.h"

#include <chrono>
#include <thread>

namespace mardo {
namespace {

thread_local stop_flag* current = nullptr;

}  // namespace

void stop_flag::request() {
  {
    std::lock_guard lock(mutex_);
    requested_.store(true, std::memory_order_release);
  }
  wake_.notify_all();
}

void stop_flag::reset() {
  requested_.store(false, std::memory_order_release);
}

bool stop_flag::pause(int ms) {
  std::unique_lock lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms),
                         [this] { return requested(); });
}

stop_flag* current_stop_flag() {
  return current;
}

stop_scope::stop_scope(stop_flag* flag) : previous_(current) {
  current = flag;
}

stop_scope::~stop_scope() {
  current = previous_;
}

bool stop_requested() {
  return current != nullptr && current->requested();
}

bool pause_ms(int ms) {
  if (current) return current->pause(ms);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms < 0 ? 0 : ms));
  return true;
}

}  // namespace mardo
