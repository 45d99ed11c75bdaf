#pragma once
// A camera taking the addresses of an accepted change (a modifyDevIp, a 0xFFF2 set-IP): at
// once, or move_delay_ms later as a real camera does whose network restarts after it answered.
// Until then it answers every search with its old addresses. A delayed move is logged when it
// takes effect:
//   {"t_ms":123,"camera":0,"mac":"02:00:01:00:00:00","channel":"moved","dst":"192.0.2.50",
//    "len":0,"hex":""}
#include <cstddef>
#include <vector>

#include "event_log.h"
#include "sim_config.h"
#include "sim_loop.h"

namespace mardo::sim {

struct sim_addresses_t {
  ipv4_t ip{};
  ipv4_t netmask{};
  ipv4_t gateway{};
};

sim_addresses_t addresses_of(const sim_camera_t& cam);

// Camera `index` holds the new addresses a reaction gave it; `before` are those it had.
void move_camera(std::vector<sim_camera_t>& cameras, std::size_t index, int ifindex,
                 const sim_addresses_t& before, sim_loop& loop, event_log& log);

}  // namespace mardo::sim
