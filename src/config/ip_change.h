#pragma once
// Giving one camera new addresses: "modifyDevIp" over multicast for a camera the multicast
// search found (its row shows the confirmed result), raw frames for any other (unconfirmed).
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/camera.h"
#include "config/config_prompts.h"

namespace mardo {

inline constexpr char kTextIpChanged[] = "修改IP成功";
inline constexpr char kTextIpChangeFailed[] = "修改IP失败";
inline constexpr int kIpQueryWaitMs = 3000;
// A handle of its own sees only the query's answers, whatever filter the search put on the
// adapter's shared one.
inline constexpr const char* kIpQueryFilter = "ether proto 0xFFF8";

// The standard dotted-quad parser (network byte order); 0xFFFFFFFF for a text that is not an
// address. And back: the four bytes in memory order, "%d.%d.%d.%d".
std::uint32_t dotted_value(std::string_view text);
std::string dotted_text(std::uint32_t address);

// What a typed address text stands for before it is sent: an address (the new IP, the start
// of a run), a netmask or a gateway.
enum class address_field_t { address, netmask, gateway };
// Why the text cannot be sent as that field, or empty when it can: four decimal octets 0..255
// joined by "." and nothing else, no octet with a leading zero (dotted_value reads those as
// octal), a netmask's ones contiguous from the top. An empty gateway is the dialog's "none".
// dotted_value reads what is refused as 255.255.255.255, or as octal: a camera would take it.
std::string address_text_fault(std::string_view text, address_field_t field);

// The MAC text as the multicast request and its answer carry it: every "-" becomes ":".
std::string camera_mac_text(std::string_view mac_text);

// The multicast request, seven lines, nothing escaped, with camera_mac_text of the row's MAC.
std::string modify_ip_request(std::string_view mac_text, std::string_view ip,
                              std::string_view netmask, std::string_view gateway);

// The IP set frame's command bytes: EtherType FF F2, address, netmask, gateway.
std::array<std::uint8_t, 14> ip_set_command(std::uint32_t ip, std::uint32_t netmask,
                                            std::uint32_t gateway);

// The set-IP frame to one camera through its adapter's shared handle: true when it went out
// (a null handle, without the capture library or the right to capture, sends nothing).
bool send_ip_set(const dev_info_t& adapter, const std::string& mac_text, std::uint32_t ip,
                 std::uint32_t netmask, std::uint32_t gateway);

struct camera_addresses_t {
  std::uint32_t netmask = 0;
  std::uint32_t gateway = 0;
};

// The IP query's answer: the payload as wait_raw_reply copied it and the answer's own length
// field. Netmask at 4, gateway at 8, in memory order; nothing unless both say 12.
std::optional<camera_addresses_t> ip_query_answer(std::span<const std::uint8_t> payload,
                                                  std::uint16_t length_field);

// The raw IP query to one camera on an adapter, answered within 3000 ms with a payload length
// of exactly 12, or nothing.
std::optional<camera_addresses_t> query_camera_ip(const dev_info_t& adapter,
                                                  const std::string& mac_text);

// The dialog's fields as the change of row `row` starts them.
ip_fields_t initial_ip_fields(const std::string& ip_text, std::optional<std::uint32_t> netmask,
                              std::optional<std::uint32_t> gateway);

// The change of one row (the first selected one, chosen by the caller; -1: none). The camera
// is taken as the dialog opens: the new address goes to it even when a search or a deletion
// moved its row meanwhile. Blocks for the query or the exchange, up to 3000 ms each.
void change_ip(device_state& state, int row, config_prompts& prompts);

// One camera given the three texts, by its transport, without a dialog: true when a multicast
// camera confirmed it, or the raw frame went out (false also without a capture handle).
bool apply_ip_change(device_state& state, const camera_t& camera, const ip_fields_t& fields,
                     bool* confirmed);

}  // namespace mardo
