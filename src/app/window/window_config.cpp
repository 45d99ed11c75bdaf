#include "app/window/window_config.h"

#include <QItemSelectionModel>
#include <QMetaObject>
#include <QPushButton>
#include <QTableView>

#include <chrono>
#include <ctime>

#include "app/core/worker_thread.h"
#include "app/window/config_dialogs.h"
#include "app/window/mardo_dlg.h"
#include "config/batch_ip.h"
#include "config/ip_change.h"
#include "config/mac_export.h"
#include "config/maintenance.h"
#include "config/manual_entry.h"
#include "testing/product_model.h"

namespace mardo {
namespace {

QString q(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

window_config::window_config(CMardoDlg& dlg, const dlg_hooks_t& hooks) : dlg_(dlg), hooks_(hooks) {}

window_config::~window_config() {
  if (batch_.joinable()) batch_.join();
  for (std::thread& t : product_jobs_)
    if (t.joinable()) t.join();
}

bool window_config::ask(std::string_view text) {
  return hooks_.question(&dlg_, dlg_.windowTitle(), q(text));
}

bool window_config::edit_ip(ip_fields_t& fields) {
  CIPDlg dialog(&dlg_, fields);
  if (!hooks_.run_dialog(dialog)) return false;
  fields = dialog.fields();
  return true;
}

bool window_config::edit_batch_ip(batch_ip_fields_t& fields) {
  CIPSDlg dialog(&dlg_, fields);
  if (!hooks_.run_dialog(dialog)) return false;
  fields = dialog.fields();
  return true;
}

bool window_config::edit_manual_entry(manual_entry_fields_t& fields) {
  CAddDlg dialog(&dlg_, fields, [this, &dialog](const QString& text) {
    hooks_.message_box(&dialog, dlg_.windowTitle(), text);
  });
  if (!hooks_.run_dialog(dialog)) return false;
  fields = dialog.fields();
  return true;
}

void window_config::notify(std::string_view text, std::string_view caption) {
  hooks_.message_box(&dlg_, q(caption), q(text));
}

void window_config::on_change_ip() {
  if (batch_running_) return;
  // The lowest selected row.
  int row = -1;
  for (const QModelIndex& index : dlg_.list()->selectionModel()->selectedRows())
    if (row < 0 || index.row() < row) row = index.row();
  change_ip(dlg_.state(), row, *this);
}

void window_config::set_batch_buttons(bool enabled) {
  for (int id : {kIdSearch, kIdBatchIp, kIdChangeIp})
    if (QWidget* w = dlg_.control(id)) w->setEnabled(enabled);
}

void window_config::on_batch_ip() {
  if (batch_running_) return;
  batch_ip_fields_t fields;
  if (!ask_batch_ip(dlg_.state().list, *this, fields)) return;
  if (batch_.joinable()) batch_.join();
  // A camera that does not answer takes 3 s: the window keeps painting meanwhile, and each
  // row's result shows as it comes, through the list.
  batch_running_ = true;
  set_batch_buttons(false);
  batch_ = start_worker("batch ip", [this, fields] {
    run_batch_ip(dlg_.state(), fields);
    QMetaObject::invokeMethod(
        &dlg_, [this] {
          batch_running_ = false;
          set_batch_buttons(true);
        },
        Qt::QueuedConnection);
  });
  if (!batch_.joinable()) {
    batch_running_ = false;
    set_batch_buttons(true);
  }
}

void window_config::on_reboot() {
  int count = dlg_.reboot_count;
  reboot_checked(dlg_.state(), *this, &count);
  dlg_.reboot_count = count;
}

void window_config::on_sync_time() { sync_time_checked(dlg_.state(), std::chrono::system_clock::now()); }

void window_config::on_delete_logs() { delete_logs_checked(dlg_.state(), *this); }

void window_config::on_add_manual() { add_manual_devices(dlg_.state().list, *this); }

void window_config::on_delete_rows() { delete_checked_rows(dlg_.state().list, *this); }

void window_config::on_delete_all() { delete_all_rows(dlg_.state().list, *this); }

void window_config::on_export() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const export_result_t result = export_macs(dlg_.state().list, program_folder(), local);
  if (result.failed) notify(std::string(kTextExportFailed) + result.path, "提示");
}

void window_config::on_set_product() {
  const device_list& list = dlg_.state().list;
  bool any = false;
  for (int r = 0; r < list.count() && !any; ++r) any = list.checked(r);
  if (!any) return;
  CSetProduct dialog(&dlg_, [this](QWidget* parent) { return hooks_.choose_file(parent, QString()); });
  if (!hooks_.run_dialog(dialog)) return;
  const product_fields_t fields = dialog.fields();
  product_jobs_.push_back(start_worker("set product", [this, fields] { set_product_models(dlg_.state(), fields); }));
}

void window_config::on_query_product() {
  const device_list& list = dlg_.state().list;
  bool any = false;
  for (int r = 0; r < list.count() && !any; ++r) any = list.checked(r);
  if (!any) return;
  product_jobs_.push_back(start_worker("query product", [this] { query_product_models(dlg_.state()); }));
}

}  // namespace mardo
