// The factory test's judgments: results, the clock difference with its zone and tolerance,
// the SD reasons and the verdict.
#include <gtest/gtest.h>

#include <vector>

#include "testing/factory_items.h"

namespace mardo {
namespace {

std::vector<std::uint8_t> result(std::uint16_t id, std::uint32_t value) {
  return {static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(value),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 24)};
}

std::vector<std::uint8_t> clock_data(clock_fields_t f) {
  std::vector<std::uint8_t> d(34, 0);
  d[0] = 1;
  const int v[] = {f.year, f.month, f.weekday, f.day, f.hour, f.minute, f.second, f.last};
  for (int i = 0; i < 8; ++i) {
    d[2 + 2 * i] = static_cast<std::uint8_t>(v[i]);
    d[3 + 2 * i] = static_cast<std::uint8_t>(v[i] >> 8);
  }
  return d;
}

TEST(FactoryItems, RequestsAndResultReplies) {
  EXPECT_EQ(factory_request(kReqReset, 30), (std::vector<std::uint8_t>{0xFF, 0xF5, 6, 0, 30, 0}));
  EXPECT_EQ(factory_request(kReqChip, std::nullopt), (std::vector<std::uint8_t>{0xFF, 0xF5, 2, 0}));
  EXPECT_EQ(result_value(result(0, 30), 0), 30u);
  EXPECT_EQ(result_value(result(0, 29), 0), 29u);  // the caller wants exactly 30
  EXPECT_FALSE(result_value(result(7, 30), 0));      // another id
  auto longer = result(0, 30);
  longer.push_back(0);
  EXPECT_FALSE(result_value(longer, 0));
  EXPECT_EQ(sd_reason(1u), "已插入但未挂载");
  EXPECT_EQ(sd_reason(std::nullopt), "");
}

TEST(FactoryItems, ClockWithinEightyNineSecondsPassesNinetyFailsAndTheZoneIsApplied) {
  const clock_fields_t sent{2026, 12, 2, 8, 10, 0, 0, 0};
  struct row_t {
    clock_fields_t camera;
    std::optional<long long> d;
  };
  for (const row_t& r : std::vector<row_t>{
           {{2026, 12, 2, 8, 9, 58, 31, 14}, 89},    // UTC, 89 s behind
           {{2026, 12, 2, 8, 9, 58, 30, 14}, 90},    // 90 s: fails the |D| < 90 test
           {{2026, 12, 2, 8, 18, 0, 0, 27}, 0},      // UTC+8 (index 27, −480 min)
           {{2026, 12, 2, 8, 10, 0, 0, 34}, std::nullopt}}) {  // no table entry
    const auto reply = clock_reply(clock_data(r.camera));
    ASSERT_TRUE(reply);
    EXPECT_EQ(clock_difference(sent, *reply), r.d);
  }
  EXPECT_FALSE(clock_reply(std::vector<std::uint8_t>(33)));
}

TEST(FactoryItems, Rs485ReplyGivesTheAskedPortsRecordOnlyForItsIdAndLength) {
  std::vector<std::uint8_t> d(138, 0);
  d[0] = kReqRs485;
  d[2 + 8] = 3;   // RS485-1 baud index
  d[50 + 8] = 6;  // RS485-2 baud index
  EXPECT_EQ(rs485_reply(d, false)->baud_index, 3u);
  EXPECT_EQ(rs485_reply(d, true)->baud_index, 6u);
  d[0] = kReqSd;
  EXPECT_FALSE(rs485_reply(d, false));
  d[0] = kReqRs485;
  d.pop_back();
  EXPECT_FALSE(rs485_reply(d, true));
}

TEST(FactoryItems, VerdictNamesTheFailedItemsInOrder) {
  std::array<bool, kItemCount> passed{};
  passed.fill(true);
  EXPECT_EQ(factory_verdict(passed, 5), "出厂测试成功！");
  passed[kItemSwitch2] = false;
  passed[kItemRs485] = false;
  EXPECT_EQ(factory_verdict(passed, 7), "开关量2 RS485 测试失败！");
  EXPECT_EQ(factory_verdict(passed, 6), "开关量2 测试失败！");  // no port chosen: no RS485
}

}  // namespace
}  // namespace mardo
