#include "testing/serial_port.h"

#include <string>

#include "core/stop.h"
#include "net/byte_view.h"
#include "net/tick.h"
#include "testing/serial_exchange.h"

namespace mardo {
namespace {

constexpr int kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 115200};
constexpr int kDataBits[] = {5, 6, 7, 8};
constexpr int kStopBits[] = {1, 2};
constexpr std::size_t kReadCapacity = 512;

}  // namespace

std::optional<port_settings_t> parse_port_settings(std::span<const std::uint8_t> record) {
  if (record.size() < kPortSettingsSize) return std::nullopt;
  byte_reader in(record);
  port_settings_t s;
  in.seek(8);
  s.baud_index = in.le32();
  s.data_bits_index = in.le32();
  s.parity = in.u8();
  in.seek(20);
  s.stop_bits_index = in.le32();
  s.flow_mode = in.le32();
  if (!in.ok()) return std::nullopt;
  return s;
}

std::optional<line_settings_t> line_settings_for(const port_settings_t& r) {
  if (r.baud_index >= std::size(kBauds) || r.data_bits_index >= std::size(kDataBits) ||
      r.stop_bits_index >= std::size(kStopBits) || r.parity > 4)
    return std::nullopt;
  return line_settings_t{kBauds[r.baud_index], kDataBits[r.data_bits_index], r.parity,
                         kStopBits[r.stop_bits_index], r.flow_mode};
}

bool run_serial_loopback(native_port_t port, std::string_view text, int pause_ms,
                         serial_transfer write, serial_transfer read) {
  std::string message(text);
  message.push_back('\0');
  if (!mardo::pause_ms(pause_ms)) return false;
  std::uint64_t deadline = tick_ms() + kSerialIoTimeoutMs;
  std::size_t sent = 0;
  while (sent < message.size() && tick_ms() < deadline && !stop_requested()) {
    const auto n = write(port, std::span(message).subspan(sent), deadline);
    if (!n) return false;
    sent += *n;
  }
  std::string got;
  deadline = tick_ms() + kSerialIoTimeoutMs;
  char buf[kReadCapacity];
  while (got.size() < kReadCapacity && tick_ms() < deadline && !stop_requested()) {
    const auto n = read(port, std::span(buf, kReadCapacity - got.size()), deadline);
    if (!n) break;
    got.append(buf, *n);
  }
  return got.size() >= text.size() && std::string_view(got).substr(0, text.size()) == text;
}

}  // namespace mardo
