#include <gtest/gtest.h>

#include "core/text.h"
#include "discovery/search.h"

namespace mardo {
namespace {

void add(device_list& list, const char* mac, const char* ip) {
  const int row = list.add_row();
  list.set_text(row, kColMac, wide_string(mac));
  list.set_text(row, kColIp, wide_string(ip));
  list.set_tag(row, make_row_tag(row, row % 2));
}

TEST(FinishSearchRows, MarksSharedAddressesSortsAndRenumbers) {
  device_list list;
  add(list, "A", "192.0.2.20");
  add(list, "B", "192.0.2.3");
  add(list, "C", "192.0.2.20");
  add(list, "D", "10.0.0.1");
  add(list, "E", "not an address");
  add(list, "F", "192.0.2.20");
  add(list, "G", "192.0.2.100");
  finish_search_rows(list);

  const char* expected_ip[] = {"10.0.0.1",   "192.0.2.3",   "192.0.2.20",    "192.0.2.20",
                               "192.0.2.20", "192.0.2.100", "not an address"};
  ASSERT_EQ(list.count(), 7);
  for (int row = 0; row < 7; ++row) {
    EXPECT_EQ(ansi_string(list.text(row, kColIp)), expected_ip[row]) << row;
    EXPECT_EQ(ansi_string(list.text(row, kColId)), std::to_string(row + 1));
    const bool shared = row >= 2 && row <= 4;
    EXPECT_EQ(list.text(row, kColDupMark), shared ? u"1" : u"") << row;
  }
}

TEST(FinishSearchRows, OctetsCompareAsNumbersFirstToLast) {
  device_list list;
  add(list, "A", "192.0.2.9");
  add(list, "B", "192.0.2.10");
  add(list, "C", "9.255.255.255");
  finish_search_rows(list);
  EXPECT_EQ(list.text(0, kColMac), u"C");
  EXPECT_EQ(list.text(1, kColMac), u"A");
  EXPECT_EQ(list.text(2, kColMac), u"B");
}

// Hand-entered rows carry tag 0 like the first search row, and a deleted row lets a later
// one reuse its index: tags repeat and cannot stand for a row's address.
TEST(FinishSearchRows, RowsWithRepeatedTagsSortByTheirOwnAddresses) {
  device_list list;
  const struct {
    const char* ip;
    std::uint32_t tag;
  } rows[] = {{"10.0.0.1", 0}, {"10.0.0.5", 1}, {"10.0.0.9", 0}, {"10.0.0.3", 1}};
  for (const auto& r : rows) {
    const int row = list.add_row();
    list.set_text(row, kColIp, wide_string(r.ip));
    list.set_tag(row, r.tag);
  }
  finish_search_rows(list);
  const char* expected[] = {"10.0.0.1", "10.0.0.3", "10.0.0.5", "10.0.0.9"};
  for (int row = 0; row < 4; ++row) EXPECT_EQ(ansi_string(list.text(row, kColIp)), expected[row]);
}

TEST(FinishSearchRows, EmptyListStaysEmpty) {
  device_list list;
  finish_search_rows(list);
  EXPECT_EQ(list.count(), 0);
}

}  // namespace
}  // namespace mardo
