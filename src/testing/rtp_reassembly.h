#pragma once
// What the stream probe does with each RTP packet: loss detection, the wait for a key frame
// and the rebuilding of H.264 NAL units from FU-A fragments. No sockets, so the receive
// path is tested and fuzzed on its own.
#include <cstdint>
#include <memory>
#include <span>

namespace mardo {

inline constexpr int kRtpHeader = 12;  // CSRC lists and extensions are not looked for
inline constexpr int kFrameCapacity = 2 * 1024 * 1024;
inline constexpr std::uint8_t kH264PayloadType = 96;
inline constexpr std::uint8_t kNalFuA = 28;
inline constexpr std::uint8_t kNalSps = 7;

// Called for each payload or rebuilt NAL unit; data stays valid only during the call.
struct media_sink {
  void (*deliver)(void* context, std::uint8_t payload_type, std::uint32_t timestamp,
                  const std::uint8_t* data, std::int32_t length) = nullptr;
  void* context = nullptr;
};

// Carries over from one connection to the next; only the receiver thread touches it.
struct rtp_reassembly {
  rtp_reassembly() : frame(new std::uint8_t[kFrameCapacity]) {}
  std::uint16_t last_seq = 0;
  std::uint16_t discard = 0;   // 1: drop packets until the next start fragment
  std::uint16_t wait_key = 0;  // 1: drop H.264 media until a sequence parameter set
  std::unique_ptr<std::uint8_t[]> frame;
  std::int32_t frame_length = 0;
};

// One received packet. Over UDP, payload types of 100 and above are not delivered.
void handle_rtp_packet(rtp_reassembly& r, std::span<const std::uint8_t> packet, bool udp,
                       const media_sink& sink);

}  // namespace mardo
