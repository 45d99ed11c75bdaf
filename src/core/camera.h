#pragma once
// What a job knows of each camera it works on, taken once when the job starts: it sends from
// this and writes its results through the camera's id, never through a row number, so sorting,
// searching, ticking and deleting rows meanwhile change neither whom it serves nor where its
// results land.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/device_table.h"

namespace mardo {

struct camera_t {
  camera_id id = 0;
  int row = -1;  // where the row was when taken: for messages, never for writing
  std::string mac;           // column 1
  std::string ip;            // column 2
  std::string full_version;  // column 7
  bool shared_address = false;  // column 6 marked
  std::uint32_t tag = 0;
  std::optional<dev_info_t> adapter;    // the adapter of the tag, as the table held it
  std::optional<dev_addr_t> multicast;  // the address record when found over multicast

  int adapter_index() const { return row_adapter(tag); }
};

// One row's camera; nothing for a row that is not there.
std::optional<camera_t> camera_at(const device_state& state, int row);
// The ticked rows' cameras in list order, from one copy of the list.
std::vector<camera_t> ticked_cameras(const device_state& state);
// Every row's status text emptied, as the jobs that report into rows begin.
void clear_statuses(device_list& list);
// Both, from one copy of the list.
std::vector<camera_t> start_ticked_cameras(device_state& state);

// The camera's status text (column 5). A row that is gone gets nothing and the text goes to
// the event log instead; a queued text (ticket from status_ticket) older than the row's last
// is dropped. False when the row did not take it.
bool show_status(device_state& state, const camera_t& camera, std::string_view text,
                 std::uint64_t ticket = 0);

}  // namespace mardo
