#pragma once
// The raw Ethernet channel of every camera: one AF_PACKET socket per camera, opened in
// the camera's namespace, served by the shared loop.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "event_log.h"
#include "sim_config.h"
#include "sim_loop.h"

namespace mardo::sim {

class raw_channel {
 public:
  // `cameras` is the simulator's state; set-IP frames change it.
  raw_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log);
  raw_channel(const raw_channel&) = delete;
  raw_channel& operator=(const raw_channel&) = delete;
  ~raw_channel();

  // Opens and registers every camera's socket; false with *error naming the camera.
  bool open(std::string* error);

 private:
  struct port_t {
    int fd = -1;
    int ifindex = 0;
    std::deque<std::vector<std::uint8_t>> pending;  // answers the socket had no room for
  };

  void on_event(std::size_t index, std::uint32_t events);
  void receive(std::size_t index);
  void send(std::size_t index, std::vector<std::uint8_t> frame);
  void flush(std::size_t index);

  std::vector<sim_camera_t>& cameras_;
  sim_loop& loop_;
  event_log& log_;
  std::vector<port_t> ports_;
};

}  // namespace mardo::sim
