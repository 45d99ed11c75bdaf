#pragma once
// The event log tests read to see what a camera received and sent: one JSON object per
// line, each line written with one write() so a reader never sees half a line.
//
// Raw channel lines:
//   {"t_ms":123,"camera":0,"mac":"02:00:01:00:00:00","channel":"raw","ethertype":65520,
//    "src":"02:00:00:00:ff:00","len":128,"hex":"ffffffffffff..."}
// "channel" is "raw" for a received frame and "raw-sent" for the camera's own answer;
// "len" is the frame length on the wire, "hex" the frame bytes in lowercase hex.
//
// Multicast channel lines:
//   {"t_ms":123,"camera":0,"mac":"02:00:01:00:00:00","channel":"mc","src":"192.0.2.1:9982",
//    "len":37,"hex":"bababa5a1d000000..."}
// "mc" is a datagram received on port 9981, with its sender; "mc-sent" an answer, with "dst"
// in place of "src". "len" and "hex" cover the whole UDP payload, header included.
//
// A delayed move to new addresses is a "moved" line when it takes effect (camera_move.h).
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim_config.h"

namespace mardo::sim {

// Milliseconds of CLOCK_MONOTONIC.
std::uint64_t monotonic_ms();

std::string hex_text(std::span<const std::uint8_t> bytes);

// A received file's CRC-32 as four big-endian bytes: the "hex" of a "...-file" line, so a
// test compares what arrived with what it sent without the log carrying the file.
std::vector<std::uint8_t> crc32_be(std::span<const std::uint8_t> file);
// A CRC-32 already computed, as those four bytes.
std::vector<std::uint8_t> be32_bytes(std::uint32_t value);

// One line (with its line feed) describing a raw frame; `wire_len` may exceed bytes.size()
// when the frame was cut on receipt.
std::string format_raw_event(std::uint64_t t_ms, int camera, const mac_t& camera_mac,
                             std::string_view channel, std::span<const std::uint8_t> frame,
                             std::size_t wire_len);

// "ip:port" of an IPv4 socket address given as its bytes and host-order port.
std::string format_endpoint(const ipv4_t& ip, std::uint16_t port);

// One line (with its line feed) describing a datagram; `peer_key` is "src" or "dst".
std::string format_mc_event(std::uint64_t t_ms, int camera, const mac_t& camera_mac,
                            std::string_view channel, std::string_view peer_key,
                            std::string_view peer, std::span<const std::uint8_t> payload,
                            std::size_t wire_len);

class event_log {
 public:
  event_log() = default;
  event_log(const event_log&) = delete;
  event_log& operator=(const event_log&) = delete;
  ~event_log();

  // Appends to `path`, creating it. False when it cannot be opened.
  bool open(const std::string& path);
  // False when the line could not be written whole.
  bool write_line(std::string_view line);

 private:
  int fd_ = -1;
};

}  // namespace mardo::sim
