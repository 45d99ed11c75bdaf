#pragma once
// The device list: one row per camera with eleven text columns, a check box and a
// 32-bit tag whose high half is the adapter index. Worker threads write it while the
// window shows it, so every single call is atomic; a sequence of calls that must not
// interleave with another thread's (adding and filling a row) is the caller's to lock.
//
// Row numbers are presentation: a search clears and sorts the rows, the user deletes them.
// Every row also carries a camera id given when it is added and never given again, and a
// job writes its results through that id, so a result reaches its own camera's row or none.
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mardo {

enum device_column : int {
  kColId = 0,
  kColMac = 1,
  kColIp = 2,
  kColVer = 3,
  kColDev = 4,
  kColInfo = 5,
  kColDupMark = 6,
  kColFullVersion = 7,
  kColEtherName = 8,
  kColLocalMac = 9,
  kColAlgo = 10,
  kColumnCount = 11,
};

struct column_spec_t {
  const char16_t* header;
  int width;  // pixels at start; hidden columns are 0 wide but still hold text
};

inline constexpr std::array<column_spec_t, kColumnCount> kDeviceColumns = {{
    {u"id", 60},
    {u"mac", 130},
    {u"ip", 110},
    {u"ver", 360},
    {u"dev", 160},
    {u"info", 160},
    {u"", 0},
    {u"", 0},
    {u"ether name", 0},
    {u"localmac", 0},
    {u"algo", 0},
}};

// The adapter of a row, from its tag.
inline int row_adapter(std::uint32_t row_tag) {
  return static_cast<int>(row_tag / 65536);
}
inline std::uint32_t make_row_tag(int row, int adapter) {
  return (static_cast<std::uint32_t>(row) & 0xFFFFu) | (static_cast<std::uint32_t>(adapter) << 16);
}

// A row's identity for as long as the process lives; 0 is no row.
using camera_id = std::uint64_t;

struct list_change_t {
  enum kind_t { kReset, kInserted, kRemoved, kText, kTag, kCheck };
  kind_t kind;
  int row;     // -1 for kReset
  int column;  // for kText only
  camera_id id = 0;  // the row's camera (kText)
  // kText: the new text, valid during the notice only (an observer may not read the list).
  const std::u16string* text = nullptr;
};

// One row as a sort sees it.
struct list_row_t {
  std::array<std::u16string, kColumnCount> columns;
  bool checked = false;
  std::uint32_t tag = 0;
  camera_id id = 0;
  // The ticket of the last status text written (see status_ticket).
  std::uint64_t status_ticket = 0;
};

class device_list {
 public:
  using observer = std::function<void(const list_change_t&)>;
  // Three-way comparison of two rows.
  using row_compare = std::function<int(const list_row_t&, const list_row_t&)>;

  // Appends a row with column 0 set to its 1-based number and a new camera id; gives its index.
  int add_row();
  // The same, giving the new row's camera id: a writer that fills the row afterwards writes
  // through it, since a deletion meanwhile renumbers the rows.
  camera_id append_row();
  camera_id id(int row) const;
  // The row that holds the camera now; -1 when it was deleted or replaced.
  int row_of(camera_id id) const;
  // A copy of one row, or of every row, taken under one lock.
  std::optional<list_row_t> row(int row) const;
  std::vector<list_row_t> rows() const;
  // Writes a column of the camera's row, wherever it is now; false when the row is gone.
  bool set_text_of(camera_id id, int column, std::u16string_view text);
  bool set_tag_of(camera_id id, std::uint32_t tag);
  // A column of the camera's row as it is now; empty when the row is gone.
  std::u16string text_of(camera_id id, int column) const;

  // Status texts (column 5) are ordered per camera by tickets: a text queued to another thread
  // takes its ticket when it is queued, and lands only if no later text was written meanwhile,
  // so a late progress report never covers a final result.
  std::uint64_t status_ticket();
  // ticket 0: a new one, taken now. False when the row is gone or a later text is there.
  bool set_status_of(camera_id id, std::u16string_view text, std::uint64_t ticket = 0);
  // Row or column out of range: set_* give false, getters give empty/0/false.
  bool set_text(int row, int column, std::u16string_view text);
  std::u16string text(int row, int column) const;
  bool set_tag(int row, std::uint32_t tag);
  std::uint32_t tag(int row) const;
  bool checked(int row) const;
  bool set_checked(int row, bool on);
  int count() const;
  void delete_all();
  bool delete_row(int row);
  // Reorders the rows; rows the comparison finds equal keep no particular order.
  void sort(const row_compare& compare);

  // Observers hear every change after it is made, on the thread that made it and while
  // the list is locked, so they see changes in order; they must not call back into the
  // list (the Qt model queues the notice to the GUI thread). Gives an id for unsubscribe.
  int subscribe(observer fn);
  void unsubscribe(int id);

 private:
  using row_t = list_row_t;
  bool valid(int row) const { return row >= 0 && row < static_cast<int>(rows_.size()); }
  int find(camera_id id) const;
  int append();  // locked by the caller
  void notify(list_change_t::kind_t kind, int row, int column = -1,
              const std::u16string* text = nullptr) const;
  void write(int row, int column, std::u16string_view text);

  mutable std::mutex mutex_;
  std::vector<row_t> rows_;
  std::vector<std::pair<int, observer>> observers_;
  int next_observer_ = 1;
  camera_id next_id_ = 1;
  std::uint64_t next_ticket_ = 1;
};

// Whether some row has its check box set: the commands that act on ticked rows do nothing else.
inline bool any_checked(const device_list& list) {
  for (int r = 0; r < list.count(); ++r)
    if (list.checked(r)) return true;
  return false;
}

}  // namespace mardo
