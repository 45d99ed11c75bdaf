// A job's stop flag reaches the threads its threads start, and wakes their pauses.
#include "core/stop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/worker_thread.h"

namespace mardo {
namespace {

TEST(StopFlag, WorkersOfAJobInheritItsFlagAndTheirPausesWakeWhenItIsRaised) {
  stop_flag stop;
  std::atomic<bool> inner_saw_flag{false}, inner_woke{false};
  const auto started = std::chrono::steady_clock::now();
  std::thread outer = start_worker(
      "outer",
      [&] {
        std::thread inner = start_worker("inner", [&] {
          inner_saw_flag = current_stop_flag() == &stop;
          inner_woke = !pause_ms(10000);
        });
        inner.join();
      },
      &stop);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop.request();
  outer.join();
  EXPECT_TRUE(inner_saw_flag);
  EXPECT_TRUE(inner_woke);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  // A thread outside any job is never told to stop.
  EXPECT_FALSE(stop_requested());
  EXPECT_TRUE(pause_ms(1));
}

}  // namespace
}  // namespace mardo
