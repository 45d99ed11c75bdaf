#include "discovery/search_answer.h"

#include "net/socket_api.h"

#include <algorithm>
#include <cstring>

#include "net/byte_view.h"
#include "net/json_object.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

bool hides_camera(std::string_view text) {
  return text.find("algo : rvk") != std::string_view::npos ||
         text.find("algo : Rvkw") != std::string_view::npos;
}

std::string_view text_at(const std::uint8_t* data, std::size_t length, std::size_t offset) {
  if (offset >= length) return {};
  byte_reader r(data, length);
  r.seek(offset);
  return r.cstr();
}

}  // namespace

std::string algo_mark(std::string_view text) {
  if (text.find("_QKZW_") != std::string_view::npos) return "0";
  if (text.find("_MOLK_") != std::string_view::npos) return "1";
  return {};
}

std::optional<raw_search_answer_t> parse_raw_search_answer(const std::uint8_t* data,
                                                           std::size_t caplen, std::size_t wire_len,
                                                           const std::uint8_t* adapter_mac) {
  // A capture may be shorter than the frame was on the wire; only what was captured exists.
  const std::size_t length = std::min(caplen, wire_len);
  byte_reader frame(data, length);
  const auto dst = frame.bytes(6);
  const auto src = frame.bytes(6);
  const std::uint16_t type = frame.be16();
  const auto ip = frame.bytes(4);
  if (!frame.ok()) return std::nullopt;
  if (std::memcmp(dst.data(), adapter_mac, 6) != 0 || type != kEtherReboot) return std::nullopt;

  raw_search_answer_t answer{};
  answer.mac = format_mac_upper(src.data());
  char dotted[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, ip.data(), dotted, sizeof dotted);
  answer.ip = dotted;
  answer.detailed = length > kRawAnswerTextOffset;
  if (!answer.detailed) return answer;

  answer.hidden = hides_camera(text_at(data, length, kRawAnswerTextOffset)) ||
                  hides_camera(text_at(data, length, kRawAnswerAlgoOffset));
  byte_reader texts(data, length);
  texts.seek(kRawAnswerTextOffset);
  answer.version.assign(texts.cstr(kRawVersionMax));
  // The model follows the version's NUL, when the frame goes on past it.
  if (answer.version.size() + kRawAnswerTextOffset + 1 < length) {
    byte_reader model(data, length);
    model.seek(kRawAnswerTextOffset + answer.version.size() + 1);
    answer.model.assign(model.cstr());
  }
  answer.algo = algo_mark(answer.version);
  return answer;
}

std::optional<mc_search_answer_t> parse_mc_search_answer(std::string_view text) {
  const json_object json(text);
  if (json.str("cmd") != "devSearchRsp" || json.num("type") != 1) return std::nullopt;
  mc_search_answer_t answer{};
  answer.mac = json.str("mac");
  std::replace(answer.mac.begin(), answer.mac.end(), ':', '-');
  answer.ip = json.str("ip");
  answer.addr.uiIp = inet_addr(answer.ip.c_str());
  answer.addr.uiNetmask = inet_addr(json.str("netmask").c_str());
  answer.addr.uiGateway = inet_addr(json.str("gateway").c_str());
  answer.version = json.str("version");
  answer.model = json.str("model");
  answer.algo = algo_mark(text);
  return answer;
}

}  // namespace mardo
