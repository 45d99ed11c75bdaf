// The serial side of the RS485 item over a pseudo-terminal pair: the settings record reaching
// termios, and the timed loopback against an echoing far end.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "testing/serial_port_posix.h"

namespace mardo {
namespace {

std::vector<std::uint8_t> record(std::uint32_t baud, std::uint32_t bits, std::uint8_t parity,
                                 std::uint32_t stop, std::uint32_t mode) {
  std::vector<std::uint8_t> r(kPortSettingsSize, 0xEE);
  auto put = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) r[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put(8, baud);
  put(12, bits);
  r[16] = parity;
  put(20, stop);
  put(24, mode);
  return r;
}

struct pty_pair {
  pty_pair() { EXPECT_EQ(openpty(&master, &slave_fd, name, nullptr, nullptr), 0); }
  ~pty_pair() {
    if (master >= 0) close(master);
    if (slave_fd >= 0) close(slave_fd);
  }
  int master = -1, slave_fd = -1;
  char name[128] = {};
};

TEST(SerialPort, EverySettingOfTheRecordReachesTermios) {
  struct row_t {
    std::vector<std::uint8_t> rec;
    speed_t speed;
    tcflag_t cflag_on, cflag_off, iflag_on, iflag_off;
  };
  const std::vector<row_t> rows = {
      {record(6, 3, 0, 0, 0), B115200, CS8, PARENB | CSTOPB | CRTSCTS, 0, IXON | IXOFF},
      {record(0, 0, 1, 1, 1), B1200, CS5 | PARENB | PARODD | CSTOPB | CRTSCTS, CMSPAR, 0, IXON},
      {record(3, 2, 2, 0, 2), B9600, CS7 | PARENB, PARODD | CMSPAR | CRTSCTS, IXON | IXOFF, 0},
      {record(4, 3, 3, 0, 5), B19200, PARENB | CMSPAR | PARODD, CRTSCTS, 0, IXON},
      {record(5, 1, 4, 0, 0), B38400, CS6 | PARENB | CMSPAR, PARODD, 0, IXON},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(i);
    pty_pair pty;
    const serial_port port = open_test_port(pty.name);
    ASSERT_TRUE(port);
    const auto line = line_settings_for(*parse_port_settings(rows[i].rec));
    ASSERT_TRUE(line);
    ASSERT_TRUE(configure_test_port(port, *line));
    termios back{};
    ASSERT_EQ(tcgetattr(port.native(), &back), 0);
    EXPECT_EQ(cfgetospeed(&back), rows[i].speed);
    EXPECT_EQ(back.c_cflag & CSTOPB, rows[i].cflag_on & CSTOPB);
    // The rest as written: a pseudo-terminal drops the parity bits.
    termios t = back;
    t.c_iflag |= INPCK;
    apply_line_settings(t, *line);
    EXPECT_TRUE(t.c_iflag & INPCK) << "the parity check keeps its state";
    EXPECT_EQ(t.c_cflag & rows[i].cflag_on, rows[i].cflag_on);
    EXPECT_EQ(t.c_cflag & rows[i].cflag_off, 0u);
    EXPECT_EQ(t.c_iflag & rows[i].iflag_on, rows[i].iflag_on);
    EXPECT_EQ(t.c_iflag & rows[i].iflag_off, 0u);
    if (rows[i].iflag_on & IXON) {
      EXPECT_EQ(t.c_cc[VSTART], 0x11);
      EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    }
  }
  // Indexes outside their tables give no line at all.
  for (const auto& bad : {record(7, 3, 0, 0, 0), record(3, 4, 0, 0, 0), record(3, 3, 0, 2, 0), record(3, 3, 5, 0, 0)})
    EXPECT_FALSE(line_settings_for(*parse_port_settings(bad)));
  EXPECT_FALSE(parse_port_settings(std::vector<std::uint8_t>(47)));
  EXPECT_FALSE(open_test_port("/dev/mardo-no-such-port"));
}

TEST(SerialPort, LoopbackPassesOnlyWhenTheWholeTextComesBack) {
  struct row_t {
    std::string echo;  // empty: silence
    bool pass;
  };
  for (const row_t& r : {row_t{"KTO RS485 test1", true}, row_t{std::string("KTO RS485 test1\0", 16), true},
                         row_t{"KTO RS485 test", false}, row_t{"KTO RS485 TEST1", false}, row_t{"", false}}) {
    SCOPED_TRACE(r.echo);
    pty_pair pty;
    const serial_port port = open_test_port(pty.name);
    ASSERT_TRUE(port);
    ASSERT_TRUE(configure_test_port(port, {9600, 8, 0, 1, 0}));
    termios raw{};
    tcgetattr(pty.master, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty.master, TCSANOW, &raw);
    std::thread far_end([&] {
      char buf[64];
      const ssize_t n = read(pty.master, buf, sizeof buf);  // the 16 bytes sent
      EXPECT_EQ(n, 16);
      if (!r.echo.empty()) {
        EXPECT_EQ(write(pty.master, r.echo.data(), r.echo.size()), static_cast<ssize_t>(r.echo.size()));
      }
    });
    EXPECT_EQ(serial_loopback(port, "KTO RS485 test1", 0), r.pass);
    far_end.join();
  }
}

}  // namespace
}  // namespace mardo

namespace mardo {
namespace {

// The chooser lists ports with a device behind them: a USB adapter, an on-board UART, but
// neither a virtual terminal nor one of the on-board entries the kernel found no UART for.
TEST(SerialPortList, OnlyPortsWithHardwareBehindThemAreListed) {
  char dir_template[] = "/tmp/mardo-tty-XXXXXX";
  const std::string root = mkdtemp(dir_template);
  const auto entry = [&](const std::string& name, bool device, const char* type) {
    const std::string at = root + "/" + name;
    mkdir(at.c_str(), 0755);
    if (device) mkdir((at + "/device").c_str(), 0755);
    if (type) {
      FILE* f = std::fopen((at + "/type").c_str(), "w");
      std::fputs(type, f);
      std::fclose(f);
    }
  };
  entry("tty1", false, nullptr);
  entry("ttyS0", true, "4\n");
  entry("ttyS1", true, "0\n");
  entry("ttyUSB0", true, nullptr);
  EXPECT_EQ(list_serial_ports(root), (std::vector<std::string>{"/dev/ttyS0", "/dev/ttyUSB0"}));
  std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace mardo
