#include "net/sockets.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "core/worker_thread.h"
#include "net/tick.h"
#ifndef _WIN32
#include "net/high_fd.h"
#endif

namespace mardo {
namespace {

constexpr int kShortMs = 200;  // the time-out whose expiry a test waits out
constexpr int kLongMs = 2000;  // a time-out that must not expire
constexpr std::uint64_t kShortAtLeast = 150;
constexpr std::uint64_t kShortAtMost = 2000;

class Fd {
 public:
  Fd() = default;
  explicit Fd(socket_fd fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, kNoSocket)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(std::exchange(other.fd_, kNoSocket));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  socket_fd get() const { return fd_; }
  void reset(socket_fd fd = kNoSocket) {
    close_socket(fd_);
    fd_ = fd;
  }

 private:
  socket_fd fd_ = kNoSocket;
};

std::uint32_t loopback() {
  return htonl(INADDR_LOOPBACK);
}

#ifndef _WIN32  // Windows has no call that reads a socket's blocking mode back.
bool is_non_blocking(int fd) {
  return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}
#endif

sockaddr_in local_address(socket_fd fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return sa;
}

int socket_option(socket_fd fd, int option) {
  int value = -1;
  socklen_t len = sizeof value;
  getsockopt(fd, SOL_SOCKET, option, reinterpret_cast<char*>(&value), &len);
  return value;
}

// A port nobody holds right now: the system's choice, released again.
std::uint16_t free_port(int type) {
  std::uint16_t port = 0;
  Fd probe(open_bound_socket(type, port, 1));
  return port;
}

#ifndef _WIN32  // Windows hands out handles, not the lowest free number.
// The lowest free handle; unchanged across a call that closed everything it opened.
int lowest_free_handle() {
  const int fd = dup(0);
  close(fd);
  return fd;
}
#endif

// A handle that is no open socket: one just closed.
socket_fd closed_socket() {
  std::uint16_t port = 0;
  const socket_fd sock = open_bound_socket(kSockDatagram, port, 0);
  close_socket(sock);
  return sock;
}

void expect_one_short_timeout(std::uint64_t took_ms) {
  EXPECT_GE(took_ms, kShortAtLeast);
  EXPECT_LE(took_ms, kShortAtMost);
}

std::vector<char> pattern(std::size_t size) {
  std::vector<char> data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return data;
}

struct Connection {
  Fd listener;
  Fd client;  // from connect_with_timeout
  Fd server;  // from accept_with_timeout
};

Connection connect_loopback() {
  Connection c;
  std::uint16_t port = 0;
  c.listener = Fd(open_bound_socket(kSockStream, port, 4));
  c.client = Fd(connect_with_timeout(loopback(), port, kLongMs));
  c.server = Fd(accept_with_timeout(c.listener.get(), nullptr, nullptr, kLongMs));
  return c;
}

#define ASSERT_CONNECTED(c)               \
  ASSERT_NE((c).client.get(), kNoSocket); \
  ASSERT_NE((c).server.get(), kNoSocket)

struct TypeRow {
  const char* name;
  int type;
};
constexpr TypeRow kTypes[] = {{"stream", kSockStream}, {"datagram", kSockDatagram}};

TEST(BoundSocket, PortZeroWritesBackTheChosenPort) {
  for (const TypeRow& row : kTypes) {
    SCOPED_TRACE(row.name);
    std::uint16_t port = 0;
    Fd sock(open_bound_socket(row.type, port, 1));
    ASSERT_NE(sock.get(), kNoSocket);
    EXPECT_NE(port, 0);
    const sockaddr_in bound = local_address(sock.get());
    EXPECT_EQ(ntohs(bound.sin_port), port);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
  }
}

TEST(BoundSocket, GivenPortIsUsedAndLeftUnchanged) {
  for (const TypeRow& row : kTypes) {
    SCOPED_TRACE(row.name);
    const std::uint16_t wanted = free_port(row.type);
    ASSERT_NE(wanted, 0);
    std::uint16_t port = wanted;
    Fd sock(open_bound_socket(row.type, port, 1));
    ASSERT_NE(sock.get(), kNoSocket);
    EXPECT_EQ(port, wanted);
    EXPECT_EQ(ntohs(local_address(sock.get()).sin_port), wanted);
  }
}

TEST(BoundSocket, OnlyStreamSocketsListenAndBothStayBlocking) {
  std::uint16_t stream_port = 0;
  std::uint16_t datagram_port = 0;
  Fd stream(open_bound_socket(kSockStream, stream_port, 1));
  Fd datagram(open_bound_socket(kSockDatagram, datagram_port, 1));
  ASSERT_NE(stream.get(), kNoSocket);
  ASSERT_NE(datagram.get(), kNoSocket);
  EXPECT_EQ(socket_option(stream.get(), SO_ACCEPTCONN), 1);
  EXPECT_EQ(socket_option(datagram.get(), SO_ACCEPTCONN), 0);
#ifdef _WIN32
  // Windows' SO_REUSEADDR would let another socket take the port; the exclusive bind is
  // what refuses that there.
  EXPECT_EQ(socket_option(stream.get(), SO_EXCLUSIVEADDRUSE), 1);
#else
  EXPECT_EQ(socket_option(stream.get(), SO_REUSEADDR), 1);
  EXPECT_FALSE(is_non_blocking(stream.get()));
  EXPECT_FALSE(is_non_blocking(datagram.get()));
#endif
}

TEST(BoundSocket, PortHeldByListenerFailsWithoutLeakingTheSocket) {
  std::uint16_t taken = 0;
  Fd holder(open_bound_socket(kSockStream, taken, 1));
  ASSERT_NE(holder.get(), kNoSocket);
#ifndef _WIN32
  const int free_before = lowest_free_handle();
#endif
  std::uint16_t port = taken;
  EXPECT_EQ(open_bound_socket(kSockStream, port, 1), kNoSocket);
  EXPECT_EQ(port, taken);
#ifndef _WIN32
  EXPECT_EQ(lowest_free_handle(), free_before);
#endif
}

TEST(Connect, ReachesListenerWithNonBlockingSocket) {
  std::uint16_t port = 0;
  Fd listener(open_bound_socket(kSockStream, port, 4));
  Fd by_address(connect_with_timeout(loopback(), port, kLongMs));
  Fd by_text(connect_to_host("127.0.0.1", port, kLongMs));
  for (const Fd* sock : {&by_address, &by_text}) {
    ASSERT_NE(sock->get(), kNoSocket);
#ifndef _WIN32
    EXPECT_TRUE(is_non_blocking(sock->get()));
#endif
    EXPECT_EQ(socket_option(sock->get(), SO_ERROR), 0);
  }
}

TEST(Connect, NothingListeningFailsWithinOneTimeout) {
  const std::uint16_t port = free_port(kSockStream);
#ifndef _WIN32
  const int free_before = lowest_free_handle();
#endif
  const std::uint64_t start = tick_ms();
  EXPECT_EQ(connect_with_timeout(loopback(), port, kLongMs), kNoSocket);
  EXPECT_LE(tick_ms() - start, static_cast<std::uint64_t>(kLongMs) + 1000);
#ifndef _WIN32
  EXPECT_EQ(lowest_free_handle(), free_before);
#endif
}

TEST(Connect, UnansweredHandshakeFailsAfterOneTimeout) {
  // With its accept queue full, Linux drops further SYNs, so the handshake hangs.
  std::uint16_t port = 0;
  Fd listener(open_bound_socket(kSockStream, port, 0));
  ASSERT_NE(listener.get(), kNoSocket);
  std::vector<Fd> queued;
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::uint64_t start = tick_ms();
    Fd sock(connect_with_timeout(loopback(), port, kShortMs));
    const std::uint64_t took = tick_ms() - start;
    if (sock.get() == kNoSocket) {
      expect_one_short_timeout(took);
      return;
    }
    queued.push_back(std::move(sock));
  }
  ADD_FAILURE() << "every connection was taken although the queue was full";
}

TEST(Connect, TextThatIsNoAddressFailsAtOnce) {
  EXPECT_EQ(connect_to_host("camera.local", 80, kLongMs), kNoSocket);
  EXPECT_EQ(connect_to_host(nullptr, 80, kLongMs), kNoSocket);
}

TEST(Accept, NoPendingConnectionFailsAfterOneTimeout) {
  std::uint16_t port = 0;
  Fd listener(open_bound_socket(kSockStream, port, 4));
  ASSERT_NE(listener.get(), kNoSocket);
  std::uint32_t local = 7;
  std::uint32_t peer = 7;
  const std::uint64_t start = tick_ms();
  EXPECT_EQ(accept_with_timeout(listener.get(), &local, &peer, kShortMs), kNoSocket);
  expect_one_short_timeout(tick_ms() - start);
}

TEST(Accept, FillsBothAddressesAndGivesNonBlockingSocket) {
  std::uint16_t port = 0;
  Fd listener(open_bound_socket(kSockStream, port, 4));
  Fd client(connect_with_timeout(loopback(), port, kLongMs));
  ASSERT_NE(client.get(), kNoSocket);
  std::uint32_t local = 0;
  std::uint32_t peer = 0;
  Fd accepted(accept_with_timeout(listener.get(), &local, &peer, kLongMs));
  ASSERT_NE(accepted.get(), kNoSocket);
  EXPECT_EQ(local, loopback());
  EXPECT_EQ(peer, loopback());
#ifndef _WIN32
  EXPECT_TRUE(is_non_blocking(accepted.get()));
#endif
  EXPECT_EQ(ntohs(local_address(accepted.get()).sin_port), port);
}

TEST(SendAll, LargeBufferReachesSlowReaderIntact) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  constexpr int kSize = 6 << 20;
  constexpr int kChunk = 64 << 10;
  const std::vector<char> data = pattern(kSize);
  int received = 0;
  bool intact = true;
  std::thread reader([&] {
    std::vector<char> chunk(kChunk);
    while (received < kSize) {
      const int n = recv_exact(c.server.get(), chunk.data(), kChunk, kLongMs);
      if (n != kChunk) break;
      intact = intact && std::memcmp(chunk.data(), data.data() + received, kChunk) == 0;
      received += n;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const int sent = send_all(c.client.get(), data.data(), kSize, kLongMs);
  reader.join();
  EXPECT_EQ(sent, kSize);
  EXPECT_EQ(received, kSize);
  EXPECT_TRUE(intact);
}

TEST(SendAll, PeerThatNeverReadsGivesPartialCountAfterTimeout) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  // Larger than the loopback send and receive buffers can ever hold together.
  constexpr int kSize = 64 << 20;
  const std::vector<char> data(kSize, 'x');
  const std::uint64_t start = tick_ms();
  const int sent = send_all(c.client.get(), data.data(), kSize, kShortMs);
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, kSize);
  expect_one_short_timeout(tick_ms() - start);
}

TEST(SendAll, ClosedPeerGivesErrorInsteadOfSignal) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  c.server.reset();
  const std::vector<char> data(64 << 10, 'x');
  int result = 0;
  // The first send after the close may still be taken; the reset it provokes fails the next.
  for (int attempt = 0; attempt < 50 && result != -1; ++attempt) {
    result = send_all(c.client.get(), data.data(), static_cast<int>(data.size()), kShortMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(result, -1);
}

TEST(RecvExact, GathersFullLengthSentInPieces) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  const std::vector<char> data = pattern(3000);
  std::thread sender([&] {
    for (int piece = 0; piece < 3; ++piece) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      send_all(c.server.get(), data.data() + piece * 1000, 1000, kLongMs);
    }
  });
  std::vector<char> got(data.size());
  const int n = recv_exact(c.client.get(), got.data(), static_cast<int>(got.size()), kLongMs);
  sender.join();
  EXPECT_EQ(n, 3000);
  EXPECT_EQ(got, data);
}

TEST(RecvExact, PeerClosingAfterHalfGivesPeerClosedNotHalfCount) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  const std::vector<char> data = pattern(100);
  ASSERT_EQ(send_all(c.server.get(), data.data(), 50, kLongMs), 50);
  c.server.reset();
  std::vector<char> got(100);
  EXPECT_EQ(recv_exact(c.client.get(), got.data(), 100, kLongMs), -2);
}

TEST(RecvExact, PeerSilentAfterHalfGivesHalfCountAfterOneTimeout) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  const std::vector<char> data = pattern(100);
  ASSERT_EQ(send_all(c.server.get(), data.data(), 50, kLongMs), 50);
  std::vector<char> got(100);
  const std::uint64_t start = tick_ms();
  EXPECT_EQ(recv_exact(c.client.get(), got.data(), 100, kShortMs), 50);
  expect_one_short_timeout(tick_ms() - start);
  EXPECT_EQ(std::memcmp(got.data(), data.data(), 50), 0);
}

TEST(RecvSome, NothingToReadGivesZeroAfterOneTimeout) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  char buffer[16];
  const std::uint64_t start = tick_ms();
  EXPECT_EQ(recv_some(c.client.get(), buffer, sizeof buffer, kShortMs), 0);
  expect_one_short_timeout(tick_ms() - start);
}

TEST(RecvSome, PeerClosedGivesPeerClosed) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  c.server.reset();
  char buffer[16];
  EXPECT_EQ(recv_some(c.client.get(), buffer, sizeof buffer, kLongMs), -2);
}

TEST(RecvSome, NeverReturnsMoreThanCapacity) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  const std::vector<char> data = pattern(100);
  ASSERT_EQ(send_all(c.server.get(), data.data(), 100, kLongMs), 100);
  std::vector<char> got(1000);
  EXPECT_EQ(recv_some(c.client.get(), got.data(), 10, kLongMs), 10);
  EXPECT_EQ(recv_some(c.client.get(), got.data() + 10, 990, kLongMs), 90);
  EXPECT_EQ(std::memcmp(got.data(), data.data(), 100), 0);
}

TEST(RecvSome, FailedWaitGivesErrorRatherThanTimeout) {
  char buffer[16];
  EXPECT_EQ(recv_some(closed_socket(), buffer, sizeof buffer, kShortMs), -1);
}

#ifndef _WIN32  // Windows' select takes any handle in its set: no handle number is past it.
// select() cannot wait on a handle at or past FD_SETSIZE; every wait must still work there.
TEST(RecvSome, SocketPastTheSelectLimitIsServed) {
  Connection c = connect_loopback();
  ASSERT_CONNECTED(c);
  const high_fd high(c.client.get());
  if (high.get() < 0) GTEST_SKIP() << "handle limit below FD_SETSIZE";
  ASSERT_EQ(send_all(c.server.get(), "abc", 3, kLongMs), 3);
  char buffer[16];
  EXPECT_EQ(recv_some(high.get(), buffer, sizeof buffer, kLongMs), 3);
}
#endif

struct Datagrams {
  // Ports first: the sockets' initialisers write them back.
  std::uint16_t receiver_port = 0;
  std::uint16_t sender_port = 0;
  Fd receiver;
  Fd sender;

  Datagrams()
      : receiver(open_bound_socket(kSockDatagram, receiver_port, 0)),
        sender(open_bound_socket(kSockDatagram, sender_port, 0)) {}

  int send(const void* data, int size) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(receiver_port);
    to.sin_addr.s_addr = loopback();
    return send_datagram(sender.get(), data, size, to);
  }
};

TEST(RecvFrom, NothingArrivesGivesZeroAfterOneTimeout) {
  Datagrams d;
  ASSERT_NE(d.receiver.get(), kNoSocket);
  char buffer[16];
  sockaddr_in from{};
  const std::uint64_t start = tick_ms();
  EXPECT_EQ(recvfrom_with_timeout(d.receiver.get(), buffer, sizeof buffer, kShortMs, &from), 0);
  expect_one_short_timeout(tick_ms() - start);
}

TEST(RecvFrom, DatagramArrivesWithSenderFilledIn) {
  Datagrams d;
  ASSERT_NE(d.receiver.get(), kNoSocket);
  ASSERT_NE(d.sender.get(), kNoSocket);
  ASSERT_EQ(d.send("hello", 5), 5);
  char buffer[16] = {};
  sockaddr_in from{};
  EXPECT_EQ(recvfrom_with_timeout(d.receiver.get(), buffer, sizeof buffer, kLongMs, &from), 5);
  EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);
  EXPECT_EQ(from.sin_addr.s_addr, loopback());
  EXPECT_EQ(ntohs(from.sin_port), d.sender_port);
}

TEST(RecvFrom, EmptyDatagramGivesMinusTwo) {
  Datagrams d;
  ASSERT_NE(d.receiver.get(), kNoSocket);
  ASSERT_EQ(d.send("", 0), 0);
  char buffer[16];
  sockaddr_in from{};
  EXPECT_EQ(recvfrom_with_timeout(d.receiver.get(), buffer, sizeof buffer, kLongMs, &from), -2);
}

// poll() takes a negative time-out as "wait for ever"; here it means one check.
TEST(SocketTimeout, NegativeTimeOutChecksOnceWithoutWaiting) {
  Datagrams d;
  ASSERT_NE(d.receiver.get(), kNoSocket);
  char buffer[16];
  const auto t0 = tick_ms();
  EXPECT_EQ(recvfrom_with_timeout(d.receiver.get(), buffer, sizeof buffer, -5, nullptr), 0);
  EXPECT_LT(tick_ms() - t0, 500u);
}

// Closing the window tells its jobs to stop: a thread of the job in a long socket wait gives
// up within a slice and reports a time-out, whichever wait it is.
TEST(StopFlag, LongSocketWaitsEndSoonAfterTheJobIsToldToStop) {
  struct Row {
    const char* name;
    std::function<void(Connection&)> wait;
  };
  const Row rows[] = {
      {"recv_some",
       [](Connection& c) {
         char b[8];
         EXPECT_EQ(recv_some(c.client.get(), b, sizeof b, 10000), 0);
       }},
      {"recv_exact",
       [](Connection& c) {
         char b[8];
         EXPECT_EQ(recv_exact(c.client.get(), b, sizeof b, 10000), 0);
       }},
      {"accept",
       [](Connection& c) {
         EXPECT_EQ(accept_with_timeout(c.listener.get(), nullptr, nullptr, 10000), kNoSocket);
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Connection c = connect_loopback();
    ASSERT_CONNECTED(c);
    stop_flag stop;
    const auto started = std::chrono::steady_clock::now();
    std::thread job = start_worker(
        "wait", [&row, &c] { row.wait(c); }, &stop);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.request();
    job.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  }
}

}  // namespace
}  // namespace mardo
