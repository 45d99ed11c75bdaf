#pragma once
// The state the main window owns: the workstation's usable adapters, and the maps the
// search fills alongside the device list.
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "app/device_list.h"
#include "net/capture.h"

namespace mardo {

inline constexpr int kMaxAdapterAddrs = 16;

// One usable network adapter. Plain and fixed-size: copied by value.
struct dev_info_t {
  char acName[128];                     // capture device name
  std::uint8_t aucMac[8];               // bytes 0..5 are the MAC
  char acIpAddr[kMaxAdapterAddrs][16];  // dotted IPv4 texts in the system's order
  char acIpMask[kMaxAdapterAddrs][16];
  std::int32_t iIpNum;  // valid entries, 1..16
  pcap_t* pCapHandle;   // null when the adapter could not be opened
};

// The adapters in the system's order; the index is the adapter index of every row tag.
//
// A search closes and replaces the capture handles while operation threads may be
// using them. Readers therefore go through an adapter_ref, which holds the table's
// shared lock for as long as it lives; a rebuild takes the lock exclusively and so waits
// until no handle of the old table is in use. A closed handle is never reachable.
class adapter_table {
 public:
  class adapter_ref {
   public:
    const dev_info_t& operator*() const { return *info_; }
    const dev_info_t* operator->() const { return info_; }

   private:
    friend class adapter_table;
    adapter_ref(std::shared_lock<std::shared_mutex> lock, const dev_info_t* info)
        : lock_(std::move(lock)), info_(info) {}
    std::shared_lock<std::shared_mutex> lock_;
    const dev_info_t* info_;
  };

  // Exclusive access for a rebuild. A thread that holds an adapter_ref must not rebuild.
  class rebuild_guard {
   public:
    void append(const dev_info_t& info) { table_.records_.push_back(info); }
    // Closes every open handle (null ones are skipped), then empties the table.
    void clear();

   private:
    friend class adapter_table;
    explicit rebuild_guard(adapter_table& table) : table_(table), lock_(table.mutex_) {}
    adapter_table& table_;
    std::unique_lock<std::shared_mutex> lock_;
  };

  int count() const;
  // Refuses (gives nothing for) an index outside the table.
  std::optional<adapter_ref> at(int index) const;
  // A copy of every record, for a caller that only needs names and addresses.
  std::vector<dev_info_t> snapshot() const;

  rebuild_guard rebuild() { return rebuild_guard(*this); }

 private:
  mutable std::shared_mutex mutex_;
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
