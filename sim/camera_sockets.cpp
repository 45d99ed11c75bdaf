#include "camera_sockets.h"

#include <sys/epoll.h>

#include "netns.h"

namespace mardo::sim {

bool open_camera_sockets(const std::vector<sim_camera_t>& cameras, socket_opener open,
                         sim_loop& loop,
                         const std::function<void(std::size_t, int fd, int ifindex)>& keep,
                         const std::function<void(std::size_t, std::uint32_t)>& on_event,
                         std::string* error) {
  for (std::size_t i = 0; i < cameras.size(); ++i) {
    const sim_camera_t& cam = cameras[i];
    int fd = -1;
    int ifindex = 0;
    std::string why;
    const bool entered = in_netns(
        cam.netns, [&] { fd = open(cam.ifname, &ifindex, &why); }, &why);
    if (!entered || fd < 0) {
      *error = "camera " + std::to_string(i) + " (" + cam.netns + "): " + why;
      return false;
    }
    keep(i, fd, ifindex);
    if (!loop.add(fd, EPOLLIN, [on_event, i](std::uint32_t ev) { on_event(i, ev); })) {
      *error = "camera " + std::to_string(i) + ": cannot watch its socket";
      return false;
    }
  }
  return true;
}

}  // namespace mardo::sim
