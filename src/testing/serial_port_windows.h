#pragma once
// The Windows side of the serial port, for tests: the DCB settings a line gets, and the port
// list from a registry key of the test's making.
#include <windows.h>

#include <string>
#include <vector>

#include "testing/serial_port.h"

namespace mardo {

// The settings applied to a port's current DCB: what configure_test_port writes back.
void apply_line_settings(DCB& dcb, const line_settings_t& line);

// The port names held as the string values of key, COM2 before COM10; list_serial_ports()
// reads the system's list under HKEY_LOCAL_MACHINE.
std::vector<std::string> list_serial_ports(HKEY root, const wchar_t* key);

}  // namespace mardo
