// Hand-built IPv4/UDP frames: checksums that verify, and a parse that never takes payload
// beyond what was captured or what the headers state.
#include "net/udp_frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/byte_view.h"
#include "net/socket_api.h"

namespace mardo {
namespace {

udp_endpoints_t ends() {
  udp_endpoints_t e;
  e.source_mac = {0x02, 0, 0, 0, 0, 1};
  e.destination_mac = {0x02, 0, 0, 0, 0, 2};
  e.source_ip = inet_addr("192.0.2.1");
  e.destination_ip = inet_addr("192.0.2.77");
  e.source_port = 40000;
  e.destination_port = 69;
  return e;
}

TEST(UdpFrame, ChecksumsVerifyOverHeaderAndPseudoHeader) {
  // The example of RFC 1071 section 3.
  const std::uint8_t rfc[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  EXPECT_EQ(internet_sum(rfc), 0xddf2u);
  for (std::size_t size : {0u, 1u, 511u, 516u}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> payload(size);
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(0xF0 + i);
    std::vector<std::uint8_t> frame(kUdpFrameHeader + size);
    ASSERT_EQ(build_udp_frame(ends(), payload, frame), frame.size());
    EXPECT_EQ(internet_checksum({frame.data() + 14, 20}), 0);
    std::vector<std::uint8_t> pseudo(12);
    std::copy(frame.begin() + 26, frame.begin() + 34, pseudo.begin());
    pseudo[9] = 17;
    put_be16(pseudo.data() + 10, static_cast<std::uint16_t>(size + 8));
    EXPECT_EQ(internet_checksum({frame.data() + 34, size + 8}, internet_sum(pseudo)), 0);
    const auto parsed = parse_udp_frame(frame);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->ends.source_ip, ends().source_ip);
    EXPECT_EQ(parsed->ends.destination_port, 69);
    EXPECT_EQ(parsed->ends.source_mac, ends().source_mac);
    EXPECT_TRUE(std::equal(parsed->payload.begin(), parsed->payload.end(), payload.begin(),
                           payload.end()));
  }
}

TEST(UdpFrame, PayloadStaysWithinCapturedAndStatedLengths) {
  std::vector<std::uint8_t> payload(100, 0xAB);
  std::vector<std::uint8_t> good(kUdpFrameHeader + payload.size());
  build_udp_frame(ends(), payload, good);
  struct Row {
    const char* name;
    std::size_t captured;
    int udp_length;  // -1: as built
    int ip_total;
    std::size_t expected;  // payload bytes; SIZE_MAX: not a UDP frame
  } rows[] = {
      {"whole", good.size(), -1, -1, 100},
      {"cut_by_the_capture", 60, -1, -1, 18},
      {"udp_length_short", good.size(), 8 + 10, -1, 10},
      {"udp_length_past_the_frame", good.size(), 9000, -1, 100},
      {"ip_total_short", good.size(), -1, 28 + 5, 5},
      {"udp_length_below_its_header", good.size(), 4, -1, SIZE_MAX},
      {"ip_header_cut", 30, -1, -1, SIZE_MAX},
      {"ethernet_only", 14, -1, -1, SIZE_MAX},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::uint8_t> frame = good;
    if (row.udp_length >= 0) put_be16(frame.data() + 38, static_cast<std::uint16_t>(row.udp_length));
    if (row.ip_total >= 0) put_be16(frame.data() + 16, static_cast<std::uint16_t>(row.ip_total));
    frame.resize(row.captured);
    const auto parsed = parse_udp_frame(frame);
    if (row.expected == SIZE_MAX) {
      EXPECT_FALSE(parsed);
      continue;
    }
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->payload.size(), row.expected);
    EXPECT_LE(parsed->payload.data() + parsed->payload.size(), frame.data() + frame.size());
  }
}

}  // namespace
}  // namespace mardo
