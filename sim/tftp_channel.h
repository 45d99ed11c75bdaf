#pragma once
// The TFTP server of every camera: one UDP socket on port 69 per camera, in its namespace,
// answering from that same port. Each received file is logged with its size and CRC-32.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "event_log.h"
#include "sim_config.h"
#include "sim_loop.h"
#include "tftp_camera.h"

namespace mardo::sim {

inline constexpr std::uint16_t kTftpServerPort = 69;

class tftp_channel {
 public:
  tftp_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log);
  tftp_channel(const tftp_channel&) = delete;
  tftp_channel& operator=(const tftp_channel&) = delete;
  ~tftp_channel();

  bool open(std::string* error);
  // Told of every file received whole: the camera's index and the file's name.
  void set_file_hook(std::function<void(std::size_t, const std::string&)> hook) {
    on_file_ = std::move(hook);
  }

 private:
  struct port_t {
    int fd = -1;
    tftp_session_t session;
  };
  void receive(std::size_t index);

  std::vector<sim_camera_t>& cameras_;
  sim_loop& loop_;
  event_log& log_;
  std::vector<port_t> ports_;
  std::function<void(std::size_t, const std::string&)> on_file_;
};

// Opens camera i's TFTP socket in the current namespace (for open_camera_sockets).
int open_tftp_socket(const std::string& ifname, int* ifindex, std::string* error);

}  // namespace mardo::sim
