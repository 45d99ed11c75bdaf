#pragma once
// The Linux side of the serial port, for tests: the termios settings a line gets, and the port
// list from a sysfs tree of the test's making.
#include <termios.h>

#include <string>
#include <vector>

#include "testing/serial_port.h"

namespace mardo {

// The settings applied to a port's current termios: what configure_test_port writes back.
// A pseudo-terminal keeps no parity, so tests look at this rather than read it back.
void apply_line_settings(termios& t, const line_settings_t& line);

// The entries of sys_tty with a device behind them, without the on-board ones that have no
// UART; list_serial_ports() reads /sys/class/tty.
std::vector<std::string> list_serial_ports(const std::string& sys_tty);

}  // namespace mardo
