#pragma once
// The configuration commands: the IP change (double-click or 1018), the batch IP (1019, off the
// GUI thread with the cameras ticked when it was confirmed), reboot (1017), clock (1021), log
// deletion (1022), manual rows (1010, 1011, 1012) and the MAC export (1028). Its dialogs and
// question boxes go through the window's hooks.
#include <QPushButton>
#include <QTableView>

#include <atomic>

#include "app/window/window_ports.h"
#include "config/config_prompts.h"

namespace mardo {

// The buttons the batch turns off while it runs.
struct config_buttons_t {
  QPushButton* batch_ip = nullptr;
  QPushButton* change_ip = nullptr;
};

class config_controller final : public config_prompts {
 public:
  // reboot_count: the window's counter of the reboot command (the power-off test resets it).
  config_controller(const window_ports& ports, QTableView& list, config_buttons_t buttons,
                    std::int32_t& reboot_count);
  ~config_controller() override = default;
  config_controller(const config_controller&) = delete;
  config_controller& operator=(const config_controller&) = delete;

  void on_change_ip();
  void on_batch_ip();
  void on_reboot();
  void on_sync_time();
  void on_delete_logs();
  void on_add_manual();
  void on_delete_rows();
  void on_delete_all();
  void on_export();
  bool batch_running() const { return batch_running_; }

  bool ask(std::string_view text) override;
  bool edit_ip(ip_fields_t& fields) override;
  bool edit_batch_ip(batch_ip_fields_t& fields) override;
  bool edit_manual_entry(manual_entry_fields_t& fields) override;
  void notify(std::string_view text, std::string_view caption) override;

 private:
  void set_batch_buttons(bool enabled);

  window_ports ports_;
  QTableView& list_;
  config_buttons_t buttons_;
  std::int32_t& reboot_count_;
  bool batch_running_ = false;  // GUI thread
  worker_set batch_;  // last: joined first
};

}  // namespace mardo
