#include "core/device_table.h"

namespace mardo {

int adapter_table::count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(records_.size());
}

std::optional<dev_info_t> adapter_table::at(int index) const {
  std::lock_guard lock(mutex_);
  if (index < 0 || index >= static_cast<int>(records_.size())) return std::nullopt;
  return records_[static_cast<std::size_t>(index)];
}

std::vector<dev_info_t> adapter_table::snapshot() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void adapter_table::clear() {
  assign({});
}

void adapter_table::assign(std::vector<dev_info_t> records) {
  {
    std::lock_guard lock(mutex_);
    records_.swap(records);
  }
  // The old records go here, outside the lock: closing a handle can take a while.
}

std::optional<dev_addr_t> addr_map::lookup(const std::string& mac) const {
  std::lock_guard lock(addr_lock_);
  auto it = map_.find(mac);
  if (it == map_.end()) return std::nullopt;
  return it->second;
}

void addr_map::store(const std::string& mac, const dev_addr_t& addr) {
  std::lock_guard lock(addr_lock_);
  map_[mac] = addr;
}

void addr_map::clear() {
  std::lock_guard lock(addr_lock_);
  map_.clear();
}

std::size_t addr_map::size() const {
  std::lock_guard lock(addr_lock_);
  return map_.size();
}

bool seen_map::test_and_set(const std::string& mac) {
  std::lock_guard lock(seen_lock_);
  std::int32_t& value = map_[mac];
  const bool was = value == 1;
  value = 1;
  return was;
}

void seen_map::clear() {
  std::lock_guard lock(seen_lock_);
  map_.clear();
}

std::size_t seen_map::size() const {
  std::lock_guard lock(seen_lock_);
  return map_.size();
}

}  // namespace mardo
