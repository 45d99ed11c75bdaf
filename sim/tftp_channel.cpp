#include "tftp_channel.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "camera_sockets.h"

namespace mardo::sim {
namespace {

constexpr int kReadsPerWake = 64;

std::string endpoint(const sockaddr_in& a) {
  ipv4_t ip{};
  std::memcpy(ip.data(), &a.sin_addr, 4);
  return format_endpoint(ip, ntohs(a.sin_port));
}

}  // namespace

int open_tftp_socket(const std::string& ifname, int* ifindex, std::string* error) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("UDP socket: ") + std::strerror(errno);
    return -1;
  }
  *ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(kTftpServerPort);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    *error = std::string("bind 0.0.0.0:69: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

tftp_channel::tftp_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log)
    : cameras_(cameras), loop_(loop), log_(log) {}

tftp_channel::~tftp_channel() {
  for (port_t& p : ports_)
    if (p.fd >= 0) ::close(p.fd);
}

bool tftp_channel::open(std::string* error) {
  std::vector<sim_camera_t> serving;
  std::vector<std::size_t> index_of;
  for (std::size_t i = 0; i < cameras_.size(); ++i) {
    if (!cameras_[i].tftp.enabled) continue;
    serving.push_back(cameras_[i]);
    index_of.push_back(i);
  }
  ports_.resize(cameras_.size());
  return open_camera_sockets(
      serving, open_tftp_socket, loop_,
      [this, &index_of](std::size_t i, int fd, int) { ports_[index_of[i]].fd = fd; },
      [this, index_of](std::size_t i, std::uint32_t ev) {
        if (ev & (EPOLLIN | EPOLLERR)) receive(index_of[i]);
      },
      error);
}

void tftp_channel::receive(std::size_t index) {
  port_t& port = ports_[index];
  const sim_camera_t& cam = cameras_[index];
  std::uint8_t buf[65536];
  for (int reads = 0; reads < kReadsPerWake; ++reads) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = recvfrom(port.fd, buf, sizeof buf, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    const std::span<const std::uint8_t> datagram(buf, static_cast<std::size_t>(n));
    // Requests are logged whole; data blocks only as the file they make up.
    if (n >= 2 && buf[1] != 3)
      log_.write_line(format_mc_event(monotonic_ms(), static_cast<int>(index), cam.mac, "tftp",
                                      "src", endpoint(from), datagram, datagram.size()));
    tftp_reaction_t r = react_to_tftp(cam.tftp, port.session, datagram);
    if (r.file_done)
      log_.write_line(format_mc_event(monotonic_ms(), static_cast<int>(index), cam.mac,
                                      "tftp-file", "src", endpoint(from),
                                      crc32_be(port.session.file), port.session.file.size()));
    if (r.file_done && on_file_) on_file_(index, port.session.file_name);
    auto send_all = [fd = port.fd, from](const std::vector<std::vector<std::uint8_t>>& answers) {
      for (const auto& a : answers)
        sendto(fd, a.data(), a.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&from),
               sizeof from);
    };
    if (r.delay_ms > 0)
      loop_.after(r.delay_ms, [send_all, answers = r.answers] { send_all(answers); });
    else
      send_all(r.answers);
  }
}

}  // namespace mardo::sim
