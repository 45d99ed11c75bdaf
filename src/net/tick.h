#pragma once
// The millisecond tick count every time-out is measured with.
#include <chrono>
#include <cstdint>

namespace mardo {

inline std::uint64_t tick_ms() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace mardo
