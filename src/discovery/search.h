#pragma once
// The search: every adapter asks at once over raw frames and over multicast, and the
// answers are merged into one row per MAC text. A search ends at the window's timer, three
// seconds after its click; then the rows are marked for shared addresses, sorted by
// address and numbered.
#include <atomic>
#include <thread>

#include "core/device_table.h"

namespace mardo {

inline constexpr int kSearchTimerMs = 3000;
inline constexpr int kSearchPasses = 3;
inline constexpr int kSearchPassPauseMs = 1000;
inline constexpr int kSearchFrameSize = 128;
inline constexpr const char* kSearchRequestText = "{\"cmd\":\"devSearch\", \"type\":1}";

// What the search needs of the main window. Calls may come from the search's own thread;
// a window with widgets must hand them to its GUI thread.
class search_window {
 public:
  virtual ~search_window() = default;
  // Reads the dialog's control states into the window's flags (show_algo among them).
  virtual void read_controls() = 0;
  virtual void set_search_enabled(bool enabled) = 0;
  // (Re)arms the periodic search timer; each time it fires the window calls on_timer().
  virtual void arm_search_timer(int period_ms) = 0;
};

class device_search {
 public:
  device_search(device_state& state, search_window& window);
  ~device_search();  // waits for a running search to end
  device_search(const device_search&) = delete;
  device_search& operator=(const device_search&) = delete;

  // The Search button. Ignored while a search runs, so searches never overlap.
  void on_search_clicked();
  // The search timer: answering stops.
  void on_timer();
  // The "show algorithm version" check box: redisplays column 3 of every row.
  void on_show_algo_changed();

  bool running() const { return running_.load(); }
  // Blocks until no search runs (for shells without an event loop, and tests).
  void wait_idle();

 private:
  void run_controller();

  device_state& state_;
  search_window& window_;
  std::thread controller_;
  std::atomic<bool> running_{false};
};

// Marks rows that share their IP text, sorts by address (non-addresses last) and numbers
// the rows from 1.
void finish_search_rows(device_list& list);

}  // namespace mardo
