#pragma once
// Namespace plumbing of the simulator: sockets are made inside a camera's network
// namespace and keep it after the thread returns to its own.
#include <cstdint>
#include <functional>
#include <string>

#include "sim_config.h"

namespace mardo::sim {

// Runs fn on the calling thread inside /run/netns/<name>. False (with *error) when the
// namespace cannot be entered; a thread that cannot get back is not usable, so that aborts.
bool in_netns(const std::string& name, const std::function<void()>& fn, std::string* error);

// Non-blocking AF_PACKET socket bound to `ifname` of the current namespace that sees only
// EtherTypes 0xFFF0..0xFFF8; -1 with *error on failure. *ifindex gets the interface index.
int open_raw_socket(const std::string& ifname, int* ifindex, std::string* error);

// Non-blocking UDP socket of the multicast channel in the current namespace: bound to
// 0.0.0.0:9981, member of 224.0.0.99 on `ifname`, sending there with TTL 1. -1 with *error
// on failure; *ifindex gets the interface index.
int open_mc_socket(const std::string& ifname, int* ifindex, std::string* error);

// Moves the interface from old_ip to new_ip/prefix in the current namespace and keeps the
// on-link default route the lab gave it.
bool move_interface_address(int ifindex, const ipv4_t& old_ip, const ipv4_t& new_ip, int prefix,
                            std::string* error);

// Gives camera's interface (in its namespace) the camera's current ip and netmask and
// records that in cam.iface_ip. An address no interface may carry stays in the camera's
// answers only (true). False with *error when the move failed.
bool readdress_camera(sim_camera_t& cam, int ifindex, std::string* error);

// Whether an address can sit on an interface (not 0, broadcast, loopback, multicast, class E).
bool assignable_ipv4(const ipv4_t& ip);

}  // namespace mardo::sim
