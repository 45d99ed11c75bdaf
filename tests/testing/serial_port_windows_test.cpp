// The Windows serial port: the settings reaching the DCB, the port list from the registry, and
// names that are no port of this machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/serial_port_windows.h"

namespace mardo {
namespace {

TEST(SerialPortWindows, EverySettingOfTheLineReachesTheDcb) {
  struct row_t {
    const char* name;
    line_settings_t line;
    DWORD baud;
    BYTE bits, parity, stop;
    bool cts, xon_xoff;  // the flow fields, unless the mode changes none of them
  };
  const row_t rows[] = {
      {"115200 8N1 no flow", {115200, 8, 0, 1, 0}, 115200, 8, NOPARITY, ONESTOPBIT, false, false},
      {"1200 5O2 RTS/CTS", {1200, 5, 1, 2, 1}, 1200, 5, ODDPARITY, TWOSTOPBITS, true, false},
      {"9600 7E1 XON/XOFF", {9600, 7, 2, 1, 2}, 9600, 7, EVENPARITY, ONESTOPBIT, false, true},
      {"19200 8M1 mode 5", {19200, 8, 3, 1, 5}, 19200, 8, MARKPARITY, ONESTOPBIT, true, true},
      {"38400 6S1", {38400, 6, 4, 1, 0}, 38400, 6, SPACEPARITY, ONESTOPBIT, false, false},
  };
  for (const row_t& r : rows) {
    SCOPED_TRACE(r.name);
    // A port that had every flow control on, its parity check too.
    DCB dcb{};
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = dcb.fOutX = dcb.fInX = TRUE;
    dcb.fDsrSensitivity = dcb.fTXContinueOnXoff = TRUE;
    apply_line_settings(dcb, r.line);
    EXPECT_EQ(dcb.BaudRate, r.baud);
    EXPECT_EQ(dcb.ByteSize, r.bits);
    EXPECT_EQ(dcb.Parity, r.parity);
    EXPECT_EQ(dcb.StopBits, r.stop);
    EXPECT_TRUE(dcb.fParity) << "the parity check keeps its state";
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_FALSE(dcb.fDsrSensitivity);
    EXPECT_FALSE(dcb.fTXContinueOnXoff);
    EXPECT_EQ(dcb.fOutxCtsFlow != 0, r.cts);
    EXPECT_EQ(dcb.fOutX != 0, r.xon_xoff);
    EXPECT_EQ(dcb.fInX != 0, r.xon_xoff);
    if (r.line.flow_mode == 2) {
      EXPECT_EQ(dcb.XonChar, 0x11);
      EXPECT_EQ(dcb.XoffChar, 0x13);
      EXPECT_EQ(dcb.XonLim, 100);
      EXPECT_EQ(dcb.XoffLim, 100);
    }
  }
}

// The chooser shows COM2 before COM10, whatever order the registry gives; values that hold
// no port name are passed over.
TEST(SerialPortWindows, PortsAreListedInTheOrderAUserCounts) {
  const std::wstring key = L"Software\\mardo-test-serial-" + std::to_wstring(GetCurrentProcessId());
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &k, nullptr),
            ERROR_SUCCESS);
  const auto text = [&](const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  };
  text(L"\\Device\\Serial0", L"COM10");
  text(L"\\Device\\Serial1", L"COM2");
  text(L"\\Device\\VCP0", L"COM1");
  text(L"\\Device\\Empty", L"");
  const DWORD number = 3;
  RegSetValueExW(k, L"\\Device\\Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                 sizeof number);
  RegCloseKey(k);
  EXPECT_EQ(list_serial_ports(HKEY_CURRENT_USER, key.c_str()),
            (std::vector<std::string>{"COM1", "COM2", "COM10"}));
  RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
  EXPECT_TRUE(list_serial_ports(HKEY_CURRENT_USER, key.c_str()).empty());
}

// Neither a port this machine lacks nor a device that is no serial port opens.
TEST(SerialPortWindows, OnlyExistingSerialPortsOpen) {
  EXPECT_FALSE(open_test_port("COM999"));
  EXPECT_FALSE(open_test_port("NUL"));
}

}  // namespace
}  // namespace mardo
