#include "config/ip_change.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "app/core/text.h"
#include "net/capture_port.h"
#include "net/multicast.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

std::string row_mac(const device_list& list, int row) { return ansi_string(list.text(row, kColMac)); }

}  // namespace

std::uint32_t dotted_value(std::string_view text) {
  const std::string copy(text);
  return inet_addr(copy.c_str());
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
  // The answer's own length field must say 12: a longer one on an unpadded link still copies
  // only the 12 bytes that came.
  std::uint16_t length = 0;
  if (wait_raw_reply(port.get(), adapter.aucMac, mac_text.c_str(), kEtherIpQuery, payload,
                     sizeof payload, kIpQueryWaitMs, &length) != 12 ||
      length != 12)
    return std::nullopt;
  camera_addresses_t a;
  std::memcpy(&a.netmask, payload + 4, 4);
  std::memcpy(&a.gateway, payload + 8, 4);
  return a;
}

ip_fields_t initial_ip_fields(const std::string& ip_text, std::optional<std::uint32_t> netmask,
                              std::optional<std::uint32_t> gateway) {
  ip_fields_t f;
  f.ip = ip_text;
  f.netmask = netmask ? dotted_text(*netmask) : "255.255.255.0";
  f.gateway = gateway ? dotted_text(*gateway) : "";
  return f;
}

bool apply_ip_change(device_state& state, int row, const ip_fields_t& fields, bool* confirmed) {
  if (confirmed) *confirmed = false;
  device_list& list = state.list;
  const int adapter_index = row_adapter(list.tag(row));
  const std::string mac = row_mac(list, row);
  const std::optional<dev_info_t> adapter = state.adapters.at(adapter_index);
  if (!adapter) return false;
  if (state.addrs.lookup(mac)) {
    const std::string request = modify_ip_request(mac, fields.ip, fields.netmask, fields.gateway);
    const bool ok = mc_exchange(adapter->acIpAddr[0], camera_mac_text(mac).c_str(), request.c_str()) == 1;
    if (ok) list.set_text(row, kColIp, wide_string(fields.ip));
    list.set_text(row, kColInfo, wide_string(ok ? kTextIpChanged : kTextIpChangeFailed));
    if (confirmed) *confirmed = ok;
    return ok;
  }
  const auto command = ip_set_command(dotted_value(fields.ip), dotted_value(fields.netmask),
                                      dotted_value(fields.gateway));
  // The capture library gives 0 for a frame it sent; a null handle sends nothing.
  return adapter->pCapHandle &&
         send_raw_frame(adapter->pCapHandle.get(), adapter->aucMac, row_mac(list, row).c_str(),
                        command.data(), static_cast<int>(command.size())) == 0;
}

void change_ip(device_state& state, int row, config_prompts& prompts) {
  device_list& list = state.list;
  if (row < 0 || row >= list.count()) return;
  const std::string mac = row_mac(list, row);
  const std::string ip_text = ansi_string(list.text(row, kColIp));
  ip_fields_t fields;
  if (const std::optional<dev_addr_t> r = state.addrs.lookup(mac)) {
    fields = initial_ip_fields(ip_text, r->uiNetmask, r->uiGateway);
  } else {
    const std::optional<dev_info_t> adapter = state.adapters.at(row_adapter(list.tag(row)));
    if (!adapter) return;
    const auto found = query_camera_ip(*adapter, mac);
    fields = initial_ip_fields(ip_text, found ? std::optional(found->netmask) : std::nullopt,
                               found ? std::optional(found->gateway) : std::nullopt);
  }
  if (!prompts.edit_ip(fields)) return;
  apply_ip_change(state, row, fields, nullptr);
}

}  // namespace mardo
