#pragma once
// IPv4 socket helpers with time-outs. Every wait is a readiness wait (poll, so any handle
// number works) bounded by its own time-out in milliseconds, applied to each single wait; a
// negative time-out checks once without waiting. Results: -1 error, -2 peer
// closed, 0 time-out where stated; a call that gives a socket gives kNoSocket on failure.
// No exceptions, no logging.
#include <cstdint>

#include "net/socket_api.h"

namespace mardo {

// Owns one socket and closes it on every path out of its scope.
class socket_handle {
 public:
  explicit socket_handle(socket_fd fd) : fd_(fd) {}
  ~socket_handle() { close_socket(fd_); }
  socket_handle(const socket_handle&) = delete;
  socket_handle& operator=(const socket_handle&) = delete;
  socket_fd fd() const { return fd_; }
  bool valid() const { return fd_ != kNoSocket; }

 private:
  socket_fd fd_;
};

inline constexpr int kSockStream = 1;
inline constexpr int kSockDatagram = 2;

// Socket bound to INADDR_ANY:port with SO_REUSEADDR (Windows: SO_EXCLUSIVEADDRUSE, so a port
// another socket holds is refused there too); port 0 writes the chosen port back.
// Stream sockets listen with the backlog. Stays blocking.
socket_fd open_bound_socket(int type, std::uint16_t& port, int backlog);
// Accepted socket in non-blocking mode. Addresses in network order; either may be null.
socket_fd accept_with_timeout(socket_fd listener, std::uint32_t* local_addr,
                              std::uint32_t* peer_addr, int timeout_ms);
// Connected non-blocking stream socket, or kNoSocket with errno telling why (ECONNREFUSED,
// EHOSTUNREACH, ETIMEDOUT, ...). Address in network order, port in host order.
socket_fd connect_with_timeout(std::uint32_t addr, std::uint16_t port, int timeout_ms);
socket_fd connect_to_host(const char* dotted, std::uint16_t port, int timeout_ms);
// Bytes sent (length on success; fewer after a time-out), or -1.
int send_all(socket_fd sock, const void* data, int length, int timeout_ms);
// Bytes received (length on success; fewer after a time-out), -2 peer closed, -1 error.
int recv_exact(socket_fd sock, void* buffer, int length, int timeout_ms);
// 1..capacity bytes, 0 time-out, -2 peer closed, -1 error.
int recv_some(socket_fd sock, void* buffer, int capacity, int timeout_ms);
// Bytes already waiting, copied without taking them and without waiting: 1..capacity, 0 none,
// -2 peer closed, -1 error. On Windows "without waiting" needs a non-blocking socket, which
// every connected socket of connect_with_timeout and accept_with_timeout is.
int recv_peek(socket_fd sock, void* buffer, int capacity);
// Bytes received, 0 time-out, -1 failed wait or receive, -2 zero bytes came.
// The sender's address goes to `from` when it is not null.
int recvfrom_with_timeout(socket_fd sock, void* buffer, int capacity, int timeout_ms,
                          sockaddr_in* from);

}  // namespace mardo
