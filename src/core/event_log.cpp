#include "core/log.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "core/event_log_file.h"
#include "core/system.h"

namespace mardo {
namespace {

constexpr std::size_t kQueueLimit = 4096;
constexpr auto kWaitBound = std::chrono::seconds(2);

std::atomic<std::uint64_t> lost_lines{0};
std::atomic<console_window*> event_view{nullptr};
// Set when the writer is destroyed at exit, so that lines handed over by later static
// destructors are dropped instead of reaching a dead object.
std::atomic<bool> writer_gone{false};

struct event_t {
  std::time_t when;  // the day file is chosen by the date the line was handed over
  std::string text;
};

std::string finished_line(const char* line) {
  std::string text(line);
  if (text.ends_with("\r\n")) {
    text.erase(text.size() - 2);
  } else if (text.ends_with('\n')) {
    text.pop_back();
  }
  text.push_back('\n');
  return text;
}

std::string day_stamp(std::time_t when) {
  std::tm local{};
  char stamp[16] = {};
  if (!local_time(when, local) || std::strftime(stamp, sizeof stamp, "%Y%m%d", &local) == 0) {
    return "00000000";
  }
  return stamp;
}

// Each run of lines of one day goes to its file in one append, opened and closed per run:
// a batch is rare enough for that, and another process may share the day file.
void write_batch(const std::deque<event_t>& batch) {
  std::size_t next = 0;
  while (next < batch.size()) {
    const std::string day = day_stamp(batch[next].when);
    std::string chunk;
    std::uint64_t lines = 0;
    for (; next < batch.size() && day_stamp(batch[next].when) == day; ++next, ++lines) {
      chunk += batch[next].text;
    }
    if (!append_to_day_file(day, chunk)) lost_lines.fetch_add(lines, std::memory_order_relaxed);
  }
}

// One background thread, started by the first line, so that callers never wait for a disk.
class event_writer {
 public:
  event_writer() = default;
  event_writer(const event_writer&) = delete;
  event_writer& operator=(const event_writer&) = delete;

  ~event_writer() {
    writer_gone.store(true, std::memory_order_release);
    std::unique_lock lock(mutex_);
    if (!thread_.joinable()) return;
    done_.wait_for(lock, kWaitBound, [this] { return finished_ == handed_; });
    lost_lines.fetch_add(queue_.size(), std::memory_order_relaxed);
    queue_.clear();
    stopping_ = true;
    wake_.notify_one();
    lock.unlock();
    thread_.join();
  }

  void push(event_t event) {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= kQueueLimit) {
      lost_lines.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread(&event_writer::run, this);
      } catch (const std::system_error&) {
        lost_lines.fetch_add(1, std::memory_order_relaxed);
        return;
      }
    }
    queue_.push_back(std::move(event));
    ++handed_;
    wake_.notify_one();
  }

  void flush() {
    std::unique_lock lock(mutex_);
    if (!thread_.joinable()) return;
    const std::uint64_t target = handed_;
    done_.wait_for(lock, kWaitBound, [&] { return finished_ >= target; });
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::deque<event_t> batch;
      batch.swap(queue_);
      lock.unlock();
      // Nothing thrown may leave the writer's thread; the lines are then lost, and counted.
      try {
        write_batch(batch);
      } catch (...) {
        lost_lines.fetch_add(batch.size(), std::memory_order_relaxed);
      }
      lock.lock();
      finished_ += batch.size();
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;  // the writer waits for lines or the end
  std::condition_variable done_;  // flush and the destructor wait for the writer
  std::deque<event_t> queue_;
  std::uint64_t handed_ = 0;    // lines queued so far
  std::uint64_t finished_ = 0;  // queued lines written or lost
  bool stopping_ = false;
  std::thread thread_;
};

event_writer& writer() {
  static event_writer instance;
  return instance;
}

}  // namespace

void set_event_view(console_window* window) {
  event_view.store(window, std::memory_order_release);
}

void log_event(const char* line) {
  if (line == nullptr) return;
  if (console_window* view = event_view.load(std::memory_order_acquire);
      view != nullptr && view->is_visible()) {
    view->write_event(line);
  }
  if (writer_gone.load(std::memory_order_acquire)) {
    lost_lines.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  writer().push(event_t{std::time(nullptr), finished_line(line)});
}

void flush_event_log() {
  if (writer_gone.load(std::memory_order_acquire)) return;
  writer().flush();
}

std::uint64_t event_log_lost_count() {
  return lost_lines.load(std::memory_order_relaxed);
}

}  // namespace mardo
