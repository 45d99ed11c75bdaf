#include "testing/stream_receive.h"

#include <span>

#include "net/sockets.h"

namespace mardo {
namespace {

constexpr int kPeekLimit = 1024;
constexpr std::uint32_t kPushMaxLength = kPushBuffer - kPushHeader;

// Takes whatever is waiting, without waiting for more.
void drain(socket_fd sock, std::uint8_t* buffer, int capacity) {
  while (recv_some(sock, buffer, capacity, -1) > 0) {
  }
}

// An RTSP answer (a keep-alive's) sits among the media: its text up to the next "$" goes.
void skip_answer(socket_fd sock, std::uint8_t* buffer) {
  const int peeked = recv_peek(sock, buffer, kPeekLimit);
  if (peeked <= 0) return;
  int take = peeked;
  for (int i = 0; i < peeked; ++i) {
    if (buffer[i] == 0) break;
    if (buffer[i] == '$') {
      take = i;
      break;
    }
  }
  if (take > 0) recv_exact(sock, buffer, take, kInterleavedWaitMs);
}

// Reads n bytes with waits of kPushWaitMs for what is missing, while the stream plays.
int read_while_running(socket_fd sock, std::uint8_t* buffer, int n, const receive_state& s) {
  int got = 0;
  while (got < n && s.running.load() == 1) {
    const int r = recv_exact(sock, buffer + got, n - got, kPushWaitMs);
    if (r < 0) break;
    got += r;
  }
  return got;
}

}  // namespace

void receive_interleaved_step(socket_fd control_socket, std::uint8_t* buffer, receive_state& s) {
  std::uint8_t head[4];
  const int got = recv_exact(control_socket, head, 4, kInterleavedWaitMs);
  if (got <= 0) {
    ++s.failures;
    return;
  }
  if (got < 4) return;
  if (head[0] == 'R' && head[1] == 'T' && head[2] == 'S' && head[3] == 'P') {
    skip_answer(control_socket, buffer);
    return;
  }
  if (head[0] != '$' || head[1] > 1) {
    drain(control_socket, buffer, kMediaBuffer);
    return;
  }
  const int length = head[2] << 8 | head[3];
  if (length > kMediaBuffer) {
    // Read past, never into the buffer, so the next frame is found where it starts.
    for (int left = length; left > 0;) {
      const int r = recv_exact(control_socket, buffer, left < kMediaBuffer ? left : kMediaBuffer,
                               kInterleavedWaitMs);
      if (r <= 0) break;
      left -= r;
    }
    return;
  }
  if (length == 0) return;
  const int r = recv_exact(control_socket, buffer, length, kInterleavedWaitMs);
  if (r <= 0) {
    ++s.failures;
    return;
  }
  if (r < length || head[1] == 1) return;
  s.failures = 0;
  handle_rtp_packet(s.reassembly,
                    std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(r)), false,
                    s.sink);
}

void receive_udp_step(socket_fd rtp_socket, std::uint8_t* buffer, receive_state& s) {
  const int r = recvfrom_with_timeout(rtp_socket, buffer, kMediaBuffer, kUdpWaitMs, nullptr);
  if (r <= 0) {
    ++s.failures;
    return;
  }
  s.failures = 0;
  handle_rtp_packet(s.reassembly,
                    std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(r)), true,
                    s.sink);
}

bool receive_push_message(socket_fd connection, std::uint8_t* buffer, receive_state& s) {
  if (read_while_running(connection, buffer, kPushHeader, s) < kPushHeader) return false;
  const std::uint8_t payload_type = buffer[1];
  const std::uint32_t timestamp = std::uint32_t{buffer[4]} << 24 | std::uint32_t{buffer[5]} << 16 |
                                  std::uint32_t{buffer[6]} << 8 | buffer[7];
  const std::uint32_t length = std::uint32_t{buffer[8]} | std::uint32_t{buffer[9]} << 8 |
                               std::uint32_t{buffer[10]} << 16 | std::uint32_t{buffer[11]} << 24;
  if (payload_type < 96 || payload_type > 127 || length == 0 || length > kPushMaxLength) {
    drain(connection, buffer, kPushBuffer);
    return true;
  }
  const int n = static_cast<int>(length);
  if (read_while_running(connection, buffer, n, s) < n) return false;
  if (s.sink.deliver) s.sink.deliver(s.sink.context, payload_type, timestamp, buffer, n);
  return true;
}

}  // namespace mardo
