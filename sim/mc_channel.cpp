#include "mc_channel.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "camera_move.h"
#include "camera_sockets.h"
#include "mc_camera.h"
#include "netns.h"

namespace mardo::sim {
namespace {

// Datagrams read per wake-up of one socket, so one busy camera cannot starve the others.
constexpr int kReadsPerWake = 64;
// Answers kept for a socket whose send buffer is full; beyond this they are dropped (and
// said so on stderr), as a camera's own queue would.
constexpr std::size_t kMaxPending = 1024;

ipv4_t address_of(const sockaddr_in& a) {
  ipv4_t ip{};
  std::memcpy(ip.data(), &a.sin_addr, 4);
  return ip;
}

std::string endpoint(const sockaddr_in& a) {
  return format_endpoint(address_of(a), ntohs(a.sin_port));
}

sockaddr_in group_address() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kMcToolPort);
  std::memcpy(&a.sin_addr, kMcGroup.data(), 4);
  return a;
}

bool no_room(int err) {
  return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS || err == EINTR;
}

}  // namespace

mc_channel::mc_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log)
    : cameras_(cameras), loop_(loop), log_(log) {}

mc_channel::~mc_channel() {
  for (port_t& p : ports_) {
    if (p.fd >= 0) ::close(p.fd);
    p.fd = -1;
  }
}

bool mc_channel::open(std::string* error) {
  ports_.resize(cameras_.size());
  return open_camera_sockets(
      cameras_, open_mc_socket, loop_,
      [this](std::size_t i, int fd, int ifindex) {
        ports_[i].fd = fd;
        ports_[i].ifindex = ifindex;
      },
      [this](std::size_t i, std::uint32_t ev) { on_event(i, ev); }, error);
}

void mc_channel::on_event(std::size_t index, std::uint32_t events) {
  if (events & EPOLLOUT) flush(index);
  if (events & (EPOLLIN | EPOLLERR)) receive(index);
}

void mc_channel::receive(std::size_t index) {
  port_t& port = ports_[index];
  sim_camera_t& cam = cameras_[index];
  std::uint8_t buf[65536];
  for (int reads = 0; reads < kReadsPerWake; ++reads) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(port.fd, buf, sizeof buf, MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: drained
    }
    auto wire_len = static_cast<std::size_t>(n);
    std::span<const std::uint8_t> payload(buf, wire_len < sizeof buf ? wire_len : sizeof buf);
    log_.write_line(format_mc_event(monotonic_ms(), static_cast<int>(index), cam.mac, "mc", "src",
                                    endpoint(from), payload, wire_len));
    const sim_addresses_t before = addresses_of(cam);
    mc_reaction_t r = react_to_mc_datagram(cam, payload);
    for (mc_send_t& s : r.answers) {
      datagram_t d{s.to == mc_dest_t::group ? group_address() : from, std::move(s.payload)};
      if (s.delay_ms > 0) {
        loop_.after(s.delay_ms,
                    [this, index, d = std::move(d)]() mutable { send(index, std::move(d)); });
      } else {
        send(index, std::move(d));
      }
    }
    if (r.ip_changed) move_camera(cameras_, index, port.ifindex, before, loop_, log_);
  }
}

int mc_channel::try_send(std::size_t index, const datagram_t& d) {
  ssize_t n = sendto(ports_[index].fd, d.payload.data(), d.payload.size(), MSG_DONTWAIT,
                     reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
  if (n < 0 && no_room(errno)) return 0;
  if (n < 0) {
    std::fprintf(stderr, "camsim: camera %zu: send to %s: %s\n", index, endpoint(d.to).c_str(),
                 std::strerror(errno));
    return -1;
  }
  log_.write_line(format_mc_event(monotonic_ms(), static_cast<int>(index), cameras_[index].mac,
                                  "mc-sent", "dst", endpoint(d.to), d.payload, d.payload.size()));
  return 1;
}

void mc_channel::send(std::size_t index, datagram_t d) {
  port_t& port = ports_[index];
  // Behind what already waits, so answers keep their order.
  if (port.pending.empty() && try_send(index, d) != 0) return;
  if (port.pending.size() >= kMaxPending) {
    std::fprintf(stderr, "camsim: camera %zu: multicast send queue full, answer dropped\n", index);
    return;
  }
  port.pending.push_back(std::move(d));
  if (port.pending.size() == 1) loop_.modify(port.fd, EPOLLIN | EPOLLOUT);
}

void mc_channel::flush(std::size_t index) {
  port_t& port = ports_[index];
  while (!port.pending.empty()) {
    if (try_send(index, port.pending.front()) == 0) return;  // still full; EPOLLOUT stays on
    port.pending.pop_front();
  }
  loop_.modify(port.fd, EPOLLIN);
}

}  // namespace mardo::sim
