#pragma once
// The video server of every camera: RTSP on TCP 554 in the camera's namespace, the RTP
// stream interleaved on that connection or as UDP datagrams from port 6970 (RTCP sender
// reports once a second, on channel 1 or from 6971 to the client's next port), and with
// port8200 a listener on TCP 8200 that hangs up on whoever connects. Frames are paced by
// the loop's timers; a connection that cannot take them keeps at most kRtspMaxQueue bytes
// and skips whole frames beyond that.
//
// Logged (peer "src"/"dst" as "ip:port" of the RTSP connection):
//   "rtsp"          a whole received request: "len", "hex" its bytes
//   "rtsp-sent"     an answer, "dst"
//   "rtsp-play"     the stream starts: "transport" "tcp" or "udp", with UDP "client_port"
//   "rtsp-closed"   the connection ended: "nals" NAL units sent on it, "dropped_frames"
//                   frames skipped for a full send queue, "reset" true when a power cut
//                   ended it
//   "rtsp-lost"     rtsp_lose_nal: "serial" of the NAL unit sent without its second fragment
//   "rtsp-error"    "text": why a fault could not be played (rtsp_lose_nal names a NAL unit
//                   of fewer than 3 fragments)
//   "rtsp-dark"     rtsp_dark: the media stops, "dark_ms"; "rtsp-light" it may resume
//   "rtsp-cut"      a power cut, "off_ms" (no peer); "rtsp-back" the camera listens again
//   "port8200"      a connection to 8200, "src", closed at once
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "event_log.h"
#include "rtsp_camera.h"
#include "sim_config.h"
#include "sim_loop.h"

namespace mardo::sim {

inline constexpr std::uint16_t kRtspPort = 554;
inline constexpr std::uint16_t kRtpServerPort = 6970;  // RTCP from the next port
inline constexpr std::uint16_t kPort8200 = 8200;
inline constexpr std::size_t kRtspMaxQueue = std::size_t{4} << 20;

class rtsp_channel {
 public:
  rtsp_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log);
  rtsp_channel(const rtsp_channel&) = delete;
  rtsp_channel& operator=(const rtsp_channel&) = delete;
  ~rtsp_channel();

  bool open(std::string* error);

 private:
  struct camera_t {
    int rtsp_listener = -1;
    int listener_8200 = -1;
    int rtp_fd = -1;
    int rtcp_fd = -1;
    std::uint32_t ssrc = 0;
    std::string mac;
    rtsp_camera_state_t state;
    std::uint64_t cut_generation = 0;  // a power-on cancels older ones
  };
  struct connection_t {
    std::uint64_t id = 0;
    std::size_t camera = 0;
    std::string peer;
    std::string local_ip;
    ipv4_t peer_ip{};
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    std::size_t out_head = 0;  // bytes of `out` already sent
    bool writing = false;      // watched for EPOLLOUT
    bool close_when_sent = false;
    rtsp_conn_state_t state;
    std::optional<rtp_stream> stream;
    std::uint64_t play_generation = 0;  // a PLAY or TEARDOWN ends the pacing of the one before
    std::uint64_t play_start_ms = 0;
    std::uint64_t tick = 0;
    std::uint64_t next_report_ms = 0;
    bool dark = false;
    std::uint64_t dropped_frames = 0;
  };

  bool listen(std::size_t camera, std::string* error);
  void accept_rtsp(std::size_t camera);
  void accept_8200(std::size_t camera);
  void on_connection(int fd, std::uint32_t events);
  // Takes every whole request at the front of the input; false when the camera hangs up.
  bool serve(int fd, connection_t& c);
  void start_play(int fd, connection_t& c);
  void send_frame(int fd, std::uint64_t id, std::uint64_t generation);
  void send_report(connection_t& c);
  void queue(connection_t& c, std::span<const std::uint8_t> bytes);
  // False when the connection is to go: a send failed, or all is out of one closing.
  bool flush(int fd, connection_t& c);
  void drop(int fd, bool reset);
  void power_cut(std::size_t camera, int off_ms);
  void power_on(std::size_t camera, std::uint64_t generation);
  // `fd` and `id` still name the same connection.
  connection_t* find(int fd, std::uint64_t id);
  void log_event(std::size_t camera, const char* channel, const std::string& peer_key,
                 const std::string& peer, const std::string& members);

  std::vector<sim_camera_t>& cameras_;
  sim_loop& loop_;
  event_log& log_;
  std::vector<camera_t> cams_;
  std::map<int, connection_t> connections_;
  std::uint64_t next_id_ = 1;
  // Scratch of the frame being sent, kept for its capacity.
  rtp_frame_t frame_;
  std::vector<iovec> iovecs_;
  std::vector<mmsghdr> messages_;
};

}  // namespace mardo::sim
