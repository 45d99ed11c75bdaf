#include "camera_move.h"

#include <cstdio>
#include <string>

#include "netns.h"

namespace mardo::sim {
namespace {

void set_addresses(sim_camera_t& cam, const sim_addresses_t& a) {
  cam.ip = a.ip;
  cam.netmask = a.netmask;
  cam.gateway = a.gateway;
}

void readdress(sim_camera_t& cam, std::size_t index, int ifindex) {
  std::string why;
  if (cam.set_ip_moves_interface && !readdress_camera(cam, ifindex, &why)) {
    std::fprintf(stderr, "camsim: camera %zu: cannot readdress %s: %s\n", index, cam.ifname.c_str(),
                 why.c_str());
  }
}

}  // namespace

sim_addresses_t addresses_of(const sim_camera_t& cam) {
  return {cam.ip, cam.netmask, cam.gateway};
}

void move_camera(std::vector<sim_camera_t>& cameras, std::size_t index, int ifindex,
                 const sim_addresses_t& before, sim_loop& loop, event_log& log) {
  sim_camera_t& cam = cameras[index];
  if (cam.move_delay_ms <= 0) return readdress(cam, index, ifindex);
  const sim_addresses_t next = addresses_of(cam);
  set_addresses(cam, before);
  loop.after(cam.move_delay_ms, [&cameras, index, ifindex, next, &log] {
    sim_camera_t& moving = cameras[index];
    set_addresses(moving, next);
    readdress(moving, index, ifindex);
    log.write_line(format_mc_event(monotonic_ms(), static_cast<int>(index), moving.mac, "moved",
                                   "dst", format_ipv4(next.ip), {}, 0));
  });
}

}  // namespace mardo::sim
