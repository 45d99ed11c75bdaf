#include "app/window/search_controller.h"

namespace mardo {

search_controller::search_controller(const window_ports& ports, QPushButton& button,
                                     std::function<void()> read_controls)
    : ports_(ports), button_(button), read_controls_(std::move(read_controls)) {
  // Qt's default coarse timers may fire up to 5% early; a search must last its full 3000 ms.
  timer_.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer_, &QTimer::timeout, &button_, [this] { search_->on_timer(); });
  search_ = std::make_unique<device_search>(ports_.state, *this);
}

search_controller::~search_controller() {
  timer_.stop();
  search_->on_timer();
  search_.reset();
}

void search_controller::on_clicked() {
  // A click queued before a job turned the button off.
  if (ports_.jobs.busy()) return;
  search_->on_search_clicked();
}

void search_controller::refresh_button() { button_.setEnabled(idle_ && !ports_.jobs.busy()); }

void search_controller::set_search_enabled(bool enabled) {
  if (ports_.poster.on_gui_thread()) {
    idle_ = enabled;
    return refresh_button();
  }
  ports_.poster.post([this, enabled] {
    idle_ = enabled;
    refresh_button();
  });
}

void search_controller::arm_search_timer(int period_ms) {
  if (ports_.poster.on_gui_thread()) return timer_.start(period_ms);
  ports_.poster.post([this, period_ms] { timer_.start(period_ms); });
}

}  // namespace mardo
