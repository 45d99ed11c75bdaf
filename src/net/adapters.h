#pragma once
// The workstation's usable adapters: Ethernet and wireless interfaces, each opened for
// raw frames.
#include <string>
#include <vector>

#include "core/device_table.h"

namespace mardo {

// Room for the search's 128 threads, two per adapter.
inline constexpr int kMaxAdapters = 64;

// Closes the old handles and rebuilds the table in the system's interface order. Gives 0,
// or the system's error code when the interface list could not be read (table empty).
int enumerate_adapters(adapter_table& table);

// The adapters that could not be opened for raw frames (no capture library, or no right to
// capture on them), by name: cameras reached only by raw frames are not found through them.
std::vector<std::string> adapters_without_capture(const adapter_table& table);

}  // namespace mardo
