#pragma once
// The camera's side of the multicast JSON channel, as plain functions over a camera record
// so they can be checked without sockets.
//
// Datagram: uint32 LE identify 0x5ABABABA, uint32 LE text length, the JSON text (no NUL).
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim_config.h"

namespace mardo::sim {

inline constexpr std::uint32_t kMcIdentify = 0x5ABABABA;
inline constexpr std::size_t kMcHeader = 8;
inline constexpr ipv4_t kMcGroup = {224, 0, 0, 99};
inline constexpr std::uint16_t kMcCameraPort = 9981;  // cameras listen here
inline constexpr std::uint16_t kMcToolPort = 9982;    // the tool sends from and listens here

inline constexpr std::string_view kMcNoError = "noerror";
// errMsg of a modifyDevIp whose addresses are not addresses: the camera changed nothing.
inline constexpr std::string_view kMcBadValue = "invalid param";

// One datagram the camera sends, `delay_ms` after the request arrived.
struct mc_send_t {
  int delay_ms = 0;
  mc_dest_t to = mc_dest_t::requester;
  std::vector<std::uint8_t> payload;
};

struct mc_reaction_t {
  std::vector<mc_send_t> answers;  // in the order of the camera's answer list
  bool ip_changed = false;         // a modifyDevIp changed ip/netmask/gateway
};

// Header and text; identify and length as the answer overrides them, the text always whole.
std::vector<std::uint8_t> frame_mc_text(std::string_view text, const mc_answer_t& answer);

// The JSON text of a request, or nullopt when the header is wrong or claims more text than
// the datagram holds. The text ends at its header length or at a NUL, whichever is first.
std::optional<std::string_view> mc_request_text(std::span<const std::uint8_t> datagram);

// Whether two MAC texts name the same MAC: letter case and ":"/"-" do not count.
bool same_mac_text(std::string_view a, std::string_view b);

// A dotted IPv4 address with blanks around it; nullopt otherwise.
std::optional<ipv4_t> parse_request_ipv4(std::string_view text);

std::string build_search_rsp_text(const sim_camera_t& cam, const mc_answer_t& answer);
std::string build_modify_rsp_text(const sim_camera_t& cam, const mc_answer_t& answer,
                                  std::string_view err_msg);

// Decides on one received datagram. An accepted modifyDevIp updates cam's addresses.
mc_reaction_t react_to_mc_datagram(sim_camera_t& cam, std::span<const std::uint8_t> datagram);

}  // namespace mardo::sim
