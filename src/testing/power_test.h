#pragma once
// The power-off endurance test: one stream probe per ticked camera, kept open while the
// technician cuts and restores power, counting the connections that came up and ended.
// A file on each camera is moved aside by a shell command for the test and back after it.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/device_table.h"
#include "testing/stream_probe.h"

namespace mardo {

inline constexpr std::string_view kShellStart = "mv /root/rovlet.tgz /root/rovlet.tgz.bak";
inline constexpr std::string_view kShellStop = "mv /root/rovlet.tgz.bak /root/rovlet.tgz";
inline constexpr int kShellHeader = 16;  // destination, source, EtherType, text length

struct power_test_entry {
  char ip_text[16];
  char mac_text[32];
  stream_probe* probe;
  std::int32_t connect_count;
  std::int32_t drop_count;
  std::int32_t adapter_index;
};

// One camera's counts as they stood when its probe had stopped.
struct power_test_result {
  std::string mac, ip;
  int connects = 0, drops = 0;
};

struct power_test_options {
  std::uint16_t port = kRtspPort;
  bool interleaved = true;
  bool main_stream = true;
};

// The frame: the camera's MAC, the adapter's, FF F7, the text's length (uint16
// little-endian) and the text. True when the capture library took it. An adapter outside
// the table is refused; one without a capture handle sends nothing.
bool send_shell_frame(const adapter_table& adapters, int adapter_index, const char* mac_text,
                      std::string_view command);

// Start and stop run on one thread (the window's); the probes call on_probe_event on theirs.
class power_test {
 public:
  explicit power_test(device_state& state, power_test_options options = {});
  // Stops a test still running, as closing the window does.
  ~power_test();
  power_test(const power_test&) = delete;
  power_test& operator=(const power_test&) = delete;

  bool running() const { return running_; }
  int count() const { return count_; }

  // The button: a start when not running, else a stop. Gives whether a test runs after it.
  bool toggle(std::int32_t* reboot_count);
  // Nothing changes when no row is ticked (false). A start sets *reboot_count to 0.
  bool start(std::int32_t* reboot_count);
  // Every probe stopped, the stop command sent to its camera, the entries released and
  // the test marked stopped. Gives the final counts in entry order.
  std::vector<power_test_result> stop();
  // The same without marking the test stopped: what closing the window does.
  std::vector<power_test_result> release_entries();

  // Each line handed to the event log is also handed here (any thread; null: none).
  void set_line_observer(std::function<void(const std::string&)> observer);

  // The probes' event handler; owner is the power_test.
  static void on_probe_event(void* owner, const char* host, std::uint8_t payload_type,
                             std::uint32_t timestamp, const std::uint8_t* data,
                             std::int32_t length);

 private:
  void line(const std::string& text);

  device_state& state_;
  power_test_options options_;
  bool running_ = false;
  int count_ = 0;
  std::unique_ptr<power_test_entry[]> entries_;
  std::mutex lock_;  // the counters and the observer, which several probes reach at once
  std::function<void(const std::string&)> observer_;
};

}  // namespace mardo
