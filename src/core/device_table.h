#pragma once
// The state the main window owns: the workstation's usable adapters, and the maps the
// search fills alongside the device list.
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/device_list.h"

namespace mardo {

// The adapter's shared capture handle (net/capture_port.h): the core only keeps and copies it.
class capture_port;
using capture_port_ptr = std::shared_ptr<capture_port>;

inline constexpr int kMaxAdapterAddrs = 16;

// One usable network adapter. Copied by value; a copy shares the adapter's capture port,
// which stays open for as long as any copy holds it.
struct dev_info_t {
  char acName[128];                     // capture device name
  std::uint8_t aucMac[8];               // bytes 0..5 are the MAC
  char acIpAddr[kMaxAdapterAddrs][16];  // dotted IPv4 texts in the system's order
  char acIpMask[kMaxAdapterAddrs][16];
  std::int32_t iIpNum;          // valid entries, 1..16
  capture_port_ptr pCapHandle;  // null when the adapter could not be opened
};

// The adapters in the system's order; the index is the adapter index of every row tag.
//
// A search rebuilds the table while operation threads may still be using the old ports.
// Readers therefore get copies: no lock is held once a call returns, and a port dropped by
// a rebuild closes only when the last copy that holds it is gone.
class adapter_table {
 public:
  int count() const;
  // A copy of the record; refused (nothing) for an index outside the table.
  std::optional<dev_info_t> at(int index) const;
  // A copy of every record.
  std::vector<dev_info_t> snapshot() const;

  // Drops every record; a port that no copy holds is closed at once.
  void clear();
  // Puts the records of an enumeration in place of the table's.
  void assign(std::vector<dev_info_t> records);

 private:
  mutable std::mutex mutex_;
  std::vector<dev_info_t> records_;
};

// A camera's addresses as it gave them over multicast, each in network byte order
// (0xFFFFFFFF for a text that is not an address).
struct dev_addr_t {
  std::uint32_t uiIp;
  std::uint32_t uiNetmask;
  std::uint32_t uiGateway;
};

// MAC text (byte-wise compared) to the address record of the last multicast search.
class addr_map {
 public:
  std::optional<dev_addr_t> lookup(const std::string& mac) const;
  // Inserts or overwrites; a new key starts from a zeroed record.
  void store(const std::string& mac, const dev_addr_t& addr);
  void clear();
  std::size_t size() const;

 private:
  mutable std::mutex addr_lock_;
  std::map<std::string, dev_addr_t> map_;
};

// MAC texts the running search has handled; upper and lower case are different keys.
class seen_map {
 public:
  // Gives whether the key was already set, and sets it.
  bool test_and_set(const std::string& mac);
  void clear();
  std::size_t size() const;

 private:
  mutable std::mutex seen_lock_;
  std::map<std::string, std::int32_t> map_;
};

// Everything the main window owns for the cameras and the adapters.
struct device_state {
  adapter_table adapters;
  device_list list;
  addr_map addrs;
  seen_map seen;
  // Held by a search thread from adding a row until its last column and tag are written.
  std::mutex list_lock;
  std::atomic<std::int32_t> searching{0};
  std::atomic<std::int32_t> show_algo{0};
};

}  // namespace mardo
