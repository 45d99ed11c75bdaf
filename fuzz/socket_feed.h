#pragma once
// The fuzz input as a peer's whole stream on a socket pair, already closed behind it, so
// the code under test reads it through its own socket calls.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace mardo::fuzz {

inline bool feed(const std::uint8_t* data, std::size_t size, int fds[2]) {
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  int buffer = 1 << 20;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fds[1], SHUT_WR);
  return true;
}

}  // namespace mardo::fuzz
