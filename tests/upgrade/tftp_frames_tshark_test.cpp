// The frames the raw transport builds, read back by a dissector no one here wrote: tshark,
// with IPv4 and UDP checksum validation on.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "net/byte_view.h"
#include "net/udp_frame.h"
#include "upgrade/tftp_write.h"

namespace mardo {
namespace {

void put_le32_to(std::ofstream& out, std::uint32_t v) {
  std::uint8_t b[4];
  put_le32(b, v);
  out.write(reinterpret_cast<const char*>(b), 4);
}

// A classic pcap file of Ethernet frames.
void write_pcap(const std::string& path, const std::vector<std::vector<std::uint8_t>>& frames) {
  std::ofstream out(path, std::ios::binary);
  put_le32_to(out, 0xA1B2C3D4);
  put_le32_to(out, 0x00040002);  // version 2.4
  put_le32_to(out, 0);
  put_le32_to(out, 0);
  put_le32_to(out, 65535);
  put_le32_to(out, 1);  // Ethernet
  std::uint32_t second = 1;
  for (const auto& f : frames) {
    put_le32_to(out, second++);
    put_le32_to(out, 0);
    put_le32_to(out, static_cast<std::uint32_t>(f.size()));
    put_le32_to(out, static_cast<std::uint32_t>(f.size()));
    out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
  }
}

std::string run(const std::string& command) {
  std::string text;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return text;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, pipe.get())) text += buf;
  return text;
}

TEST(TftpFrames, TsharkFindsEveryChecksumGoodAndNothingMalformed) {
  if (access("/usr/bin/tshark", X_OK) != 0) {
    const char* ci = std::getenv("CI");
    if (ci && (std::string(ci) == "true" || std::string(ci) == "1")) FAIL() << "tshark is not installed (scripts/deps.sh)";
    GTEST_SKIP() << "tshark is not installed (scripts/deps.sh)";
  }
  udp_endpoints_t ends;
  ends.source_mac = {0x02, 0, 0, 0, 0xff, 0};
  ends.destination_mac = {0x02, 0, 1, 0, 0, 7};
  ends.source_ip = inet_addr("192.0.2.1");
  ends.destination_ip = inet_addr("192.0.2.17");
  ends.source_port = 51234;
  ends.destination_port = kTftpPort;
  std::vector<std::uint8_t> data(512);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(0xFF - i);
  // Odd and even lengths, a full block, an empty last block, and a block number past 65535.
  const std::vector<std::vector<std::uint8_t>> packets = {
      tftp_write_request("cam_image.bin", 1234567),
      tftp_write_request("odd.img", 7),
      tftp_data_packet(1, data),
      tftp_data_packet(2, std::span(data).first(301)),
      tftp_data_packet(65537, std::span(data).first(1)),
      tftp_data_packet(3, {}),
  };
  std::vector<std::vector<std::uint8_t>> frames;
  for (const auto& p : packets) {
    std::vector<std::uint8_t> frame(kUdpFrameHeader + p.size());
    ASSERT_EQ(build_udp_frame(ends, p, frame), frame.size());
    frames.push_back(frame);
  }
  const std::string path = ::testing::TempDir() + "tftp_frames_" + std::to_string(getpid()) + ".pcap";
  write_pcap(path, frames);
  const std::string out = run(
      "tshark -r " + path +
      " -o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -d udp.port==69,tftp"
      " -T fields -E separator=, -e ip.checksum.status -e udp.checksum.status -e _ws.malformed"
      " -e _ws.expert.severity -e tftp.opcode 2>/dev/null");
  std::remove(path.c_str());
  std::istringstream lines(out);
  std::string line;
  std::vector<std::string> got;
  while (std::getline(lines, line)) got.push_back(line);
  // Good IPv4 and UDP checksums (status 1), no malformed mark, no expert error; the opcode.
  const std::vector<std::string> expected = {"1,1,,,2", "1,1,,,2", "1,1,,,3",
                                             "1,1,,,3", "1,1,,,3", "1,1,,,3"};
  EXPECT_EQ(got, expected) << out;
}

}  // namespace
}  // namespace mardo
