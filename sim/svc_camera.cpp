#include "svc_camera.h"

#include <cjson/cJSON.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#include "net/byte_view.h"

namespace mardo::sim {
namespace {

constexpr std::uint32_t kSvcPackageHeaderCmd = 10001;
constexpr std::uint32_t kSvcPieceCmd = 10002;
constexpr std::uint32_t kSvcStatusCmd = 10003;
constexpr std::uint32_t kSvcJsonCmd = 10004;
constexpr std::size_t kNewCountAt = 272;
constexpr std::size_t kEntriesAt = 280;
constexpr std::size_t kEntrySize = 144;
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

// The new entries of the table; places that would leave the header end the table.
std::vector<svc_entry_t> read_entries(std::span<const std::uint8_t> header) {
  byte_reader in(header);
  in.seek(kNewCountAt);
  const std::uint32_t count = in.le32();
  std::vector<svc_entry_t> entries;
  for (std::uint32_t i = 0; i < count; ++i) {
    byte_reader e(header);
    e.seek(kEntriesAt + kEntrySize * i);
    svc_entry_t entry;
    entry.offset = e.le32();
    entry.length = e.le32();
    entry.crc = e.le32();
    e.skip(4);
    entry.name = std::string(e.cstr(128));
    if (!e.ok()) break;
    entries.push_back(std::move(entry));
  }
  return entries;
}

void add_text_answer(svc_reaction_t& r, const svc_header_t& h, std::uint32_t error,
                     const std::string& text) {
  svc_header_t a = h;
  a.position = kPosOnly;
  a.index = 0;
  a.error = error;
  a.payload_length = static_cast<std::uint32_t>(text.size());
  r.answers.push_back(svc_message(a, bytes_of(text)));
}

void on_piece(const sim_svc_t& svc, svc_session_t& session, const svc_header_t& h,
              std::span<const std::uint8_t> payload, svc_reaction_t& r) {
  if (h.position == kPosFirst || h.position == kPosOnly) {
    session.image_crc = 0;
    session.image_length = 0;
    // No piece of an empty image is ever sent: the first piece is the next image's.
    while (session.image_index < session.entries.size() &&
           session.entries[session.image_index].length == 0)
      ++session.image_index;
  }
  session.image_crc = static_cast<std::uint32_t>(
      crc32(session.image_crc, payload.data(), static_cast<uInt>(payload.size())));
  session.image_length += payload.size();
  ++session.pieces;
  if (svc.reset_after >= 0 && session.pieces >= svc.reset_after) {
    r.reset = true;
    return;
  }
  if (!ends_series(h.position)) return;
  const svc_entry_t* entry =
      session.image_index < session.entries.size() ? &session.entries[session.image_index] : nullptr;
  r.image_crc = session.image_crc;
  r.image_length = session.image_length;
  r.image_intact = entry && entry->length == session.image_length && entry->crc == session.image_crc;
  r.image_name = entry ? entry->name : "";
  ++session.image_index;
  session.polls = 0;
  const std::uint32_t error = r.image_intact ? svc.image_error : 1;
  add_text_answer(r, h, error, std::string("{\"ResetFlag\":") + (svc.reset_flag ? "1" : "0") + "}");
}

void on_status(const sim_svc_t& svc, svc_session_t& session, const svc_header_t& h,
               svc_reaction_t& r) {
  if (svc.status == svc_status_t::silence) return;
  ++session.polls;
  const bool finished = session.polls >= svc.finish_after;
  const bool failing =
      svc.status == svc_status_t::error ||
      (svc.status_error_image >= 0 &&
       session.image_index == static_cast<std::size_t>(svc.status_error_image) + 1);
  add_text_answer(r, h, failing ? 1 : 0,
                  std::string("{\"FinishFlag\":") + (finished ? "1" : "0") + "}");
}

void on_package_header(const sim_svc_t& svc, const svc_header_t& h, svc_reaction_t& r) {
  if (svc.header_bare) return add_text_answer(r, h, svc.header_error, "");
  add_text_answer(r, h, svc.header_error,
                  svc.header_text.value_or("{\"InterModel\":\"" + svc.inter_model + "\"}"));
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
    if (ends_series(h->position)) {
      session.entries = read_entries(session.package_header);
      session.image_index = 0;
      on_package_header(svc, *h, r);
    }
  } else if (h->command == kSvcPieceCmd) {
    on_piece(svc, session, *h, payload, r);
  } else if (h->command == kSvcStatusCmd) {
    on_status(svc, session, *h, r);
  }
  return r;
}

}  // namespace mardo::sim
