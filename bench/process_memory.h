#pragma once
// The process's resident memory as the kernel reports it, for the benchmarks' memory targets.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace mardo::bench {

// A "/proc/self/status" field in KiB ("VmRSS:", "VmHWM:"), or -1 where it cannot be read.
inline long status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// Starts the peak (VmHWM) over from the current resident set, so what came before does not count.
inline void reset_peak_rss() {
  std::ofstream("/proc/self/clear_refs") << "5";
}

}  // namespace mardo::bench
