#pragma once
// The steps of serial_loopback, one copy for every platform; each platform's file moves the
// bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/stop.h"
#include "net/tick.h"
#include "testing/serial_port.h"

namespace mardo {

inline constexpr int kSerialIoTimeoutMs = 1000;

// Moves what it can of data, returning by the deadline (a tick_ms() value) or soon after a
// stop request: the byte count, 0 when none moved yet, nothing when the port failed.
using serial_transfer = std::optional<std::size_t> (*)(native_port_t port, std::span<char> data,
                                                       std::uint64_t deadline);

// How long one wait may take: up to the deadline, a stop slice at the most.
inline int wait_slice_until(std::uint64_t deadline) {
  const std::uint64_t now = tick_ms();
  return now >= deadline ? 0
                         : static_cast<int>(std::min<std::uint64_t>(kStopSliceMs, deadline - now));
}

bool run_serial_loopback(native_port_t port, std::string_view text, int pause_ms,
                         serial_transfer write, serial_transfer read);

}  // namespace mardo
