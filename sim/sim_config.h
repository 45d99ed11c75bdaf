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
//   set_ip_moves_interface (bool, true)  a 0xFFF2 set-IP or an accepted modifyDevIp also
//                                  readdresses the interface
//   move_delay_ms (int, 0)         a 0xFFF2 set-IP or an accepted modifyDevIp takes effect (the
//                                  answers' addresses and the interface) this long after it
//                                  came or was answered, as after a network restart
//   raw_set_ip (bool, true)        take a 0xFFF2 set-IP frame (false: record it and keep the
//                                  old addresses)
//   reboot_ms (int, 0)             a reboot frame (0xFFF1 to the camera's MAC) silences every
//                                  channel this long; the frame is recorded either way
//
// Multicast JSON channel (UDP 224.0.0.99:9981; answers go to port 9982):
//   mc_search (bool, true)         answer "devSearch"
//   mc_modify (bool, true)         answer (and act on) "modifyDevIp"
//   mc_mac (string, the MAC as "02:AB:..", uppercase)   "mac" text exactly as sent; a
//                                  modifyDevIp is for this camera when its "mac" equals this
//                                  text ignoring letter case and ":"/"-"
//   mc_reply_to ("requester")      "requester": to the request's source address and port;
//                                  "group": to 224.0.0.99:9982
//   mc_modify_err ("noerror")      "errMsg" of the modifyDevIp answer; only "noerror" makes the
//                                  camera take the new addresses
//   mc_answers ([{}])              one devSearch answer per element, each an object of optional
//                                  overrides:
//       delay_ms (int)             from the request's arrival, reply_delay_ms added
//       to ("requester"|"group")   instead of mc_reply_to
//       ip, netmask, gateway, mac, version, model (any JSON value)   replace that member's
//                                  value in this answer only
//       text (string)              sent instead of the generated JSON
//       identify (uint32)          header identify instead of 0x5ABABABA
//       data_len (uint32)          header length instead of the text's; the whole text is sent
//   mc_modify_answers ([{}])       the same for the modifyDevIp answer, with "mac" and
//                                  "err" (the "errMsg" value) as the members to replace
//
// TFTP server (UDP 69, answers from 69; every received file is logged as "tftp-file" with
// "len" its size and "hex" its CRC-32, big-endian):
//   tftp (bool, true)              serve at all
//   tftp_plain_ack (bool, false)   answer a write request with ACK 0, not the option ack
//   tftp_last ("ack")              the last block: "ack", "error3", "error8" or "silence"
//   tftp_stop_after (int, -1)      answer nothing from this many data blocks on
//   tftp_duplicate_acks (bool, false)  every acknowledgement twice
//   tftp_late_ack_ms (int, 0)      every acknowledgement this late
//
// Command port (TCP 8117; logged as "cmd", "cmd-sent", "cmd-file"):
//   cmd (bool, true)               listen at all
//   cmd_accept_models (bool, true) take a set-model request (status 1) or refuse it (status 0)
//   product_model, hardware_model ("")  what a model query reports until a set-model request
//                                  is taken
// 21380 is answered with 21381 (status 1), 24579 with 24580 and the two 128-byte fields;
// any other command closes the connection.
//
// Upgrade service (TCP 9300; logged as "svc", "svc-sent"):
//   svc (bool, true)               listen at all
//   svc_param ("answer")           what a getDevParam gets: "answer", "silence" (the
//                                  connection stays open) or "close"
//   svc_param_err ("noerror")      its "errMsg"
//   inter_model, extern_model (the camera's model)   its "interModel" and "externModel"
//   svc_param_text (string)        sent instead of the generated reply
//   svc_param_fragment (int, 0)    reply payload bytes per fragment; 0: one fragment
//   svc_param_error (uint32, 0)    error word of every reply fragment
//   svc_header_text (string)       the answer to the four-fragment package header, instead
//                                  of {"InterModel":"<inter_model>"}
//   svc_header_error (uint32, 0)   its error word
//   svc_header_bare (bool, false)  that answer as a bare header, without its text
//   svc_reset_flag (bool, true)    the restart flag reported after each image
//   svc_image_error (uint32, 0)    error word of that report even for an intact image (an
//                                  image whose CRC-32 or length differs from its header
//                                  entry always gets 1)
//   svc_finish_after (int, 1)      the status query of an image that reports it finished
//   svc_status ("answer")          status queries: "answer", "silence" or "error" (error word 1)
//   svc_status_error_image (int, -1)  the status queries of this image (0-based) get error word 1
//   svc_split_ms (int, -1)         every answer as two writes: the header, then its text this
//                                  many ms later (-1: one write)
//   svc_unsized (bool, false)      every answer's header states length 0, its text behind it
//   svc_reset_after (int, -1)      reset the connection after this many pieces of it
//   svc_after_patch (bool, false)  with "svc": false, start the service svc_restart_ms (2000)
//                                  after a "patch.bin" came whole by TFTP
//
//
// Video server (RTSP on TCP 554, the stream interleaved or over UDP from port 6970; logged
// as rtsp_channel.h says; the stream's bytes as rtsp_camera.h says):
//   rtsp (bool, true)              listen at all
//   rtsp_track (int, 1)            the SDP's "a=control:trackID=<n>"; -1: "a=control:*"
//                                  instead (any trackID is set up either way)
//   rtsp_fps (int, 25), rtsp_kbps (int, 256)   frame rate and the bit rate the frames make
//   rtsp_gop (int, 25)             every this many frames, the first included, an IDR frame
//                                  with SPS and PPS before it
//   rtsp_payload (int, 1400)       RTP payload bytes at most; longer NAL units go as FU-A
//   rtsp_seq_start (int, 65500)    first RTP sequence number of each connection
//   rtsp_session (" <16 hex digits>;timeout=60", the digits from the MAC)   the Session
//                                  header's value: everything after "Session:", blanks
//                                  included
//   rtsp_play_status (int, 200)    status of a PLAY; only 200 starts the stream
//   rtsp_describe ("answer")       "answer", "silence" (no request of the connection is
//                                  answered; it stays open) or "close" (a DESCRIBE hangs up)
//   rtsp_lose_nal (int, -1)        on every connection, the NAL unit of this serial goes
//                                  without its second fragment (it needs 3 or more)
//   rtsp_dark ({"play_ms": A, "dark_ms": B}, none)   the camera's first playing connection
//                                  sends no media for B ms from A ms after its PLAY, while
//                                  requests are still answered
//   power_cuts ([{"play_ms": A, "off_ms": B}, ...], [])   the k-th cut comes A ms after the
//                                  camera's k-th PLAY that started a stream since camsim
//                                  started: its RTSP connections are reset, 554 and 8200
//                                  refuse connections and every channel is silent for B ms
//   port8200 (bool, false)         listen on TCP 8200 and close what connects at once
// A camera that is rebooting closes new RTSP connections at once.
//
// Factory test (0xFFF5 requests and 0xFFF6 presence probes, answered to the requester):
//   factory (bool, true)           answer the test requests at all
//   presence (bool, true)          answer presence probes (never while rebooting)
//   switch1, switch2 (int, 30)     result values of requests 0 and 7
//   chip (int, 1), sd (int, 3)     results of requests 2 and 3
//   reset_press_ms (int, 0)        request 6 is answered (value 1) this long after it came;
//                                  -1: the key is never pressed
//   clock_offset_s (int, 0)        the camera's clock runs this far ahead of what was set
//   tz_index (int, 14)             time-zone index of the clock reply (34 and more: no entry)
//   rs485_1, rs485_2 ([baud, bits, parity, stop, mode], [3, 3, 0, 0, 0])  the settings
//                                  records of request 5's reply
//   rs485_pty (string, "")         a link to create to the camera's RS485 port (rs485_channel.h)
// The clock is UTC as set by the last 0xFFF3 frame (the workstation's clock before any),
// reported in the camera's zone.
//
// A request counts only with identify 0x5ABABABA and a length of 1 up to the bytes that
// follow; its text ends there or at a NUL. Other datagrams, other "cmd"s and texts that are
// not a JSON object are only recorded. A modifyDevIp whose ip, netmask or gateway is not a
// dotted address (blanks around it are allowed; an empty gateway means 0.0.0.0) changes
// nothing and is answered with errMsg "invalid param". An undelayed answer leaves before the
// camera moves to its new address.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cmd_camera.h"
#include "rtsp_camera.h"
#include "svc_camera.h"
#include "tftp_camera.h"

namespace mardo::sim {

using mac_t = std::array<std::uint8_t, 6>;
// IPv4 address as its four bytes on the wire, first octet first.
using ipv4_t = std::array<std::uint8_t, 4>;

inline constexpr int kMaxFrame = 1514;  // veth MTU 1500 plus the Ethernet header
inline constexpr int kText44Size = 34;  // offsets 44..77 of the search answer
inline constexpr int kMaxReplyDelayMs = 60000;
// UDP payload of one datagram over IPv4, header included.
inline constexpr int kMaxMcDatagram = 65507;

enum class mc_dest_t { requester, group };

// One answer to a multicast request; what is not set comes from the camera.
struct mc_answer_t {
  int delay_ms = 0;
  std::optional<mc_dest_t> to;
  // Member name ("ip", "errMsg", ...) and the JSON value replacing it, as JSON text.
  std::vector<std::pair<std::string, std::string>> members;
  std::optional<std::string> text;
  std::optional<std::uint32_t> identify;
  std::optional<std::uint32_t> data_len;
};

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
  int move_delay_ms = 0;
  bool raw_set_ip = true;
  int reboot_ms = 0;

  // Multicast channel behaviour.
  bool mc_search = true;
  bool mc_modify = true;
  std::string mc_mac;  // the config reader fills in the uppercase default
  mc_dest_t mc_reply_to = mc_dest_t::requester;
  std::string mc_modify_err = "noerror";
  std::vector<mc_answer_t> mc_answers{mc_answer_t{}};
  std::vector<mc_answer_t> mc_modify_answers{mc_answer_t{}};

  // TFTP server behaviour.
  sim_tftp_t tftp;

  // TCP services; cmd's model texts are also run-time state.
  sim_cmd_t cmd;
  sim_svc_t svc;

  // Video server behaviour.
  sim_rtsp_t rtsp;

  // Factory test behaviour, and the clock set by the last 0xFFF3 frame (run-time).
  bool factory = true;
  bool presence = true;
  int switch1 = 30, switch2 = 30, chip = 1, sd = 3;
  int reset_press_ms = 0;
  int clock_offset_s = 0;
  int tz_index = 14;
  std::array<int, 5> rs485_1{3, 3, 0, 0, 0};
  std::array<int, 5> rs485_2{3, 3, 0, 0, 0};
  std::string rs485_pty;
  std::int64_t clock_skew_ms = 0;  // set clock minus the real UTC clock, as of the last 0xFFF3

  // Run-time state, not configuration: the address the interface carries now. Both channels
  // readdress it, and a move must delete what is really there.
  ipv4_t iface_ip{};
  // Until this CLOCK_MONOTONIC millisecond the camera is rebooting and answers nothing.
  std::uint64_t silent_until_ms = 0;
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
// Uppercase, colon-separated: the default "mac" text of the multicast answers.
std::string format_mac_upper(const mac_t& mac);
std::string format_ipv4(const ipv4_t& ip);
// Prefix length of a contiguous netmask, or -1.
int netmask_prefix(const ipv4_t& netmask);

}  // namespace mardo::sim
