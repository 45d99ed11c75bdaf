#pragma once
// The power-off test's button (1029): start and stop, its caption, and the window's members
// that follow it. Its probes report to the event log only, so it is no row job.
#include <QPushButton>

#include <cstdint>

#include "core/device_table.h"
#include "testing/power_test.h"

namespace mardo {

// The window's members of the power-off test (and the reboot counter it resets).
struct power_members_t {
  bool power_test_running = false;
  std::int32_t power_test_count = 0;
  std::int32_t reboot_count = 0;
};

class power_test_controller {
 public:
  power_test_controller(device_state& state, QPushButton& button, power_members_t& members);
  void on_clicked();
  // The close handler's first step: every camera gets its stop command and its file back, while
  // the adapters are still open; the caption stays.
  void on_close();
  power_test& test() { return test_; }

 private:
  QPushButton& button_;
  power_members_t& members_;
  power_test test_;
};

}  // namespace mardo
