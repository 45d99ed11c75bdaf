#pragma once
// Loopback TCP peers for tests: one that plays one scripted session per accepted connection,
// in order, on its own thread (tests read what the tool sent from each session's record), and
// a connected pair of sockets for a test that plays both ends itself.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/sockets.h"

namespace mardo::testing {

// Everything the client sends until it closes or goes quiet for quiet_ms.
inline std::vector<std::uint8_t> read_all(socket_fd fd, int quiet_ms = 500) {
  std::vector<std::uint8_t> got;
  std::uint8_t chunk[4096];
  for (;;) {
    const int n = recv_some(fd, chunk, sizeof chunk, quiet_ms);
    if (n <= 0) return got;
    got.insert(got.end(), chunk, chunk + n);
  }
}

inline std::vector<std::uint8_t> read_exactly(socket_fd fd, int size) {
  std::vector<std::uint8_t> got(static_cast<std::size_t>(size));
  const int n = recv_exact(fd, got.data(), size, 3000);
  got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return got;
}

inline void send_bytes(socket_fd fd, const std::vector<std::uint8_t>& bytes) {
  send_all(fd, bytes.data(), static_cast<int>(bytes.size()), 3000);
}

class script_server {
 public:
  using session = std::function<void(socket_fd fd)>;

  explicit script_server(std::vector<session> sessions) : sessions_(std::move(sessions)) {
    listener_ = open_bound_socket(kSockStream, port_, 8);
    thread_ = std::thread([this] {
      for (auto& play : sessions_) {
        const socket_fd fd = accept_next();
        if (fd == kNoSocket) return;
        ++accepted_;
        play(fd);
        close_socket(fd);
      }
    });
  }
  ~script_server() {
    finish();
    close_socket(listener_);
  }
  script_server(const script_server&) = delete;
  script_server& operator=(const script_server&) = delete;

  std::uint16_t port() const { return port_; }
  // Once the client is done: no further connection is awaited; the sessions that were
  // accepted play to their end. Gives the number of connections accepted.
  int finish() {
    finishing_ = true;
    if (thread_.joinable()) thread_.join();
    return accepted_;
  }

 private:
  // The next connection within 10 s, waited for in slices: shutting the listener down does
  // not end a wait on Windows.
  socket_fd accept_next() {
    constexpr int kSliceMs = 20;
    for (int waited = 0; waited < 10000 && !finishing_; waited += kSliceMs) {
      const socket_fd fd = accept_with_timeout(listener_, nullptr, nullptr, kSliceMs);
      if (fd != kNoSocket) return fd;
    }
    return kNoSocket;
  }

  std::vector<session> sessions_;
  std::uint16_t port_ = 0;
  socket_fd listener_ = kNoSocket;
  int accepted_ = 0;
  std::atomic<bool> finishing_{false};
  std::thread thread_;
};

// Both ends of one loopback connection, made as the tool makes its own (non-blocking), closed
// with the pair. Windows has no socketpair.
class tcp_pair {
 public:
  tcp_pair() {
    std::uint16_t port = 0;
    const socket_handle listener(open_bound_socket(kSockStream, port, 1));
    own_ = connect_with_timeout(htonl(INADDR_LOOPBACK), port, 3000);
    peer_ = accept_with_timeout(listener.fd(), nullptr, nullptr, 3000);
  }
  ~tcp_pair() {
    close_socket(own_);
    close_peer();
  }
  tcp_pair(const tcp_pair&) = delete;
  tcp_pair& operator=(const tcp_pair&) = delete;

  bool connected() const { return own_ != kNoSocket && peer_ != kNoSocket; }
  socket_fd own() const { return own_; }
  socket_fd peer() const { return peer_; }
  // The own end then reads the peer's close.
  void close_peer() {
    close_socket(peer_);
    peer_ = kNoSocket;
  }

 private:
  socket_fd own_ = kNoSocket;
  socket_fd peer_ = kNoSocket;
};

}  // namespace mardo::testing
