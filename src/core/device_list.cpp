#include "core/device_list.h"

#include <algorithm>

namespace mardo {

void device_list::notify(list_change_t::kind_t kind, int row, int column,
                         const std::u16string* text) const {
  const camera_id id = valid(row) ? rows_[static_cast<std::size_t>(row)].id : 0;
  const list_change_t change{kind, row, column, id, text};
  for (const auto& entry : observers_) entry.second(change);
}

int device_list::find(camera_id id) const {
  if (id == 0) return -1;
  for (std::size_t r = 0; r < rows_.size(); ++r)
    if (rows_[r].id == id) return static_cast<int>(r);
  return -1;
}

void device_list::write(int row, int column, std::u16string_view text) {
  std::u16string& cell = rows_[static_cast<std::size_t>(row)].columns[static_cast<std::size_t>(column)];
  cell.assign(text);
  notify(list_change_t::kText, row, column, &cell);
}

int device_list::add_row() {
  std::lock_guard lock(mutex_);
  return append();
}

camera_id device_list::append_row() {
  std::lock_guard lock(mutex_);
  return rows_[static_cast<std::size_t>(append())].id;
}

int device_list::append() {
  row_t row;
  row.id = next_id_++;
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
  if (column == kColInfo) rows_[static_cast<std::size_t>(row)].status_ticket = next_ticket_++;
  write(row, column, text);
  return true;
}

camera_id device_list::id(int row) const {
  std::lock_guard lock(mutex_);
  return valid(row) ? rows_[static_cast<std::size_t>(row)].id : 0;
}

int device_list::row_of(camera_id id) const {
  std::lock_guard lock(mutex_);
  return find(id);
}

std::optional<list_row_t> device_list::row(int row) const {
  std::lock_guard lock(mutex_);
  if (!valid(row)) return std::nullopt;
  return rows_[static_cast<std::size_t>(row)];
}

std::vector<list_row_t> device_list::rows() const {
  std::lock_guard lock(mutex_);
  return rows_;
}

bool device_list::set_tag_of(camera_id id, std::uint32_t tag) {
  std::lock_guard lock(mutex_);
  const int row = find(id);
  if (row < 0) return false;
  rows_[static_cast<std::size_t>(row)].tag = tag;
  notify(list_change_t::kTag, row);
  return true;
}

std::u16string device_list::text_of(camera_id id, int column) const {
  std::lock_guard lock(mutex_);
  const int row = find(id);
  if (row < 0 || column < 0 || column >= kColumnCount) return {};
  return rows_[static_cast<std::size_t>(row)].columns[static_cast<std::size_t>(column)];
}

bool device_list::set_text_of(camera_id id, int column, std::u16string_view text) {
  if (column == kColInfo) return set_status_of(id, text);
  std::lock_guard lock(mutex_);
  const int row = find(id);
  if (row < 0 || column < 0 || column >= kColumnCount) return false;
  write(row, column, text);
  return true;
}

std::uint64_t device_list::status_ticket() {
  std::lock_guard lock(mutex_);
  return next_ticket_++;
}

bool device_list::set_status_of(camera_id id, std::u16string_view text, std::uint64_t ticket) {
  std::lock_guard lock(mutex_);
  const int row = find(id);
  if (row < 0) return false;
  if (ticket == 0) ticket = next_ticket_++;
  std::uint64_t& last = rows_[static_cast<std::size_t>(row)].status_ticket;
  if (ticket < last) return false;
  last = ticket;
  write(row, kColInfo, text);
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
