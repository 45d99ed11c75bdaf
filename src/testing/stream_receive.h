#pragma once
// The probe's receive steps, one packet or message each: RTP interleaved in the RTSP
// connection, RTP over UDP, and the camera's push channel. The probe's receiver threads
// loop over them while the stream plays; tests and the fuzzer drive them over any socket.
#include <atomic>
#include <cstdint>

#include "net/socket_api.h"
#include "testing/rtp_reassembly.h"

namespace mardo {

inline constexpr int kMediaBuffer = 4096;
inline constexpr int kPushBuffer = 1024 * 1024;
inline constexpr int kPushHeader = 12;
inline constexpr int kInterleavedWaitMs = 3000;
inline constexpr int kUdpWaitMs = 1000;
inline constexpr int kPushWaitMs = 1000;

// What a receive step shares with the probe's main thread.
struct receive_state {
  std::atomic<std::int32_t> running{0};
  std::atomic<std::int32_t> failures{0};  // media receives in a row that failed
  rtp_reassembly reassembly;
  media_sink sink;
};

// `buffer` holds kMediaBuffer bytes.
void receive_interleaved_step(socket_fd control_socket, std::uint8_t* buffer, receive_state& s);
void receive_udp_step(socket_fd rtp_socket, std::uint8_t* buffer, receive_state& s);

// Reads one message from a push connection into `buffer` (kPushBuffer bytes) and delivers
// it; a malformed header drains what is waiting. False when the connection is to be closed.
bool receive_push_message(socket_fd connection, std::uint8_t* buffer, receive_state& s);

}  // namespace mardo
