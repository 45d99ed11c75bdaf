#include "rs485_channel.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/epoll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mardo::sim {
namespace {

constexpr int kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 115200};
constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};

speed_t speed_of(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    default: return B115200;
  }
}

// Whether the workstation's end is set as this record says.
bool matches(const termios& t, const std::array<int, 5>& r) {
  if (r[0] < 0 || r[0] > 6 || r[1] < 0 || r[1] > 3 || r[3] < 0 || r[3] > 1) return false;
  return cfgetospeed(&t) == speed_of(kBauds[r[0]]) && (t.c_cflag & CSIZE) == kSizes[r[1]] &&
         ((t.c_cflag & CSTOPB) != 0) == (r[3] == 1);
}

}  // namespace

rs485_channel::rs485_channel(std::vector<sim_camera_t>& cameras, sim_loop& loop, event_log& log)
    : cameras_(cameras), loop_(loop), log_(log) {}

rs485_channel::~rs485_channel() {
  for (port_t& p : ports_) {
    if (p.master >= 0) ::close(p.master);
    if (p.slave >= 0) ::close(p.slave);
    if (!p.link.empty()) ::unlink(p.link.c_str());
  }
}

bool rs485_channel::open(std::string* error) {
  ports_.reserve(cameras_.size());
  for (std::size_t i = 0; i < cameras_.size(); ++i) {
    if (cameras_[i].rs485_pty.empty()) continue;
    port_t p;
    p.camera = i;
    char name[256] = {};
    if (openpty(&p.master, &p.slave, name, nullptr, nullptr) != 0) {
      *error = "camera " + std::to_string(i) + ": openpty: " + std::strerror(errno);
      return false;
    }
    fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
    ::unlink(cameras_[i].rs485_pty.c_str());
    if (::symlink(name, cameras_[i].rs485_pty.c_str()) != 0) {
      *error = "camera " + std::to_string(i) + ": link " + cameras_[i].rs485_pty + ": " + std::strerror(errno);
      ::close(p.master);
      ::close(p.slave);
      return false;
    }
    p.link = cameras_[i].rs485_pty;
    ports_.push_back(p);
    port_t* port = &ports_.back();
    if (!loop_.add(port->master, EPOLLIN, [this, port](std::uint32_t) { receive(*port); })) {
      *error = "camera " + std::to_string(i) + ": cannot watch its RS485 port";
      return false;
    }
  }
  return true;
}

bool rs485_channel::settings_match(const port_t& port) const {
  termios t{};
  if (tcgetattr(port.slave, &t) != 0) return false;
  const sim_camera_t& cam = cameras_[port.camera];
  return matches(t, cam.rs485_1) || matches(t, cam.rs485_2);
}

void rs485_channel::receive(port_t& port) {
  std::uint8_t buf[512];
  const ssize_t n = ::read(port.master, buf, sizeof buf);
  if (n <= 0) return;
  const std::span<const std::uint8_t> got(buf, static_cast<std::size_t>(n));
  const sim_camera_t& cam = cameras_[port.camera];
  log_.write_line(format_mc_event(monotonic_ms(), static_cast<int>(port.camera), cam.mac, "rs485",
                                  "src", port.link, got, got.size()));
  std::vector<std::uint8_t> answer(got.begin(), got.end());
  if (!settings_match(port))
    for (std::uint8_t& b : answer) b ^= 0x55;
  if (::write(port.master, answer.data(), answer.size()) > 0)
    log_.write_line(format_mc_event(monotonic_ms(), static_cast<int>(port.camera), cam.mac,
                                    "rs485-sent", "dst", port.link, answer, answer.size()));
}

}  // namespace mardo::sim
