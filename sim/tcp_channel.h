#pragma once
// The TCP services of every camera: the command port 8117 and the upgrade service 9300,
// each a listening socket in the camera's namespace, every connection served by the
// shared loop. What comes in and what goes out is logged:
//   "cmd"/"svc"            a whole received message, "src" its sender; "len" its size, "hex"
//                          its bytes (a set-model request's up to the model part, a package
//                          piece's header only)
//   "cmd-sent"/"svc-sent"  an answer, "dst" the peer
//   "svc-image"            an image complete and matching its header entry ("svc-image-bad"
//                          when not): "len" its size, "hex" its CRC-32, big-endian
//   "svc-reset"            the camera reset the connection, as told
//   "cmd-file"             the package of a set-model request: "len" its size, "hex" its
//                          CRC-32, big-endian
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cmd_camera.h"
#include "event_log.h"
#include "sim_config.h"
#include "sim_loop.h"
#include "svc_camera.h"

namespace mardo::sim {

inline constexpr std::uint16_t kCmdPort = 8117;
inline constexpr std::uint16_t kSvcPort = 9300;

class tcp_channel {
 public:
  tcp_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log);
  tcp_channel(const tcp_channel&) = delete;
  tcp_channel& operator=(const tcp_channel&) = delete;
  ~tcp_channel();

  bool open(std::string* error);
  // Starts camera i's upgrade service now (a camera back from its bootstrap restart).
  bool start_service(std::size_t camera, std::string* error);

 private:
  enum class service_t { cmd, svc };
  struct connection_t {
    std::size_t camera = 0;
    service_t service = service_t::cmd;
    std::string peer;
    std::vector<std::uint8_t> in;
    std::vector<std::uint8_t> out;
    bool close_when_sent = false;
    bool reset = false;
    svc_session_t svc;
    // A split answer's text waits here, and everything after it, until its timer.
    std::vector<std::uint8_t> held;
    bool holding = false;
    std::uint64_t serial = 0;  // tells a timer's connection from a later one on the same fd
  };

  bool open_service(service_t service, std::string* error);
  void accept_on(int listener, std::size_t camera, service_t service);
  void on_connection(int fd, std::uint32_t events);
  // Takes every whole message at the front of the input; false when the camera hangs up.
  bool serve(int fd, connection_t& c);
  void flush(int fd, connection_t& c);
  // Queues an answer of the upgrade service, split in two writes when the camera does that.
  void queue_svc_answer(int fd, connection_t& c, std::span<const std::uint8_t> sized);
  void drop(int fd);
  void log(const connection_t& c, const char* channel, const char* peer_key,
           std::span<const std::uint8_t> bytes, std::size_t wire_len);

  std::vector<sim_camera_t>& cameras_;
  sim_loop& loop_;
  event_log& log_;
  // Per camera, -1 where the service is off. Members, so the accept handlers may refer
  // to them after open().
  std::vector<int> cmd_listeners_;
  std::vector<int> svc_listeners_;
  std::map<int, connection_t> connections_;
  std::uint64_t next_serial_ = 0;
};

}  // namespace mardo::sim
