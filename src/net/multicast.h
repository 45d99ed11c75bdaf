#pragma once
// The multicast JSON control channel: requests to 224.0.0.99:9981, answers to port 9982,
// each datagram an 8-byte little-endian header and a JSON text.
#include <cstdint>
#include <string>
#include <string_view>

#include "net/socket_api.h"

namespace mardo {

inline constexpr std::uint32_t MC_IDENTIFY = 0x5ABABABA;
inline constexpr const char* kMcGroup = "224.0.0.99";
inline constexpr std::uint16_t kMcRequestPort = 9981;
inline constexpr std::uint16_t kMcAnswerPort = 9982;
inline constexpr int kMcBufferSize = 4096;
inline constexpr int kMcPassMs = 10;
inline constexpr int kMcExchangeMs = 3000;

struct mc_header_t {
  std::uint32_t uiIdentify;
  std::uint32_t uiDataLen;
};

// One adapter's end of the channel. Linux hands a datagram addressed to the group only to
// sockets bound to the group (or the wildcard), never to one bound to a unicast address.
// So besides the socket bound to the adapter's address (which sends, and receives the
// answers sent back to that address) there is a second one bound to the group, which with
// IP_MULTICAST_ALL off receives the group answers of this adapter's interface only.
// Windows refuses a bind to the group and hands the group's datagrams to the socket bound
// to the adapter's address that joined it, so there the second socket is not made.
struct mc_socket_t {
  socket_fd iSock = kNoSocket;
  socket_fd iGroupSock = kNoSocket;
  std::string local_ip;
};

// Opens both sockets on the adapter's address; logs each failure and gives false.
// "0.0.0.0" gives false without a socket or a line.
bool open_mc_socket(const char* local_ip, mc_socket_t& out);

// Frames the text behind the header and sends it once to the group; always logs. Gives the
// send result (bytes sent or -1); a text that does not fit the 4096-byte buffer is not sent.
int mc_send(const mc_socket_t& sock, std::string_view text);

enum class mc_pass_t { nothing, dropped, text };

// One receive pass of at most 10 ms. A datagram larger than the buffer counts as nothing;
// a wrong identify value or a zero length is logged and dropped. The text runs from offset
// 8 to the first NUL or the end of the datagram, whatever the header's length says.
mc_pass_t mc_receive(const mc_socket_t& sock, mc_header_t& header, std::string& text);

enum class mc_datagram_t { text, bad_identify, zero_length };

// The header checks of one received datagram (at most the buffer size). A datagram shorter
// than the header reads as zeros behind its end; the text runs from offset 8 to the first
// NUL or the end of the datagram, whatever the header's length says.
mc_datagram_t mc_parse_datagram(const std::uint8_t* data, std::size_t size, mc_header_t& header,
                                std::string& text);

// Leaves the group and closes both sockets.
void close_mc_socket(mc_socket_t& sock);

// The IP-change exchange: 1 when the camera with exactly this MAC text answered
// "modifyDevIpRsp" with "noerror" within 3000 ms, else 0.
int mc_exchange(const char* local_ip, const char* mac, const char* request);

}  // namespace mardo
