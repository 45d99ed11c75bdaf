// The socket platform layer, where Linux and Windows differ most: what a caller reads after
// a failure, and how datagrams and waits behave. Loopback only.
#include "net/socket_api.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "net/sockets.h"

namespace mardo {
namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

// A refusal reads as ECONNREFUSED (callers ask again only after EHOSTUNREACH/ETIMEDOUT), on
// Windows too, where the select path and SO_ERROR's code bring it.
TEST(SocketApi, RefusedConnectionLeavesEconnrefused) {
  std::uint16_t port = 0;
  { socket_handle probe(open_bound_socket(kSockStream, port, 1)); }
  errno = 0;
  EXPECT_EQ(connect_with_timeout(htonl(INADDR_LOOPBACK), port, 2000), kNoSocket);
  EXPECT_EQ(errno, ECONNREFUSED);
}

// A datagram larger than the buffer gives the buffer's worth and says it was cut (Linux
// would cut it silently, Windows fails the receive); a port-unreachable answer to an earlier
// datagram fails no later receive (Windows would, without SIO_UDP_CONNRESET off).
TEST(SocketApi, DatagramsAreCutVisiblyAndUnreachablePortsFailNothing) {
  std::uint16_t port = 0;
  socket_handle receiver(open_bound_socket(kSockDatagram, port, 0));
  std::uint16_t closed_port = 0;
  { socket_handle gone(open_bound_socket(kSockDatagram, closed_port, 0)); }
  ASSERT_TRUE(receiver.valid());
  const std::vector<std::uint8_t> big(100, 0x5A);
  ASSERT_EQ(send_datagram(receiver.fd(), big.data(), 1, loopback(closed_port)), 1);
  ASSERT_EQ(send_datagram(receiver.fd(), big.data(), 100, loopback(port)), 100);
  ASSERT_EQ(send_datagram(receiver.fd(), big.data(), 10, loopback(port)), 10);

  std::uint8_t buffer[16] = {};
  bool cut = false;
  pollfd ready{receiver.fd(), POLLIN, 0};
  ASSERT_EQ(poll_sockets(&ready, 1, 2000), 1);
  EXPECT_EQ(recv_datagram(receiver.fd(), buffer, sizeof buffer, nullptr, &cut), 16);
  EXPECT_TRUE(cut);
  sockaddr_in from{};
  EXPECT_EQ(recvfrom_with_timeout(receiver.fd(), buffer, sizeof buffer, 2000, &from), 10);
  EXPECT_EQ(ntohs(from.sin_port), port);
}

// A wait over a set with a missing socket waits on the others, as poll does with negative
// descriptors; a set of none waits out the time-out.
TEST(SocketApi, WaitSkipsMissingSockets) {
  std::uint16_t port = 0;
  socket_handle receiver(open_bound_socket(kSockDatagram, port, 0));
  ASSERT_TRUE(receiver.valid());
  const std::uint8_t byte = 1;
  ASSERT_EQ(send_datagram(receiver.fd(), &byte, 1, loopback(port)), 1);
  pollfd waits[2] = {{kNoSocket, POLLIN, 0}, {receiver.fd(), POLLIN, 0}};
  EXPECT_EQ(poll_sockets(waits, 2, 2000), 1);
  EXPECT_EQ(waits[0].revents, 0);
  EXPECT_NE(waits[1].revents & POLLIN, 0);
  pollfd none{kNoSocket, POLLIN, 0};
  EXPECT_EQ(poll_sockets(&none, 1, 10), 0);
}

}  // namespace
}  // namespace mardo
