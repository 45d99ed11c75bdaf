#include "app/window/power_test_controller.h"

namespace mardo {

power_test_controller::power_test_controller(device_state& state, QPushButton& button,
                                             power_members_t& members)
    : button_(button), members_(members), test_(state) {}

void power_test_controller::on_clicked() {
  members_.power_test_running = test_.toggle(&members_.reboot_count);
  members_.power_test_count = test_.count();
  button_.setText(members_.power_test_running ? QStringLiteral("停止断电测试")
                                              : QStringLiteral("开始断电测试"));
}

void power_test_controller::on_close() {
  test_.release_entries();
  members_.power_test_count = 0;
}

}  // namespace mardo
