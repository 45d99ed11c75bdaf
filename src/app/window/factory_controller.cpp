#include "app/window/factory_controller.h"

#include <cstdio>

#include "app/window/com_dlg.h"
#include "app/window/dev_dlg.h"
#include "app/window/set_product_dlg.h"
#include "testing/factory_items.h"
#include "testing/factory_test.h"
#include "testing/product_model.h"
#include "testing/serial_port.h"

namespace mardo {
namespace {

// The preparation's answers from the window's dialogs, on the GUI thread.
class window_factory_prompts final : public factory_prompts {
 public:
  explicit window_factory_prompts(const window_ports& ports) : ports_(ports) {}
  bool ask(std::string_view text) override {
    return ports_.hooks.question(&ports_.parent, ports_.parent.windowTitle(), qtext(text));
  }
  bool choose_station(const std::vector<camera_t>& cameras, int* index) override {
    CDevDlg dialog(&ports_.parent, cameras);
    if (!ports_.hooks.run_dialog(dialog)) return false;
    *index = dialog.result_index();
    return true;
  }
  bool choose_port(std::string* port, std::string* rs485) override {
    CComDlg dialog(&ports_.parent, ports_.hooks.serial_ports ? ports_.hooks.serial_ports() : list_serial_ports());
    // Nothing to choose: the dialog ends by itself.
    if (!dialog.has_ports() || !ports_.hooks.run_dialog(dialog)) return false;
    *port = dialog.port();
    *rs485 = dialog.rs485();
    return true;
  }

 private:
  const window_ports& ports_;
};

}  // namespace

factory_controller::factory_controller(const window_ports& ports, QPushButton& factory_button,
                                       factory_members_t& members)
    : ports_(ports), factory_button_(factory_button), members_(members), jobs_(ports.poster) {}

void factory_controller::start_row_job(std::string where, std::vector<camera_t> cameras,
                                       std::string failure,
                                       std::function<void(const std::vector<camera_t>&)> job,
                                       std::function<void()> then_on_gui) {
  ports_.jobs.begin();
  jobs_.start(
      std::move(where), ports_.stop,
      [this, cameras = std::move(cameras), failure = std::move(failure), job = std::move(job)] {
        try {
          job(cameras);
        } catch (...) {
          // Their state is not known: none is shown as passed.
          for (const camera_t& camera : cameras) show_status(ports_.state, camera, failure);
          throw;
        }
      },
      [this, then = std::move(then_on_gui)] {
        if (then) then();
        ports_.jobs.end();
      });
}

void factory_controller::on_factory_test() {
  if (factory_running_) return;
  window_factory_prompts prompts(ports_);
  factory_station_t station;
  station.rs485 = members_.test_rs485_port[0] ? members_.test_rs485_port : "RS485-1";
  std::vector<camera_t> cameras;
  if (!prepare_factory_test(ports_.state, prompts, &station, &cameras)) return;
  members_.test_station_row = station.row;
  std::snprintf(members_.test_com_port, sizeof members_.test_com_port, "%s", station.com_port.c_str());
  std::snprintf(members_.test_rs485_port, sizeof members_.test_rs485_port, "%s", station.rs485.c_str());
  factory_running_ = true;
  factory_button_.setEnabled(false);
  start_row_job(
      "factory test", std::move(cameras), kTextFactoryFailed,
      [this, station](const std::vector<camera_t>& chosen) {
        run_factory_workers(ports_.state, chosen, station);
      },
      [this] {
        factory_running_ = false;
        factory_button_.setEnabled(true);
      });
}

void factory_controller::on_set_product() {
  if (!any_checked(ports_.state.list)) return;
  CSetProduct dialog(&ports_.parent,
                     [this](QWidget* parent) { return ports_.hooks.choose_file(parent, QString()); });
  if (!ports_.hooks.run_dialog(dialog)) return;
  const product_fields_t fields = dialog.fields();
  start_row_job("set product", start_ticked_cameras(ports_.state), kTextSetFailed,
                [this, fields](const std::vector<camera_t>& cameras) {
                  set_product_models(ports_.state, cameras, fields);
                });
}

void factory_controller::on_query_product() {
  if (!any_checked(ports_.state.list)) return;
  start_row_job("query product", start_ticked_cameras(ports_.state), kTextQueryFailed,
                [this](const std::vector<camera_t>& cameras) {
                  query_product_models(ports_.state, cameras);
                });
}

}  // namespace mardo
