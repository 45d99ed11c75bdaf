#include "testing/serial_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "core/stop.h"
#include "net/byte_view.h"
#include "net/tick.h"

namespace mardo {
namespace {

constexpr int kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 115200};
constexpr int kDataBits[] = {5, 6, 7, 8};
constexpr int kStopBits[] = {1, 2};
constexpr int kIoTimeoutMs = 1000;
constexpr std::size_t kReadCapacity = 512;

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

tcflag_t size_of(int bits) {
  switch (bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

}  // namespace

std::optional<port_settings_t> parse_port_settings(std::span<const std::uint8_t> record) {
  if (record.size() < kPortSettingsSize) return std::nullopt;
  byte_reader in(record);
  port_settings_t s;
  in.seek(8);
  s.baud_index = in.le32();
  s.data_bits_index = in.le32();
  s.parity = in.u8();
  in.seek(20);
  s.stop_bits_index = in.le32();
  s.flow_mode = in.le32();
  if (!in.ok()) return std::nullopt;
  return s;
}

std::optional<line_settings_t> line_settings_for(const port_settings_t& r) {
  if (r.baud_index >= std::size(kBauds) || r.data_bits_index >= std::size(kDataBits) ||
      r.stop_bits_index >= std::size(kStopBits) || r.parity > 4)
    return std::nullopt;
  return line_settings_t{kBauds[r.baud_index], kDataBits[r.data_bits_index], r.parity,
                         kStopBits[r.stop_bits_index], r.flow_mode};
}

std::vector<std::string> list_serial_ports(const std::string& sys_tty) {
  std::vector<std::string> ports;
  DIR* dir = opendir(sys_tty.c_str());
  if (!dir) return ports;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string entry = sys_tty + "/" + name;
    struct stat st {};
    // Virtual terminals have no device behind them; serial ports do.
    if (stat((entry + "/device").c_str(), &st) != 0) continue;
    // The kernel keeps a ttyS entry for every possible on-board UART; those it found no UART
    // behind say type 0. USB adapters have no type and are always real.
    std::ifstream type(entry + "/type");
    int uart = -1;
    if (type >> uart && uart == 0) continue;
    ports.push_back("/dev/" + name);
  }
  closedir(dir);
  std::sort(ports.begin(), ports.end());
  return ports;
}

int open_test_port(const std::string& name) {
  const std::string path = name.find('/') == std::string::npos ? "/dev/" + name : name;
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // No sharing: a second opener is refused while we hold it.
  if (ioctl(fd, TIOCEXCL) != 0 || !isatty(fd)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void apply_line_settings(termios& t, const line_settings_t& line) {
  // A byte stream, as the platform's ports are: no line editing, no echo, no translation.
  const tcflag_t parity_check = t.c_iflag & INPCK;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
  t.c_iflag |= parity_check;  // the record's parity does not switch the check
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CREAD | CLOCAL | size_of(line.data_bits);
  if (line.stop_bits == 2) t.c_cflag |= CSTOPB;
  switch (line.parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  switch (line.flow_mode) {
    case 1: t.c_cflag |= CRTSCTS; break;
    case 2:
      t.c_iflag |= IXON | IXOFF;
      t.c_cc[VSTART] = 0x11;
      t.c_cc[VSTOP] = 0x13;
      break;
    default: break;  // 0: none; other modes change nothing beyond the line
  }
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed_of(line.baud));
  cfsetospeed(&t, speed_of(line.baud));
}

bool configure_test_port(int fd, const line_settings_t& line) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  apply_line_settings(t, line);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool serial_loopback(int fd, std::string_view text, int pause_ms) {
  std::string message(text);
  message.push_back('\0');
  if (!mardo::pause_ms(pause_ms)) return false;
  std::uint64_t deadline = tick_ms() + kIoTimeoutMs;
  std::size_t sent = 0;
  while (sent < message.size() && tick_ms() < deadline && !stop_requested()) {
    const ssize_t n = ::write(fd, message.data() + sent, message.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, std::min(kStopSliceMs, static_cast<int>(deadline - std::min(deadline, tick_ms()))));
  }
  std::string got;
  deadline = tick_ms() + kIoTimeoutMs;
  char buf[kReadCapacity];
  while (got.size() < kReadCapacity) {
    const std::uint64_t now = tick_ms();
    if (now >= deadline || stop_requested()) break;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, std::min(kStopSliceMs, static_cast<int>(deadline - now)));
    if (ready == 0) continue;
    if (ready < 0) break;
    const ssize_t n = ::read(fd, buf, kReadCapacity - got.size());
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    else if (n < 0 && errno != EAGAIN && errno != EINTR) break;
  }
  return got.size() >= text.size() && std::string_view(got).substr(0, text.size()) == text;
}

void close_test_port(int fd) {
  if (fd >= 0) ::close(fd);
}

}  // namespace mardo
