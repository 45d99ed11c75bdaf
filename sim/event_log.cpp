#include "event_log.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <ctime>

namespace mardo::sim {

std::uint64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::string hex_text(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
  }
  return text;
}

std::vector<std::uint8_t> crc32_be(std::span<const std::uint8_t> file) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes at most 4 GiB per call; a camera's file is far smaller.
  crc = crc32(crc, file.data(), static_cast<uInt>(file.size()));
  return be32_bytes(static_cast<std::uint32_t>(crc));
}

std::vector<std::uint8_t> be32_bytes(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

std::string format_raw_event(std::uint64_t t_ms, int camera, const mac_t& camera_mac,
                             std::string_view channel, std::span<const std::uint8_t> frame,
                             std::size_t wire_len) {
  unsigned ethertype = frame.size() >= 14 ? unsigned{frame[12]} << 8 | frame[13] : 0;
  std::string src = frame.size() >= 12 ? format_mac(frame.data() + 6) : std::string();
  std::string line;
  line.reserve(160 + frame.size() * 2);
  line += "{\"t_ms\":" + std::to_string(t_ms);
  line += ",\"camera\":" + std::to_string(camera);
  line += ",\"mac\":\"" + format_mac(camera_mac) + "\"";
  line += ",\"channel\":\"";
  line += channel;
  line += "\",\"ethertype\":" + std::to_string(ethertype);
  line += ",\"src\":\"" + src + "\"";
  line += ",\"len\":" + std::to_string(wire_len);
  line += ",\"hex\":\"" + hex_text(frame) + "\"}\n";
  return line;
}

std::string format_endpoint(const ipv4_t& ip, std::uint16_t port) {
  return format_ipv4(ip) + ":" + std::to_string(port);
}

std::string format_mc_event(std::uint64_t t_ms, int camera, const mac_t& camera_mac,
                            std::string_view channel, std::string_view peer_key,
                            std::string_view peer, std::span<const std::uint8_t> payload,
                            std::size_t wire_len) {
  std::string line;
  line.reserve(160 + payload.size() * 2);
  line += "{\"t_ms\":" + std::to_string(t_ms);
  line += ",\"camera\":" + std::to_string(camera);
  line += ",\"mac\":\"" + format_mac(camera_mac) + "\"";
  line += ",\"channel\":\"";
  line += channel;
  line += "\",\"";
  line += peer_key;
  line += "\":\"";
  line += peer;
  line += "\",\"len\":" + std::to_string(wire_len);
  line += ",\"hex\":\"" + hex_text(payload) + "\"}\n";
  return line;
}

event_log::~event_log() {
  if (fd_ >= 0) ::close(fd_);
}

bool event_log::open(const std::string& path) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  return fd_ >= 0;
}

bool event_log::write_line(std::string_view line) {
  if (fd_ < 0) return false;
  // O_APPEND and a single write keep a line whole; loop only for the rare short write.
  while (!line.empty()) {
    ssize_t n = ::write(fd_, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    line.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace mardo::sim
