#include "net/udp_frame.h"

#include <algorithm>
#include <cstring>

#include "net/byte_view.h"

namespace mardo {
namespace {

void put_address(std::uint8_t* at, std::uint32_t network_order) {
  std::memcpy(at, &network_order, 4);
}

std::uint32_t read_address(byte_reader& in) {
  const auto bytes = in.bytes(4);
  std::uint32_t value = 0;
  if (bytes.size() == 4) std::memcpy(&value, bytes.data(), 4);
  return value;
}

}  // namespace

std::uint32_t internet_sum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (i < bytes.size()) sum += static_cast<std::uint32_t>(bytes[i] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum;
}

std::uint16_t internet_checksum(std::span<const std::uint8_t> bytes, std::uint32_t sum) {
  return static_cast<std::uint16_t>(~internet_sum(bytes, sum) & 0xFFFF);
}

std::size_t build_udp_frame(const udp_endpoints_t& ends, std::span<const std::uint8_t> payload,
                            std::span<std::uint8_t> out) {
  const std::size_t total = kUdpFrameHeader + payload.size();
  if (out.size() < total || payload.size() > 0xFFFF - 28) return 0;
  std::uint8_t* f = out.data();
  std::memcpy(f, ends.destination_mac.data(), 6);
  std::memcpy(f + 6, ends.source_mac.data(), 6);
  put_be16(f + 12, kEtherIpv4);

  std::uint8_t* ip = f + 14;
  std::memset(ip, 0, 20);
  ip[0] = 0x45;
  put_be16(ip + 2, static_cast<std::uint16_t>(payload.size() + 28));
  ip[8] = 128;
  ip[9] = kIpProtoUdp;
  put_address(ip + 12, ends.source_ip);
  put_address(ip + 16, ends.destination_ip);
  put_be16(ip + 10, internet_checksum({ip, 20}));

  std::uint8_t* udp = f + 34;
  const auto udp_length = static_cast<std::uint16_t>(payload.size() + 8);
  put_be16(udp, ends.source_port);
  put_be16(udp + 2, ends.destination_port);
  put_be16(udp + 4, udp_length);
  put_be16(udp + 6, 0);
  if (!payload.empty()) std::memcpy(udp + 8, payload.data(), payload.size());

  std::uint8_t pseudo[12];
  std::memcpy(pseudo, ip + 12, 8);
  pseudo[8] = 0;
  pseudo[9] = kIpProtoUdp;
  put_be16(pseudo + 10, udp_length);
  std::uint16_t sum = internet_checksum({udp, udp_length}, internet_sum(pseudo));
  // A computed zero goes out as all ones: zero on the wire means "no checksum".
  put_be16(udp + 6, sum == 0 ? 0xFFFF : sum);
  return total;
}

std::optional<udp_datagram_t> parse_udp_frame(std::span<const std::uint8_t> frame) {
  byte_reader in(frame);
  udp_datagram_t d;
  const auto dst = in.bytes(6);
  const auto src = in.bytes(6);
  if (!in.ok() || in.be16() != kEtherIpv4) return std::nullopt;
  std::copy(dst.begin(), dst.end(), d.ends.destination_mac.begin());
  std::copy(src.begin(), src.end(), d.ends.source_mac.begin());

  const std::size_t ip_start = in.offset();
  const std::uint8_t version_length = in.u8();
  const std::size_t header_length = (version_length & 0x0F) * 4u;
  if ((version_length >> 4) != 4 || header_length < 20) return std::nullopt;
  in.skip(1);
  const std::uint16_t total_length = in.be16();
  in.skip(2);
  const std::uint16_t fragment = in.be16();
  in.skip(1);
  const std::uint8_t protocol = in.u8();
  in.skip(2);
  d.ends.source_ip = read_address(in);
  d.ends.destination_ip = read_address(in);
  // A later fragment carries no UDP header; a first one only part of the datagram.
  if (!in.ok() || protocol != kIpProtoUdp || (fragment & 0x3FFF) != 0 ||
      total_length < header_length + 8)
    return std::nullopt;
  in.seek(ip_start + header_length);
  d.ends.source_port = in.be16();
  d.ends.destination_port = in.be16();
  const std::uint16_t udp_length = in.be16();
  in.skip(2);
  if (!in.ok() || udp_length < 8) return std::nullopt;
  std::size_t size = std::min<std::size_t>(udp_length - 8u, total_length - header_length - 8u);
  size = std::min(size, in.remaining());
  d.payload = in.bytes(size);
  return d;
}

}  // namespace mardo
