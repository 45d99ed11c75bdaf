#pragma once
// The camera's side of the raw Ethernet channel (EtherTypes 0xFFF0..0xFFF8), as plain
// functions over a camera record so they can be checked without sockets.
#include <cstdint>
#include <span>
#include <vector>

#include "sim_config.h"

namespace mardo::sim {

inline constexpr std::uint16_t kEtherFirst = 0xFFF0;
inline constexpr std::uint16_t kEtherSearch = 0xFFF0;  // broadcast search request
inline constexpr std::uint16_t kEtherSearchAnswer =
    0xFFF1;  // camera to tool; tool to camera: reboot
inline constexpr std::uint16_t kEtherSetIp = 0xFFF2;
inline constexpr std::uint16_t kEtherSetClock = 0xFFF3;
inline constexpr std::uint16_t kEtherFactory = 0xFFF5;
inline constexpr std::uint16_t kEtherPresence = 0xFFF6;
inline constexpr std::uint16_t kEtherIpQuery = 0xFFF8;  // query and its answer
inline constexpr std::uint16_t kEtherLast = 0xFFF8;

inline constexpr int kSearchAnswerTextOffset = 44;
inline constexpr int kSearchAnswerVersionOffset = 78;
inline constexpr int kIpQueryPayload = 12;
inline constexpr int kSetIpFrame = 26;  // header + ip, netmask, gateway

// What the camera does with one received frame.
struct raw_reaction_t {
  bool record = false;               // the frame belongs in the event log
  std::vector<std::uint8_t> answer;  // empty: nothing to send
  bool ip_changed = false;           // a set-IP frame changed ip/netmask/gateway
  bool reboot = false;               // a reboot frame to this camera
  int answer_delay_ms = 0;           // the answer goes this much later (a RESET press)
};

// Search answer to `requester`: 14..17 IPv4, 44..77 text44, 78.. version NUL model NUL;
// cut or zero-padded to search_answer_len when that is not 0.
std::vector<std::uint8_t> build_search_answer(const sim_camera_t& cam, const mac_t& requester);

// 0xFFF8 answer: length field (LE) at 14, then ip, netmask, gateway.
std::vector<std::uint8_t> build_ip_query_answer(const sim_camera_t& cam, const mac_t& requester);

// The reply to a factory request (id and its data), or empty for none.
std::vector<std::uint8_t> build_factory_answer(sim_camera_t& cam, const mac_t& requester,
                                               std::uint16_t id, int* delay_ms);

// Decides on one received frame (already known not to be one the camera sent itself).
// A set-IP frame updates cam's addresses; a camera that is rebooting only records.
raw_reaction_t react_to_frame(sim_camera_t& cam, std::span<const std::uint8_t> frame);

}  // namespace mardo::sim
