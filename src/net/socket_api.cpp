#include "net/socket_api.h"

#include <cerrno>

#ifdef _WIN32
#include <chrono>
#include <thread>
#include <vector>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace mardo {

#ifdef _WIN32
namespace {

// Not in every SDK's headers; the value is the system's.
constexpr DWORD kUdpConnReset = _WSAIOW(IOC_VENDOR, 12);

// 0, or WSAStartup's error.
int library_started() {
  static const int started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return started;
}

}  // namespace

// The Winsock errors the code above tells apart, as the errno values it tests for.
int socket_errno_of(int wsa_error) {
  switch (wsa_error) {
    case WSAEWOULDBLOCK:
      return EWOULDBLOCK;
    case WSAEINPROGRESS:
      return EINPROGRESS;
    case WSAEINTR:
      return EINTR;
    case WSAECONNREFUSED:
      return ECONNREFUSED;
    case WSAEHOSTUNREACH:
      return EHOSTUNREACH;
    case WSAENETUNREACH:
      return ENETUNREACH;
    case WSAETIMEDOUT:
      return ETIMEDOUT;
    case WSAECONNRESET:
      return ECONNRESET;
    case WSAECONNABORTED:
      return ECONNABORTED;
    case WSAENOTCONN:
      return ENOTCONN;
    case WSAEMSGSIZE:
      return EMSGSIZE;
    case WSAEADDRINUSE:
      return EADDRINUSE;
    case WSAEADDRNOTAVAIL:
      return EADDRNOTAVAIL;
    case WSAEACCES:
      return EACCES;
    case WSAEINVAL:
      return EINVAL;
    case WSAENOBUFS:
      return ENOBUFS;
    case WSAENOTSOCK:
      return ENOTSOCK;
    case WSAENOPROTOOPT:
      return ENOPROTOOPT;
    default:
      return wsa_error;  // 10000 and up: no errno value means the same
  }
}

namespace {

// WSAPoll does not report a connection attempt that failed (Windows before 10 version 2004
// waits out the whole time-out), so waits for writing go through select, whose exception
// set does report it.
int select_sockets(pollfd* fds, unsigned count, int timeout_ms) {
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  for (unsigned i = 0; i < count; ++i) {
    if (fds[i].fd == kNoSocket) continue;
    if (fds[i].events & POLLIN) FD_SET(fds[i].fd, &readable);
    if (fds[i].events & POLLOUT) FD_SET(fds[i].fd, &writable);
    FD_SET(fds[i].fd, &failed);
  }
  timeval wait{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int ready = select(0, &readable, &writable, &failed, timeout_ms < 0 ? nullptr : &wait);
  if (ready == SOCKET_ERROR) {
    last_socket_error();
    return -1;
  }
  int count_ready = 0;
  for (unsigned i = 0; i < count; ++i) {
    if (fds[i].fd == kNoSocket) continue;
    if (FD_ISSET(fds[i].fd, &readable)) fds[i].revents |= POLLIN;
    if (FD_ISSET(fds[i].fd, &writable)) fds[i].revents |= POLLOUT;
    if (FD_ISSET(fds[i].fd, &failed)) fds[i].revents |= POLLERR;
    if (fds[i].revents != 0) ++count_ready;
  }
  return count_ready;
}

}  // namespace

socket_fd open_socket(int type) {
  if (const int failed = library_started(); failed != 0) {
    errno = socket_errno_of(failed);
    return kNoSocket;
  }
  const socket_fd sock = socket(AF_INET, type, 0);
  if (sock == kNoSocket) {
    last_socket_error();
    return kNoSocket;
  }
  if (type == SOCK_DGRAM) {
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(sock, kUdpConnReset, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
  }
  return sock;
}

void close_socket(socket_fd sock) {
  if (sock != kNoSocket) closesocket(sock);
}

int last_socket_error() {
  const int err = socket_errno_of(WSAGetLastError());
  errno = err;
  return err;
}

bool set_non_blocking(socket_fd sock) {
  u_long on = 1;
  return ioctlsocket(sock, FIONBIO, &on) == 0;
}

bool set_io_timeouts(socket_fd sock, int send_ms, int receive_ms) {
  const DWORD send_wait = static_cast<DWORD>(send_ms);
  const DWORD receive_wait = static_cast<DWORD>(receive_ms);
  return set_option(sock, SOL_SOCKET, SO_SNDTIMEO, &send_wait, sizeof send_wait) &&
         set_option(sock, SOL_SOCKET, SO_RCVTIMEO, &receive_wait, sizeof receive_wait);
}

bool set_option(socket_fd sock, int level, int name, const void* value, int size) {
  return setsockopt(sock, level, name, static_cast<const char*>(value), size) == 0;
}

int poll_sockets(pollfd* fds, unsigned count, int timeout_ms) {
  // WSAPoll refuses an empty set and an invalid handle, where poll skips negative ones.
  std::vector<WSAPOLLFD> valid;
  std::vector<unsigned> index;
  bool writing = false;
  for (unsigned i = 0; i < count; ++i) {
    fds[i].revents = 0;
    if (fds[i].fd == kNoSocket) continue;
    valid.push_back(fds[i]);
    index.push_back(i);
    writing = writing || (fds[i].events & POLLOUT) != 0;
  }
  if (valid.empty()) {
    if (timeout_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return 0;
  }
  if (writing) return select_sockets(fds, count, timeout_ms);
  const int ready = WSAPoll(valid.data(), static_cast<ULONG>(valid.size()), timeout_ms);
  if (ready == SOCKET_ERROR) {
    last_socket_error();
    return -1;
  }
  for (std::size_t i = 0; i < valid.size(); ++i) fds[index[i]].revents = valid[i].revents;
  return ready;
}

int send_bytes(socket_fd sock, const void* data, int length) {
  const int n = send(sock, static_cast<const char*>(data), length, 0);
  if (n == SOCKET_ERROR) last_socket_error();
  return n;
}

int send_datagram(socket_fd sock, const void* data, int length, const sockaddr_in& to) {
  const int n = sendto(sock, static_cast<const char*>(data), length, 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (n == SOCKET_ERROR) last_socket_error();
  return n;
}

int recv_bytes(socket_fd sock, void* buffer, int capacity, bool peek) {
  const int n = recv(sock, static_cast<char*>(buffer), capacity, peek ? MSG_PEEK : 0);
  if (n == SOCKET_ERROR) last_socket_error();
  return n;
}

int recv_datagram(socket_fd sock, void* buffer, int capacity, sockaddr_in* from, bool* cut) {
  sockaddr_in sender{};
  int sender_len = sizeof sender;
  if (cut != nullptr) *cut = false;
  const int n = recvfrom(sock, static_cast<char*>(buffer), capacity, 0,
                         reinterpret_cast<sockaddr*>(&sender), &sender_len);
  if (from != nullptr) *from = sender;
  if (n != SOCKET_ERROR) return n;
  // The buffer holds the datagram's first bytes; the rest is gone.
  if (last_socket_error() == EMSGSIZE) {
    if (cut != nullptr) *cut = true;
    return capacity;
  }
  return -1;
}

#else

socket_fd open_socket(int type) {
  return socket(AF_INET, type, 0);
}

void close_socket(socket_fd sock) {
  if (sock >= 0) ::close(sock);
}

int last_socket_error() {
  return errno;
}

int socket_errno_of(int system_error) {
  return system_error;
}

bool set_non_blocking(socket_fd sock) {
  int on = 1;
  return ioctl(sock, FIONBIO, &on) == 0;
}

bool set_io_timeouts(socket_fd sock, int send_ms, int receive_ms) {
  const timeval send_wait{send_ms / 1000, (send_ms % 1000) * 1000};
  const timeval receive_wait{receive_ms / 1000, (receive_ms % 1000) * 1000};
  return set_option(sock, SOL_SOCKET, SO_SNDTIMEO, &send_wait, sizeof send_wait) &&
         set_option(sock, SOL_SOCKET, SO_RCVTIMEO, &receive_wait, sizeof receive_wait);
}

bool set_option(socket_fd sock, int level, int name, const void* value, int size) {
  return setsockopt(sock, level, name, value, static_cast<socklen_t>(size)) == 0;
}

int poll_sockets(pollfd* fds, unsigned count, int timeout_ms) {
  return poll(fds, count, timeout_ms);
}

int send_bytes(socket_fd sock, const void* data, int length) {
  // MSG_NOSIGNAL: a peer that has gone gives -1 here instead of killing the process.
  return static_cast<int>(send(sock, data, static_cast<std::size_t>(length), MSG_NOSIGNAL));
}

int send_datagram(socket_fd sock, const void* data, int length, const sockaddr_in& to) {
  return static_cast<int>(sendto(sock, data, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&to), sizeof to));
}

int recv_bytes(socket_fd sock, void* buffer, int capacity, bool peek) {
  return static_cast<int>(
      recv(sock, buffer, static_cast<std::size_t>(capacity), peek ? MSG_PEEK | MSG_DONTWAIT : 0));
}

int recv_datagram(socket_fd sock, void* buffer, int capacity, sockaddr_in* from, bool* cut) {
  sockaddr_in sender{};
  socklen_t sender_len = sizeof sender;
  // MSG_TRUNC gives the datagram's real size, so a cut one is known.
  const ssize_t n = recvfrom(sock, buffer, static_cast<std::size_t>(capacity), MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&sender), &sender_len);
  if (from != nullptr) *from = sender;
  if (cut != nullptr) *cut = n > capacity;
  if (n < 0) return -1;
  return n > capacity ? capacity : static_cast<int>(n);
}

#endif

bool would_block(int err) {
#if EAGAIN != EWOULDBLOCK
  if (err == EWOULDBLOCK) return true;
#endif
  return err == EAGAIN;
}

bool set_int_option(socket_fd sock, int level, int name, int value) {
  return set_option(sock, level, name, &value, sizeof value);
}

}  // namespace mardo
