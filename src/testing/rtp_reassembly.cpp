#include "testing/rtp_reassembly.h"

#include <cstring>

namespace mardo {
namespace {

constexpr std::uint8_t kFuStart = 0x80;
constexpr std::uint8_t kFuEnd = 0x40;
constexpr std::uint8_t kFuFlags = 0xE0;  // start, end and the reserved bit
constexpr std::uint8_t kNalAud = 9;

bool has_start_code(std::span<const std::uint8_t> p, std::size_t at) {
  return p.size() > at + 3 && p[at] == 0 && p[at + 1] == 0 && p[at + 2] == 0 && p[at + 3] == 1;
}

// The NAL type the key-frame wait looks at; -1 drops the packet. An access unit delimiter
// sent as an FU-A start counts by the NAL unit behind its start code.
int key_wait_type(std::span<const std::uint8_t> p) {
  if (p.empty()) return -1;
  if ((p[0] & 0x1F) != kNalFuA) return p[0] & 0x1F;
  if (p.size() < 2) return -1;
  const std::uint8_t fu = p[1];
  int t = fu & 0x1F;
  if ((fu & kFuFlags) == kFuStart) {
    if (t != kNalAud) return t;
    if (p.size() <= 7 || !has_start_code(p, 3)) return -1;
    return p[7] & 0x1F;
  }
  if (p.size() > 6 && has_start_code(p, 2)) t = p[6] & 0x1F;
  return t;
}

}  // namespace

void handle_rtp_packet(rtp_reassembly& r, std::span<const std::uint8_t> packet, bool udp,
                       const media_sink& sink) {
  if (packet.size() < kRtpHeader) return;
  const std::uint8_t payload_type = packet[1] & 0x7F;
  const std::uint16_t seq = static_cast<std::uint16_t>(packet[2] << 8 | packet[3]);
  const std::uint32_t timestamp = std::uint32_t{packet[4]} << 24 | std::uint32_t{packet[5]} << 16 |
                                  std::uint32_t{packet[6]} << 8 | packet[7];
  const std::span<const std::uint8_t> p = packet.subspan(kRtpHeader);
  const int m = static_cast<int>(p.size());
  const bool fu_a = m > 0 && (p[0] & 0x1F) == kNalFuA;
  const bool fu_start = fu_a && m >= 2 && (p[1] & kFuFlags) == kFuStart;

  if (seq != static_cast<std::uint16_t>(r.last_seq + 1) && fu_a) {
    r.last_seq = seq;
    r.discard = 1;
    r.frame_length = 0;
    r.wait_key = payload_type == kH264PayloadType ? 1 : 0;
    return;
  }
  r.last_seq = seq;

  if (r.discard == 1) {
    if (fu_a && !fu_start) return;
    r.discard = 0;
  }
  if (r.wait_key == 1 && payload_type == kH264PayloadType) {
    if (key_wait_type(p) != kNalSps) return;
    r.wait_key = 0;
  }

  auto deliver = [&](const std::uint8_t* data, std::int32_t length) {
    if (sink.deliver == nullptr || (udp && payload_type >= 100)) return;
    sink.deliver(sink.context, payload_type, timestamp, data, length);
  };
  if (fu_a && payload_type == kH264PayloadType) {
    // Without its FU header a fragment has nothing to add.
    if (m < 2) return;
    const std::uint8_t fu = p[1];
    const int body = m - 2;
    if ((fu & kFuFlags) == kFuStart) {
      if (m - 1 > kFrameCapacity) return;
      r.frame[0] = static_cast<std::uint8_t>((p[0] & 0xE0) | (fu & 0x1F));
      std::memcpy(&r.frame[1], p.data() + 2, static_cast<std::size_t>(body));
      r.frame_length = m - 1;
      return;
    }
    if (r.frame_length + body > kFrameCapacity) return;
    std::memcpy(&r.frame[static_cast<std::size_t>(r.frame_length)], p.data() + 2,
                static_cast<std::size_t>(body));
    r.frame_length += body;
    if (fu & kFuEnd) {
      deliver(r.frame.get(), r.frame_length);
      r.frame_length = 0;
    }
    return;
  }
  deliver(p.data(), m);
}

}  // namespace mardo
