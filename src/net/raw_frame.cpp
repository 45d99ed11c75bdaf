#include "net/raw_frame.h"

#include <cstring>
#include <thread>

#include "core/stop.h"
#include "core/text.h"
#include "net/byte_view.h"
#include "net/tick.h"

namespace mardo {
namespace {

std::string format_mac(const std::uint8_t* mac, bool upper) {
  static constexpr char kUpper[] = "0123456789ABCDEF";
  static constexpr char kLower[] = "0123456789abcdef";
  const char* digits = upper ? kUpper : kLower;
  std::string text;
  for (int i = 0; i < 6; ++i) {
    if (i > 0) text += '-';
    text += digits[mac[i] >> 4];
    text += digits[mac[i] & 0xF];
  }
  return text;
}

}  // namespace

std::optional<mac_t> parse_mac_text(std::string_view text) {
  mac_t mac{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < mac.size(); ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '-') return std::nullopt;
      ++pos;
    }
    int value = 0;
    int digits = 0;
    while (pos < text.size() && digits < 2 && hex_digit(text[pos]) >= 0) {
      value = value * 16 + hex_digit(text[pos]);
      ++pos;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    mac[i] = static_cast<std::uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return mac;
}

std::string format_mac_upper(const std::uint8_t* mac) {
  return format_mac(mac, true);
}

std::string format_mac_lower(const std::uint8_t* mac) {
  return format_mac(mac, false);
}

int send_raw_frame(capture_port* port, const std::uint8_t* adapter_mac, const char* camera_mac,
                   const std::uint8_t* bytes, int length) {
  const auto dst = parse_mac_text(camera_mac ? camera_mac : "");
  if (!dst || length < 2 || length > kRawMaxCommand) return -1;
  std::uint8_t frame[kRawFrameBuffer] = {};
  std::memcpy(frame, dst->data(), 6);
  std::memcpy(frame + 6, adapter_mac, 6);
  std::memcpy(frame + 12, bytes, static_cast<std::size_t>(length));
  return port ? port->send(frame, 12 + length) : 0;
}

int wait_raw_reply(capture_port* port, const std::uint8_t* adapter_mac, const char* camera_mac,
                   std::uint16_t ether_type, std::uint8_t* out, int capacity, int timeout_ms,
                   std::uint16_t* length_field) {
  if (capacity < 0) return -1;
  const std::uint64_t t0 = tick_ms();
  const auto camera = parse_mac_text(camera_mac ? camera_mac : "");
  captured_frame_t captured;
  while (tick_ms() - t0 <= static_cast<std::uint64_t>(timeout_ms < 0 ? 0 : timeout_ms)) {
    if (stop_requested()) return -1;
    if (!port) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    // A read without a frame (or after an error) has already waited its read time-out.
    if (port->read(captured) <= 0 || !camera) continue;
    // Only the captured bytes exist, whatever the on-wire length or the length field says.
    byte_reader frame(captured.bytes.data(), captured.bytes.size());
    const auto dst = frame.bytes(6);
    const auto src = frame.bytes(6);
    const std::uint16_t type = frame.be16();
    const std::uint16_t length = frame.le16();
    if (!frame.ok()) continue;
    if (std::memcmp(dst.data(), adapter_mac, 6) != 0) continue;
    if (std::memcmp(src.data(), camera->data(), 6) != 0) continue;
    if (type != ether_type) continue;
    std::size_t count = length;
    if (count > static_cast<std::size_t>(capacity)) count = static_cast<std::size_t>(capacity);
    if (count > frame.remaining()) count = frame.remaining();
    if (count > 0) std::memcpy(out, frame.bytes(count).data(), count);
    if (length_field) *length_field = length;
    return static_cast<int>(count);
  }
  return -1;
}

}  // namespace mardo
