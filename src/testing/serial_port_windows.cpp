#include "testing/serial_port_windows.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/text.h"
#include "testing/serial_exchange.h"

namespace mardo {
namespace {

constexpr wchar_t kSerialCommKey[] = L"Hardware\\DeviceMap\\SerialComm";
constexpr DWORD kValueNameChars = 256;
constexpr DWORD kValueDataBytes = 256;
constexpr std::string_view kDevicePrefix = "\\\\.\\";
constexpr char kXon = 0x11, kXoff = 0x13;
constexpr WORD kFlowLimit = 100;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// COM2 before COM10: the numbers of the names compare as numbers.
bool natural_less(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (!is_digit(a[i]) || !is_digit(b[j])) {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i, ++j;
      continue;
    }
    std::size_t i_end = i, j_end = j;
    while (i_end < a.size() && is_digit(a[i_end])) ++i_end;
    while (j_end < b.size() && is_digit(b[j_end])) ++j_end;
    std::string_view x = a.substr(i, i_end - i), y = b.substr(j, j_end - j);
    x.remove_prefix(std::min(x.find_first_not_of('0'), x.size()));
    y.remove_prefix(std::min(y.find_first_not_of('0'), y.size()));
    if (x.size() != y.size()) return x.size() < y.size();
    if (x != y) return x < y;
    i = i_end, j = j_end;
  }
  return i == a.size() && j < b.size();
}

// One overlapped read or write, waited for in slices so that a stop request ends it early;
// not finished by the deadline, it is cancelled. The bytes it moved; nothing when it failed.
std::optional<std::size_t> transfer(HANDLE port, bool write, std::span<char> data,
                                    std::uint64_t deadline) {
  OVERLAPPED o{};
  o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!o.hEvent) return std::nullopt;
  const DWORD size = static_cast<DWORD>(data.size());
  const BOOL done = write ? WriteFile(port, data.data(), size, nullptr, &o)
                          : ReadFile(port, data.data(), size, nullptr, &o);
  if (!done && GetLastError() != ERROR_IO_PENDING) {
    CloseHandle(o.hEvent);
    return std::nullopt;
  }
  while (!done) {
    const DWORD waited =
        WaitForSingleObject(o.hEvent, static_cast<DWORD>(wait_slice_until(deadline)));
    if (waited == WAIT_OBJECT_0) break;
    if (waited != WAIT_TIMEOUT || tick_ms() >= deadline || stop_requested()) {
      CancelIo(port);
      break;
    }
  }
  // Waits for a cancelled transfer to end too: until then the system still uses o and data.
  DWORD moved = 0;
  const bool ok =
      GetOverlappedResult(port, &o, &moved, TRUE) || GetLastError() == ERROR_OPERATION_ABORTED;
  CloseHandle(o.hEvent);
  if (!ok) return std::nullopt;
  return moved;
}

std::optional<std::size_t> write_some(HANDLE port, std::span<char> data, std::uint64_t deadline) {
  return transfer(port, true, data, deadline);
}

std::optional<std::size_t> read_some(HANDLE port, std::span<char> data, std::uint64_t deadline) {
  return transfer(port, false, data, deadline);
}

}  // namespace

std::vector<std::string> list_serial_ports(HKEY root, const wchar_t* key) {
  std::vector<std::string> ports;
  HKEY names = nullptr;
  if (RegOpenKeyExW(root, key, 0, KEY_READ, &names) != ERROR_SUCCESS) return ports;
  for (DWORD i = 0;; ++i) {
    wchar_t name[kValueNameChars];
    DWORD name_chars = kValueNameChars;
    wchar_t data[kValueDataBytes / sizeof(wchar_t)];
    DWORD data_bytes = kValueDataBytes;
    DWORD type = 0;
    const LSTATUS r = RegEnumValueW(names, i, name, &name_chars, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &data_bytes);
    if (r == ERROR_MORE_DATA) continue;  // too long for a port name
    if (r != ERROR_SUCCESS) break;       // ERROR_NO_MORE_ITEMS, or a key gone meanwhile
    if (type != REG_SZ) continue;
    // Registry strings need not end in a NUL, nor end at the first one.
    std::wstring_view port(data, data_bytes / sizeof(wchar_t));
    port = port.substr(0, port.find(L'\0'));
    if (!port.empty()) ports.push_back(ansi_string(std::u16string(port.begin(), port.end())));
  }
  RegCloseKey(names);
  std::sort(ports.begin(), ports.end(), natural_less);
  return ports;
}

std::vector<std::string> list_serial_ports() {
  return list_serial_ports(HKEY_LOCAL_MACHINE, kSerialCommKey);
}

serial_port open_test_port(const std::string& name) {
  // The device path reaches COM10 and above, which the bare name does not.
  const std::u16string path =
      wide_string(name.starts_with(kDevicePrefix) ? name : std::string(kDevicePrefix) + name);
  const HANDLE h =
      CreateFileW(std::wstring(path.begin(), path.end()).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                  nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  serial_port port(h);
  // Only a communications device: a disk or pipe named by mistake is never written to.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) port.close();
  return port;
}

void serial_port::close() {
  if (handle_ != kNone) CloseHandle(std::exchange(handle_, kNone));
}

void apply_line_settings(DCB& dcb, const line_settings_t& line) {
  dcb.BaudRate = static_cast<DWORD>(line.baud);
  dcb.ByteSize = static_cast<BYTE>(line.data_bits);
  // The record's parity codes are the platform's, NOPARITY to SPACEPARITY; the record does
  // not switch the parity check (fParity).
  dcb.Parity = static_cast<BYTE>(line.parity);
  dcb.StopBits = line.stop_bits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;  // the only mode Windows has
  // Whatever another program left: no read may end at a line error, no byte be dropped or
  // replaced.
  dcb.fAbortOnError = FALSE;
  dcb.fNull = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = FALSE;
  switch (line.flow_mode) {
    case 0:
    case 1:
      dcb.fOutxCtsFlow = line.flow_mode == 1;
      dcb.fOutxDsrFlow = FALSE;
      dcb.fOutX = FALSE;
      dcb.fInX = FALSE;
      break;
    case 2:
      dcb.fOutxCtsFlow = FALSE;
      dcb.fOutxDsrFlow = FALSE;
      dcb.fOutX = TRUE;
      dcb.fInX = TRUE;
      dcb.XonChar = kXon;
      dcb.XoffChar = kXoff;
      dcb.XonLim = kFlowLimit;
      dcb.XoffLim = kFlowLimit;
      break;
    default:
      break;  // other modes change nothing beyond the line
  }
}

bool configure_test_port(const serial_port& port, const line_settings_t& line) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port.native(), &dcb)) return false;
  apply_line_settings(dcb, line);
  if (!SetCommState(port.native(), &dcb)) return false;
  COMMTIMEOUTS t{};
  if (!GetCommTimeouts(port.native(), &t)) return false;
  // A read ends as soon as bytes are there, as poll() does on Linux, so serial_loopback keeps
  // its own deadline and a cancel at the deadline loses nothing that came.
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = MAXDWORD;
  t.ReadTotalTimeoutConstant = kSerialIoTimeoutMs;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = kSerialIoTimeoutMs;
  return SetCommTimeouts(port.native(), &t) != 0;
}

bool serial_loopback(const serial_port& port, std::string_view text, int pause_ms) {
  return run_serial_loopback(port.native(), text, pause_ms, write_some, read_some);
}

}  // namespace mardo
