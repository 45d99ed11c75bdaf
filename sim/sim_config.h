#pragma once
// The simulator's configuration: one behaviour record per camera, read from JSON.
//
// {"cameras": [{"netns": "t1-c0", "mac": "02:00:01:00:00:00", "ip": "192.0.2.10", ...}, ...]}
//
// Members of a camera (unknown members are ignored, so a config written for a later
// simulator still loads):
//   netns (string, required)       namespace the camera's interface lives in
//   ifname (string, "eth0")
//   mac (string, required)         six hex pairs joined by ":" or "-"
//   ip (string, required), netmask ("255.255.255.0"), gateway ("0.0.0.0")   dotted quads
//   version ("V1.0.0"), model ("IPC")                                     full texts
//   raw_search (bool, true)        answer the 0xFFF0 search
//   text44 (string, "")            placed at offset 44 of the search answer, at most 34 bytes
//   search_answer_len (int, 0)     0: natural length; else cut or zero-padded to this length
//   ip_query (bool, true)          answer the 0xFFF8 query
//   ip_query_len_field (int, 12)   length field of the 0xFFF8 answer; the payload stays 12 bytes
//   reply_delay_ms (int, 0)        delay before every answer
//   set_ip_moves_interface (bool, true)  a 0xFFF2 set-IP also readdresses the interface
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mardo::sim {

using mac_t = std::array<std::uint8_t, 6>;
// IPv4 address as its four bytes on the wire, first octet first.
using ipv4_t = std::array<std::uint8_t, 4>;

inline constexpr int kMaxFrame = 1514;  // veth MTU 1500 plus the Ethernet header
inline constexpr int kText44Size = 34;  // offsets 44..77 of the search answer
inline constexpr int kMaxReplyDelayMs = 60000;

struct sim_camera_t {
  std::string netns;
  std::string ifname = "eth0";
  mac_t mac{};
  ipv4_t ip{};
  ipv4_t netmask{255, 255, 255, 0};
  ipv4_t gateway{};
  std::string version = "V1.0.0";
  std::string model = "IPC";

  // Raw channel behaviour.
  bool raw_search = true;
  std::string text44;
  int search_answer_len = 0;
  bool ip_query = true;
  int ip_query_len_field = 12;
  int reply_delay_ms = 0;
  bool set_ip_moves_interface = true;
};

struct sim_config_t {
  std::vector<sim_camera_t> cameras;
};

// Gives the config, or nullopt with *error naming the member at fault
// ("cameras[2].mac: not a MAC address").
std::optional<sim_config_t> parse_sim_config(std::string_view json, std::string* error);

std::optional<mac_t> parse_mac(std::string_view text);
std::optional<ipv4_t> parse_ipv4(std::string_view text);
// Lowercase, colon-separated: the form the event log uses.
std::string format_mac(const mac_t& mac);
std::string format_mac(const std::uint8_t* mac);
std::string format_ipv4(const ipv4_t& ip);
// Prefix length of a contiguous netmask, or -1.
int netmask_prefix(const ipv4_t& netmask);

}  // namespace mardo::sim
