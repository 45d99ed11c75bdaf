// The command port's framing against a scripted loopback peer.
#include "net/command_port.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include "net/byte_view.h"
#include "net/script_server.h"

namespace mardo {
namespace {

using testing::read_all;
using testing::read_exactly;
using testing::script_server;
using testing::send_bytes;

constexpr int kTimeoutMs = 1000;

std::vector<std::uint8_t> cmd_header(std::uint32_t length, std::uint32_t command,
                                     std::uint32_t status) {
  std::vector<std::uint8_t> bytes(kCmdHeaderSize, 0xEE);  // reserved bytes are ignored
  put_le32(bytes.data(), length);
  put_le32(bytes.data() + 4, command);
  put_le32(bytes.data() + 8, status);
  return bytes;
}

struct ReplyRow {
  const char* name;
  std::uint32_t length;  // stated in the reply header
  std::uint32_t code;
  int body_sent;
  int expected;
};

TEST(CommandPort, ReplyBodyIsTakenOnlyWhenItsHeaderCanBeTrusted) {
  const ReplyRow rows[] = {
      {"body_of_ten", 42, kCmdQueryProductModelReply, 10, 10},
      {"body_filling_the_buffer", 32 + 256, kCmdQueryProductModelReply, 256, 256},
      {"other_reply_code", 42, kCmdPrepareTransferReply, 10, 0},
      {"length_past_the_buffer_reads_what_fits", 32 + 257, kCmdQueryProductModelReply, 257, 256},
      {"length_below_the_header", 20, kCmdQueryProductModelReply, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::uint8_t> request;
    script_server peer({[&](socket_fd fd) {
      request = read_exactly(fd, kCmdHeaderSize + 3);
      auto reply = cmd_header(row.length, row.code, 0);
      for (int i = 0; i < row.body_sent; ++i) reply.push_back(static_cast<std::uint8_t>(i));
      send_bytes(fd, reply);
    }});
    const std::uint8_t payload[] = {1, 2, 3};
    std::array<std::uint8_t, 256> reply{};
    reply.fill(0xAA);
    EXPECT_EQ(send_command_with_reply("127.0.0.1", kTimeoutMs, payload, kCmdQueryProductModel,
                                      kCmdQueryProductModelReply, reply, peer.port()),
              row.expected);
    peer.finish();
    // The request: length 32 + payload, the command, zero status and reserved bytes.
    auto expected = cmd_header(35, kCmdQueryProductModel, 0);
    std::fill(expected.begin() + 12, expected.end(), 0);
    expected.insert(expected.end(), payload, payload + 3);
    EXPECT_EQ(request, expected);
    for (int i = 0; i < 256; ++i)
      ASSERT_EQ(reply[i], i < row.expected ? i : 0xAA) << "byte " << i;
  }
}

TEST(CommandPort, StatusComesOnlyFromAHeaderOnlyReplyWithTheExpectedCode) {
  const ReplyRow rows[] = {
      {"accepted", 32, kCmdPrepareTransferReply, 0, 7},
      {"length_36", 36, kCmdPrepareTransferReply, 4, 0},
      {"other_code", 32, kCmdPrepareTransfer, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    script_server peer({[&](socket_fd fd) {
      read_exactly(fd, kCmdHeaderSize);
      auto reply = cmd_header(row.length, row.code, 7);
      reply.resize(reply.size() + static_cast<std::size_t>(row.body_sent));
      send_bytes(fd, reply);
    }});
    EXPECT_EQ(send_command_for_status("127.0.0.1", kTimeoutMs, {}, kCmdPrepareTransfer,
                                      kCmdPrepareTransferReply, peer.port()),
              static_cast<std::uint32_t>(row.expected));
  }
  std::uint16_t closed = 0;
  close_socket(open_bound_socket(kSockStream, closed, 1));
  EXPECT_EQ(send_command_for_status("127.0.0.1", kTimeoutMs, {}, kCmdPrepareTransfer,
                                    kCmdPrepareTransferReply, closed),
            0u);
}

TEST(CommandPort, FileGoesOutAfterItsBlockAndAnEmptyFileSendsNothing) {
  const std::string dir = ::testing::TempDir();
  struct Row {
    const char* name;
    int file_size;  // -1: no file
    std::uint32_t expected;
  } rows[] = {{"three_thousand_bytes", 3000, 9}, {"empty_file", 0, 0}, {"missing_file", -1, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = dir + "/file_command_" + row.name;
    std::vector<std::uint8_t> contents;
    std::remove(path.c_str());
    if (row.file_size >= 0) {
      for (int i = 0; i < row.file_size; ++i) contents.push_back(static_cast<std::uint8_t>(i * 31));
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(contents.data()),
                 static_cast<std::streamsize>(contents.size()));
    }
    std::array<std::uint8_t, kFileCommandBlockSize> block{};
    for (int i = 0; i < kFileCommandBlockSize; ++i) block[i] = static_cast<std::uint8_t>(255 - i);
    std::vector<std::uint8_t> request;
    script_server peer({[&](socket_fd fd) {
      request = read_all(fd);
      if (!request.empty()) send_bytes(fd, cmd_header(32, 0, 9));
    }});
    EXPECT_EQ(send_file_command("127.0.0.1", block, path.c_str(), kTimeoutMs, peer.port()),
              row.expected);
    peer.finish();
    if (row.file_size <= 0) {
      EXPECT_TRUE(request.empty());
      continue;
    }
    auto expected = cmd_header(3288, kCmdSetProductModel, 0);
    std::fill(expected.begin() + 12, expected.end(), 0);
    expected.insert(expected.end(), block.begin(), block.end());
    expected.insert(expected.end(), contents.begin(), contents.end());
    EXPECT_EQ(request, expected);
  }
}

}  // namespace
}  // namespace mardo
