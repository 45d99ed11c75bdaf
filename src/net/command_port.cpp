#include "net/command_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/system.h"
#include "net/byte_view.h"
#include "net/sockets.h"

namespace mardo {
namespace {

bool send_request_header(socket_fd fd, std::uint32_t command, std::uint32_t payload_length) {
  std::uint8_t bytes[kCmdHeaderSize];
  encode_cmd_header({kCmdHeaderSize + payload_length, command, 0}, bytes);
  return send_all(fd, bytes, kCmdHeaderSize, kCmdSendTimeoutMs) == kCmdHeaderSize;
}

bool send_request(socket_fd fd, std::uint32_t command, std::span<const std::uint8_t> payload) {
  if (!send_request_header(fd, command, static_cast<std::uint32_t>(payload.size()))) return false;
  if (payload.empty()) return true;
  const int size = static_cast<int>(payload.size());
  return send_all(fd, payload.data(), size, kCmdSendTimeoutMs) == size;
}

std::optional<cmd_header_t> receive_header(socket_fd fd, int timeout_ms) {
  std::uint8_t bytes[kCmdHeaderSize];
  if (recv_exact(fd, bytes, kCmdHeaderSize, timeout_ms) != kCmdHeaderSize) return std::nullopt;
  return decode_cmd_header(bytes);
}

}  // namespace

void encode_cmd_header(const cmd_header_t& header, std::span<std::uint8_t, kCmdHeaderSize> out) {
  std::memset(out.data(), 0, out.size());
  put_le32(out.data(), header.length);
  put_le32(out.data() + 4, header.command);
  put_le32(out.data() + 8, header.status);
}

std::optional<cmd_header_t> decode_cmd_header(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kCmdHeaderSize) return std::nullopt;
  byte_reader in(bytes);
  cmd_header_t header;
  header.length = in.le32();
  header.command = in.le32();
  header.status = in.le32();
  return header;
}

std::optional<std::uint32_t> cmd_reply_body_size(const cmd_header_t& reply,
                                                 std::uint32_t expected_reply,
                                                 std::size_t capacity) {
  if (reply.command != expected_reply) return std::nullopt;
  // A length below the header is not trusted; a body longer than the buffer is read as far
  // as the buffer goes.
  if (reply.length < kCmdHeaderSize) return std::nullopt;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(reply.length - kCmdHeaderSize, capacity));
}

int send_command_with_reply(const char* address, int timeout_ms,
                            std::span<const std::uint8_t> payload, std::uint32_t command,
                            std::uint32_t expected_reply, std::span<std::uint8_t> reply,
                            std::uint16_t port) {
  if (!address) return 0;
  socket_handle conn(connect_to_host(address, port, timeout_ms));
  if (!conn.valid() || !send_request(conn.fd(), command, payload)) return 0;
  const auto header = receive_header(conn.fd(), timeout_ms);
  if (!header) return 0;
  const auto size = cmd_reply_body_size(*header, expected_reply, reply.size());
  if (!size || *size == 0) return 0;
  const int body = static_cast<int>(*size);
  const int got = recv_exact(conn.fd(), reply.data(), body, timeout_ms);
  return got > 0 ? got : 0;
}

std::uint32_t send_command_for_status(const char* address, int timeout_ms,
                                      std::span<const std::uint8_t> payload, std::uint32_t command,
                                      std::uint32_t expected_reply, std::uint16_t port) {
  if (!address) return 0;
  socket_handle conn(connect_to_host(address, port, timeout_ms));
  if (!conn.valid() || !send_request(conn.fd(), command, payload)) return 0;
  const auto header = receive_header(conn.fd(), timeout_ms);
  if (!header || header->command != expected_reply || header->length != kCmdHeaderSize) return 0;
  return header->status;
}

std::uint32_t send_file_command(const char* address,
                                std::span<const std::uint8_t, kFileCommandBlockSize> block,
                                const char* path, int timeout_ms, std::uint16_t port) {
  if (!address || !path) return 0;
  socket_handle conn(connect_to_host(address, port, timeout_ms));
  if (!conn.valid()) return 0;

  std::FILE* file = open_file(path, "rb");
  if (!file) return 0;
  const std::uint64_t size = regular_file_size(file).value_or(0);
  // The whole request must stay within the 32-bit length field.
  if (size == 0 || size > 0x7FFFFFFFULL - kCmdHeaderSize - kFileCommandBlockSize) {
    std::fclose(file);
    return 0;
  }
  const std::size_t total = kFileCommandBlockSize + static_cast<std::size_t>(size);
  auto* buffer = static_cast<std::uint8_t*>(std::malloc(total));
  if (!buffer) {
    std::fclose(file);
    return 0;
  }
  std::memcpy(buffer, block.data(), kFileCommandBlockSize);
  const std::size_t read = std::fread(buffer + kFileCommandBlockSize, 1, size, file);
  std::fclose(file);
  // A file that shrank while read would send bytes that are not the file's.
  bool ok = read == static_cast<std::size_t>(size) &&
            send_request_header(conn.fd(), kCmdSetProductModel,
                                static_cast<std::uint32_t>(total));
  for (std::size_t at = 0; ok && at < total; at += kFileCommandPiece) {
    const int piece = static_cast<int>(total - at < kFileCommandPiece ? total - at
                                                                      : kFileCommandPiece);
    ok = send_all(conn.fd(), buffer + at, piece, kCmdSendTimeoutMs) == piece;
  }
  std::free(buffer);
  if (!ok) return 0;
  const auto header = receive_header(conn.fd(), timeout_ms);
  return header ? header->status : 0;
}

}  // namespace mardo
