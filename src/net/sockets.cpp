#include "net/sockets.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>

#include "core/stop.h"

namespace mardo {

namespace {

enum class wait_for { readable, writable };

// 1 ready, 0 time-out, -1 failed wait. An error or hang-up on the socket counts as ready:
// the call that follows reports it. A job told to stop times out at once.
int wait_ready(socket_fd sock, wait_for what, int timeout_ms) {
  if (sock == kNoSocket) return -1;
  using clock = std::chrono::steady_clock;
  const int wait_ms = timeout_ms < 0 ? 0 : timeout_ms;
  const auto deadline = clock::now() + std::chrono::milliseconds(wait_ms);
  pollfd p{sock, static_cast<short>(what == wait_for::readable ? POLLIN : POLLOUT), 0};
  int left = wait_ms;
  for (;;) {
    if (stop_requested()) return 0;
    p.revents = 0;
    const int r = poll_sockets(&p, 1, std::min(left, kStopSliceMs));
    if (r > 0) return (p.revents & POLLNVAL) ? -1 : 1;
    if (r < 0 && errno != EINTR) return -1;
    // Neither a signal nor the slices stretch the wait beyond its time-out.
    const auto rest =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    if (rest <= 0) return 0;
    left = static_cast<int>(rest);
  }
}

socket_fd close_and_fail(socket_fd sock) {
  const int why = last_socket_error();  // the caller's reason, not close's
  close_socket(sock);
  errno = why;
  return kNoSocket;
}

sockaddr_in ipv4_address(std::uint32_t addr, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr;
  return sa;
}

}  // namespace

socket_fd open_bound_socket(int type, std::uint16_t& port, int backlog) {
  int sock_type = 0;
  if (type == kSockStream) {
    sock_type = SOCK_STREAM;
  } else if (type == kSockDatagram) {
    sock_type = SOCK_DGRAM;
  } else {
    return kNoSocket;
  }
  const socket_fd sock = open_socket(sock_type);
  if (sock == kNoSocket) return kNoSocket;

#ifdef _WIN32
  // Windows' SO_REUSEADDR would let the bind take a port another socket holds; this refuses
  // it, as Linux does.
  if (!set_int_option(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1)) return close_and_fail(sock);
#else
  if (!set_int_option(sock, SOL_SOCKET, SO_REUSEADDR, 1)) return close_and_fail(sock);
#endif
  const sockaddr_in local = ipv4_address(htonl(INADDR_ANY), port);
  if (bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return close_and_fail(sock);
  }
  std::uint16_t chosen = port;
  if (port == 0) {
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
      return close_and_fail(sock);
    }
    chosen = ntohs(bound.sin_port);
  }
  if (type == kSockStream && listen(sock, backlog) != 0) return close_and_fail(sock);
  // Written only on success, so a failed call leaves the caller's port as it was.
  port = chosen;
  return sock;
}

socket_fd accept_with_timeout(socket_fd listener, std::uint32_t* local_addr,
                              std::uint32_t* peer_addr, int timeout_ms) {
  if (wait_ready(listener, wait_for::readable, timeout_ms) != 1) return kNoSocket;
  sockaddr_in peer{};
  socklen_t peer_len = sizeof peer;
  socket_fd sock = kNoSocket;
  do {
    peer_len = sizeof peer;
    sock = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len);
  } while (sock == kNoSocket && last_socket_error() == EINTR);
  if (sock == kNoSocket) return kNoSocket;
  if (!set_non_blocking(sock)) return close_and_fail(sock);

  if (peer_addr != nullptr) *peer_addr = peer.sin_addr.s_addr;
  if (local_addr != nullptr) {
    sockaddr_in own{};
    socklen_t own_len = sizeof own;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&own), &own_len) != 0) {
      return close_and_fail(sock);
    }
    *local_addr = own.sin_addr.s_addr;
  }
  return sock;
}

socket_fd connect_with_timeout(std::uint32_t addr, std::uint16_t port, int timeout_ms) {
  const socket_fd sock = open_socket(SOCK_STREAM);
  if (sock == kNoSocket) return kNoSocket;
  if (!set_non_blocking(sock)) return close_and_fail(sock);

  const sockaddr_in peer = ipv4_address(addr, port);
  if (connect(sock, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) return sock;
  // A refusal Linux knows at once (no route, no local port) leaves an unconnected socket
  // that select reports writable with no pending error; it must not pass as connected.
  const int err = last_socket_error();
  if (err != EINPROGRESS && err != EINTR && !would_block(err)) return close_and_fail(sock);
  const int ready = wait_ready(sock, wait_for::writable, timeout_ms);
  if (ready == 1) {
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &len) == 0) {
      if (pending == 0) return sock;
      errno = socket_errno_of(pending);
    } else {
      last_socket_error();
    }
  } else if (ready == 0) {
    errno = ETIMEDOUT;
  }
  const int why = errno;
  close_socket(sock);
  errno = why;
  return kNoSocket;
}

socket_fd connect_to_host(const char* dotted, std::uint16_t port, int timeout_ms) {
  if (dotted == nullptr) return kNoSocket;
  const std::uint32_t addr = inet_addr(dotted);
  // inet_addr's failure value is the broadcast address, which no TCP peer can have.
  if (addr == INADDR_NONE) return kNoSocket;
  return connect_with_timeout(addr, port, timeout_ms);
}

int send_all(socket_fd sock, const void* data, int length, int timeout_ms) {
  if (length < 0 || (length > 0 && data == nullptr)) return -1;
  const auto* bytes = static_cast<const char*>(data);
  int sent = 0;
  while (sent < length) {
    const int n = send_bytes(sock, bytes + sent, length - sent);
    if (n > 0) {
      sent += n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || !would_block(errno)) return -1;
    if (wait_ready(sock, wait_for::writable, timeout_ms) != 1) return sent;
  }
  return sent;
}

int recv_exact(socket_fd sock, void* buffer, int length, int timeout_ms) {
  if (length < 0 || (length > 0 && buffer == nullptr)) return -1;
  auto* bytes = static_cast<char*>(buffer);
  int got = 0;
  while (got < length) {
    const int n = recv_bytes(sock, bytes + got, length - got);
    if (n > 0) {
      got += n;
      continue;
    }
    if (n == 0) return -2;
    if (errno == EINTR) continue;
    if (!would_block(errno)) return -1;
    if (wait_ready(sock, wait_for::readable, timeout_ms) != 1) return got;
  }
  return got;
}

int recv_some(socket_fd sock, void* buffer, int capacity, int timeout_ms) {
  // A zero-byte recv would read as the peer's close.
  if (capacity <= 0 || buffer == nullptr) return -1;
  const int ready = wait_ready(sock, wait_for::readable, timeout_ms);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  int n = 0;
  do {
    n = recv_bytes(sock, buffer, capacity);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return -2;
  return n < 0 ? -1 : n;
}

int recv_peek(socket_fd sock, void* buffer, int capacity) {
  if (capacity <= 0 || buffer == nullptr) return -1;
  int n = 0;
  do {
    n = recv_bytes(sock, buffer, capacity, true);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return -2;
  if (n < 0) return would_block(errno) ? 0 : -1;
  return n;
}

int recvfrom_with_timeout(socket_fd sock, void* buffer, int capacity, int timeout_ms,
                          sockaddr_in* from) {
  if (capacity <= 0 || buffer == nullptr) return -1;
  const int ready = wait_ready(sock, wait_for::readable, timeout_ms);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  int n = 0;
  do {
    n = recv_datagram(sock, buffer, capacity, from);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return -2;
  return n < 0 ? -1 : n;
}

}  // namespace mardo
