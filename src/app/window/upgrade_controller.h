#pragma once
// The "升级" button (1): the run goes on a thread of its own with the cameras ticked at the
// click; its message boxes come back to the GUI thread and hold the run until closed, and each
// camera's transfer progress is queued to its row. A window that closes mid-run raises the stop
// flag and waits for the run's workers without boxes.
#include <QPointer>
#include <QPushButton>
#include <QString>

#include <atomic>
#include <mutex>

#include "app/window/window_ports.h"
#include "upgrade/upgrade_manager.h"

namespace mardo {

class upgrade_controller final : public upgrade_host {
 public:
  upgrade_controller(const window_ports& ports, QPushButton& button);
  ~upgrade_controller() override;
  upgrade_controller(const upgrade_controller&) = delete;
  upgrade_controller& operator=(const upgrade_controller&) = delete;

  // GUI thread: the button's click, with the path box's text.
  void on_clicked(const QString& path);
  bool running() const { return running_.load(); }

  device_state& state() override { return ports_.state; }
  void post_transfer_progress(const upgrade_task_t& task, int percent) override;
  std::u16string read_package_path() override;
  void set_upgrade_enabled(bool enabled) override;
  void message_box(std::string_view text, std::string_view caption) override;

 private:
  window_ports ports_;
  QPointer<QPushButton> button_;
  std::mutex mutex_;
  std::u16string path_;  // the path box as read on the GUI thread at the click
  std::atomic<bool> running_{false};
  std::atomic<bool> closing_{false};
  worker_set run_;  // last: joined first
};

}  // namespace mardo
