#pragma once
// Where the systems' socket APIs differ, in one place: the handle type, start-up, the calls
// whose names or argument types differ, and errors given as errno values (EWOULDBLOCK,
// ECONNREFUSED, EHOSTUNREACH, ETIMEDOUT, EMSGSIZE, ...), so the protocol code above is one
// copy for Linux and Windows.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstdint>

namespace mardo {

#ifdef _WIN32
using socket_fd = SOCKET;
inline constexpr socket_fd kNoSocket = INVALID_SOCKET;
inline constexpr int kShutReceive = SD_RECEIVE;
#else
using socket_fd = int;
inline constexpr socket_fd kNoSocket = -1;
inline constexpr int kShutReceive = SHUT_RD;
#endif

// A new socket, the socket library started first where the system needs it. A datagram
// socket on Windows is told not to report an earlier datagram's ICMP port-unreachable as a
// failed receive (Linux reports it only on connected sockets). kNoSocket on failure.
socket_fd open_socket(int type);
void close_socket(socket_fd sock);

// The last socket call's error as an errno value; it is also left in errno.
int last_socket_error();
// A system error code (SO_ERROR's value) as an errno value.
int socket_errno_of(int system_error);
bool would_block(int err);

bool set_non_blocking(socket_fd sock);
// Send and receive time-outs of the blocking calls, in milliseconds.
bool set_io_timeouts(socket_fd sock, int send_ms, int receive_ms);
bool set_int_option(socket_fd sock, int level, int name, int value);
bool set_option(socket_fd sock, int level, int name, const void* value, int size);

// poll over sockets: the count ready, 0 time-out, -1 failure. kNoSocket entries are skipped.
int poll_sockets(pollfd* fds, unsigned count, int timeout_ms);

// Bytes sent, or -1. A send to a peer that has gone fails; it never raises a signal.
int send_bytes(socket_fd sock, const void* data, int length);
int send_datagram(socket_fd sock, const void* data, int length, const sockaddr_in& to);
// Bytes received, 0 the peer closed, -1 failure (errno says which, EWOULDBLOCK among them).
int recv_bytes(socket_fd sock, void* buffer, int capacity, bool peek = false);
// One datagram: the bytes put in the buffer, or -1. A datagram larger than the buffer is cut
// to it, and `cut` (when given) says so: both systems alike.
int recv_datagram(socket_fd sock, void* buffer, int capacity, sockaddr_in* from,
                  bool* cut = nullptr);

}  // namespace mardo
