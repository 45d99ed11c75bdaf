#pragma once
// The window's side of an upgrade run: the "升级" button starts it, the manager's thread asks
// the window for message boxes and the button's state through posted calls, and a window
// that closes mid-run waits for the run's workers (they write its list) without boxes.
#include <QPointer>
#include <QPushButton>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "upgrade/upgrade_manager.h"

namespace mardo {

class CMardoDlg;

class window_upgrade final : public upgrade_host {
 public:
  using box_fn = std::function<void(const QString& caption, const QString& text)>;
  window_upgrade(CMardoDlg& dlg, QPushButton* button, box_fn box);
  ~window_upgrade() override;
  window_upgrade(const window_upgrade&) = delete;
  window_upgrade& operator=(const window_upgrade&) = delete;

  // GUI thread: the button's click, with the path box's text.
  void on_clicked(const QString& path);
  bool running() const { return running_.load(); }

  device_state& state() override;
  void post_transfer_progress(const upgrade_task_t& task, int percent) override;
  std::u16string read_package_path() override;
  void set_upgrade_enabled(bool enabled) override;
  void message_box(std::string_view text, std::string_view caption) override;

 private:
  CMardoDlg& dlg_;
  QPointer<QPushButton> button_;
  box_fn box_;
  std::mutex mutex_;
  std::u16string path_;  // the path box as read on the GUI thread at the click
  std::thread run_;
  std::atomic<bool> running_{false};
  std::atomic<bool> closing_{false};
};

}  // namespace mardo
