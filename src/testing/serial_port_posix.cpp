#include "testing/serial_port_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "testing/serial_exchange.h"

namespace mardo {
namespace {

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

std::optional<std::size_t> write_some(int fd, std::span<char> data, std::uint64_t deadline) {
  const ssize_t n = ::write(fd, data.data(), data.size());
  if (n > 0) return static_cast<std::size_t>(n);
  if (n < 0 && errno != EAGAIN && errno != EINTR) return std::nullopt;
  pollfd p{fd, POLLOUT, 0};
  poll(&p, 1, wait_slice_until(deadline));
  return 0;
}

std::optional<std::size_t> read_some(int fd, std::span<char> data, std::uint64_t deadline) {
  pollfd p{fd, POLLIN, 0};
  const int ready = poll(&p, 1, wait_slice_until(deadline));
  if (ready < 0) return std::nullopt;
  if (ready == 0) return 0;
  const ssize_t n = ::read(fd, data.data(), data.size());
  if (n < 0 && errno != EAGAIN && errno != EINTR) return std::nullopt;
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

}  // namespace

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

std::vector<std::string> list_serial_ports() {
  return list_serial_ports("/sys/class/tty");
}

serial_port open_test_port(const std::string& name) {
  const std::string path = name.find('/') == std::string::npos ? "/dev/" + name : name;
  serial_port port(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  // No sharing: a second opener is refused while we hold it.
  if (port && (ioctl(port.native(), TIOCEXCL) != 0 || !isatty(port.native()))) port.close();
  return port;
}

void serial_port::close() {
  if (handle_ != kNone) ::close(std::exchange(handle_, kNone));
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

bool configure_test_port(const serial_port& port, const line_settings_t& line) {
  termios t{};
  if (tcgetattr(port.native(), &t) != 0) return false;
  apply_line_settings(t, line);
  return tcsetattr(port.native(), TCSANOW, &t) == 0;
}

bool serial_loopback(const serial_port& port, std::string_view text, int pause_ms) {
  return run_serial_loopback(port.native(), text, pause_ms, write_some, read_some);
}

}  // namespace mardo
