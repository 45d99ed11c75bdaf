#include "core/camera.h"

#include "core/log.h"
#include "core/text.h"

namespace mardo {
namespace {

camera_t camera_of(const device_state& state, const list_row_t& row, int index) {
  camera_t c;
  c.id = row.id;
  c.row = index;
  c.mac = ansi_string(row.columns[kColMac]);
  c.ip = ansi_string(row.columns[kColIp]);
  c.full_version = ansi_string(row.columns[kColFullVersion]);
  c.shared_address = row.columns[kColDupMark] == u"1";
  c.tag = row.tag;
  c.adapter = state.adapters.at(c.adapter_index());
  c.multicast = state.addrs.lookup(c.mac);
  return c;
}

std::vector<camera_t> ticked_of(const device_state& state, const std::vector<list_row_t>& rows) {
  std::vector<camera_t> out;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].checked) out.push_back(camera_of(state, rows[i], static_cast<int>(i)));
  return out;
}

}  // namespace

std::optional<camera_t> camera_at(const device_state& state, int row) {
  const std::optional<list_row_t> r = state.list.row(row);
  if (!r) return std::nullopt;
  return camera_of(state, *r, row);
}

std::vector<camera_t> ticked_cameras(const device_state& state) {
  return ticked_of(state, state.list.rows());
}

void clear_statuses(device_list& list) {
  for (const list_row_t& row : list.rows()) list.set_status_of(row.id, u"");
}

std::vector<camera_t> start_ticked_cameras(device_state& state) {
  const std::vector<list_row_t> rows = state.list.rows();
  for (const list_row_t& row : rows) state.list.set_status_of(row.id, u"");
  return ticked_of(state, rows);
}

bool show_status(device_state& state, const camera_t& camera, std::string_view text,
                 std::uint64_t ticket) {
  if (state.list.set_status_of(camera.id, wide_string(text), ticket)) return true;
  if (ticket == 0 && !text.empty()) {
    const std::string line = "[ " + camera.mac + " " + camera.ip + " ] " + std::string(text);
    log_event(line.c_str());
  }
  return false;
}

}  // namespace mardo
