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
#include "socket_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mardo;
  if (size > 16384) return 0;

  if (auto header = decode_cmd_header({data, size})) {
    if (auto body = cmd_reply_body_size(*header, kCmdQueryProductModelReply, 256))
      if (*body > 256) std::abort();
  }

  int fds[2];
  if (!mardo::fuzz::feed(data, size, fds)) return 0;
  std::string reply;
  send_json_request(fds[0], kSvcJsonCommand, std::string_view(R"({"cmd":"getDevParam"})"), 1, reply,
                    10);
  if (reply.size() > size) std::abort();
  json_object parsed(reply);
  (void)parsed.str("externModel");
  ::close(fds[0]);
  ::close(fds[1]);

  if (!mardo::fuzz::feed(data, size, fds)) return 0;
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
