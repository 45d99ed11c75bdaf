#include "app/window/window_config.h"

#include <QItemSelectionModel>
#include <QMetaObject>
#include <QPushButton>
#include <QTableView>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "app/core/worker_thread.h"
#include "app/window/config_dialogs.h"
#include "app/window/mardo_dlg.h"
#include "config/batch_ip.h"
#include "config/ip_change.h"
#include "config/mac_export.h"
#include "config/maintenance.h"
#include "config/manual_entry.h"
#include "testing/factory_test.h"
#include "testing/product_model.h"
#include "testing/serial_port.h"

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
  if (factory_.joinable()) factory_.join();
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
  if (!any_checked(dlg_.state().list)) return;
  CSetProduct dialog(&dlg_, [this](QWidget* parent) { return hooks_.choose_file(parent, QString()); });
  if (!hooks_.run_dialog(dialog)) return;
  const product_fields_t fields = dialog.fields();
  product_jobs_.push_back(start_worker("set product", [this, fields] { set_product_models(dlg_.state(), fields); }));
}

void window_config::on_query_product() {
  if (!any_checked(dlg_.state().list)) return;
  product_jobs_.push_back(start_worker("query product", [this] { query_product_models(dlg_.state()); }));
}

namespace {

// The preparation's answers from the window's dialogs, on the GUI thread.
class window_factory_prompts final : public factory_prompts {
 public:
  window_factory_prompts(CMardoDlg& dlg, const dlg_hooks_t& hooks) : dlg_(dlg), hooks_(hooks) {}
  bool ask(std::string_view text) override {
    return hooks_.question(&dlg_, dlg_.windowTitle(), QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
  }
  bool choose_station(const device_list& list, int* row) override {
    CDevDlg dialog(&dlg_, list);
    if (!hooks_.run_dialog(dialog)) return false;
    *row = dialog.result_row();
    return true;
  }
  bool choose_port(std::string* port, std::string* rs485) override {
    CComDlg dialog(&dlg_, hooks_.serial_ports ? hooks_.serial_ports() : list_serial_ports());
    // Nothing to choose: the dialog ends by itself.
    if (!dialog.has_ports() || !hooks_.run_dialog(dialog)) return false;
    *port = dialog.port();
    *rs485 = dialog.rs485();
    return true;
  }

 private:
  CMardoDlg& dlg_;
  const dlg_hooks_t& hooks_;
};

}  // namespace

void window_config::on_factory_test() {
  if (factory_running_) return;
  dlg_.update_data(true);
  window_factory_prompts prompts(dlg_, hooks_);
  factory_station_t station;
  station.rs485 = dlg_.test_rs485_port[0] ? dlg_.test_rs485_port : "RS485-1";
  if (!prepare_factory_test(dlg_.state().list, prompts, &station)) return;
  dlg_.test_station_row = station.row;
  std::snprintf(dlg_.test_com_port, sizeof dlg_.test_com_port, "%s", station.com_port.c_str());
  std::snprintf(dlg_.test_rs485_port, sizeof dlg_.test_rs485_port, "%s", station.rs485.c_str());
  if (factory_.joinable()) factory_.join();
  factory_running_ = true;
  QWidget* button = dlg_.control(kIdFactoryTest);
  button->setEnabled(false);
  factory_ = start_worker("factory test", [this, station, button] {
    run_factory_workers(dlg_.state(), station);
    QMetaObject::invokeMethod(
        &dlg_, [this, button] {
          factory_running_ = false;
          button->setEnabled(true);
        },
        Qt::QueuedConnection);
  });
  if (!factory_.joinable()) {
    factory_running_ = false;
    button->setEnabled(true);
  }
}

}  // namespace mardo
