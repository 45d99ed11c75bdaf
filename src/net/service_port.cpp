#include "net/service_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "core/stop.h"
#include "net/byte_view.h"
#include "net/json_object.h"
#include "net/sockets.h"
#include "net/tick.h"

namespace mardo {
namespace {

constexpr std::string_view kGetDevParam = R"({"cmd":"getDevParam"})";

constexpr int kHeaderAnswerTries = 3;
// The text of an answer whose header states no length: what an answer of 256 bytes holds.
constexpr std::size_t kSvcUnsizedTextMax = 256 - kSvcHeaderSize;
constexpr std::size_t kReadChunk = 4096;

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

bool send_service_message(socket_fd sock, std::span<const std::uint8_t> message, bool paced,
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

socket_fd connect_to_service(const char* address, std::uint16_t port) {
  for (int t = 0; t < kSvcConnectTries && !stop_requested(); ++t) {
    const socket_fd sock = connect_to_host(address, port, kSvcTimeoutMs);
    if (sock != kNoSocket || (errno != EHOSTUNREACH && errno != ETIMEDOUT)) return sock;
  }
  return kNoSocket;
}

bool send_upgrade_header(socket_fd sock, std::span<const std::uint8_t, kDeviceParamBlockSize> block,
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

std::optional<service_answer_t> service_reader::next(int timeout_ms) {
  const std::uint64_t deadline = tick_ms() + static_cast<std::uint64_t>(std::max(timeout_ms, 0));
  std::uint8_t chunk[kReadChunk];
  while (!broken_) {
    if (std::optional<service_answer_t> answer = take_answer()) return answer;
    if (broken_) break;
    const std::uint64_t now = tick_ms();
    if (now >= deadline) return std::nullopt;
    const int got =
        recv_some(sock_, chunk, static_cast<int>(sizeof chunk), static_cast<int>(deadline - now));
    if (got == 0) return std::nullopt;
    if (got < 0) break;
    pending_.insert(pending_.end(), chunk, chunk + got);
  }
  broken_ = true;
  return std::nullopt;
}

bool service_reader::header_may_start() const {
  const std::size_t n = std::min(pending_.size(), kMagicBytes.size());
  return std::equal(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n),
                    kMagicBytes.begin());
}

std::optional<service_answer_t> service_reader::take_answer() {
  if (after_bare_ && !pending_.empty() && !header_may_start()) return take_unsized_text();
  const std::optional<svc_header_t> h = decode_svc_header(pending_);
  if (!h) return std::nullopt;
  // A stated length no camera sends would have us wait for, and keep, what never comes.
  if (h->payload_length > kSvcMaxReplyPayload) {
    broken_ = true;
    return std::nullopt;
  }
  const std::size_t whole = kSvcHeaderSize + std::size_t{h->payload_length};
  if (pending_.size() < whole) return std::nullopt;
  byte_reader in(std::span<const std::uint8_t>(pending_).first(whole));
  in.seek(kSvcHeaderSize);
  service_answer_t answer{*h, std::string(in.cstr())};
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(whole));
  after_bare_ = h->payload_length == 0;
  if (after_bare_) {
    bare_ = *h;
    if (!pending_.empty() && !header_may_start()) return take_unsized_text();
  }
  return answer;
}

std::optional<service_answer_t> service_reader::take_unsized_text() {
  // The text runs to the next header, at most as far as a 256-byte answer of the older
  // cameras would hold it.
  const auto next_header =
      std::search(pending_.begin() + 1, pending_.end(), kMagicBytes.begin(), kMagicBytes.end());
  const std::size_t end =
      std::min(static_cast<std::size_t>(next_header - pending_.begin()), kSvcUnsizedTextMax);
  byte_reader in(std::span<const std::uint8_t>(pending_).first(end));
  service_answer_t answer{bare_, std::string(in.cstr())};
  answer.header.payload_length = static_cast<std::uint32_t>(end);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(end));
  after_bare_ = false;
  return answer;
}

std::optional<service_answer_t> receive_header_answer(service_reader& reader) {
  for (int t = 0; t < kHeaderAnswerTries && !reader.broken(); ++t) {
    std::optional<service_answer_t> answer = reader.next(kSvcTimeoutMs);
    if (answer && (!answer->text.empty() || answer->header.error != 0)) return answer;
  }
  return std::nullopt;
}

int send_json_request(socket_fd sock, std::uint32_t command, std::span<const char> json,
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

  service_reader reader(sock);
  bool failed = false;
  for (std::uint32_t taken = 0;; ++taken) {
    const std::optional<service_answer_t> answer = reader.next(timeout_ms);
    if (!answer) return -1;
    const svc_header_t& h = answer->header;
    if (h.payload_length == 0 || h.index != taken) return -1;
    if (h.error != 0) failed = true;
    reply += answer->text;
    if (h.position == kSvcLast || h.position == kSvcOnly) return failed ? -1 : 0;
  }
}

int query_device_param(const char* address, std::uint16_t port,
                       std::span<const std::uint8_t, kDeviceParamBlockSize> block) {
  if (!address) return 0;
  {
    socket_handle conn(connect_to_service(address, port));
    if (!conn.valid()) return 0;
    std::string reply;
    send_json_request(conn.fd(), kSvcJsonCommand, kGetDevParam, 1, reply, kSvcTimeoutMs);
    const json_object answer(reply);
    if (answer.str("cmd") == "getDevParamRsp" && answer.str("errMsg") == "noerror" &&
        !answer.str("interModel").empty() && !answer.str("externModel").empty())
      return 1;
  }

  // Cameras of an older service answer only the upgrade header.
  socket_handle conn(connect_to_service(address, port));
  if (!conn.valid() || !send_upgrade_header(conn.fd(), block, true)) return 0;
  service_reader reader(conn.fd());
  const std::optional<service_answer_t> answer = receive_header_answer(reader);
  if (!answer) return 0;
  return json_object(answer->text).str("InterModel").empty() ? 0 : 1;
}

}  // namespace mardo
