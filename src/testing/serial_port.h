#pragma once
// The workstation's side of the RS485 loopback: the serial ports it has, a port opened
// exclusively and set from the settings record the camera reports for its own port, and the
// timed write/read exchange. POSIX termios.
#include <cstdint>
#include <optional>
#include <termios.h>
#include <span>
#include <string>
#include <string_view>
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

// The serial ports of this machine ("/dev/ttyS0", "/dev/ttyUSB0", ...), from /sys/class/tty:
// the entries with a device behind them, without the on-board ones that have no UART.
std::vector<std::string> list_serial_ports(const std::string& sys_tty = "/sys/class/tty");

// Opened for reading and writing, exclusively; -1 when it cannot be.
int open_test_port(const std::string& name);
// The settings applied to a port's current termios: what configure_test_port writes back.
// A pseudo-terminal keeps no parity, so tests look at this rather than read it back.
void apply_line_settings(termios& t, const line_settings_t& line);
// Sets the line from the settings; false when the port refused them.
bool configure_test_port(int fd, const line_settings_t& line);
// Pause 1000 ms, write the text and a NUL within 1000 ms, read what comes within 1000 ms (up
// to 512 bytes): passes when at least the text's bytes came and they are the text.
bool serial_loopback(int fd, std::string_view text, int pause_ms = 1000);
void close_test_port(int fd);

}  // namespace mardo
