#include "testing/factory_test.h"

#include <chrono>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/stop.h"
#include "core/text.h"
#include "core/worker_thread.h"
#include "config/maintenance.h"
#include "net/capture_port.h"
#include "net/raw_frame.h"
#include "testing/serial_port.h"

namespace mardo {
namespace {

constexpr int kReplyCapacity = 512;

void pause(int ms) { pause_ms(ms); }

class worker {
 public:
  worker(device_state& state, const camera_t& camera, capture_port_ptr port,
         const factory_timing_t& timing)
      : state_(state), camera_(camera), adapter_(*camera.adapter), port_(std::move(port)),
        timing_(timing), mac_(camera.mac), ip_(camera.ip) {}

  void send(const std::vector<std::uint8_t>& command) {
    // A test told to stop (the window closes) sends nothing more: no reboot, no clock.
    if (stop_requested()) return;
    send_raw_frame(port_.get(), adapter_.aucMac, mac_.c_str(), command.data(), static_cast<int>(command.size()));
  }
  template <std::size_t N>
  void send(const std::array<std::uint8_t, N>& command) {
    send(std::vector<std::uint8_t>(command.begin(), command.end()));
  }
  // The data of the next reply of this EtherType, or nothing within the wait.
  std::optional<std::vector<std::uint8_t>> reply(std::uint16_t ether_type, int wait_ms) {
    std::vector<std::uint8_t> data(kReplyCapacity);
    const int n = wait_raw_reply(port_.get(), adapter_.aucMac, mac_.c_str(), ether_type, data.data(),
                                 kReplyCapacity, wait_ms);
    if (n < 0) return std::nullopt;
    data.resize(static_cast<std::size_t>(n));
    return data;
  }
  std::optional<std::uint32_t> result(std::uint16_t id, int wait_ms) {
    const auto data = reply(kEtherFactoryRequest, wait_ms);
    return data ? result_value(*data, id) : std::nullopt;
  }
  void show(const std::string& text, bool logged = true) {
    // An item cut short by the stop was not tested: no text says it failed.
    if (stop_requested()) return;
    // A row that is gone logs the text itself; this line is then the only one.
    if (!show_status(state_, camera_, text) || !logged) return;
    const std::string line = "[ " + mac_ + " " + ip_ + " ] " + text;
    log_event(line.c_str());
  }
  void judged(const std::string& what, bool pass) {
    show(what + (pass ? "测试成功" : "测试失败"));
    pause(timing_.item_pause_ms);
  }

  bool switch_input(std::uint16_t id, const char* name) {
    send(factory_request(id, 1));
    const auto v = result(id, timing_.reply_wait_ms);
    const bool pass = v && *v == 30;
    judged(name, pass);
    return pass;
  }

  bool clock() {
    const auto now = std::chrono::system_clock::now();
    const clock_fields_t sent = utc_fields(now);
    send(clock_command(now));
    send(std::vector<std::uint8_t>{0xFF, 0xF1});
    pause(1000);
    show("RTC测试，设备重启中...", false);
    for (int probe = 0; probe < timing_.probes; ++probe) {
      send(std::vector<std::uint8_t>{0xFF, 0xF6});
      if (reply(kEtherPresenceProbe, timing_.reply_wait_ms)) break;
    }
    send(factory_request(kReqClock, std::nullopt));
    bool pass = false;
    for (int attempt = 0; attempt < timing_.clock_attempts && !pass; ++attempt) {
      const auto data = reply(kEtherFactoryRequest, timing_.reply_wait_ms);
      const auto camera = data ? clock_reply(*data) : std::nullopt;
      const auto d = camera ? clock_difference(sent, *camera) : std::nullopt;
      pass = d && *d < kClockToleranceS && *d > -kClockToleranceS;
      if (!pass && attempt + 1 < timing_.clock_attempts) pause(timing_.clock_retry_ms);
    }
    judged("RTC", pass);
    return pass;
  }

  bool chip() {
    send(factory_request(kReqChip, std::nullopt));
    const auto v = result(kReqChip, timing_.reply_wait_ms);
    const bool pass = v && *v != 0;
    judged("加密芯片", pass);
    return pass;
  }

  bool sd() {
    send(factory_request(kReqSd, std::nullopt));
    const auto v = result(kReqSd, timing_.reply_wait_ms);
    const bool pass = v && *v == 3;
    show(pass ? std::string("SD卡测试成功") : "SD卡测试失败：" + sd_reason(v));
    pause(timing_.item_pause_ms);
    return pass;
  }

  bool reset() {
    send(factory_request(kReqAudio, static_cast<std::uint16_t>(timing_.audio_seconds)));
    show("ai环回ao" + std::to_string(timing_.audio_seconds) + "秒", false);
    pause(timing_.audio_seconds * 1000);
    send(factory_request(kReqReset, static_cast<std::uint16_t>(timing_.reset_seconds)));
    show("请在" + std::to_string(timing_.reset_seconds) + "秒内按下RESET键");
    const auto v = result(kReqReset, timing_.reset_wait_ms);
    const bool pass = v && *v != 0;
    judged("RESET键", pass);
    return pass;
  }

  bool rs485(const factory_station_t& station) {
    bool pass = false;
    if (const serial_port port = open_test_port(station.com_port)) {
      send(factory_request(kReqRs485, std::nullopt));
      const auto data = reply(kEtherFactoryRequest, timing_.reply_wait_ms);
      const bool two = station.rs485 == "RS485-2";
      const auto record = data ? rs485_reply(*data, two) : std::nullopt;
      // A record whose indexes have no table entry fails the item.
      const auto line = record ? line_settings_for(*record) : std::nullopt;
      if (line && configure_test_port(port, *line))
        pass = serial_loopback(port, two ? "KTO RS485 test2" : "KTO RS485 test1",
                               timing_.serial_pause_ms);
    }
    judged("RS485", pass);
    return pass;
  }

 private:
  device_state& state_;
  const camera_t& camera_;
  const dev_info_t& adapter_;
  capture_port_ptr port_;
  const factory_timing_t& timing_;
  const std::string& mac_;
  const std::string& ip_;
};

}  // namespace

factory_outcome_t run_factory_worker(device_state& state, const camera_t& camera,
                                     const factory_station_t& station,
                                     const factory_timing_t& timing) {
  factory_outcome_t out;
  if (!camera.adapter) return out;
  capture_port_ptr port = capture_port::open(camera.adapter->acName);
  if (!port) return out;
  port->apply_filter(kFactoryFilter);
  out.ran = true;
  worker w(state, camera, std::move(port), timing);
  // A test told to stop ends between items without a verdict: it was not finished.
  const auto item = [&out](int index, auto&& run) {
    if (stop_requested()) return false;
    out.passed[static_cast<std::size_t>(index)] = run();
    return true;
  };
  const bool station_camera = station.camera != 0 && camera.id == station.camera;
  out.tested = station_camera ? (station.com_port.empty() ? kItemRs485 : kItemCount) : kItemReset;
  const bool finished =
      item(kItemSwitch1, [&] { return w.switch_input(kReqSwitch1, "开关量1"); }) &&
      item(kItemSwitch2, [&] { return w.switch_input(kReqSwitch2, "开关量2"); }) &&
      item(kItemRtc, [&] { return w.clock(); }) && item(kItemChip, [&] { return w.chip(); }) &&
      item(kItemSd, [&] { return w.sd(); }) &&
      (!station_camera || item(kItemReset, [&] { return w.reset(); })) &&
      (out.tested < kItemCount || item(kItemRs485, [&] { return w.rs485(station); }));
  if (!finished || stop_requested()) return out;
  out.verdict = factory_verdict(out.passed, out.tested);
  w.show(out.verdict);
  return out;
}

bool prepare_factory_test(const device_state& state, factory_prompts& prompts,
                          factory_station_t* station, std::vector<camera_t>* cameras) {
  *cameras = ticked_cameras(state);
  if (cameras->empty() || !prompts.ask(kAskFactoryTest)) return false;
  int picked = 0;
  if (cameras->size() > 1) {
    picked = -1;
    if (!prompts.choose_station(*cameras, &picked) ||
        picked >= static_cast<int>(cameras->size()))
      picked = -1;
  }
  station->camera = picked < 0 ? 0 : (*cameras)[static_cast<std::size_t>(picked)].id;
  station->row = picked < 0 ? -1 : (*cameras)[static_cast<std::size_t>(picked)].row;
  if (station->camera != 0) {
    station->com_port.clear();
    std::string port, rs485;
    if (prompts.choose_port(&port, &rs485)) {
      station->com_port = port;
      station->rs485 = rs485;
    }
  }
  return true;
}

void run_factory_workers(device_state& state, const std::vector<camera_t>& cameras,
                         const factory_station_t& station,
                         const std::function<void(bool)>& on_running, const factory_timing_t& timing) {
  if (on_running) on_running(true);
  clear_statuses(state.list);
  // jthreads: should the loop throw, the workers already started are joined, not abandoned.
  std::vector<std::jthread> workers;
  for (const camera_t& camera : cameras) {
    std::jthread t = start_worker<std::jthread>("factory " + camera.mac, [&state, &camera, &station, &timing] {
      run_factory_worker(state, camera, station, timing);
    });
    if (t.joinable()) workers.push_back(std::move(t));
  }
  workers.clear();
  if (on_running) on_running(false);
}

void run_factory_test(device_state& state, factory_prompts& prompts, factory_station_t* station,
                      const std::function<void(bool)>& on_running, const factory_timing_t& timing) {
  std::vector<camera_t> cameras;
  if (!prepare_factory_test(state, prompts, station, &cameras)) return;
  run_factory_workers(state, cameras, *station, on_running, timing);
}

}  // namespace mardo
