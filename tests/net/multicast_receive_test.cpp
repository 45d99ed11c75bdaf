// The multicast channel's receive pass over plain loopback sockets: what it reads does not
// depend on group membership.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "net/byte_view.h"
#include "net/high_fd.h"
#include "net/multicast.h"
#include "net/sockets.h"

namespace mardo {
namespace {

// select() cannot wait on a handle at or past FD_SETSIZE (FD_ISSET on one reads outside the
// set); a receive pass must serve such a socket like any other.
TEST(McReceive, SocketPastTheSelectLimitIsServed) {
  std::uint16_t port = 0;
  const int low = open_bound_socket(kSockDatagram, port, 0);
  ASSERT_GE(low, 0);
  const high_fd high(low);
  close(low);
  if (high.get() < 0) GTEST_SKIP() << "handle limit below FD_SETSIZE";

  const std::string json = R"({"cmd":"devSearchRsp"})";
  std::uint8_t datagram[64] = {};
  put_le32(datagram, MC_IDENTIFY);
  put_le32(datagram + 4, static_cast<std::uint32_t>(json.size()));
  std::memcpy(datagram + 8, json.data(), json.size());
  const int sender = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_GT(
      sendto(sender, datagram, 8 + json.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);

  mc_socket_t sock;
  sock.iGroupSock = high.get();
  sock.local_ip = "127.0.0.1";
  mc_header_t header{};
  std::string text;
  mc_pass_t pass = mc_pass_t::nothing;
  for (int i = 0; i < 100 && pass == mc_pass_t::nothing; ++i) pass = mc_receive(sock, header, text);
  EXPECT_EQ(pass, mc_pass_t::text);
  EXPECT_EQ(text, json);
  close(sender);
}

}  // namespace
}  // namespace mardo
