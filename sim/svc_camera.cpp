#include "svc_camera.h"

#include <cjson/cJSON.h>

#include <algorithm>
#include <memory>

#include "net/byte_view.h"

namespace mardo::sim {
namespace {

constexpr std::uint32_t kSvcPackageHeaderCmd = 10001;
constexpr std::uint32_t kSvcJsonCmd = 10004;
constexpr std::uint32_t kPosFirst = 2, kPosMiddle = 4, kPosLast = 1, kPosOnly = 3;

bool ends_series(std::uint32_t position) { return position == kPosLast || position == kPosOnly; }

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string json_string(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  return cJSON_IsString(item) ? item->valuestring : "";
}

std::string param_reply(const sim_svc_t& svc) {
  if (svc.param_text) return *svc.param_text;
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> o(cJSON_CreateObject(), &cJSON_Delete);
  cJSON_AddStringToObject(o.get(), "cmd", "getDevParamRsp");
  cJSON_AddStringToObject(o.get(), "errMsg", svc.param_err.c_str());
  cJSON_AddStringToObject(o.get(), "interModel", svc.inter_model.c_str());
  cJSON_AddStringToObject(o.get(), "externModel", svc.extern_model.c_str());
  std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(o.get()), &cJSON_free);
  return text ? text.get() : "";
}

// The reply cut into fragments of `size` bytes (0: one), positioned as a series.
void add_series(svc_reaction_t& r, const svc_header_t& request, std::uint32_t error,
                const std::string& text, int size) {
  const std::size_t piece = size > 0 ? static_cast<std::size_t>(size) : std::max<std::size_t>(text.size(), 1);
  const std::size_t count = std::max<std::size_t>((text.size() + piece - 1) / piece, 1);
  for (std::size_t i = 0; i < count; ++i) {
    svc_header_t h = request;
    h.index = static_cast<std::uint32_t>(i);
    h.position = count == 1 ? kPosOnly : i == 0 ? kPosFirst : i + 1 == count ? kPosLast : kPosMiddle;
    h.error = error;
    const std::size_t at = std::min(i * piece, text.size());
    const std::size_t n = std::min(piece, text.size() - at);
    h.payload_length = static_cast<std::uint32_t>(n);
    r.answers.push_back(svc_message(h, bytes_of(text).subspan(at, n)));
  }
}

void on_json(const sim_svc_t& svc, svc_session_t& session, const svc_header_t& h,
             svc_reaction_t& r) {
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> request(
      cJSON_ParseWithLength(session.json.data(), session.json.size()), &cJSON_Delete);
  session.json.clear();
  const std::string cmd = json_string(request.get(), "cmd");
  if (cmd != "getDevParam") {
    add_series(r, h, 0, "{\"cmd\":\"" + cmd + "Rsp\",\"errMsg\":\"unsupported\"}", 0);
    return;
  }
  switch (svc.param) {
    case svc_param_t::answer:
      add_series(r, h, svc.param_error, param_reply(svc), svc.param_fragment);
      break;
    case svc_param_t::silence:
      break;
    case svc_param_t::close:
      r.close = true;
      break;
  }
}

void on_package_header(const sim_svc_t& svc, const svc_header_t& h, svc_reaction_t& r) {
  std::string text = svc.header_text.value_or("{\"InterModel\":\"" + svc.inter_model + "\"}");
  svc_header_t a = h;
  a.position = kPosOnly;
  a.index = 0;
  a.error = svc.header_error;
  a.payload_length = static_cast<std::uint32_t>(text.size());
  r.answers.push_back(svc_message(a, bytes_of(text)));
}

}  // namespace

std::optional<svc_header_t> read_svc_header(std::span<const std::uint8_t> bytes) {
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
  if (!in.ok()) return std::nullopt;
  return h;
}

std::vector<std::uint8_t> svc_message(const svc_header_t& h, std::span<const std::uint8_t> payload) {
  std::vector<std::uint8_t> out;
  out.reserve(kSvcHeaderSize + payload.size());
  for (std::uint32_t v : {h.magic, h.kind, h.command, h.position, h.index, h.link_id, h.error,
                          h.payload_length})
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::optional<std::size_t> svc_message_size(std::span<const std::uint8_t> buffered) {
  auto h = read_svc_header(buffered);
  if (!h) return std::nullopt;
  return kSvcHeaderSize + std::size_t{h->payload_length};
}

svc_reaction_t react_to_svc(const sim_svc_t& svc, svc_session_t& session,
                            std::span<const std::uint8_t> message) {
  svc_reaction_t r;
  auto h = read_svc_header(message);
  if (!h || h->magic != kSvcMagic || h->payload_length > kSvcMaxPayload) {
    r.close = true;
    return r;
  }
  const std::span<const std::uint8_t> payload =
      message.subspan(kSvcHeaderSize, std::min<std::size_t>(h->payload_length, message.size() - kSvcHeaderSize));
  if (h->command == kSvcJsonCmd) {
    if (h->position == kPosFirst || h->position == kPosOnly) session.json.clear();
    const auto nul = std::find(payload.begin(), payload.end(), std::uint8_t{0});
    session.json.append(payload.begin(), nul);
    if (ends_series(h->position)) on_json(svc, session, *h, r);
  } else if (h->command == kSvcPackageHeaderCmd) {
    if (h->position == kPosFirst || h->position == kPosOnly) session.package_header.clear();
    const std::size_t room = kSvcPackageHeader - std::min(session.package_header.size(), kSvcPackageHeader);
    session.package_header.insert(session.package_header.end(), payload.begin(),
                                  payload.begin() + static_cast<std::ptrdiff_t>(std::min(room, payload.size())));
    if (ends_series(h->position)) on_package_header(svc, *h, r);
  }
  return r;
}

}  // namespace mardo::sim
