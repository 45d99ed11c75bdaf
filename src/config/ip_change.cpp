#include "config/ip_change.h"

#include "net/socket_api.h"

#include <cstdio>
#include <cstring>

#include "core/text.h"
#include "net/byte_view.h"
#include "net/capture_port.h"
#include "net/multicast.h"
#include "net/raw_frame.h"

namespace mardo {

std::uint32_t dotted_value(std::string_view text) {
  const std::string copy(text);
  return inet_addr(copy.c_str());
}

std::string address_text_fault(std::string_view text, address_field_t field) {
  if (field == address_field_t::gateway && text.empty()) return {};
  std::uint32_t host_order = 0;
  std::size_t at = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (at >= text.size() || text[at] != '.') return "not four decimal octets joined by \".\"";
      ++at;
    }
    const std::size_t begin = at;
    unsigned value = 0;
    while (at < text.size() && at - begin < 4 && text[at] >= '0' && text[at] <= '9')
      value = value * 10 + static_cast<unsigned>(text[at++] - '0');
    if (at == begin || at - begin > 3) return "not four decimal octets joined by \".\"";
    if (value > 255) return "an octet above 255";
    if (at - begin > 1 && text[begin] == '0') return "an octet with a leading zero";
    host_order = host_order << 8 | value;
  }
  if (at != text.size()) return "not four decimal octets joined by \".\"";
  if (field == address_field_t::address && (host_order == 0 || host_order == 0xFFFFFFFF))
    return "not an address a camera can take";
  if (field == address_field_t::netmask && host_order == 0) return "a netmask without ones";
  // Ones contiguous from the top: the inverted mask is a run of ones from the bottom, and
  // adding one carries through all of them.
  if (field == address_field_t::netmask && (~host_order & (~host_order + 1)) != 0)
    return "a netmask whose ones are not contiguous";
  return {};
}

std::string dotted_text(std::uint32_t address) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(&address);
  char out[16];
  std::snprintf(out, sizeof out, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
  return out;
}

std::string camera_mac_text(std::string_view mac_text) {
  std::string mac(mac_text);
  for (char& c : mac)
    if (c == '-') c = ':';
  return mac;
}

std::string modify_ip_request(std::string_view mac_text, std::string_view ip,
                              std::string_view netmask, std::string_view gateway) {
  std::string out = "{\n\"cmd\":\"modifyDevIp\",\n\"mac\":\"";
  out += camera_mac_text(mac_text);
  out += "\",\n\"ip\":\"";
  out += ip;
  out += "\",\n\"netmask\":\"";
  out += netmask;
  out += "\",\n\"gateway\":\"";
  out += gateway;
  out += "\"\n}";
  return out;
}

std::array<std::uint8_t, 14> ip_set_command(std::uint32_t ip, std::uint32_t netmask,
                                            std::uint32_t gateway) {
  std::array<std::uint8_t, 14> c{0xFF, 0xF2};
  std::memcpy(c.data() + 2, &ip, 4);
  std::memcpy(c.data() + 6, &netmask, 4);
  std::memcpy(c.data() + 10, &gateway, 4);
  return c;
}

bool send_ip_set(const dev_info_t& adapter, const std::string& mac_text, std::uint32_t ip,
                 std::uint32_t netmask, std::uint32_t gateway) {
  const auto command = ip_set_command(ip, netmask, gateway);
  // The capture library gives 0 for a frame it sent; a null handle sends nothing.
  return adapter.pCapHandle &&
         send_raw_frame(adapter.pCapHandle.get(), adapter.aucMac, mac_text.c_str(), command.data(),
                        static_cast<int>(command.size())) == 0;
}

std::optional<camera_addresses_t> ip_query_answer(std::span<const std::uint8_t> payload,
                                                  std::uint16_t length_field) {
  // The length field must say 12 too: a longer one on an unpadded link still copies only the
  // 12 bytes that came.
  if (payload.size() != 12 || length_field != 12) return std::nullopt;
  byte_reader in(payload);
  in.skip(4);
  const auto netmask = in.bytes(4);
  const auto gateway = in.bytes(4);
  if (!in.ok()) return std::nullopt;
  camera_addresses_t a;
  std::memcpy(&a.netmask, netmask.data(), 4);
  std::memcpy(&a.gateway, gateway.data(), 4);
  return a;
}

std::optional<camera_addresses_t> query_camera_ip(const dev_info_t& adapter,
                                                  const std::string& mac_text) {
  capture_port_ptr port = capture_port::open(adapter.acName);
  if (!port) return std::nullopt;
  port->apply_filter(kIpQueryFilter);
  // Whatever came before the query is not its answer.
  port->drain();
  const std::uint8_t query[14] = {0xFF, 0xF8};
  send_raw_frame(port.get(), adapter.aucMac, mac_text.c_str(), query, sizeof query);
  std::uint8_t payload[512];
  std::uint16_t length = 0;
  const int got = wait_raw_reply(port.get(), adapter.aucMac, mac_text.c_str(), kEtherIpQuery,
                                 payload, sizeof payload, kIpQueryWaitMs, &length);
  if (got < 0) return std::nullopt;
  return ip_query_answer(std::span<const std::uint8_t>(payload, static_cast<std::size_t>(got)),
                         length);
}

ip_fields_t initial_ip_fields(const std::string& ip_text, std::optional<std::uint32_t> netmask,
                              std::optional<std::uint32_t> gateway) {
  ip_fields_t f;
  f.ip = ip_text;
  f.netmask = netmask ? dotted_text(*netmask) : "255.255.255.0";
  f.gateway = gateway ? dotted_text(*gateway) : "";
  return f;
}

bool apply_ip_change(device_state& state, const camera_t& camera, const ip_fields_t& fields,
                     bool* confirmed) {
  if (confirmed) *confirmed = false;
  const std::optional<dev_info_t>& adapter = camera.adapter;
  if (!adapter) return false;
  if (camera.multicast) {
    const std::string request = modify_ip_request(camera.mac, fields.ip, fields.netmask, fields.gateway);
    const bool ok =
        mc_exchange(adapter->acIpAddr[0], camera_mac_text(camera.mac).c_str(), request.c_str()) == 1;
    if (ok) state.list.set_text_of(camera.id, kColIp, wide_string(fields.ip));
    show_status(state, camera, ok ? kTextIpChanged : kTextIpChangeFailed);
    if (confirmed) *confirmed = ok;
    return ok;
  }
  return send_ip_set(*adapter, camera.mac, dotted_value(fields.ip), dotted_value(fields.netmask),
                     dotted_value(fields.gateway));
}

void change_ip(device_state& state, int row, config_prompts& prompts) {
  const std::optional<camera_t> camera = camera_at(state, row);
  if (!camera) return;
  ip_fields_t fields;
  if (camera->multicast) {
    fields = initial_ip_fields(camera->ip, camera->multicast->uiNetmask, camera->multicast->uiGateway);
  } else {
    if (!camera->adapter) return;
    const auto found = query_camera_ip(*camera->adapter, camera->mac);
    fields = initial_ip_fields(camera->ip, found ? std::optional(found->netmask) : std::nullopt,
                               found ? std::optional(found->gateway) : std::nullopt);
  }
  if (!prompts.edit_ip(fields)) return;
  apply_ip_change(state, *camera, fields, nullptr);
}

}  // namespace mardo
