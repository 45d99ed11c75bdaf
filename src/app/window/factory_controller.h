#pragma once
// The factory test (1023) and the product models (1033, 1034): the question, the choosers and
// the dialog on the GUI thread with the cameras ticked at that moment, the cameras served on
// threads of their own, each joined as it ends.
#include <QPushButton>

#include <cstdint>

#include "app/window/window_ports.h"

namespace mardo {

// The window's members that keep the factory test's choices between runs.
struct factory_members_t {
  std::int32_t test_station_row = -1;
  char test_com_port[128] = {};
  char test_rs485_port[64] = {};
};

class factory_controller {
 public:
  factory_controller(const window_ports& ports, QPushButton& factory_button,
                     factory_members_t& members);
  ~factory_controller() = default;
  factory_controller(const factory_controller&) = delete;
  factory_controller& operator=(const factory_controller&) = delete;

  // 1023: the button is off until the last camera has ended.
  void on_factory_test();
  void on_set_product();
  void on_query_product();
  bool factory_running() const { return factory_running_; }

 private:
  // Starts a job that reports into the rows of `cameras`; failure is what each shows when the
  // job ends by an exception.
  void start_row_job(std::string where, std::vector<camera_t> cameras, std::string failure,
                     std::function<void(const std::vector<camera_t>&)> job,
                     std::function<void()> then_on_gui = {});

  window_ports ports_;
  QPushButton& factory_button_;
  factory_members_t& members_;
  bool factory_running_ = false;  // GUI thread
  worker_set jobs_;  // last: joined first
};

}  // namespace mardo
