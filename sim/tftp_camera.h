#pragma once
// A camera's TFTP server as the tool meets it: write requests only, answers from port 69
// (the camera keeps one socket), block numbers modulo 65536, and the faults a test asks for.
// Pure: datagram in, answers out; the channel does the sockets.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mardo::sim {

enum class tftp_last_t { ack, error3, error8, silence };

struct sim_tftp_t {
  bool enabled = true;
  bool plain_ack = false;   // a write request gets ACK 0 instead of the option acknowledgement
  tftp_last_t last = tftp_last_t::ack;
  int stop_after = -1;      // answer nothing from this many data blocks on (-1: never)
  bool duplicate_acks = false;  // every acknowledgement twice
  int late_ack_ms = 0;      // every acknowledgement this late
};

struct tftp_session_t {
  bool active = false;
  std::uint16_t expected = 1;  // next block number, wrapping as on the wire
  std::uint64_t blocks = 0;    // data blocks taken
  std::vector<std::uint8_t> file;
  std::string file_name;  // as the write request named it
};

struct tftp_reaction_t {
  std::vector<std::vector<std::uint8_t>> answers;
  int delay_ms = 0;
  bool file_done = false;  // the last block came; session.file holds the whole file
};

tftp_reaction_t react_to_tftp(const sim_tftp_t& behaviour, tftp_session_t& session,
                              std::span<const std::uint8_t> datagram);

}  // namespace mardo::sim
