#pragma once
// IPv4 socket helpers with time-outs. Every wait is a readiness wait (poll, so any handle
// number works) bounded by its own time-out in milliseconds, applied to each single wait; a
// negative time-out checks once without waiting. Results: -1 error, -2 peer
// closed, 0 time-out where stated. No exceptions, no logging.
#include <netinet/in.h>

#include <cstdint>

namespace mardo {

// Owns one socket and closes it on every path out of its scope.
class socket_handle {
 public:
  explicit socket_handle(int fd) : fd_(fd) {}
  ~socket_handle();
  socket_handle(const socket_handle&) = delete;
  socket_handle& operator=(const socket_handle&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

inline constexpr int kSockStream = 1;
inline constexpr int kSockDatagram = 2;

// Socket bound to INADDR_ANY:port with SO_REUSEADDR; port 0 writes the chosen port back.
// Stream sockets listen with the backlog. Stays blocking. -1 on failure.
int open_bound_socket(int type, std::uint16_t& port, int backlog);
// Accepted socket in non-blocking mode, or -1. Addresses in network order; either may be null.
int accept_with_timeout(int listener, std::uint32_t* local_addr, std::uint32_t* peer_addr,
                        int timeout_ms);
// Connected non-blocking stream socket, or -1 with errno telling why (ECONNREFUSED,
// EHOSTUNREACH, ETIMEDOUT, ...). Address in network order, port in host order.
int connect_with_timeout(std::uint32_t addr, std::uint16_t port, int timeout_ms);
int connect_to_host(const char* dotted, std::uint16_t port, int timeout_ms);
// Bytes sent (length on success; fewer after a time-out), or -1.
int send_all(int sock, const void* data, int length, int timeout_ms);
// Bytes received (length on success; fewer after a time-out), -2 peer closed, -1 error.
int recv_exact(int sock, void* buffer, int length, int timeout_ms);
// 1..capacity bytes, 0 time-out, -2 peer closed, -1 error.
int recv_some(int sock, void* buffer, int capacity, int timeout_ms);
// Bytes already waiting, copied without taking them and without waiting: 1..capacity, 0 none,
// -2 peer closed, -1 error.
int recv_peek(int sock, void* buffer, int capacity);
// Bytes received, 0 time-out, -1 failed wait or receive, -2 zero bytes came.
int recvfrom_with_timeout(int sock, void* buffer, int capacity, int timeout_ms, sockaddr_in* from,
                          socklen_t* from_len);

}  // namespace mardo
