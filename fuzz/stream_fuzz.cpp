// What a camera sends the stream probe: RTSP answers, RTP interleaved in the RTSP connection,
// RTP datagrams and push-channel messages. Whatever comes, the probe reads only what came,
// rebuilds units only within its buffer and hands on nothing longer than it holds.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "socket_feed.h"
#include "testing/rtp_reassembly.h"
#include "testing/rtsp_text.h"
#include "testing/stream_receive.h"

namespace {

// Touches every delivered byte, so a delivery past a buffer shows under ASan.
void check(void* limit, std::uint8_t, std::uint32_t, const std::uint8_t* data,
           std::int32_t length) {
  if (length < 0 || length > *static_cast<std::int32_t*>(limit)) std::abort();
  volatile std::uint8_t sum = 0;
  for (std::int32_t i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace mardo;
  if (size > 16384) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  answer_track_id(text);
  std::string session;
  if (answer_session_id(text, &session) &&
      (session.size() > kSessionIdMax || session.find_first_of(";\r\n") != std::string::npos))
    std::abort();

  // Allocated once: the buffers are large, and every run starts from a fresh state.
  static std::int32_t frame_limit = kFrameCapacity;
  static const auto state = std::make_unique<receive_state>();
  static const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[kPushBuffer]);
  rtp_reassembly& r = state->reassembly;
  r.last_seq = r.discard = r.wait_key = 0;
  r.frame_length = 0;
  state->failures = 0;
  state->sink = {check, &frame_limit};
  state->running = 1;

  // The input as the RTSP connection's stream, read until the peer's close has failed the
  // receives the probe allows.
  int fds[2];
  if (mardo::fuzz::feed(data, size, fds)) {
    for (int steps = 0; state->failures.load() <= 3 && steps < 20000; ++steps)
      receive_interleaved_step(fds[0], buffer.get(), *state);
    ::close(fds[0]);
    ::close(fds[1]);
  }

  // The input as datagrams: each a 16-bit big-endian length and its bytes.
  std::size_t at = 0;
  while (at + 2 <= size) {
    const std::size_t n = std::min<std::size_t>(size - at - 2, data[at] << 8 | data[at + 1]);
    handle_rtp_packet(state->reassembly, std::span(data + at + 2, n), (n & 1) != 0, state->sink);
    at += 2 + n;
  }

  // The input as a push connection.
  static std::int32_t push_limit = kPushBuffer - kPushHeader;
  state->sink = {check, &push_limit};
  if (mardo::fuzz::feed(data, size, fds)) {
    for (int messages = 0; messages < 1000 && receive_push_message(fds[0], buffer.get(), *state);
         ++messages) {
    }
    ::close(fds[0]);
    ::close(fds[1]);
  }
  return 0;
}
