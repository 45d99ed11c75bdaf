#pragma once
// What every channel of the simulator does first: one socket per camera, made inside the
// camera's namespace and watched by the shared loop.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim_config.h"
#include "sim_loop.h"

namespace mardo::sim {

// Makes a socket on `ifname` of the current namespace; -1 with *error on failure.
using socket_opener = int (*)(const std::string& ifname, int* ifindex, std::string* error);

// A non-blocking TCP socket listening on INADDR_ANY:port of the current namespace, or -1
// with *error.
int open_tcp_listener(std::uint16_t port, std::string* error);

// For each camera: opens its socket in its namespace, hands fd and ifindex to `keep`, and
// watches the fd for input with `on_event`. False with *error naming the camera.
bool open_camera_sockets(const std::vector<sim_camera_t>& cameras, socket_opener open,
                         sim_loop& loop,
                         const std::function<void(std::size_t, int fd, int ifindex)>& keep,
                         const std::function<void(std::size_t, std::uint32_t)>& on_event,
                         std::string* error);

}  // namespace mardo::sim
