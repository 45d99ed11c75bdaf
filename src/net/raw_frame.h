#pragma once
// Raw Ethernet command frames with the cameras' private EtherTypes.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/capture_port.h"

namespace mardo {

inline constexpr std::uint16_t kEtherSearch = 0xFFF0;  // tool to broadcast
inline constexpr std::uint16_t kEtherReboot = 0xFFF1;  // also the search answer
inline constexpr std::uint16_t kEtherSetIp = 0xFFF2;
inline constexpr std::uint16_t kEtherSetClock = 0xFFF3;
inline constexpr std::uint16_t kEtherDeleteLogs = 0xFFF4;
inline constexpr std::uint16_t kEtherFactoryTest = 0xFFF5;
inline constexpr std::uint16_t kEtherPresence = 0xFFF6;
inline constexpr std::uint16_t kEtherShell = 0xFFF7;
inline constexpr std::uint16_t kEtherIpQuery = 0xFFF8;

inline constexpr int kRawFrameBuffer = 256;
// EtherType and payload together: the frame is built in the 256-byte buffer.
inline constexpr int kRawMaxCommand = kRawFrameBuffer - 12;

using mac_t = std::array<std::uint8_t, 6>;

// Six hexadecimal numbers of one or two digits joined by "-", either letter case.
std::optional<mac_t> parse_mac_text(std::string_view text);
// "%02X-%02X-..." and "%02x-%02x-...".
std::string format_mac_upper(const std::uint8_t* mac);
std::string format_mac_lower(const std::uint8_t* mac);

// Sends destination (the camera), source (the adapter) and the given bytes, which start
// with the big-endian EtherType. Gives the send result (0 for a null port); -1 without
// sending for a MAC text that is not one or a command longer than kRawMaxCommand.
int send_raw_frame(capture_port* port, const std::uint8_t* adapter_mac, const char* camera_mac,
                   const std::uint8_t* bytes, int length);

// Waits for the camera's answer of the given EtherType, addressed to the adapter, and
// copies min(length field, capacity) payload bytes, never more than were captured. Gives
// the count copied, or -1 when nothing matched within the time-out (waited in full, also
// for a null port). A negative capacity is refused with -1 at once. *length_field (when
// given) receives the answer's own length field.
int wait_raw_reply(capture_port* port, const std::uint8_t* adapter_mac, const char* camera_mac,
                   std::uint16_t ether_type, std::uint8_t* out, int capacity, int timeout_ms,
                   std::uint16_t* length_field = nullptr);

}  // namespace mardo
