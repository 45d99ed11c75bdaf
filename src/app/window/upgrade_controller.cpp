#include "app/window/upgrade_controller.h"

#include <chrono>
#include <future>
#include <memory>

#include "upgrade/tftp_transfer.h"
#include "upgrade/tftp_write.h"

namespace mardo {

upgrade_controller::upgrade_controller(const window_ports& ports, QPushButton& button)
    : ports_(ports), button_(&button), run_(ports.poster) {}

upgrade_controller::~upgrade_controller() {
  closing_ = true;
  run_.join_all();
}

void upgrade_controller::post_transfer_progress(const upgrade_task_t& task, int percent) {
  // The ticket is taken now: a final text written before the report lands wins over it.
  device_list& list = ports_.state.list;
  const std::uint64_t ticket = list.status_ticket();
  const camera_id id = task.camera.id;
  const std::u16string text = transfer_progress_text(task.image_name, percent);
  ports_.poster.post([&list, id, text, ticket] { list.set_status_of(id, text, ticket); });
}

std::u16string upgrade_controller::read_package_path() {
  std::lock_guard lock(mutex_);
  return path_;
}

void upgrade_controller::on_clicked(const QString& path) {
  {
    std::lock_guard lock(mutex_);
    path_ = path.toStdU16String();
  }
  if (path.isEmpty()) return message_box(kTextEmptyPath, kCaptionNotice);
  // The button is disabled while a run goes on; a click queued before that is dropped.
  if (running_.exchange(true)) return;
  std::vector<camera_t> cameras = ticked_cameras(ports_.state);
  ports_.jobs.begin();
  run_.start(
      "upgrade", ports_.stop,
      [this, cameras = std::move(cameras)] {
        try {
          run_upgrade(*this, cameras);
        } catch (...) {
          // What the cameras got is not known: none of them is shown as upgraded.
          for (const camera_t& camera : cameras) show_status(ports_.state, camera, kTextUpgradeFailed);
          set_upgrade_enabled(true);
          throw;
        }
      },
      [this] {
        running_ = false;
        ports_.jobs.end();
      });
}

void upgrade_controller::set_upgrade_enabled(bool enabled) {
  QPointer<QPushButton> button = button_;
  ports_.poster.post([button, enabled] {
    if (button) button->setEnabled(enabled);
  });
}

void upgrade_controller::message_box(std::string_view text, std::string_view caption) {
  const QString t = qtext(text);
  // An empty caption is the window's title, read on the GUI thread.
  const QString c = qtext(caption);
  QWidget* parent = &ports_.parent;
  const dlg_hooks_t& hooks = ports_.hooks;
  if (ports_.poster.on_gui_thread())
    return hooks.message_box(parent, c.isEmpty() ? parent->windowTitle() : c, t);
  if (closing_) return;
  // Modal for the run: it waits until the box is closed, or until the window goes.
  auto shown = std::make_shared<std::promise<void>>();
  std::future<void> done = shown->get_future();
  ports_.poster.post([this, parent, &hooks, shown, c, t] {
    if (!closing_) hooks.message_box(parent, c.isEmpty() ? parent->windowTitle() : c, t);
    shown->set_value();
  });
  while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
    if (closing_ || ports_.stop.requested()) return;
}

}  // namespace mardo
