// Camera replies on the command port and the upgrade service: whatever the peer sends, the
// parse stays within what came and within its buffers.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "net/command_port.h"
#include "net/json_object.h"
#include "net/service_port.h"

namespace {

// The input as the peer's whole stream, already closed behind it.
bool feed(const std::uint8_t* data, std::size_t size, int fds[2]) {
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  int buffer = 1 << 20;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(fds[1], SHUT_WR);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mardo;
  if (size > 16384) return 0;

  if (auto header = decode_cmd_header({data, size})) {
    if (auto body = cmd_reply_body_size(*header, kCmdQueryProductModelReply, 256))
      if (*body > 256) std::abort();
  }

  int fds[2];
  if (!feed(data, size, fds)) return 0;
  std::string reply;
  send_json_request(fds[0], kSvcJsonCommand, std::string_view(R"({"cmd":"getDevParam"})"), 1,
                    reply, 10);
  if (reply.size() > size) std::abort();
  json_object parsed(reply);
  (void)parsed.str("externModel");
  ::close(fds[0]);
  ::close(fds[1]);

  if (!feed(data, size, fds)) return 0;
  std::array<std::uint8_t, kSvcAnswerCapacity> answer{};
  const int got = receive_service_answer(fds[0], answer);
  if (got > kSvcAnswerCapacity) std::abort();
  if (got > 0) {
    const std::string text = service_answer_text(std::span<const std::uint8_t>(answer.data(), got));
    json_object old(text);
    (void)old.str("InterModel");
  }
  ::close(fds[0]);
  ::close(fds[1]);
  return 0;
}
