#pragma once
// A loopback TCP peer that plays one scripted session per accepted connection, in order,
// on its own thread. Tests read what the tool sent from each session's record.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/sockets.h"

namespace mardo::testing {

// Everything the client sends until it closes or goes quiet for quiet_ms.
inline std::vector<std::uint8_t> read_all(int fd, int quiet_ms = 500) {
  std::vector<std::uint8_t> got;
  std::uint8_t chunk[4096];
  for (;;) {
    const int n = recv_some(fd, chunk, sizeof chunk, quiet_ms);
    if (n <= 0) return got;
    got.insert(got.end(), chunk, chunk + n);
  }
}

inline std::vector<std::uint8_t> read_exactly(int fd, int size) {
  std::vector<std::uint8_t> got(static_cast<std::size_t>(size));
  const int n = recv_exact(fd, got.data(), size, 3000);
  got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return got;
}

inline void send_bytes(int fd, const std::vector<std::uint8_t>& bytes) {
  send_all(fd, bytes.data(), static_cast<int>(bytes.size()), 3000);
}

class script_server {
 public:
  using session = std::function<void(int fd)>;

  explicit script_server(std::vector<session> sessions) : sessions_(std::move(sessions)) {
    listener_ = open_bound_socket(kSockStream, port_, 8);
    thread_ = std::thread([this] {
      for (auto& play : sessions_) {
        const int fd = accept_with_timeout(listener_, nullptr, nullptr, 10000);
        if (fd < 0) return;
        ++accepted_;
        play(fd);
        ::close(fd);
      }
    });
  }
  ~script_server() {
    finish();
    if (listener_ >= 0) ::close(listener_);
  }
  script_server(const script_server&) = delete;
  script_server& operator=(const script_server&) = delete;

  std::uint16_t port() const { return port_; }
  // Once the client is done: no further connection is awaited; the sessions that were
  // accepted play to their end. Gives the number of connections accepted.
  int finish() {
    if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    return accepted_;
  }

 private:
  std::vector<session> sessions_;
  std::uint16_t port_ = 0;
  int listener_ = -1;
  int accepted_ = 0;
  std::thread thread_;
};

}  // namespace mardo::testing
