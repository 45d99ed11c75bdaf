#pragma once
// Hand-built Ethernet/IPv4/UDP frames, for cameras that share an address with another and
// so can be told apart only by their MAC.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "net/raw_frame.h"

namespace mardo {

inline constexpr int kUdpFrameHeader = 42;  // Ethernet 14, IPv4 20, UDP 8
inline constexpr std::uint16_t kEtherIpv4 = 0x0800;
inline constexpr std::uint8_t kIpProtoUdp = 17;

// The Internet checksum (RFC 1071) of bytes, continuing a one's-complement sum begun with
// another part (the pseudo-header).
std::uint32_t internet_sum(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0);
std::uint16_t internet_checksum(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0);

struct udp_endpoints_t {
  mac_t source_mac{};
  mac_t destination_mac{};
  std::uint32_t source_ip = 0;       // network order
  std::uint32_t destination_ip = 0;  // network order
  std::uint16_t source_port = 0;
  std::uint16_t destination_port = 0;
};

// Writes the 42 header bytes and the payload into out; gives the frame length, or 0 when
// out is too small.
std::size_t build_udp_frame(const udp_endpoints_t& ends, std::span<const std::uint8_t> payload,
                            std::span<std::uint8_t> out);

struct udp_datagram_t {
  udp_endpoints_t ends;
  // Within the captured bytes, the IPv4 total length and the UDP length, whichever is least.
  std::span<const std::uint8_t> payload;
};

// A captured frame read as IPv4/UDP; nothing for any other frame, a fragment, or a header
// that does not fit what was captured.
std::optional<udp_datagram_t> parse_udp_frame(std::span<const std::uint8_t> frame);

}  // namespace mardo
