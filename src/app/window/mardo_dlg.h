#pragma once
// The main window (dialog template 102): the device list, the buttons of every command, the
// two timers and the console key. It owns the device state for its whole life and is the
// search's window; worker threads reach it only through the store and posted events.
#include <QDialog>
#include <QEvent>
#include <QSize>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/device_table.h"
#include "app/window/console_view.h"
#include "app/window/device_model.h"
#include "app/window/dialog_units.h"
#include "app/window/window_config.h"
#include "app/window/window_upgrade.h"
#include "discovery/search.h"
#include "testing/power_test.h"

class QTableView;
class QPushButton;
class QCheckBox;
class QLineEdit;

namespace mardo {

enum control_id : int {
  kIdStatic = -1,  // labels without an id of their own
  kIdUpgrade = 1,
  kIdSearch = 1000,
  kIdAdapterCombo = 1001,
  kIdList = 1002,
  kIdPackagePath = 1003,
  kIdBrowse = 1004,
  kIdAddManual = 1010,
  kIdDeleteRows = 1011,
  kIdDeleteAll = 1012,
  kIdSelectAll = 1016,
  kIdReboot = 1017,
  kIdChangeIp = 1018,
  kIdBatchIp = 1019,
  kIdDoubleClickHint = 1020,
  kIdTimeSync = 1021,
  kIdDeleteLogs = 1022,
  kIdFactoryTest = 1023,
  kIdExportMac = 1028,
  kIdPowerTest = 1029,
  kIdShowAlgo = 1032,
  kIdSetModel = 1033,
  kIdQueryModel = 1034,
};

inline constexpr int kDialogWidthDlu = 680;
inline constexpr int kDialogHeightDlu = 430;
inline constexpr int kSelectAllTimerMs = 1000;
inline constexpr int kAboutCommand = 16;
// The path text of edit 1003 holds this many characters with its terminating NUL.
inline constexpr int kMaxPathChars = 260;
inline constexpr const char* kBuildStamp = "[2023/10/08 10:00:00]";

// The title: "批量升级工具 V", the file version as four numbers (left out when the version
// cannot be read as such), three blanks, the build stamp.
QString main_window_title(std::string_view file_version);
// The version this build carries.
std::string_view file_version();

// The patch transfer's progress report (WM_USER+1000). It carries the row and what was sent
// by value: the task record of the transfer may be gone by the time it is handled.
class progress_event final : public QEvent {
 public:
  static constexpr QEvent::Type kType = static_cast<QEvent::Type>(2024);
  progress_event(int row, bool patch, int percent)
      : QEvent(kType), row_(row), patch_(patch), percent_(percent) {}
  int row() const { return row_; }
  bool patch() const { return patch_; }
  int percent() const { return percent_; }

 private:
  int row_;
  bool patch_;
  int percent_;
};

// What the window's start-up and its file chooser do; tests put their own in.
struct dlg_hooks_t {
  // Initialisation step 6. Default: load the capture library, enumerate the adapters.
  std::function<void(device_state&)> start_up;
  // The open-file dialog; gives the chosen path, or empty when cancelled.
  std::function<QString(QWidget* parent, const QString& start)> choose_file;
  // A modal message box. Default: an information box.
  std::function<void(QWidget* parent, const QString& caption, const QString& text)> message_box;
  // A Yes/No question; true for Yes. Default: a question box.
  std::function<bool(QWidget* parent, const QString& caption, const QString& text)> question;
  // Runs a modal dialog; true when it was accepted. Default: exec().
  std::function<bool(QDialog& dialog)> run_dialog;
  // The workstation's serial port names. Default: the system's own list.
  std::function<std::vector<std::string>()> serial_ports;
};

class CMardoDlg final : public QDialog, public search_window {
  Q_OBJECT

 public:
  explicit CMardoDlg(dlg_hooks_t hooks = {}, QWidget* parent = nullptr);
  ~CMardoDlg() override;
  CMardoDlg(const CMardoDlg&) = delete;
  CMardoDlg& operator=(const CMardoDlg&) = delete;

  // The control with this id; null for an id the window does not have.
  QWidget* control(int id) const;
  QTableView* list() const { return list_; }
  device_model& model() { return *model_; }
  device_state& state() { return state_; }
  console_view& console() { return *console_; }
  window_upgrade& upgrade() { return *upgrade_; }
  window_config& config() { return *config_; }
  power_test& power() { return *power_test_; }
  const dialog_base_t& base_units() const { return base_; }
  QSize last_client_size() const { return last_size_; }

  // Exchanges the bound members with their controls: true reads the controls into the
  // members, false writes the members into the controls.
  void update_data(bool save);

  // The close handler's first step (ending a running power-off test).
  void set_close_hook(std::function<void()> hook) { close_hook_ = std::move(hook); }

  // Any thread: posts the transfer's progress for row `row` to the window.
  void post_transfer_progress(int row, bool patch, int percent);

  // search_window; any thread. read_controls takes the check boxes as the GUI thread last
  // saw them when called from elsewhere.
  void read_controls() override;
  void set_search_enabled(bool enabled) override;
  void arm_search_timer(int period_ms) override;

  // Members bound to controls or used by the commands of later parts.
  std::atomic<std::int32_t> select_all{0};  // check box 1016
  std::int32_t test_station_row = -1;
  char test_com_port[128] = {};
  char test_rs485_port[64] = {};
  QString package_path;
  bool power_test_running = false;
  std::int32_t power_test_count = 0;
  std::int32_t reboot_count = 0;

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void create_controls();
  void initialise();
  void on_system_command(int id);
  void on_select_all_timer();
  void on_select_all_clicked();
  void on_browse();
  void on_power_test();
  void on_progress(const progress_event& progress);
  void lay_out(QSize client);

  dlg_hooks_t hooks_;
  device_state state_;
  std::unique_ptr<device_model> model_;
  std::unique_ptr<console_view> console_;
  dialog_base_t base_{};
  std::map<int, QWidget*> controls_;
  QTableView* list_ = nullptr;
  QPushButton* search_button_ = nullptr;
  QPushButton* upgrade_button_ = nullptr;
  QPushButton* factory_button_ = nullptr;
  QCheckBox* select_all_box_ = nullptr;
  QCheckBox* show_algo_box_ = nullptr;
  QLineEdit* path_edit_ = nullptr;
  // The check boxes as last seen on the GUI thread, for read_controls from another thread.
  std::atomic<bool> select_all_seen_{false};
  std::atomic<bool> show_algo_seen_{false};
  QSize last_size_;
  QTimer search_timer_;      // timer 1
  QTimer select_all_timer_;  // timer 2
  std::function<void()> close_hook_;
  // Destroyed before the state: a run still going is waited for.
  std::unique_ptr<window_upgrade> upgrade_;
  std::unique_ptr<window_config> config_;
  // Its probes write nothing of the window's; stopped at close, before the list goes.
  std::unique_ptr<power_test> power_test_;
  // Last: destroyed first, while everything its threads use is still there.
  std::unique_ptr<device_search> search_;
};

}  // namespace mardo
