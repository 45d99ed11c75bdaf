#pragma once
// The system's side of adapter enumeration, one implementation per platform: the usable
// Ethernet and wireless adapters, exclusions applied, in the system's order. The shared part
// (net/adapters.cpp) turns them into adapter_table records and opens them.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mardo {

struct adapter_candidate_t {
  std::string name;  // capture device name
  std::uint8_t mac[8] = {};
  std::vector<std::pair<std::string, std::string>> addrs;  // IPv4 address and mask texts
};

// Gives 0, or the system's error code when the adapter list could not be read.
int list_adapters(std::vector<adapter_candidate_t>& found);

}  // namespace mardo
