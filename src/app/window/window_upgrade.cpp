#include "app/window/window_upgrade.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <future>
#include <memory>

#include "app/core/worker_thread.h"
#include "app/window/mardo_dlg.h"

namespace mardo {
namespace {

bool on_gui_thread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

}  // namespace

window_upgrade::window_upgrade(CMardoDlg& dlg, QPushButton* button, box_fn box)
    : dlg_(dlg), button_(button), box_(std::move(box)) {}

window_upgrade::~window_upgrade() {
  closing_ = true;
  if (run_.joinable()) run_.join();
}

device_state& window_upgrade::state() { return dlg_.state(); }

void window_upgrade::post_transfer_progress(const upgrade_task_t& task, int percent) {
  dlg_.post_transfer_progress(task.row, task.image_name.find(u"patch.bin") != std::u16string::npos,
                              percent);
}

std::u16string window_upgrade::read_package_path() {
  std::lock_guard lock(mutex_);
  return path_;
}

void window_upgrade::on_clicked(const QString& path) {
  {
    std::lock_guard lock(mutex_);
    path_ = path.toStdU16String();
  }
  if (path.isEmpty()) return message_box(kTextEmptyPath, kCaptionNotice);
  // The button is disabled while a run goes on; a click queued before that is dropped.
  if (running_.exchange(true)) return;
  if (run_.joinable()) run_.join();
  run_ = start_worker("upgrade", [this] {
    run_upgrade(*this);
    running_ = false;
  });
  if (!run_.joinable()) running_ = false;
}

void window_upgrade::set_upgrade_enabled(bool enabled) {
  QPointer<QPushButton> button = button_;
  QMetaObject::invokeMethod(
      &dlg_, [button, enabled] { if (button) button->setEnabled(enabled); }, Qt::QueuedConnection);
}

void window_upgrade::message_box(std::string_view text, std::string_view caption) {
  const QString t = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  // An empty caption is the window's title, read on the GUI thread.
  const QString c = QString::fromUtf8(caption.data(), static_cast<qsizetype>(caption.size()));
  if (on_gui_thread()) return box_(c.isEmpty() ? dlg_.windowTitle() : c, t);
  if (closing_) return;
  // Modal for the run: it waits until the box is closed, or until the window goes.
  auto shown = std::make_shared<std::promise<void>>();
  std::future<void> done = shown->get_future();
  QMetaObject::invokeMethod(
      &dlg_, [this, shown, c, t] {
        if (!closing_) box_(c.isEmpty() ? dlg_.windowTitle() : c, t);
        shown->set_value();
      },
      Qt::QueuedConnection);
  while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
    if (closing_) return;
}

}  // namespace mardo
