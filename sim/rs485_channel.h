#pragma once
// The station camera's RS485 port: a pseudo-terminal whose workstation end is reached by the
// link path the config names. Its far end echoes what comes only while the workstation end is
// set as the camera reports its ports (baud, data bits, stop bits: what a pseudo-terminal
// keeps); otherwise it answers garbled bytes, as a cable at the wrong speed would.
//   "rs485_pty": "/tmp/lab/ttyCAM0"   (per camera; the link is replaced and removed again)
// Logged as "rs485" (received, "len" and "hex" the bytes) and "rs485-sent".
#include <string>
#include <vector>

#include "event_log.h"
#include "sim_config.h"
#include "sim_loop.h"

namespace mardo::sim {

class rs485_channel {
 public:
  rs485_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log);
  rs485_channel(const rs485_channel&) = delete;
  rs485_channel& operator=(const rs485_channel&) = delete;
  ~rs485_channel();

  bool open(std::string* error);

 private:
  struct port_t {
    std::size_t camera = 0;
    int master = -1;
    int slave = -1;  // held open, to read the settings the workstation gave its end
    std::string link;
  };
  void receive(port_t& port);
  bool settings_match(const port_t& port) const;

  std::vector<sim_camera_t>& cameras_;
  sim_loop& loop_;
  event_log& log_;
  std::vector<port_t> ports_;
};

}  // namespace mardo::sim
