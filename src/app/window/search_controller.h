#pragma once
// The search's part of the window: the "搜索" button (1000), timer 1 and the "显示算法版本信息"
// box (1032). The button is on only while no search runs and no job reports into rows, since a
// search clears and re-sorts every row.
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <memory>

#include "app/window/window_ports.h"
#include "discovery/search.h"

namespace mardo {

class search_controller final : public search_window {
 public:
  // read_controls: the window's exchange of its boxes into its members, from any thread.
  search_controller(const window_ports& ports, QPushButton& button,
                    std::function<void()> read_controls);
  // A running search ends here: timer 1 cannot fire any more.
  ~search_controller() override;
  search_controller(const search_controller&) = delete;
  search_controller& operator=(const search_controller&) = delete;

  void on_clicked();
  void on_show_algo_changed() { search_->on_show_algo_changed(); }
  // The jobs' board changed: the button follows.
  void refresh_button();
  device_search& search() { return *search_; }

  void read_controls() override { read_controls_(); }
  void set_search_enabled(bool enabled) override;
  void arm_search_timer(int period_ms) override;

 private:
  window_ports ports_;
  QPushButton& button_;
  std::function<void()> read_controls_;
  QTimer timer_;  // timer 1
  bool idle_ = true;  // GUI thread: the search's own wish for its button
  std::unique_ptr<device_search> search_;  // last: destroyed first, while the rest is there
};

}  // namespace mardo
