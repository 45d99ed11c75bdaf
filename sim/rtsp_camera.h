#pragma once
// A camera's RTSP server as the tool's stream probe meets it: DESCRIBE, SETUP (interleaved
// TCP or UDP), PLAY, GET_PARAMETER and TEARDOWN, and the H.264 stream over RTP that follows
// a PLAY. Pure: request text in, answer text out, frames in a buffer; the channel does the
// sockets and the clock.
//
// Every NAL unit describes itself, so a receiver can check that it came whole and in order:
//   byte 0      the NAL header (0x67 SPS, 0x68 PPS, 0x65 IDR slice, 0x41 other slice)
//   bytes 1..4  its serial, big-endian: NAL units sent on the connection before it
//   bytes 5..8  its length, big-endian, header byte included (at least 9)
//   byte i > 8  (serial + i) & 0xFF
// Every rtsp_gop-th frame, the first included, is an SPS, a PPS and an IDR slice; the other
// frames are one slice each, all kbps * 125 / fps bytes. A NAL unit longer than the payload
// goes as FU-A fragments; the marker bit is on the last packet of each frame.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mardo::sim {

inline constexpr std::uint8_t kRtpPayloadType = 96;
inline constexpr int kRtpClock = 90000;
inline constexpr std::size_t kRtpHeaderSize = 12;
inline constexpr std::size_t kInterleavedHeaderSize = 4;  // '$', channel, 16-bit length
inline constexpr std::size_t kNalMin = 9;                 // header, serial and length
inline constexpr std::size_t kRtcpSrSize = 28;
// A request without its blank line by then is not a client's.
inline constexpr std::size_t kRtspMaxRequest = 8192;

// What a DESCRIBE gets: the SDP, nothing (no request is answered at all), or a hang-up.
enum class rtsp_describe_t { answer, silence, close };

struct rtsp_dark_t {
  int play_ms = 0;  // after the PLAY
  int dark_ms = 0;  // no media this long
};

struct power_cut_t {
  int play_ms = 0;  // after the camera's PLAY of the same rank
  int off_ms = 0;
};

struct sim_rtsp_t {
  bool enabled = true;
  int track = 1;  // -1: the SDP names no track ("a=control:*")
  int fps = 25;
  int kbps = 256;
  int gop = 25;
  int payload = 1400;  // RTP payload bytes at most
  int seq_start = 65500;
  std::string session;  // after "Session:"; the config reader fills in the default
  int play_status = 200;
  rtsp_describe_t describe = rtsp_describe_t::answer;
  int lose_nal = -1;  // serial of the NAL unit whose second fragment is left out
  std::optional<rtsp_dark_t> dark;
  std::vector<power_cut_t> power_cuts;
  bool port8200 = false;
};

// What a camera takes from its MAC: the default session value and the SSRC.
std::uint64_t rtsp_camera_hash(std::span<const std::uint8_t> mac);
std::string rtsp_default_session(std::span<const std::uint8_t> mac);

struct rtsp_request_t {
  std::string method;
  std::string url;        // as in the request line, "rtsp://" included
  std::string cseq;       // echoed as given
  std::string transport;  // blanks around it trimmed
  std::string session;
};

// Bytes of the request at the front of `buffered`, its blank line included; nullopt while
// that line has not come.
std::optional<std::size_t> rtsp_request_size(std::span<const std::uint8_t> buffered);
// Nullopt when the first line is not "<method> <url> RTSP/1.0".
std::optional<rtsp_request_t> parse_rtsp_request(std::string_view text);

enum class rtsp_transport_t { none, tcp, udp };

struct rtsp_conn_state_t {
  rtsp_transport_t transport = rtsp_transport_t::none;
  int rtp_channel = 0;  // interleaved
  int rtcp_channel = 1;
  std::uint16_t client_port = 0;  // UDP: RTP there, RTCP on the next port
  bool playing = false;
};

enum class rtsp_action_t { none, play, stop, close };

struct rtsp_reaction_t {
  std::string answer;  // empty: nothing to send
  rtsp_action_t action = rtsp_action_t::none;
};

struct rtsp_context_t {
  std::string_view local_ip;      // the camera's address on this connection
  std::uint16_t server_port = 0;  // UDP RTP source port; RTCP from the next
  std::uint32_t ssrc = 0;
};

std::string rtsp_sdp(const sim_rtsp_t& rtsp, std::string_view local_ip);

rtsp_reaction_t react_to_rtsp(const sim_rtsp_t& rtsp, const rtsp_context_t& context,
                              rtsp_conn_state_t& state, const rtsp_request_t& request);

// One RTP packet inside rtp_frame_t::bytes, interleaved framing not counted.
struct rtp_packet_ref_t {
  std::size_t offset = 0;
  std::size_t size = 0;
};

struct rtp_frame_t {
  std::vector<std::uint8_t> bytes;  // the packets back to back, each framed when interleaved
  std::vector<rtp_packet_ref_t> packets;
  std::optional<std::uint32_t> lost_serial;   // a fragment of this NAL unit was left out
  std::optional<std::uint32_t> unfit_serial;  // was to lose one but has fewer than 3
};

// The media of one connection: NAL serials and sequence numbers run on across PLAYs.
class rtp_stream {
 public:
  rtp_stream(const sim_rtsp_t& rtsp, std::uint32_t ssrc);

  // Replaces `out` (capacity kept) with the next frame's packets; `tick` is frame intervals
  // since the PLAY, for the timestamp. interleave_channel -1: unframed, for UDP.
  void next_frame(std::uint64_t tick, int interleave_channel, rtp_frame_t& out);
  std::uint32_t timestamp(std::uint64_t tick) const;
  std::uint32_t nals_sent() const { return serial_; }
  std::uint32_t packets_sent() const { return packets_; }
  std::uint32_t octets_sent() const { return octets_; }

 private:
  void add_nal(std::uint8_t header, std::size_t length, bool last_of_frame, std::uint32_t ts,
               int interleave_channel, rtp_frame_t& out);
  void add_packet(bool marker, std::uint32_t ts, int interleave_channel,
                  std::span<const std::uint8_t> head, std::span<const std::uint8_t> data,
                  rtp_frame_t& out);

  const sim_rtsp_t& rtsp_;
  std::uint32_t ssrc_;
  std::uint16_t seq_;
  std::uint32_t serial_ = 0;
  std::uint64_t frames_ = 0;
  std::uint32_t packets_ = 0;
  std::uint32_t octets_ = 0;
  std::vector<std::uint8_t> nal_;  // scratch, kept for its capacity
};

// The NAL unit with that header, serial and length (for tests that rebuild the stream).
void fill_nal(std::uint8_t header, std::uint32_t serial, std::size_t length,
              std::vector<std::uint8_t>& out);

// A sender report; `ntp` is the 64-bit NTP time of `rtp_ts`.
std::array<std::uint8_t, kRtcpSrSize> rtcp_sender_report(std::uint32_t ssrc, std::uint64_t ntp,
                                                         std::uint32_t rtp_ts,
                                                         std::uint32_t packets,
                                                         std::uint32_t octets);

// What a camera's successful PLAY sets off, counted since the simulator started.
struct rtsp_camera_state_t {
  int plays = 0;
};
struct rtsp_play_plan_t {
  std::optional<rtsp_dark_t> dark;  // this connection goes dark
  std::optional<power_cut_t> cut;   // the camera loses power
};
rtsp_play_plan_t plan_play(const sim_rtsp_t& rtsp, rtsp_camera_state_t& state);

// One event line (with its line feed) of the RTSP channel without payload bytes; `members`
// is ",\"name\":value..." JSON text appended as it is, or empty. An empty peer_key leaves
// out the peer.
std::string format_rtsp_event(std::uint64_t t_ms, int camera, std::string_view camera_mac,
                              std::string_view channel, std::string_view peer_key,
                              std::string_view peer, std::string_view members);

}  // namespace mardo::sim
