#include "mc_camera.h"

#include <cjson/cJSON.h>

#include <memory>

#include "event_log.h"
#include "net/byte_view.h"

namespace mardo::sim {
namespace {

struct json_deleter {
  void operator()(cJSON* p) const { cJSON_Delete(p); }
};
using json_ptr = std::unique_ptr<cJSON, json_deleter>;

// A string member, or nullopt when it is missing or of another type.
std::optional<std::string> string_member(const cJSON* obj, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(obj, key);
  if (!cJSON_IsString(item)) return std::nullopt;
  return std::string(item->valuestring);
}

// The object printed with the answer's replacements in place of the camera's values.
std::string print_answer(cJSON* obj, const mc_answer_t& answer) {
  for (const auto& [name, value] : answer.members) {
    cJSON* item = cJSON_Parse(value.c_str());
    if (!item) continue;
    if (cJSON_GetObjectItemCaseSensitive(obj, name.c_str())) {
      cJSON_ReplaceItemInObjectCaseSensitive(obj, name.c_str(), item);
    } else {
      cJSON_AddItemToObject(obj, name.c_str(), item);
    }
  }
  std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(obj), &cJSON_free);
  return text ? std::string(text.get()) : std::string();
}

char mac_char(char c) {
  if (c == '-') return ':';
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  return c;
}

mc_send_t make_send(const sim_camera_t& cam, const mc_answer_t& answer,
                    const std::string& generated) {
  mc_send_t s;
  s.delay_ms = answer.delay_ms + cam.reply_delay_ms;
  s.to = answer.to.value_or(cam.mc_reply_to);
  s.payload = frame_mc_text(answer.text ? *answer.text : generated, answer);
  return s;
}

}  // namespace

std::vector<std::uint8_t> frame_mc_text(std::string_view text, const mc_answer_t& answer) {
  std::vector<std::uint8_t> d(kMcHeader + text.size(), 0);
  put_le32(&d[0], answer.identify.value_or(kMcIdentify));
  put_le32(&d[4], answer.data_len.value_or(static_cast<std::uint32_t>(text.size())));
  std::copy(text.begin(), text.end(), d.begin() + kMcHeader);
  return d;
}

std::optional<std::string_view> mc_request_text(std::span<const std::uint8_t> datagram) {
  byte_reader in(datagram);
  std::uint32_t identify = in.le32();
  std::uint32_t length = in.le32();
  if (!in.ok() || identify != kMcIdentify || length == 0) return std::nullopt;
  auto text = in.bytes(length);
  if (!in.ok()) return std::nullopt;
  return byte_reader(text).cstr();
}

bool same_mac_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (mac_char(a[i]) != mac_char(b[i])) return false;
  }
  return true;
}

std::optional<ipv4_t> parse_request_ipv4(std::string_view text) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return parse_ipv4(text);
}

std::string build_search_rsp_text(const sim_camera_t& cam, const mc_answer_t& answer) {
  json_ptr obj(cJSON_CreateObject());
  cJSON_AddStringToObject(obj.get(), "cmd", "devSearchRsp");
  cJSON_AddNumberToObject(obj.get(), "type", 1);
  cJSON_AddStringToObject(obj.get(), "mac", cam.mc_mac.c_str());
  cJSON_AddStringToObject(obj.get(), "ip", format_ipv4(cam.ip).c_str());
  cJSON_AddStringToObject(obj.get(), "netmask", format_ipv4(cam.netmask).c_str());
  cJSON_AddStringToObject(obj.get(), "gateway", format_ipv4(cam.gateway).c_str());
  cJSON_AddStringToObject(obj.get(), "version", cam.version.c_str());
  cJSON_AddStringToObject(obj.get(), "model", cam.model.c_str());
  return print_answer(obj.get(), answer);
}

std::string build_modify_rsp_text(const sim_camera_t& cam, const mc_answer_t& answer,
                                  std::string_view err_msg) {
  json_ptr obj(cJSON_CreateObject());
  cJSON_AddStringToObject(obj.get(), "cmd", "modifyDevIpRsp");
  cJSON_AddStringToObject(obj.get(), "mac", cam.mc_mac.c_str());
  cJSON_AddStringToObject(obj.get(), "errMsg", std::string(err_msg).c_str());
  return print_answer(obj.get(), answer);
}

mc_reaction_t react_to_mc_datagram(sim_camera_t& cam, std::span<const std::uint8_t> datagram) {
  mc_reaction_t r;
  if (cam.silent_until_ms > monotonic_ms()) return r;
  auto text = mc_request_text(datagram);
  if (!text) return r;
  json_ptr request(cJSON_ParseWithLength(text->data(), text->size()));
  if (!cJSON_IsObject(request.get())) return r;
  std::string cmd = string_member(request.get(), "cmd").value_or("");

  if (cmd == "devSearch") {
    if (!cam.mc_search) return r;
    for (const mc_answer_t& answer : cam.mc_answers) {
      r.answers.push_back(make_send(cam, answer, build_search_rsp_text(cam, answer)));
    }
  } else if (cmd == "modifyDevIp") {
    if (!cam.mc_modify) return r;
    auto mac = string_member(request.get(), "mac");
    if (!mac || !same_mac_text(*mac, cam.mc_mac)) return r;
    std::string err = cam.mc_modify_err;
    if (err == kMcNoError) {
      auto ip = parse_request_ipv4(string_member(request.get(), "ip").value_or(""));
      auto netmask = parse_request_ipv4(string_member(request.get(), "netmask").value_or(""));
      // The tool's dialog leaves the gateway empty when it knows none.
      std::string gateway_text = string_member(request.get(), "gateway").value_or("");
      auto gateway = gateway_text.find_first_not_of(" \t") == std::string::npos
                         ? std::optional<ipv4_t>(ipv4_t{})
                         : parse_request_ipv4(gateway_text);
      if (ip && netmask && gateway) {
        cam.ip = *ip;
        cam.netmask = *netmask;
        cam.gateway = *gateway;
        r.ip_changed = true;
      } else {
        err = kMcBadValue;
      }
    }
    for (const mc_answer_t& answer : cam.mc_modify_answers) {
      r.answers.push_back(make_send(cam, answer, build_modify_rsp_text(cam, answer, err)));
    }
  }
  // Anything else is only recorded.
  return r;
}

}  // namespace mardo::sim
