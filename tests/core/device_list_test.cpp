#include "core/device_list.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace mardo {
namespace {

TEST(DeviceList, AddRowAppendsAndNumbersColumnZero) {
  device_list list;
  EXPECT_EQ(list.add_row(), 0);
  EXPECT_EQ(list.add_row(), 1);
  EXPECT_EQ(list.add_row(), 2);
  EXPECT_EQ(list.count(), 3);
  EXPECT_EQ(list.text(0, kColId), u"1");
  EXPECT_EQ(list.text(2, kColId), u"3");
  // After a deletion, the next row is numbered from the new count.
  list.delete_row(0);
  EXPECT_EQ(list.add_row(), 2);
  EXPECT_EQ(list.text(2, kColId), u"3");
}

TEST(DeviceList, OutOfRangeAccessIsRefusedAndHarmless) {
  device_list list;
  list.add_row();
  EXPECT_FALSE(list.set_text(1, kColMac, u"x"));
  EXPECT_FALSE(list.set_text(0, kColumnCount, u"x"));
  EXPECT_FALSE(list.set_text(-1, 0, u"x"));
  EXPECT_FALSE(list.set_tag(5, 1));
  EXPECT_FALSE(list.set_checked(5, true));
  EXPECT_FALSE(list.delete_row(1));
  EXPECT_EQ(list.text(7, 1), u"");
  EXPECT_EQ(list.tag(7), 0u);
  EXPECT_FALSE(list.checked(7));
  EXPECT_EQ(list.count(), 1);
}

TEST(DeviceList, TextTagAndCheckRoundTrip) {
  device_list list;
  const int row = list.add_row();
  ASSERT_TRUE(list.set_text(row, kColInfo, u"升级成功，相机即将重启！"));
  ASSERT_TRUE(list.set_tag(row, make_row_tag(7, 3)));
  ASSERT_TRUE(list.set_checked(row, true));
  EXPECT_EQ(list.text(row, kColInfo), u"升级成功，相机即将重启！");
  EXPECT_EQ(list.tag(row), 0x00030007u);
  EXPECT_EQ(row_adapter(list.tag(row)), 3);
  EXPECT_TRUE(list.checked(row));
}

TEST(DeviceList, RowTagKeepsIndexLowAndAdapterHigh) {
  EXPECT_EQ(make_row_tag(0, 0), 0u);
  EXPECT_EQ(make_row_tag(65535, 1), 0x0001FFFFu);
  EXPECT_EQ(row_adapter(0x0002FFFFu), 2);
  EXPECT_EQ(row_adapter(0), 0);  // hand-entered rows belong to adapter 0
}

TEST(DeviceList, DeleteOneKeepsOthersInOrder) {
  device_list list;
  for (int i = 0; i < 3; ++i)
    list.set_text(list.add_row(), kColMac, i == 0 ? u"a" : i == 1 ? u"b" : u"c");
  ASSERT_TRUE(list.delete_row(1));
  ASSERT_EQ(list.count(), 2);
  EXPECT_EQ(list.text(0, kColMac), u"a");
  EXPECT_EQ(list.text(1, kColMac), u"c");
  list.delete_all();
  EXPECT_EQ(list.count(), 0);
}

TEST(DeviceList, SortReordersWholeRowsByTagComparison) {
  device_list list;
  const std::uint32_t tags[] = {30, 10, 20};
  for (std::uint32_t t : tags) {
    const int row = list.add_row();
    list.set_tag(row, t);
    const std::string text = std::to_string(t);
    list.set_text(row, kColIp, std::u16string(text.begin(), text.end()));
    list.set_checked(row, t == 10);
  }
  list.sort([](const list_row_t& a, const list_row_t& b) {
    return a.tag < b.tag ? -1 : a.tag > b.tag ? 1 : 0;
  });
  EXPECT_EQ(list.tag(0), 10u);
  EXPECT_EQ(list.text(0, kColIp), u"10");
  EXPECT_TRUE(list.checked(0));
  EXPECT_EQ(list.text(1, kColIp), u"20");
  EXPECT_EQ(list.text(2, kColIp), u"30");
  EXPECT_FALSE(list.checked(2));
}

TEST(DeviceList, ObserversHearChangesInOrderUntilUnsubscribed) {
  device_list list;
  std::vector<list_change_t> seen;
  const int id = list.subscribe([&](const list_change_t& c) { seen.push_back(c); });
  const int row = list.add_row();
  list.set_text(row, kColMac, u"m");
  list.set_tag(row, 1);
  list.set_checked(row, true);
  list.set_checked(row, true);  // no change, no notice
  list.delete_row(row);
  list.delete_all();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[0].kind, list_change_t::kInserted);
  EXPECT_EQ(seen[1].kind, list_change_t::kText);
  EXPECT_EQ(seen[1].column, kColMac);
  EXPECT_EQ(seen[2].kind, list_change_t::kTag);
  EXPECT_EQ(seen[3].kind, list_change_t::kCheck);
  EXPECT_EQ(seen[4].kind, list_change_t::kRemoved);
  EXPECT_EQ(seen[5].kind, list_change_t::kReset);
  list.unsubscribe(id);
  list.add_row();
  EXPECT_EQ(seen.size(), 6u);
}

TEST(DeviceList, ConcurrentWritersEachGetTheirOwnRows) {
  device_list list;
  constexpr int kThreads = 4;
  constexpr int kRows = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&list, t] {
      for (int i = 0; i < kRows; ++i) {
        const int row = list.add_row();
        list.set_tag(row, make_row_tag(row, t));
      }
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(list.count(), kThreads * kRows);
  for (int row = 0; row < list.count(); ++row) {
    EXPECT_EQ(list.tag(row) & 0xFFFFu, static_cast<std::uint32_t>(row));
    const std::string number = std::to_string(row + 1);
    EXPECT_EQ(list.text(row, kColId), std::u16string(number.begin(), number.end()));
  }
}

TEST(DeviceList, ColumnsHaveTheirHeadersAndStartWidths) {
  EXPECT_EQ(std::u16string(kDeviceColumns[kColId].header), u"id");
  EXPECT_EQ(kDeviceColumns[kColVer].width, 360);
  EXPECT_EQ(std::u16string(kDeviceColumns[kColEtherName].header), u"ether name");
  for (int c = kColDupMark; c < kColumnCount; ++c) EXPECT_EQ(kDeviceColumns[c].width, 0) << c;
}

}  // namespace
}  // namespace mardo
