#pragma once
// A job's stop flag. Closing the window ends the process, so every wait of every thread that
// works for a job (socket and frame waits, pauses, serial reads) ends early once the job is
// told to stop, and the job gives up: nothing it did not finish is reported as done.
//
// A thread works for the job whose flag it was started with (start_worker passes the starting
// thread's flag on), so the waits deep in the protocol code need no extra parameter.
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace mardo {

class stop_flag {
 public:
  // Wakes every pause of the job.
  void request();
  bool requested() const { return requested_.load(std::memory_order_acquire); }
  void reset();
  // Sleeps ms, less once requested; false when requested.
  bool pause(int ms);

 private:
  std::atomic<bool> requested_{false};
  std::mutex mutex_;
  std::condition_variable wake_;
};

// The flag of the job the calling thread works for; null: none.
stop_flag* current_stop_flag();

// Makes the calling thread work for `flag`'s job until the scope ends.
class stop_scope {
 public:
  explicit stop_scope(stop_flag* flag);
  ~stop_scope();
  stop_scope(const stop_scope&) = delete;
  stop_scope& operator=(const stop_scope&) = delete;

 private:
  stop_flag* previous_;
};

// The calling thread's job was told to stop.
bool stop_requested();

// Sleeps ms milliseconds, less when the calling thread's job is told to stop; false when it was.
bool pause_ms(int ms);

// The slice in which a wait that cannot be woken looks at the flag.
inline constexpr int kStopSliceMs = 50;

}  // namespace mardo
