#pragma once
// The workstation's side of the RS485 loopback: the serial ports it has, a port opened
// exclusively and set from the settings record the camera reports for its own port, and the
// timed write/read exchange. Each platform's calls live in a file of its own
// (serial_port_posix.cpp, serial_port_windows.cpp).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mardo {

inline constexpr std::size_t kPortSettingsSize = 48;

// The record as the camera sends it.
struct port_settings_t {
  std::uint32_t baud_index = 0;
  std::uint32_t data_bits_index = 0;
  std::uint8_t parity = 0;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint32_t stop_bits_index = 0;
  std::uint32_t flow_mode = 0;  // 0 none, 1 RTS/CTS, 2 XON/XOFF, other: no change
};
std::optional<port_settings_t> parse_port_settings(std::span<const std::uint8_t> record);

// What the record selects from its tables; nothing when an index or the parity code has no
// entry (the RS485 item then fails rather than use a setting the camera did not ask for).
struct line_settings_t {
  int baud = 0;
  int data_bits = 0;
  int parity = 0;
  int stop_bits = 0;
  std::uint32_t flow_mode = 0;
};
std::optional<line_settings_t> line_settings_for(const port_settings_t& record);

// The serial ports of this machine, by the names open_test_port takes: "/dev/ttyS0",
// "/dev/ttyUSB0", ... on Linux, "COM1", "COM3", ... on Windows.
std::vector<std::string> list_serial_ports();

#ifdef _WIN32
using native_port_t = void*;  // a HANDLE opened for overlapped I/O
inline constexpr native_port_t kNoNativePort = nullptr;
#else
using native_port_t = int;  // a file descriptor
inline constexpr native_port_t kNoNativePort = -1;
#endif

// A port held open exclusively, closed when it goes; empty when it could not be opened.
class serial_port {
 public:
  using native_type = native_port_t;
  static constexpr native_type kNone = kNoNativePort;

  serial_port() = default;
  explicit serial_port(native_type handle) : handle_(handle) {}
  serial_port(serial_port&& other) noexcept : handle_(std::exchange(other.handle_, kNone)) {}
  serial_port& operator=(serial_port&& other) noexcept {
    if (this != &other) {
      close();
      handle_ = std::exchange(other.handle_, kNone);
    }
    return *this;
  }
  serial_port(const serial_port&) = delete;
  serial_port& operator=(const serial_port&) = delete;
  ~serial_port() { close(); }

  explicit operator bool() const { return handle_ != kNone; }
  native_type native() const { return handle_; }
  void close();

 private:
  native_type handle_ = kNone;
};

// Opened for reading and writing, exclusively.
serial_port open_test_port(const std::string& name);
// Sets the line from the settings; false when the port refused them.
bool configure_test_port(const serial_port& port, const line_settings_t& line);
// Pause 1000 ms, write the text and a NUL within 1000 ms, read what comes within 1000 ms (up
// to 512 bytes): passes when at least the text's bytes came and they are the text.
bool serial_loopback(const serial_port& port, std::string_view text, int pause_ms = 1000);

}  // namespace mardo
