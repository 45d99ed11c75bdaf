// A job holds cameras, not row numbers: what it writes reaches the camera it took, wherever the
// row went, and nothing else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/camera.h"
#include "core/text.h"

namespace mardo {
namespace {

void add_camera(device_state& state, char16_t letter, bool ticked) {
  const int row = state.list.add_row();
  state.list.set_text(row, kColMac, u"02-00-00-00-00-0" + std::u16string(1, letter));
  state.list.set_checked(row, ticked);
}

// Each row as "MAC:status", in list order.
std::vector<std::string> rows_of(const device_list& list) {
  std::vector<std::string> out;
  for (const list_row_t& r : list.rows())
    out.push_back(ansi_string(r.columns[kColMac]).substr(16) + ":" + ansi_string(r.columns[kColInfo]));
  return out;
}

TEST(CameraIdentity, ResultsReachTheirOwnCamerasAfterSortingTickingDeletingAndANewSearch) {
  device_state state;
  for (char16_t c : {u'A', u'B', u'C', u'D'}) add_camera(state, c, c != u'B');
  const std::vector<camera_t> job = start_ticked_cameras(state);
  ASSERT_EQ(job.size(), 3u);

  // Mid-run: the rows are sorted backwards, the ticks change, C's row is deleted.
  state.list.sort([](const list_row_t& a, const list_row_t& b) { return b.columns[kColMac].compare(a.columns[kColMac]); });
  for (int r = 0; r < state.list.count(); ++r) state.list.set_checked(r, r == 0);
  state.list.delete_row(state.list.row_of(job[1].id));
  for (const camera_t& c : job) show_status(state, c, "done " + c.mac.substr(16));
  EXPECT_EQ(rows_of(state.list), (std::vector<std::string>{"D:done D", "B:", "A:done A"}));
  EXPECT_EQ(ticked_cameras(state).front().mac, "02-00-00-00-00-0D");

  // A search replaces every row: the same cameras are new rows, which no earlier job writes.
  state.list.delete_all();
  for (char16_t c : {u'A', u'D'}) add_camera(state, c, false);
  for (const camera_t& c : job) EXPECT_FALSE(show_status(state, c, "late"));
  EXPECT_EQ(rows_of(state.list), (std::vector<std::string>{"A:", "D:"}));
}

// A progress text queued before the camera's final text was written is dropped when it lands.
TEST(CameraIdentity, QueuedProgressNeverCoversALaterFinalText) {
  device_state state;
  add_camera(state, u'A', true);
  const camera_t a = ticked_cameras(state).front();
  const std::uint64_t early = state.list.status_ticket();
  show_status(state, a, "final");
  EXPECT_FALSE(show_status(state, a, "progress 90%", early));
  const std::uint64_t late = state.list.status_ticket();
  EXPECT_TRUE(show_status(state, a, "progress 10%", late));
  EXPECT_EQ(rows_of(state.list), (std::vector<std::string>{"A:progress 10%"}));
}

}  // namespace
}  // namespace mardo
