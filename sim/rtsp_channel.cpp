#include "rtsp_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "camera_sockets.h"
#include "netns.h"

namespace mardo::sim {
namespace {

constexpr int kReadsPerWake = 8;
constexpr int kReportMs = 1000;
constexpr std::uint64_t kNtpUnixOffset = 2208988800u;  // 1900 to 1970, in seconds
// Sent bytes are cut off the front of the queue only past this, not on every send.
constexpr std::size_t kCompactAt = std::size_t{1} << 20;

int open_udp(std::uint16_t port, std::string* error) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("UDP socket: ") + std::strerror(errno);
    return -1;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    *error = "bind 0.0.0.0:" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whatever a client sends to the media ports (receiver reports, hole punching) is not read.
void drain(int fd) {
  std::uint8_t buf[2048];
  while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0 || errno == EINTR) {
  }
}

sockaddr_in udp_peer(const ipv4_t& ip, int port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  std::memcpy(&to.sin_addr, ip.data(), 4);
  return to;
}

std::uint64_t ntp_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  const auto seconds = static_cast<std::uint64_t>(ts.tv_sec) + kNtpUnixOffset;
  const auto fraction = (static_cast<std::uint64_t>(ts.tv_nsec) << 32) / 1000000000u;
  return seconds << 32 | fraction;
}

}  // namespace

rtsp_channel::rtsp_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log)
    : cameras_(cameras), loop_(loop), log_(log) {}

rtsp_channel::~rtsp_channel() {
  for (camera_t& c : cams_) {
    for (int fd : {c.rtsp_listener, c.listener_8200, c.rtp_fd, c.rtcp_fd})
      if (fd >= 0) ::close(fd);
  }
  for (auto& [fd, c] : connections_) ::close(fd);
}

bool rtsp_channel::open(std::string* error) {
  cams_.resize(cameras_.size());
  for (std::size_t i = 0; i < cameras_.size(); ++i) {
    const sim_camera_t& cam = cameras_[i];
    camera_t& c = cams_[i];
    const std::uint64_t h = rtsp_camera_hash(cam.mac);
    c.ssrc = static_cast<std::uint32_t>(h >> 32 ^ h);
    c.mac = format_mac(cam.mac);
    if (cam.rtsp.enabled) {
      std::string why;
      const bool entered = in_netns(
          cam.netns,
          [&] {
            c.rtp_fd = open_udp(kRtpServerPort, &why);
            if (c.rtp_fd >= 0) c.rtcp_fd = open_udp(kRtpServerPort + 1, &why);
          },
          &why);
      if (!entered || c.rtcp_fd < 0) {
        *error = "camera " + std::to_string(i) + " (" + cam.netns + "): " + why;
        return false;
      }
      for (int fd : {c.rtp_fd, c.rtcp_fd}) {
        if (!loop_.add(fd, EPOLLIN, [fd](std::uint32_t) { drain(fd); })) {
          *error = "camera " + std::to_string(i) + ": cannot watch its media sockets";
          return false;
        }
      }
    }
    if (!listen(i, error)) return false;
  }
  return true;
}

bool rtsp_channel::listen(std::size_t camera, std::string* error) {
  const sim_camera_t& cam = cameras_[camera];
  camera_t& c = cams_[camera];
  if (!cam.rtsp.enabled && !cam.rtsp.port8200) return true;
  std::string why;
  bool opened = true;
  const bool entered = in_netns(
      cam.netns,
      [&] {
        if (cam.rtsp.enabled && c.rtsp_listener < 0) {
          c.rtsp_listener = open_tcp_listener(kRtspPort, &why);
          opened = c.rtsp_listener >= 0;
        }
        if (opened && cam.rtsp.port8200 && c.listener_8200 < 0) {
          c.listener_8200 = open_tcp_listener(kPort8200, &why);
          opened = c.listener_8200 >= 0;
        }
      },
      &why);
  if (!entered || !opened) {
    *error = "camera " + std::to_string(camera) + " (" + cam.netns + "): " + why;
    return false;
  }
  if (c.rtsp_listener >= 0 &&
      !loop_.add(c.rtsp_listener, EPOLLIN, [this, camera](std::uint32_t) { accept_rtsp(camera); }))
    why = "cannot watch port 554";
  if (c.listener_8200 >= 0 &&
      !loop_.add(c.listener_8200, EPOLLIN, [this, camera](std::uint32_t) { accept_8200(camera); }))
    why = "cannot watch port 8200";
  if (!why.empty()) {
    *error = "camera " + std::to_string(camera) + ": " + why;
    return false;
  }
  return true;
}

void rtsp_channel::accept_8200(std::size_t camera) {
  for (;;) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const int fd = accept4(cams_[camera].listener_8200, reinterpret_cast<sockaddr*>(&from),
                           &from_len, SOCK_CLOEXEC);
    if (fd < 0) return;
    ::close(fd);
    ipv4_t ip{};
    std::memcpy(ip.data(), &from.sin_addr, 4);
    log_event(camera, "port8200", "src", format_endpoint(ip, ntohs(from.sin_port)), "");
  }
}

void rtsp_channel::accept_rtsp(std::size_t camera) {
  for (;;) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const int fd = accept4(cams_[camera].rtsp_listener, reinterpret_cast<sockaddr*>(&from),
                           &from_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // A camera that is rebooting takes no connection.
    if (cameras_[camera].silent_until_ms > monotonic_ms()) {
      ::close(fd);
      continue;
    }
    // Each answer and each frame leaves as it is queued, not held back for an ACK.
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in local{};
    socklen_t local_len = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len);
    connection_t c;
    c.id = next_id_++;
    c.camera = camera;
    std::memcpy(c.peer_ip.data(), &from.sin_addr, 4);
    c.peer = format_endpoint(c.peer_ip, ntohs(from.sin_port));
    ipv4_t local_ip{};
    std::memcpy(local_ip.data(), &local.sin_addr, 4);
    c.local_ip = format_ipv4(local_ip);
    c.stream.emplace(cameras_[camera].rtsp, cams_[camera].ssrc);
    connections_.erase(fd);
    connections_.emplace(fd, std::move(c));
    loop_.add(fd, EPOLLIN, [this, fd](std::uint32_t ev) { on_connection(fd, ev); });
  }
}

void rtsp_channel::on_connection(int fd, std::uint32_t events) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  connection_t& c = it->second;
  if ((events & EPOLLOUT) && !flush(fd, c)) return drop(fd, false);
  if (!(events & (EPOLLIN | EPOLLHUP | EPOLLERR)) || c.close_when_sent) return;
  std::uint8_t buf[16384];
  // A bounded number of reads per wake, so one chatty peer cannot starve the loop.
  for (int reads = 0; reads < kReadsPerWake; ++reads) {
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return drop(fd, false);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    c.in.insert(c.in.end(), buf, buf + n);
    if (!serve(fd, c)) {
      c.close_when_sent = true;
      break;
    }
  }
  if (!flush(fd, c)) drop(fd, false);
}

bool rtsp_channel::serve(int fd, connection_t& c) {
  const sim_camera_t& cam = cameras_[c.camera];
  std::size_t used = 0;
  bool open = true;
  while (open) {
    const std::span<const std::uint8_t> rest(c.in.data() + used, c.in.size() - used);
    const auto size = rtsp_request_size(rest);
    if (!size) {
      if (rest.size() > kRtspMaxRequest) open = false;
      break;
    }
    const std::span<const std::uint8_t> bytes = rest.first(*size);
    used += *size;
    log_.write_line(format_mc_event(monotonic_ms(), static_cast<int>(c.camera), cam.mac, "rtsp",
                                    "src", c.peer, bytes, bytes.size()));
    const auto request = parse_rtsp_request(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    rtsp_reaction_t r;
    if (!request) {
      if (cam.rtsp.describe != rtsp_describe_t::silence)
        r.answer = "RTSP/1.0 400 Bad Request\r\n\r\n";
    } else {
      const rtsp_context_t context{c.local_ip, kRtpServerPort, cams_[c.camera].ssrc};
      r = react_to_rtsp(cam.rtsp, context, c.state, *request);
    }
    if (!r.answer.empty()) {
      const std::span<const std::uint8_t> answer(
          reinterpret_cast<const std::uint8_t*>(r.answer.data()), r.answer.size());
      log_.write_line(format_mc_event(monotonic_ms(), static_cast<int>(c.camera), cam.mac,
                                      "rtsp-sent", "dst", c.peer, answer, answer.size()));
      queue(c, answer);
      // Out before the next request's answer or the first frame: the client reads each
      // answer with one recv.
      if (!flush(fd, c)) open = false;
    }
    if (r.action == rtsp_action_t::play) start_play(fd, c);
    if (r.action == rtsp_action_t::stop) ++c.play_generation;
    if (r.action == rtsp_action_t::close) open = false;
  }
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
  return open;
}

void rtsp_channel::start_play(int fd, connection_t& c) {
  const sim_camera_t& cam = cameras_[c.camera];
  const rtsp_play_plan_t plan = plan_play(cam.rtsp, cams_[c.camera].state);
  const std::uint64_t generation = ++c.play_generation;
  c.play_start_ms = monotonic_ms();
  c.tick = 0;
  c.next_report_ms = c.play_start_ms;
  std::string members = c.state.transport == rtsp_transport_t::tcp ? ",\"transport\":\"tcp\""
                                                                   : ",\"transport\":\"udp\"";
  if (c.state.transport == rtsp_transport_t::udp)
    members += ",\"client_port\":" + std::to_string(c.state.client_port);
  log_event(c.camera, "rtsp-play", "dst", c.peer, members);
  // The first frame one interval after the answer, as from an encoder already running.
  const std::uint64_t id = c.id;
  loop_.after(1000 / cam.rtsp.fps, [this, fd, id, generation] { send_frame(fd, id, generation); });
  if (plan.dark) {
    const rtsp_dark_t dark = *plan.dark;
    loop_.after(dark.play_ms, [this, fd, id, dark] {
      connection_t* d = find(fd, id);
      if (!d) return;
      d->dark = true;
      log_event(d->camera, "rtsp-dark", "dst", d->peer,
                ",\"dark_ms\":" + std::to_string(dark.dark_ms));
      loop_.after(dark.dark_ms, [this, fd, id] {
        connection_t* l = find(fd, id);
        if (!l) return;
        l->dark = false;
        log_event(l->camera, "rtsp-light", "dst", l->peer, "");
      });
    });
  }
  if (plan.cut) {
    const std::size_t camera = c.camera;
    const int off_ms = plan.cut->off_ms;
    loop_.after(plan.cut->play_ms, [this, camera, off_ms] { power_cut(camera, off_ms); });
  }
}

void rtsp_channel::send_frame(int fd, std::uint64_t id, std::uint64_t generation) {
  connection_t* c = find(fd, id);
  if (!c || c->play_generation != generation || !c->state.playing) return;
  const sim_camera_t& cam = cameras_[c->camera];
  const std::uint64_t now = monotonic_ms();
  if (!c->dark) {
    const bool tcp = c->state.transport == rtsp_transport_t::tcp;
    if (tcp && c->out.size() - c->out_head >= kRtspMaxQueue) {
      ++c->dropped_frames;
    } else {
      c->stream->next_frame(c->tick, tcp ? c->state.rtp_channel : -1, frame_);
      if (tcp) {
        queue(*c, frame_.bytes);
      } else {
        const sockaddr_in to = udp_peer(c->peer_ip, c->state.client_port);
        iovecs_.resize(frame_.packets.size());
        messages_.resize(frame_.packets.size());
        for (std::size_t i = 0; i < frame_.packets.size(); ++i) {
          iovecs_[i].iov_base = frame_.bytes.data() + frame_.packets[i].offset;
          iovecs_[i].iov_len = frame_.packets[i].size;
          messages_[i] = mmsghdr{};
          messages_[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
          messages_[i].msg_hdr.msg_namelen = sizeof to;
          messages_[i].msg_hdr.msg_iov = &iovecs_[i];
          messages_[i].msg_hdr.msg_iovlen = 1;
        }
        // A datagram the socket has no room for is lost, as on a camera.
        for (std::size_t sent = 0; sent < messages_.size();) {
          const int n = sendmmsg(cams_[c->camera].rtp_fd, messages_.data() + sent,
                                 static_cast<unsigned>(messages_.size() - sent), MSG_DONTWAIT);
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) break;
          sent += static_cast<std::size_t>(n);
        }
      }
      if (frame_.lost_serial)
        log_event(c->camera, "rtsp-lost", "dst", c->peer,
                  ",\"serial\":" + std::to_string(*frame_.lost_serial));
      if (frame_.unfit_serial)
        log_event(c->camera, "rtsp-error", "dst", c->peer,
                  ",\"text\":\"rtsp_lose_nal " + std::to_string(*frame_.unfit_serial) +
                      " has fewer than 3 fragments; sent whole\"");
    }
    if (now >= c->next_report_ms) {
      send_report(*c);
      c->next_report_ms += kReportMs;
      // Back from a dark spell: a second from now, not a burst to catch up.
      if (c->next_report_ms <= now) c->next_report_ms = now + kReportMs;
    }
    if (tcp && !flush(fd, *c)) return drop(fd, false);
  }
  ++c->tick;
  const std::uint64_t due =
      c->play_start_ms + c->tick * 1000 / static_cast<std::uint64_t>(cam.rtsp.fps);
  loop_.after(due > now ? static_cast<int>(due - now) : 0,
              [this, fd, id, generation] { send_frame(fd, id, generation); });
}

void rtsp_channel::send_report(connection_t& c) {
  const auto sr = rtcp_sender_report(cams_[c.camera].ssrc, ntp_now(), c.stream->timestamp(c.tick),
                                     c.stream->packets_sent(), c.stream->octets_sent());
  if (c.state.transport == rtsp_transport_t::tcp) {
    const std::uint8_t head[kInterleavedHeaderSize] = {
        '$', static_cast<std::uint8_t>(c.state.rtcp_channel), 0, kRtcpSrSize};
    queue(c, head);
    queue(c, sr);
  } else {
    const sockaddr_in to = udp_peer(c.peer_ip, c.state.client_port + 1);
    sendto(cams_[c.camera].rtcp_fd, sr.data(), sr.size(), MSG_DONTWAIT,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }
}

void rtsp_channel::queue(connection_t& c, std::span<const std::uint8_t> bytes) {
  if (c.out_head == c.out.size()) {
    c.out.clear();
    c.out_head = 0;
  }
  c.out.insert(c.out.end(), bytes.begin(), bytes.end());
}

bool rtsp_channel::flush(int fd, connection_t& c) {
  while (c.out_head < c.out.size()) {
    const ssize_t n = ::send(fd, c.out.data() + c.out_head, c.out.size() - c.out_head,
                             MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (c.out_head >= kCompactAt) {
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.out_head));
        c.out_head = 0;
      }
      if (!c.writing) loop_.modify(fd, EPOLLIN | EPOLLOUT);
      c.writing = true;
      return true;
    }
    if (n < 0) return false;
    c.out_head += static_cast<std::size_t>(n);
  }
  c.out.clear();
  c.out_head = 0;
  if (c.close_when_sent) return false;
  if (c.writing) loop_.modify(fd, EPOLLIN);
  c.writing = false;
  return true;
}

void rtsp_channel::drop(int fd, bool reset) {
  auto it = connections_.find(fd);
  if (it == connections_.end()) return;
  const connection_t& c = it->second;
  if (reset) {
    // A linger time of zero makes the close a reset, as a camera that loses power.
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  log_event(c.camera, "rtsp-closed", "dst", c.peer,
            ",\"nals\":" + std::to_string(c.stream->nals_sent()) +
                ",\"dropped_frames\":" + std::to_string(c.dropped_frames) +
                (reset ? ",\"reset\":true" : ",\"reset\":false"));
  loop_.remove(fd);
  ::close(fd);
  connections_.erase(it);
}

void rtsp_channel::power_cut(std::size_t camera, int off_ms) {
  sim_camera_t& cam = cameras_[camera];
  camera_t& c = cams_[camera];
  const std::uint64_t now = monotonic_ms();
  cam.silent_until_ms = std::max(cam.silent_until_ms, now + static_cast<std::uint64_t>(off_ms));
  std::vector<int> fds;
  for (const auto& [fd, conn] : connections_)
    if (conn.camera == camera) fds.push_back(fd);
  for (int fd : fds) drop(fd, true);
  // Closed, not just unanswered: a connect meets a refusal as with the power off.
  for (int* fd : {&c.rtsp_listener, &c.listener_8200}) {
    if (*fd < 0) continue;
    loop_.remove(*fd);
    ::close(*fd);
    *fd = -1;
  }
  log_event(camera, "rtsp-cut", "", "", ",\"off_ms\":" + std::to_string(off_ms));
  const std::uint64_t generation = ++c.cut_generation;
  loop_.after(off_ms, [this, camera, generation] { power_on(camera, generation); });
}

void rtsp_channel::power_on(std::size_t camera, std::uint64_t generation) {
  if (cams_[camera].cut_generation != generation) return;
  std::string why;
  if (!listen(camera, &why)) std::fprintf(stderr, "camsim: %s\n", why.c_str());
  log_event(camera, "rtsp-back", "", "", "");
}

rtsp_channel::connection_t* rtsp_channel::find(int fd, std::uint64_t id) {
  auto it = connections_.find(fd);
  return it == connections_.end() || it->second.id != id ? nullptr : &it->second;
}

void rtsp_channel::log_event(std::size_t camera, const char* channel, const std::string& peer_key,
                             const std::string& peer, const std::string& members) {
  log_.write_line(format_rtsp_event(monotonic_ms(), static_cast<int>(camera), cams_[camera].mac,
                                    channel, peer_key, peer, members));
}

}  // namespace mardo::sim
