#pragma once
// The main window (dialog template 102): the device list, the buttons of every command, the
// two timers and the console key. It owns the device state for its whole life and is the
// search's window; worker threads reach it only through the store and posted events.
#include <QDialog>
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

#include "app/window/config_controller.h"
#include "app/window/console_view.h"
#include "app/window/device_model.h"
#include "app/window/dialog_units.h"
#include "app/window/factory_controller.h"
#include "app/window/power_test_controller.h"
#include "app/window/search_controller.h"
#include "app/window/upgrade_controller.h"
#include "app/window/window_ports.h"
#include "core/device_table.h"
#include "core/stop.h"

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

// The main window is a switchboard: it owns the device state, builds the controls, and hands
// each command group (search, upgrade, configuration, factory and product, power-off test) only
// the ports it needs. The members the commands keep are bound here, as the window's own.
class CMardoDlg final : public QDialog, public factory_members_t, public power_members_t {
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
  upgrade_controller& upgrade() { return *upgrade_; }
  config_controller& config() { return *config_; }
  factory_controller& factory() { return *factory_; }
  search_controller& search() { return *search_; }
  power_test& power() { return power_->test(); }
  row_jobs& jobs() { return jobs_; }
  const dialog_base_t& base_units() const { return base_; }
  QSize last_client_size() const { return last_size_; }

  // Exchanges the bound members with their controls: true reads the controls into the
  // members, false writes the members into the controls.
  void update_data(bool save);

  // The close handler's first step (ending a running power-off test).
  void set_close_hook(std::function<void()> hook) { close_hook_ = std::move(hook); }

  // Closing: every job is told to stop (its waits end early) and a running power-off test
  // gives every camera its file back. The destructor then joins what is left.
  void shut_down();

  // Any thread: reads the check boxes into the members; from elsewhere than the GUI thread,
  // as the GUI thread last saw them.
  void read_controls();

  // Members bound to controls or used by the commands.
  std::atomic<std::int32_t> select_all{0};  // check box 1016
  QString package_path;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void create_controls();
  void connect_controls();
  void initialise();
  void on_system_command(int id);
  void on_select_all_timer();
  void on_select_all_clicked();
  void on_browse();
  void on_row_jobs_changed();
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
  QTimer select_all_timer_;  // timer 2
  std::function<void()> close_hook_;
  stop_flag stop_;
  gui_poster poster_{*this};
  row_jobs jobs_{[this] { on_row_jobs_changed(); }};
  // Destroyed before the state, in reverse order: each joins what it still runs.
  std::unique_ptr<power_test_controller> power_;
  std::unique_ptr<search_controller> search_;
  std::unique_ptr<config_controller> config_;
  std::unique_ptr<factory_controller> factory_;
  std::unique_ptr<upgrade_controller> upgrade_;
};

}  // namespace mardo
