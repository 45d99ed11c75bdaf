#include "net/service_port.h"

#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "net/byte_view.h"
#include "net/json_object.h"
#include "net/sockets.h"

namespace mardo {
namespace {

constexpr std::string_view kGetDevParam = R"({"cmd":"getDevParam"})";

std::optional<svc_header_t> receive_header(int sock, int timeout_ms) {
  std::uint8_t bytes[kSvcHeaderSize];
  if (recv_exact(sock, bytes, kSvcHeaderSize, timeout_ms) != kSvcHeaderSize) return std::nullopt;
  return decode_svc_header(bytes);
}

// Payload text up to its first NUL.
void append_text(std::string& reply, const std::vector<char>& payload) {
  const void* nul = std::memchr(payload.data(), 0, payload.size());
  const std::size_t len =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - payload.data())
          : payload.size();
  reply.append(payload.data(), len);
}

}  // namespace

void encode_svc_header(const svc_header_t& header, std::span<std::uint8_t, kSvcHeaderSize> out) {
  const std::uint32_t words[] = {header.magic, header.kind,    header.command, header.position,
                                 header.index, header.link_id, header.error,   header.payload_length};
  for (int i = 0; i < 8; ++i) put_le32(out.data() + 4 * i, words[i]);
}

std::optional<svc_header_t> decode_svc_header(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kSvcHeaderSize) return std::nullopt;
  byte_reader in(bytes);
  svc_header_t h;
  h.magic = in.le32();
  h.kind = in.le32();
  h.command = in.le32();
  h.position = in.le32();
  h.index = in.le32();
  h.link_id = in.le32();
  h.error = in.le32();
  h.payload_length = in.le32();
  return h;
}

std::uint32_t svc_position(int i, int n) {
  if (n == 1) return kSvcOnly;
  if (i == 0) return kSvcFirst;
  return i == n - 1 ? kSvcLast : kSvcMiddle;
}

bool send_service_message(int sock, std::span<const std::uint8_t> message, bool paced,
                          std::size_t* sent_out) {
  std::size_t sent = 0;
  int idle = 0;
  struct report_t {
    std::size_t* out;
    const std::size_t& sent;
    ~report_t() {
      if (out) *out = sent;
    }
  } report{sent_out, sent};
  while (sent < message.size()) {
    const int n = send_all(sock, message.data() + sent, static_cast<int>(message.size() - sent),
                           kSvcTimeoutMs);
    if (paced) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      idle = 0;
    } else if (n < 0 || ++idle == 3) {
      return false;
    }
  }
  return true;
}

bool send_upgrade_header(int sock, std::span<const std::uint8_t, kDeviceParamBlockSize> block,
                         bool paced) {
  constexpr int kFragments = kDeviceParamBlockSize / kSvcPiece;
  std::uint8_t message[kSvcHeaderSize + kSvcPiece];
  for (int i = 0; i < kFragments; ++i) {
    svc_header_t h;
    h.kind = 1;
    h.command = kSvcUpgradeHeader;
    h.position = svc_position(i, kFragments);
    h.index = static_cast<std::uint32_t>(i);
    // The camera takes the tool's own handle number as the link id.
    h.link_id = static_cast<std::uint32_t>(sock);
    h.payload_length = kSvcPiece;
    encode_svc_header(h, std::span<std::uint8_t, kSvcHeaderSize>(message, kSvcHeaderSize));
    std::memcpy(message + kSvcHeaderSize, block.data() + i * kSvcPiece, kSvcPiece);
    if (!send_service_message(sock, message, paced)) return false;
  }
  return true;
}

int receive_service_answer(int sock, std::span<std::uint8_t, kSvcAnswerCapacity> answer) {
  // A header and its text may come in separate reads; later reads add to the earlier ones
  // so the text still starts 32 bytes into the answer.
  int got = 0;
  int last = 0;
  for (int tries = 0; tries < 3 && got <= kSvcHeaderSize; ++tries) {
    last = recv_some(sock, answer.data() + got, kSvcAnswerCapacity - got, kSvcTimeoutMs);
    if (last < 1) break;
    got += last;
  }
  return got > 0 ? got : last;
}

std::string service_answer_text(std::span<const std::uint8_t> answer) {
  if (answer.size() <= kSvcHeaderSize) return {};
  byte_reader in(answer);
  in.seek(kSvcHeaderSize);
  return std::string(in.cstr());
}

service_answer_t parse_service_answer(std::span<const std::uint8_t> answer) {
  service_answer_t a;
  if (auto h = decode_svc_header(answer)) {
    a.error = h->error;
    a.payload_length = h->payload_length;
  }
  a.text = service_answer_text(answer);
  return a;
}

int send_json_request(int sock, std::uint32_t command, std::span<const char> json,
                      std::uint32_t kind, std::string& reply, int timeout_ms) {
  const int length = static_cast<int>(json.size());
  const int fragments = (length + kSvcJsonFragment - 1) / kSvcJsonFragment;
  std::uint8_t message[kSvcHeaderSize + kSvcJsonFragment];
  for (int i = 0; i < fragments; ++i) {
    const int size = i == fragments - 1 ? length - i * kSvcJsonFragment : kSvcJsonFragment;
    svc_header_t h;
    h.kind = kind;
    h.command = command;
    h.position = svc_position(i, fragments);
    h.index = static_cast<std::uint32_t>(i);
    h.payload_length = static_cast<std::uint32_t>(size);
    encode_svc_header(h, std::span<std::uint8_t, kSvcHeaderSize>(message, kSvcHeaderSize));
    std::memcpy(message + kSvcHeaderSize, json.data() + i * kSvcJsonFragment, size);
    if (send_all(sock, message, kSvcHeaderSize + size, timeout_ms) < 1) return -1;
  }

  auto header = receive_header(sock, timeout_ms);
  bool failed = false;
  std::vector<char> payload;
  for (std::uint32_t taken = 0; header; ++taken) {
    if (header->payload_length == 0 || header->index != taken ||
        header->payload_length > kSvcMaxReplyPayload)
      return -1;
    if (header->error != 0) failed = true;
    payload.resize(header->payload_length);
    const int want = static_cast<int>(payload.size());
    const int got = recv_exact(sock, payload.data(), want, timeout_ms);
    if (got < 0) return -1;
    // What came before a time-out is still the camera's text; nothing past it is read.
    payload.resize(static_cast<std::size_t>(got));
    append_text(reply, payload);
    if (got < want) return -1;
    if (header->position == kSvcLast || header->position == kSvcOnly) return failed ? -1 : 0;
    header = receive_header(sock, timeout_ms);
  }
  return -1;
}

int query_device_param(const char* address, std::uint16_t port,
                       std::span<const std::uint8_t, kDeviceParamBlockSize> block) {
  if (!address) return 0;
  {
    socket_handle conn(connect_to_host(address, port, kSvcTimeoutMs));
    if (conn.fd() < 0) return 0;
    std::string reply;
    send_json_request(conn.fd(), kSvcJsonCommand, kGetDevParam, 1, reply, kSvcTimeoutMs);
    const json_object answer(reply);
    if (answer.str("cmd") == "getDevParamRsp" && answer.str("errMsg") == "noerror" &&
        !answer.str("interModel").empty() && !answer.str("externModel").empty())
      return 1;
  }

  // Cameras of an older service answer only the upgrade header.
  socket_handle conn(connect_to_host(address, port, kSvcTimeoutMs));
  if (conn.fd() < 0 || !send_upgrade_header(conn.fd(), block, true)) return 0;
  std::uint8_t answer[kSvcAnswerCapacity];
  const int got = receive_service_answer(conn.fd(), answer);
  if (got < 1) return 0;
  const json_object reply(service_answer_text(std::span<const std::uint8_t>(answer, got)));
  return reply.str("InterModel").empty() ? 0 : 1;
}

}  // namespace mardo
