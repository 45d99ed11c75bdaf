#pragma once
// The factory test of one camera (the worker) and of every ticked camera (the preparation step
// and the run): each item in its fixed order over raw frames on a capture handle of the
// worker's own, every result a column-5 text and an event line, then the verdict.
#include <array>
#include <functional>
#include <string>

#include <vector>

#include "core/camera.h"
#include "testing/factory_items.h"

namespace mardo {

// The waits of the test, in milliseconds; the specified values by default. Tests shorten the
// pauses between items, never what a camera is given to answer.
struct factory_timing_t {
  int item_pause_ms = 1000;
  int reply_wait_ms = 3000;
  int probes = 22;
  int clock_attempts = 20;
  int clock_retry_ms = 3000;
  int audio_seconds = 5;
  int reset_seconds = 30;
  int reset_wait_ms = 31000;
  int serial_pause_ms = 1000;
};
inline constexpr factory_timing_t kFactoryTiming{};

// The station camera and its serial port, as the preparation step chose them.
struct factory_station_t {
  camera_id camera = 0;  // 0: none
  int row = -1;          // its row when chosen, for the window's member only
  std::string com_port;           // empty: no RS485 item
  std::string rs485 = "RS485-1";  // or "RS485-2"
};

struct factory_outcome_t {
  bool ran = false;  // false: the capture handle could not be opened
  std::array<bool, kItemCount> passed{};
  int tested = 0;
  std::string verdict;
};

factory_outcome_t run_factory_worker(device_state& state, const camera_t& camera,
                                     const factory_station_t& station,
                                     const factory_timing_t& timing = kFactoryTiming);

// What the preparation step asks: the question, then the choosers.
class factory_prompts {
 public:
  virtual ~factory_prompts() = default;
  virtual bool ask(std::string_view text) = 0;
  // The device chooser over the cameras to test: false when cancelled; *index into cameras,
  // −1 when none picked.
  virtual bool choose_station(const std::vector<camera_t>& cameras, int* index) = 0;
  // The serial-port chooser: false when cancelled or when there is nothing to choose.
  virtual bool choose_port(std::string* port, std::string* rs485) = 0;
};

// The preparation step alone: the ticked cameras are taken first, and the run tests those
// whatever is ticked later. False when there is nothing to test or the answer is No.
bool prepare_factory_test(const device_state& state, factory_prompts& prompts,
                          factory_station_t* station, std::vector<camera_t>* cameras);
// The run alone: one worker per camera, all at once, until the last has ended.
void run_factory_workers(device_state& state, const std::vector<camera_t>& cameras,
                         const factory_station_t& station,
                         const std::function<void(bool)>& on_running = {},
                         const factory_timing_t& timing = kFactoryTiming);

// The preparation step and the run: question, station and port, one worker per ticked row,
// all at once; returns when every worker has ended. on_running(true/false) brackets the run
// (the window disables button 1023 meanwhile). The station is left in *station.
void run_factory_test(device_state& state, factory_prompts& prompts, factory_station_t* station,
                      const std::function<void(bool)>& on_running = {},
                      const factory_timing_t& timing = kFactoryTiming);

}  // namespace mardo
