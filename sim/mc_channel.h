#pragma once
// The multicast JSON channel of every camera: one UDP socket per camera, opened in the
// camera's namespace, served by the shared loop. Answers leave from the same socket.
#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "event_log.h"
#include "sim_config.h"
#include "sim_loop.h"

namespace mardo::sim {

class mc_channel {
 public:
  // `cameras` is the simulator's state; an accepted modifyDevIp changes it.
  mc_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log);
  mc_channel(const mc_channel&) = delete;
  mc_channel& operator=(const mc_channel&) = delete;
  ~mc_channel();

  // Opens and registers every camera's socket; false with *error naming the camera.
  bool open(std::string* error);

 private:
  struct datagram_t {
    sockaddr_in to{};
    std::vector<std::uint8_t> payload;
  };
  struct port_t {
    int fd = -1;
    int ifindex = 0;
    std::deque<datagram_t> pending;  // answers the socket had no room for
  };

  void on_event(std::size_t index, std::uint32_t events);
  void receive(std::size_t index);
  void send(std::size_t index, datagram_t d);
  // 1 sent, 0 no room now, -1 failed for good.
  int try_send(std::size_t index, const datagram_t& d);
  void flush(std::size_t index);

  std::vector<sim_camera_t>& cameras_;
  sim_loop& loop_;
  event_log& log_;
  std::vector<port_t> ports_;
};

}  // namespace mardo::sim
