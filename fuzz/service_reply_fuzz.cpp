// Camera replies on the command port and the upgrade service: whatever the peer sends, the
// parse stays within what came and within its buffers.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
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
  service_reader reader(fds[0]);
  if (const std::optional<service_answer_t> answer = receive_header_answer(reader)) {
    if (answer->text.size() > answer->header.payload_length || answer->text.size() > size)
      std::abort();
    json_object old(answer->text);
    (void)old.str("InterModel");
  }
  while (const std::optional<service_answer_t> answer = reader.next(0)) {
    if (answer->text.size() > answer->header.payload_length) std::abort();
  }
  ::close(fds[0]);
  ::close(fds[1]);
  return 0;
}
