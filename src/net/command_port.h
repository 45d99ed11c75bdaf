#pragma once
// The camera's command port: one TCP connection per request, a 32-byte little-endian
// header (length, command, status, 20 reserved bytes) and an optional body.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace mardo {

inline constexpr std::uint16_t kCommandPort = 8117;
inline constexpr int kCmdHeaderSize = 32;
inline constexpr int kCmdSendTimeoutMs = 3000;
inline constexpr std::uint32_t kCmdPrepareTransfer = 21380;  // sent before a TFTP write
inline constexpr std::uint32_t kCmdPrepareTransferReply = 21381;
inline constexpr std::uint32_t kCmdSetProductModel = 24577;
inline constexpr std::uint32_t kCmdQueryProductModel = 24579;
inline constexpr std::uint32_t kCmdQueryProductModelReply = 24580;
inline constexpr int kFileCommandBlockSize = 256;
inline constexpr int kFileCommandPiece = 1400;

struct cmd_header_t {
  std::uint32_t length = kCmdHeaderSize;  // 32 plus the body that follows
  std::uint32_t command = 0;
  std::uint32_t status = 0;
};

void encode_cmd_header(const cmd_header_t& header, std::span<std::uint8_t, kCmdHeaderSize> out);
// The header at the start of bytes, or nothing when fewer than 32 came.
std::optional<cmd_header_t> decode_cmd_header(std::span<const std::uint8_t> bytes);

// Bytes of the body to read after a reply header with the expected code: what it announces,
// at most capacity; nothing for a header that cannot be trusted.
std::optional<std::uint32_t> cmd_reply_body_size(const cmd_header_t& reply,
                                                 std::uint32_t expected_reply,
                                                 std::size_t capacity);

// Body bytes received into reply (never more than its size), or 0 on failure. A reply whose
// length is below 32 is refused; a longer body is read as far as the buffer goes.
int send_command_with_reply(const char* address, int timeout_ms,
                            std::span<const std::uint8_t> payload, std::uint32_t command,
                            std::uint32_t expected_reply, std::span<std::uint8_t> reply,
                            std::uint16_t port = kCommandPort);
// The reply's status, or 0 on failure; only a reply of exactly 32 bytes with the expected
// code counts.
std::uint32_t send_command_for_status(const char* address, int timeout_ms,
                                      std::span<const std::uint8_t> payload, std::uint32_t command,
                                      std::uint32_t expected_reply,
                                      std::uint16_t port = kCommandPort);
// Command 24577: the 256-byte block, then the whole file at path, in pieces of 1400 bytes.
// The reply's status, or 0 (a missing or empty file sends nothing).
std::uint32_t send_file_command(const char* address,
                                std::span<const std::uint8_t, kFileCommandBlockSize> block,
                                const char* path, int timeout_ms,
                                std::uint16_t port = kCommandPort);

}  // namespace mardo
