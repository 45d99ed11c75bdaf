#include "app/core/device_list.h"

#include <algorithm>

namespace mardo {

void device_list::notify(list_change_t::kind_t kind, int row, int column,
                         const std::u16string* text) const {
  const list_change_t change{kind, row, column, text};
  for (const auto& entry : observers_) entry.second(change);
}

int device_list::add_row() {
  std::lock_guard lock(mutex_);
  row_t row;
  const std::string number = std::to_string(rows_.size() + 1);
  row.columns[kColId].assign(number.begin(), number.end());
  rows_.push_back(std::move(row));
  const int index = static_cast<int>(rows_.size()) - 1;
  notify(list_change_t::kInserted, index);
  return index;
}

bool device_list::set_text(int row, int column, std::u16string_view text) {
  std::lock_guard lock(mutex_);
  if (!valid(row) || column < 0 || column >= kColumnCount) return false;
  rows_[row].columns[column].assign(text);
  notify(list_change_t::kText, row, column, &rows_[row].columns[column]);
  return true;
}

std::u16string device_list::text(int row, int column) const {
  std::lock_guard lock(mutex_);
  if (!valid(row) || column < 0 || column >= kColumnCount) return {};
  return rows_[row].columns[column];
}

bool device_list::set_tag(int row, std::uint32_t tag) {
  std::lock_guard lock(mutex_);
  if (!valid(row)) return false;
  rows_[row].tag = tag;
  notify(list_change_t::kTag, row);
  return true;
}

std::uint32_t device_list::tag(int row) const {
  std::lock_guard lock(mutex_);
  return valid(row) ? rows_[row].tag : 0;
}

bool device_list::checked(int row) const {
  std::lock_guard lock(mutex_);
  return valid(row) && rows_[row].checked;
}

bool device_list::set_checked(int row, bool on) {
  std::lock_guard lock(mutex_);
  if (!valid(row)) return false;
  if (rows_[row].checked != on) {
    rows_[row].checked = on;
    notify(list_change_t::kCheck, row);
  }
  return true;
}

int device_list::count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(rows_.size());
}

void device_list::delete_all() {
  std::lock_guard lock(mutex_);
  rows_.clear();
  notify(list_change_t::kReset, -1);
}

bool device_list::delete_row(int row) {
  std::lock_guard lock(mutex_);
  if (!valid(row)) return false;
  rows_.erase(rows_.begin() + row);
  notify(list_change_t::kRemoved, row);
  return true;
}

void device_list::sort(const row_compare& compare) {
  std::lock_guard lock(mutex_);
  std::stable_sort(rows_.begin(), rows_.end(),
                   [&](const row_t& a, const row_t& b) { return compare(a, b) < 0; });
  notify(list_change_t::kReset, -1);
}

int device_list::subscribe(observer fn) {
  std::lock_guard lock(mutex_);
  const int id = next_observer_++;
  observers_.emplace_back(id, std::move(fn));
  return id;
}

void device_list::unsubscribe(int id) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

}  // namespace mardo
