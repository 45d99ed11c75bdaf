#pragma once
// The window's configuration commands: the IP change (double-click or 1018), the batch IP
// (1019, run off the GUI thread with its buttons off), reboot (1017), clock (1021), log
// deletion (1022), manual rows (1010, 1011, 1012) and the MAC export (1028). The dialogs and
// question boxes go through the window's hooks, so tests can answer them.
#include <QPointer>

#include <atomic>
#include <thread>
#include <vector>

#include "config/config_prompts.h"

class QWidget;

namespace mardo {

class CMardoDlg;
struct dlg_hooks_t;

class window_config final : public config_prompts {
 public:
  window_config(CMardoDlg& dlg, const dlg_hooks_t& hooks);
  ~window_config() override;
  window_config(const window_config&) = delete;
  window_config& operator=(const window_config&) = delete;

  void on_change_ip();
  void on_batch_ip();
  void on_reboot();
  void on_sync_time();
  void on_delete_logs();
  void on_add_manual();
  void on_delete_rows();
  void on_delete_all();
  void on_export();
  // 1033 and 1034: the dialog on the GUI thread, the cameras on a thread of their own.
  void on_set_product();
  void on_query_product();
  // 1023: the question and the choosers on the GUI thread, the cameras on a thread of their
  // own with the button off until the last has ended.
  void on_factory_test();
  bool batch_running() const { return batch_running_.load(); }

  bool ask(std::string_view text) override;
  bool edit_ip(ip_fields_t& fields) override;
  bool edit_batch_ip(batch_ip_fields_t& fields) override;
  bool edit_manual_entry(manual_entry_fields_t& fields) override;
  void notify(std::string_view text, std::string_view caption) override;

 private:
  void set_batch_buttons(bool enabled);

  CMardoDlg& dlg_;
  const dlg_hooks_t& hooks_;
  std::thread batch_;
  std::vector<std::thread> product_jobs_;
  std::thread factory_;
  std::atomic<bool> factory_running_{false};
  std::atomic<bool> batch_running_{false};
};

}  // namespace mardo
