#pragma once
// The lab fixture: builds the network namespaces a test asks for (scripts/lab), starts
// camsim with a per-test config, and reads camsim's event log back.
//
//   mardo::lab::Lab lab({.cameras = {{.version = "V2.1"}, {.segment = 0, .raw_search = false}}});
//   LAB_REQUIRE(lab);
//   { mardo::lab::netns_scope in(lab.ws_netns()); ... talk on lab.ws_ifname(0) ... }
//   auto events = lab.wait_events([](auto& ev) { return !ev.empty(); }, 2000);
//
// Camera n lives in namespace "<id>-c<n>" with interface eth0; the workstation in
// "<id>-ws" with eth<k> on segment k; the switch in "<id>-sw". Nothing touches the
// namespace the test runs in.
#include <gtest/gtest.h>

#include <sys/types.h>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace mardo::lab {

struct camera_t {
  int segment = 0;
  std::string mac{};  // empty: 02:00:01:<segment>:<n high>:<n low>
  std::string ip{};   // empty: the segment's /24 with host 10 + n
  int prefix = 24;
  std::string gateway{};  // empty: 0.0.0.0
  std::string version = "V1.0.0";
  std::string model = "IPC";
  bool raw_search = true;
  std::string text44{};
  int search_answer_len = 0;
  bool ip_query = true;
  int ip_query_len_field = 12;
  int reply_delay_ms = 0;
  // Raw JSON members ("\"a\":1,\"b\":true") merged into this camera's camsim config
  // object, replacing members of the same name: behaviours of later channels.
  std::string extra_json{};
};

struct segment_t {
  std::string ws_ip{};  // empty: 192.0.2.1, 198.51.100.1, 203.0.113.1 by index
  int prefix = 24;
  std::string ws_mac{};  // empty: 02:00:00:00:ff:<index, two hex digits>
  // Further "address/prefix" of the workstation on this link: one /24 holds 253 cameras
  // beside ws_ip, a larger site needs a second subnet on the same link.
  std::vector<std::string> ws_more_ips{};
  // Above 0: the workstation's link sends at most this many bit/s (a tc token bucket with a
  // 50 ms queue), the one port through which a workstation reaches a large site.
  std::uint64_t ws_rate_bps = 0;
};

struct lab_config_t {
  std::vector<segment_t> segments = {segment_t{}};
  std::vector<camera_t> cameras{};
  bool add_tun = false;  // a tun device tun0 (no Ethernet) on the workstation
  bool start_camsim = true;
};

struct sim_event_t {
  std::uint64_t t_ms = 0;
  int camera = -1;
  std::string mac{};      // the camera's, lowercase with ":"
  std::string channel{};  // "raw" / "mc" (received), "raw-sent" / "mc-sent" (answers), ...
  std::string src{};      // source MAC of the frame; "ip:port" of a datagram's sender
  std::uint16_t ethertype = 0;
  std::size_t len = 0;  // length on the wire; a datagram's UDP payload length
  std::vector<std::uint8_t> bytes{};
  std::string dst{};  // "ip:port" an mc-sent datagram went to
  std::int64_t serial = -1;  // the NAL unit an "rtsp-lost" line names
  std::string transport{};   // "tcp" or "udp" of an "rtsp-play" line

  // A datagram's text: the bytes behind its 8-byte header.
  std::string text() const;
};

using mac_bytes_t = std::array<std::uint8_t, 6>;

class Lab {
 public:
  // gc of abandoned labs, up, camsim config, camsim start, wait for its "ready" (10 s).
  explicit Lab(lab_config_t cfg);
  // Stops camsim (SIGTERM by PID, then waits), takes the lab down, removes the temp files.
  ~Lab();
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;

  bool ok() const { return ok_; }
  const std::string& why_not() const { return why_not_; }

  std::string lab_id() const { return id_; }
  std::string ws_netns() const { return id_ + "-ws"; }
  std::string camera_netns(int camera) const { return id_ + "-c" + std::to_string(camera); }
  std::string ws_ifname(int segment) const { return "eth" + std::to_string(segment); }
  std::string ws_ip(int segment) const;
  mac_bytes_t ws_mac(int segment) const;
  // The camera as built, with its defaults filled in.
  const camera_t& camera(int camera) const {
    return cfg_.cameras.at(static_cast<std::size_t>(camera));
  }
  mac_bytes_t camera_mac(int camera) const;
  const std::string& events_path() const { return events_path_; }
  pid_t camsim_pid() const { return camsim_pid_; }

  // The events file parsed now; a line still being written is left out.
  std::vector<sim_event_t> events() const;
  // Polls events() until pred holds or timeout_ms passed; gives the last snapshot.
  std::vector<sim_event_t> wait_events(
      const std::function<bool(const std::vector<sim_event_t>&)>& pred, int timeout_ms) const;
  // Sends a hand-made frame from camera n's interface. camsim does not see it as received.
  bool inject(int camera, const std::vector<std::uint8_t>& frame) const;

 private:
  bool fill_defaults();
  bool bring_up();
  bool start_camsim();
  void stop_camsim();

  lab_config_t cfg_;
  std::string id_;
  std::string tmp_dir_;
  std::string events_path_;
  bool up_ = false;
  bool ok_ = false;
  std::string why_not_;
  pid_t camsim_pid_ = -1;
};

// Moves the calling thread into a network namespace (setns) and back on destruction.
// Threads started inside inherit it. /sys is not remounted: what reads /sys/class/net
// sees the test's own namespace (use `scripts/lab exec` for such programs).
//
// A scope that cannot enter its namespace throws std::runtime_error from the constructor:
// code that would run inside it must never run in the test's own namespace, where it would
// send on the machine's real adapters. A test then fails at that line; a benchmark ends.
class netns_scope {
 public:
  explicit netns_scope(const std::string& netns);
  ~netns_scope();
  netns_scope(const netns_scope&) = delete;
  netns_scope& operator=(const netns_scope&) = delete;

 private:
  int own_fd_ = -1;
};

// An AF_PACKET socket on one interface of a namespace: a hand-driven station for tests
// that must not rely on the tool's own frame code.
class raw_port {
 public:
  // Opens the socket inside `netns` (empty: the current namespace); ok() tells.
  raw_port(const std::string& netns, const std::string& ifname);
  ~raw_port();
  raw_port(const raw_port&) = delete;
  raw_port& operator=(const raw_port&) = delete;

  bool ok() const { return fd_ >= 0; }
  bool send(const std::vector<std::uint8_t>& frame) const;
  // The next received frame (never one this station sent) whose EtherType is `ethertype`
  // (0: any), or nullopt after timeout_ms.
  std::optional<std::vector<std::uint8_t>> receive(int timeout_ms,
                                                   std::uint16_t ethertype = 0) const;

 private:
  int fd_ = -1;
};

// A hand-made Ethernet frame: destination, source, EtherType, payload.
std::vector<std::uint8_t> make_frame(const mac_bytes_t& dst, const mac_bytes_t& src,
                                     std::uint16_t ethertype,
                                     const std::vector<std::uint8_t>& payload = {});
std::optional<mac_bytes_t> parse_mac(const std::string& text);

// The lab script the fixture runs, and a lab id no other test process uses now.
std::string lab_script_path();
std::string unique_lab_id(char prefix = 't');
// Namespaces that carry lab `id`'s names ("<id>-..."), to check a lab is gone.
std::vector<std::string> lab_namespaces(const std::string& id);

// A member of a JSON line mardo-cli printed: a string's text, "true"/"false" for a boolean,
// "" when the line or the member is not there.
std::string json_member(const std::string& json_line, const char* name);

// Whether the test run is a CI run (CI=true or CI=1): there a missing lab fails the test.
bool running_in_ci();

}  // namespace mardo::lab

// Skips the test with the reason, except under CI where it fails it.
#define LAB_REQUIRE(lab)                                                      \
  do {                                                                        \
    const ::mardo::lab::Lab& lab_require_ref_ = (lab);                        \
    if (!lab_require_ref_.ok()) {                                             \
      if (::mardo::lab::running_in_ci()) {                                    \
        FAIL() << "lab unavailable (CI run): " << lab_require_ref_.why_not(); \
      } else {                                                                \
        GTEST_SKIP() << "lab unavailable: " << lab_require_ref_.why_not();    \
      }                                                                       \
    }                                                                         \
  } while (0)
