#include "app/window/config_controller.h"

#include <QItemSelectionModel>

#include <chrono>
#include <ctime>

#include "app/window/add_dlg.h"
#include "app/window/ip_dlg.h"
#include "app/window/ips_dlg.h"
#include "config/batch_ip.h"
#include "config/ip_change.h"
#include "config/mac_export.h"
#include "config/maintenance.h"
#include "config/manual_entry.h"

namespace mardo {

config_controller::config_controller(const window_ports& ports, QTableView& list,
                                     config_buttons_t buttons, std::int32_t& reboot_count)
    : ports_(ports), list_(list), buttons_(buttons), reboot_count_(reboot_count), batch_(ports.poster) {}

bool config_controller::ask(std::string_view text) {
  return ports_.hooks.question(&ports_.parent, ports_.parent.windowTitle(), qtext(text));
}

bool config_controller::edit_ip(ip_fields_t& fields) {
  CIPDlg dialog(&ports_.parent, fields);
  if (!ports_.hooks.run_dialog(dialog)) return false;
  fields = dialog.fields();
  return true;
}

bool config_controller::edit_batch_ip(batch_ip_fields_t& fields) {
  CIPSDlg dialog(&ports_.parent, fields);
  if (!ports_.hooks.run_dialog(dialog)) return false;
  fields = dialog.fields();
  return true;
}

bool config_controller::edit_manual_entry(manual_entry_fields_t& fields) {
  CAddDlg dialog(&ports_.parent, fields, [this, &dialog](const QString& text) {
    ports_.hooks.message_box(&dialog, ports_.parent.windowTitle(), text);
  });
  if (!ports_.hooks.run_dialog(dialog)) return false;
  fields = dialog.fields();
  return true;
}

void config_controller::notify(std::string_view text, std::string_view caption) {
  ports_.hooks.message_box(&ports_.parent, qtext(caption), qtext(text));
}

void config_controller::on_change_ip() {
  if (batch_running_) return;
  // The lowest selected row; change_ip takes its camera before the dialog opens.
  int row = -1;
  for (const QModelIndex& index : list_.selectionModel()->selectedRows())
    if (row < 0 || index.row() < row) row = index.row();
  change_ip(ports_.state, row, *this);
}

void config_controller::set_batch_buttons(bool enabled) {
  for (QPushButton* b : {buttons_.batch_ip, buttons_.change_ip})
    if (b) b->setEnabled(enabled);
}

void config_controller::on_batch_ip() {
  if (batch_running_) return;
  batch_ip_fields_t fields;
  if (!ask_batch_ip(ports_.state.list, *this, fields)) return;
  // Fixed now: ticks, sorting and searches after this change neither the cameras nor their
  // addresses.
  std::vector<camera_t> cameras = ticked_cameras(ports_.state);
  // A camera that does not answer takes 3 s: the window keeps painting meanwhile, and each
  // camera's result shows as it comes, through the list.
  batch_running_ = true;
  set_batch_buttons(false);
  ports_.jobs.begin();
  batch_.start(
      "batch ip", ports_.stop,
      [this, fields, cameras = std::move(cameras)] {
        try {
          run_batch_ip(ports_.state, cameras, fields);
        } catch (...) {
          for (const camera_t& camera : cameras) show_status(ports_.state, camera, kTextIpChangeFailed);
          throw;
        }
      },
      [this] {
        batch_running_ = false;
        set_batch_buttons(true);
        ports_.jobs.end();
      });
}

void config_controller::on_reboot() {
  int count = reboot_count_;
  reboot_checked(ports_.state, *this, &count);
  reboot_count_ = count;
}

void config_controller::on_sync_time() {
  sync_time_checked(ports_.state, std::chrono::system_clock::now());
}

void config_controller::on_delete_logs() { delete_logs_checked(ports_.state, *this); }

// The row commands are off while a job reports into rows; a click queued before that is dropped.
void config_controller::on_add_manual() {
  if (!ports_.jobs.busy()) add_manual_devices(ports_.state.list, *this);
}

void config_controller::on_delete_rows() {
  if (!ports_.jobs.busy()) delete_checked_rows(ports_.state.list, *this);
}

void config_controller::on_delete_all() {
  if (!ports_.jobs.busy()) delete_all_rows(ports_.state.list, *this);
}

void config_controller::on_export() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const export_result_t result = export_macs(ports_.state.list, program_folder(), local);
  if (result.failed) notify(std::string(kTextExportFailed) + result.path, "提示");
}

}  // namespace mardo
