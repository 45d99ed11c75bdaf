#include "raw_channel.h"

#include <linux/if_packet.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "camera_move.h"
#include "camera_sockets.h"
#include "netns.h"
#include "raw_camera.h"

namespace mardo::sim {
namespace {

// Frames read per wake-up of one socket, so one busy camera cannot starve the others.
constexpr int kReadsPerWake = 64;
// Answers kept for a socket whose send buffer is full; beyond this they are dropped (and
// said so on stderr), as a camera's own queue would.
constexpr std::size_t kMaxPending = 1024;
constexpr std::size_t kCloseThreads = 64;

}  // namespace

raw_channel::raw_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log)
    : cameras_(cameras), loop_(loop), log_(log) {}

raw_channel::~raw_channel() {
  // Closing a packet socket waits out an RCU grace period (about 10 ms), so 508 cameras
  // closed one after another take seconds; closes on parallel threads share the periods.
  std::vector<int> fds;
  for (port_t& p : ports_) {
    if (p.fd >= 0) fds.push_back(p.fd);
    p.fd = -1;
  }
  std::size_t threads = std::min<std::size_t>(kCloseThreads, fds.size());
  std::vector<std::thread> closers;
  for (std::size_t t = 0; t < threads; ++t) {
    closers.emplace_back([&fds, t, threads] {
      for (std::size_t i = t; i < fds.size(); i += threads) ::close(fds[i]);
    });
  }
  for (std::thread& th : closers) th.join();
}

bool raw_channel::open(std::string* error) {
  ports_.resize(cameras_.size());
  return open_camera_sockets(
      cameras_, open_raw_socket, loop_,
      [this](std::size_t i, int fd, int ifindex) {
        ports_[i].fd = fd;
        ports_[i].ifindex = ifindex;
      },
      [this](std::size_t i, std::uint32_t ev) { on_event(i, ev); }, error);
}

void raw_channel::on_event(std::size_t index, std::uint32_t events) {
  if (events & EPOLLOUT) flush(index);
  if (events & (EPOLLIN | EPOLLERR)) receive(index);
}

void raw_channel::receive(std::size_t index) {
  port_t& port = ports_[index];
  sim_camera_t& cam = cameras_[index];
  std::uint8_t buf[65536];
  for (int reads = 0; reads < kReadsPerWake; ++reads) {
    sockaddr_ll from{};
    socklen_t from_len = sizeof from;
    // MSG_TRUNC: the result is the length on the wire even if the buffer was smaller.
    ssize_t n = recvfrom(port.fd, buf, sizeof buf, MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: drained
    }
    // The socket also sees what this camera (or the fixture, injecting) sends.
    if (from.sll_pkttype == PACKET_OUTGOING) continue;
    auto wire_len = static_cast<std::size_t>(n);
    std::span<const std::uint8_t> frame(buf, wire_len < sizeof buf ? wire_len : sizeof buf);
    const sim_addresses_t before = addresses_of(cam);
    raw_reaction_t r = react_to_frame(cam, frame);
    if (r.record) {
      log_.write_line(format_raw_event(monotonic_ms(), static_cast<int>(index), cam.mac, "raw",
                                       frame, wire_len));
    }
    if (r.ip_changed) move_camera(cameras_, index, port.ifindex, before, loop_, log_);
    if (r.reboot && cam.reboot_ms > 0)
      cam.silent_until_ms = monotonic_ms() + static_cast<std::uint64_t>(cam.reboot_ms);
    if (r.answer.empty()) continue;
    if (cam.reply_delay_ms + r.answer_delay_ms > 0) {
      loop_.after(cam.reply_delay_ms + r.answer_delay_ms, [this, index, answer = std::move(r.answer)]() mutable {
        send(index, std::move(answer));
      });
    } else {
      send(index, std::move(r.answer));
    }
  }
}

void raw_channel::send(std::size_t index, std::vector<std::uint8_t> frame) {
  port_t& port = ports_[index];
  if (!port.pending.empty()) {
    if (port.pending.size() >= kMaxPending) {
      std::fprintf(stderr, "camsim: camera %zu: send queue full, answer dropped\n", index);
      return;
    }
    port.pending.push_back(std::move(frame));
    return;
  }
  ssize_t n = ::send(port.fd, frame.data(), frame.size(), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR)) {
    port.pending.push_back(std::move(frame));
    loop_.modify(port.fd, EPOLLIN | EPOLLOUT);
    return;
  }
  if (n < 0) {
    std::perror("camsim: send");
    return;
  }
  log_.write_line(format_raw_event(monotonic_ms(), static_cast<int>(index), cameras_[index].mac,
                                   "raw-sent", frame, frame.size()));
}

void raw_channel::flush(std::size_t index) {
  port_t& port = ports_[index];
  while (!port.pending.empty()) {
    std::vector<std::uint8_t>& frame = port.pending.front();
    ssize_t n = ::send(port.fd, frame.data(), frame.size(), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS || errno == EINTR)) {
      return;  // still full; EPOLLOUT stays on
    }
    if (n >= 0) {
      log_.write_line(format_raw_event(monotonic_ms(), static_cast<int>(index), cameras_[index].mac,
                                       "raw-sent", frame, frame.size()));
    } else {
      std::perror("camsim: send");
    }
    port.pending.pop_front();
  }
  loop_.modify(port.fd, EPOLLIN);
}

}  // namespace mardo::sim
