#include "tcp_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "camera_sockets.h"
#include "netns.h"

namespace mardo::sim {
namespace {

constexpr std::uint32_t kSvcPieceCmd = 10002;
constexpr int kReadsPerWake = 8;

template <std::uint16_t Port>
int open_listener(const std::string&, int* ifindex, std::string* error) {
  if (ifindex) *ifindex = 0;
  return open_tcp_listener(Port, error);
}

}  // namespace

tcp_channel::tcp_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log)
    : cameras_(cameras), loop_(loop), log_(log) {}

tcp_channel::~tcp_channel() {
  for (int fd : cmd_listeners_)
    if (fd >= 0) ::close(fd);
  for (int fd : svc_listeners_)
    if (fd >= 0) ::close(fd);
  for (auto& [fd, c] : connections_) ::close(fd);
}

bool tcp_channel::open(std::string* error) {
  return open_service(service_t::cmd, error) && open_service(service_t::svc, error);
}

bool tcp_channel::open_service(service_t service, std::string* error) {
  std::vector<sim_camera_t> serving;
  std::vector<std::size_t> index_of;
  for (std::size_t i = 0; i < cameras_.size(); ++i) {
    const bool on = service == service_t::cmd ? cameras_[i].cmd.enabled : cameras_[i].svc.enabled;
    if (!on) continue;
    serving.push_back(cameras_[i]);
    index_of.push_back(i);
  }
  std::vector<int>& listeners = service == service_t::cmd ? cmd_listeners_ : svc_listeners_;
  listeners.assign(cameras_.size(), -1);
  return open_camera_sockets(
      serving, service == service_t::cmd ? open_listener<kCmdPort> : open_listener<kSvcPort>, loop_,
      [&listeners, &index_of](std::size_t i, int fd, int) { listeners[index_of[i]] = fd; },
      [this, &listeners, index_of, service](std::size_t i, std::uint32_t) {
        accept_on(listeners[index_of[i]], index_of[i], service);
      },
      error);
}

bool tcp_channel::start_service(std::size_t camera, std::string* error) {
  sim_camera_t& cam = cameras_.at(camera);
  if (svc_listeners_.at(camera) >= 0) return true;
  int fd = -1;
  std::string why;
  const bool entered = in_netns(
      cam.netns, [&] { fd = open_listener<kSvcPort>(cam.ifname, nullptr, &why); }, &why);
  if (!entered || fd < 0) {
    *error = "camera " + std::to_string(camera) + ": " + why;
    return false;
  }
  svc_listeners_[camera] = fd;
  cam.svc.enabled = true;
  return loop_.add(fd, EPOLLIN,
                   [this, fd, camera](std::uint32_t) { accept_on(fd, camera, service_t::svc); });
}

void tcp_channel::accept_on(int listener, std::size_t camera, service_t service) {
  for (;;) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&from), &from_len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // A camera that is rebooting takes no connection.
    if (cameras_[camera].silent_until_ms > monotonic_ms()) {
      ::close(fd);
      continue;
    }
    ipv4_t ip{};
    std::memcpy(ip.data(), &from.sin_addr, 4);
    connection_t c;
    c.camera = camera;
    c.service = service;
    c.peer = format_endpoint(ip, ntohs(from.sin_port));
    c.serial = ++next_serial_;
    connections_[fd] = std::move(c);
    loop_.add(fd, EPOLLIN, [this, fd](std::uint32_t ev) { on_connection(fd, ev); });
  }
}

void tcp_channel::on_connection(int fd, std::uint32_t events) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  connection_t& c = it->second;
  if (events & EPOLLOUT) {
    flush(fd, c);
    if (!connections_.count(fd)) return;
  }
  if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
  std::uint8_t buf[65536];
  // A bounded number of reads per wake: a peer that never pauses must not starve the other
  // connections of the loop (the descriptor is level-triggered, so the rest comes next round).
  for (int reads = 0; reads < kReadsPerWake; ++reads) {
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return drop(fd);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    c.in.insert(c.in.end(), buf, buf + n);
    if (!serve(fd, c)) {
      c.close_when_sent = true;
      flush(fd, c);
      return;
    }
  }
  flush(fd, c);
}

bool tcp_channel::serve(int fd, connection_t& c) {
  sim_camera_t& cam = cameras_[c.camera];
  std::size_t used = 0;
  bool open = true;
  while (open) {
    const std::span<const std::uint8_t> rest(c.in.data() + used, c.in.size() - used);
    const auto size = c.service == service_t::cmd ? cmd_message_size(rest) : svc_message_size(rest);
    if (!size) break;
    const std::size_t limit =
        c.service == service_t::cmd ? kCmdMaxMessage : kSvcHeaderSize + kSvcMaxPayload;
    if (*size > limit) {
      open = false;
      break;
    }
    if (rest.size() < *size) break;
    const std::span<const std::uint8_t> message = rest.first(*size);
    used += *size;
    if (c.service == service_t::cmd) {
      log(c, "cmd", "src",
          message.first(std::min<std::size_t>(message.size(), kCmdHeaderSize + 2 * kModelField)),
          message.size());
      cmd_reaction_t r = react_to_cmd(cam.cmd, message);
      if (r.file) log(c, "cmd-file", "src", crc32_be(*r.file), r.file->size());
      if (!r.answer.empty()) c.out.insert(c.out.end(), r.answer.begin(), r.answer.end());
      if (!r.answer.empty()) log(c, "cmd-sent", "dst", r.answer, r.answer.size());
      if (r.close) open = false;
    } else {
      // Of an image's pieces only the first is logged, as its header; the image follows whole.
      const auto h = read_svc_header(message);
      const bool piece = h && h->command == kSvcPieceCmd;
      if (!piece || h->position == 2 || h->position == 3)
        log(c, "svc", "src", piece ? message.first(kSvcHeaderSize) : message, message.size());
      svc_reaction_t r = react_to_svc(cam.svc, c.svc, message);
      if (r.image_crc)
        log(c, r.image_intact ? "svc-image" : "svc-image-bad", "src", be32_bytes(*r.image_crc),
            r.image_length);
      for (const auto& a : r.answers) {
        queue_svc_answer(fd, c, a);
        log(c, "svc-sent", "dst", a, a.size());
      }
      if (r.reset) {
        c.reset = true;
        open = false;
      }
      if (r.close) open = false;
    }
  }
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
  return open;
}

void tcp_channel::queue_svc_answer(int fd, connection_t& c, std::span<const std::uint8_t> sized) {
  const int split_ms = cameras_[c.camera].svc.split_ms;
  std::vector<std::uint8_t> unsized;
  if (cameras_[c.camera].svc.unsized && sized.size() >= kSvcHeaderSize) {
    unsized.assign(sized.begin(), sized.end());
    std::fill(unsized.begin() + 28, unsized.begin() + kSvcHeaderSize, std::uint8_t{0});
  }
  const std::span<const std::uint8_t> answer = unsized.empty() ? sized : unsized;
  if (c.holding) {
    c.held.insert(c.held.end(), answer.begin(), answer.end());
    return;
  }
  if (split_ms < 0 || answer.size() <= kSvcHeaderSize) {
    c.out.insert(c.out.end(), answer.begin(), answer.end());
    return;
  }
  c.out.insert(c.out.end(), answer.begin(), answer.begin() + kSvcHeaderSize);
  c.held.assign(answer.begin() + kSvcHeaderSize, answer.end());
  c.holding = true;
  loop_.after(split_ms, [this, fd, serial = c.serial] {
    auto it = connections_.find(fd);
    if (it == connections_.end() || it->second.serial != serial) return;
    connection_t& later = it->second;
    later.out.insert(later.out.end(), later.held.begin(), later.held.end());
    later.held.clear();
    later.holding = false;
    flush(fd, later);
  });
}

void tcp_channel::flush(int fd, connection_t& c) {
  if (c.reset) {
    // A linger time of zero makes the close a reset, as a camera that loses power mid-image.
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    log(c, "svc-reset", "dst", {}, 0);
    return drop(fd);
  }
  while (!c.out.empty()) {
    const ssize_t n = ::send(fd, c.out.data(), c.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      loop_.modify(fd, EPOLLIN | EPOLLOUT);
      return;
    }
    if (n < 0) return drop(fd);
    c.out.erase(c.out.begin(), c.out.begin() + n);
  }
  if (c.close_when_sent && !c.holding) return drop(fd);
  loop_.modify(fd, EPOLLIN);
}

void tcp_channel::drop(int fd) {
  loop_.remove(fd);
  ::close(fd);
  connections_.erase(fd);
}

void tcp_channel::log(const connection_t& c, const char* channel, const char* peer_key,
                      std::span<const std::uint8_t> bytes, std::size_t wire_len) {
  log_.write_line(format_mc_event(monotonic_ms(), static_cast<int>(c.camera),
                                  cameras_[c.camera].mac, channel, peer_key, c.peer, bytes,
                                  wire_len));
}

}  // namespace mardo::sim
