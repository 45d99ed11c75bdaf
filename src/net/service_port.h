#pragma once
// The camera's upgrade service: a 32-byte little-endian header that starts with the magic
// word, followed by at most 1024 payload bytes per fragment; series of fragments are
// marked first (2), middle (4), last (1) or only (3).
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "net/socket_api.h"

namespace mardo {

inline constexpr std::uint16_t kServicePort = 9300;
inline constexpr int kSvcHeaderSize = 32;
inline constexpr std::uint32_t kSvcMagic = 0x5ABABABA;
inline constexpr std::uint32_t kSvcUpgradeHeader = 10001;
inline constexpr std::uint32_t kSvcPackageData = 10002;
inline constexpr std::uint32_t kSvcStatusQuery = 10003;
inline constexpr std::uint32_t kSvcJsonCommand = 10004;
inline constexpr std::uint32_t kSvcFirst = 2;
inline constexpr std::uint32_t kSvcMiddle = 4;
inline constexpr std::uint32_t kSvcLast = 1;
inline constexpr std::uint32_t kSvcOnly = 3;
inline constexpr int kSvcJsonFragment = 992;
inline constexpr int kSvcPiece = 1024;
inline constexpr int kSvcTimeoutMs = 3000;
inline constexpr int kDeviceParamBlockSize = 4096;
// No reply fragment of a camera comes near this; a larger stated length is a broken peer.
inline constexpr std::uint32_t kSvcMaxReplyPayload = 65536;

struct svc_header_t {
  std::uint32_t magic = kSvcMagic;
  std::uint32_t kind = 1;
  std::uint32_t command = 0;
  std::uint32_t position = kSvcOnly;
  std::uint32_t index = 0;
  std::uint32_t link_id = 0;
  std::uint32_t error = 0;
  std::uint32_t payload_length = 0;
};

void encode_svc_header(const svc_header_t& header, std::span<std::uint8_t, kSvcHeaderSize> out);
std::optional<svc_header_t> decode_svc_header(std::span<const std::uint8_t> bytes);
// Position of fragment i of n in its series.
std::uint32_t svc_position(int i, int n);

// Sends one whole message with send_all calls for what is still missing (with `paced`, 1 ms
// apart, as the device-parameter handshake does); three calls in a row without progress
// fail it.
// *sent (when given) tells how many bytes went out.
bool send_service_message(socket_fd sock, std::span<const std::uint8_t> message, bool paced = false,
                          std::size_t* sent = nullptr);
// A connection to the upgrade service, or -1. The workstation's address requests and SYNs
// wait in the same queue as every image it sends: with the link full (a whole site upgraded
// at once) they can be lost, and the kernel gives a camera up as unreachable after three
// unanswered address requests, a second apart. A camera that stayed unreachable or silent is
// therefore asked again, kSvcConnectTries times in all, each within kSvcTimeoutMs; any other
// failure (a refusal: no service) is final.
inline constexpr int kSvcConnectTries = 3;
socket_fd connect_to_service(const char* address, std::uint16_t port);
// The four 1056-byte messages (command 10001) that carry a 4096-byte block.
bool send_upgrade_header(socket_fd sock, std::span<const std::uint8_t, kDeviceParamBlockSize> block,
                         bool paced = false);
// An answer of the service: its header and its text (the payload up to its first NUL).
struct service_answer_t {
  svc_header_t header;
  std::string text;
};

// Every answer off one connection, whole: the 32-byte header and the payload_length bytes it
// gives, gathered over as many reads as they take. Bytes of an answer that is not yet whole
// stay for the next call, so a text that comes late is never read as a header. Older cameras
// state no length and send the text behind the header anyway: bytes after a header of length
// 0 that do not start a header are that header's text, up to the next header.
class service_reader {
 public:
  explicit service_reader(socket_fd sock) : sock_(sock) {}
  // The next whole answer; none when timeout_ms from the call ran out first, or when the
  // connection failed (then broken()).
  std::optional<service_answer_t> next(int timeout_ms);
  bool broken() const { return broken_; }

 private:
  static constexpr std::array<std::uint8_t, 4> kMagicBytes{0xBA, 0xBA, 0xBA, 0x5A};
  std::optional<service_answer_t> take_answer();
  std::optional<service_answer_t> take_unsized_text();
  // What is pending is, or may become, a header's magic word.
  bool header_may_start() const;

  socket_fd sock_;
  std::vector<std::uint8_t> pending_;
  bool broken_ = false;
  bool after_bare_ = false;  // the last answer was a header of length 0
  svc_header_t bare_;
};

// The answer to the four-fragment package header: up to three waits of 3000 ms for an answer
// that carries a text or an error word. A bare header, or part of one, accepts nothing.
std::optional<service_answer_t> receive_header_answer(service_reader& reader);

// One JSON command in fragments of 992 bytes; reply fragments are appended to reply in
// order. 0 when a whole reply without an error word came, else -1.
int send_json_request(socket_fd sock, std::uint32_t command, std::span<const char> json,
                      std::uint32_t kind, std::string& reply, int timeout_ms);
// 1 when the camera answers as an upgrade-service device ("getDevParam", else the older
// upgrade-header handshake), 0 otherwise.
int query_device_param(const char* address, std::uint16_t port,
                       std::span<const std::uint8_t, kDeviceParamBlockSize> block);

}  // namespace mardo
