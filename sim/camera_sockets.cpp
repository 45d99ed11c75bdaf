#include "camera_sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "netns.h"

namespace mardo::sim {

int open_tcp_listener(std::uint16_t port, std::string* error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("TCP socket: ") + std::strerror(errno);
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || ::listen(fd, 64) != 0) {
    *error = "listen on port " + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

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
