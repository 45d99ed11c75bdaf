#include "app/device_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace mardo {
namespace {

dev_info_t adapter_named(const char* name) {
  dev_info_t info{};
  std::strncpy(info.acName, name, sizeof info.acName - 1);
  std::strcpy(info.acIpAddr[0], "192.0.2.1");
  info.iIpNum = 1;
  return info;
}

TEST(AdapterTable, AtRefusesAnIndexOutsideTheTable) {
  adapter_table table;
  EXPECT_FALSE(table.at(0).has_value());
  {
    auto guard = table.rebuild();
    guard.append(adapter_named("eth0"));
    guard.append(adapter_named("eth1"));
  }
  EXPECT_EQ(table.count(), 2);
  ASSERT_TRUE(table.at(1).has_value());
  EXPECT_STREQ((*table.at(1))->acName, "eth1");
  EXPECT_FALSE(table.at(2).has_value());
  EXPECT_FALSE(table.at(-1).has_value());
  EXPECT_FALSE(table.at(65535).has_value());
}

TEST(AdapterTable, AppendCopiesTheWholeRecord) {
  adapter_table table;
  dev_info_t info = adapter_named("wlan0");
  info.iIpNum = 2;
  std::strcpy(info.acIpAddr[1], "198.51.100.7");
  std::memcpy(info.aucMac, "\x02\x00\x00\x00\x00\x09\x7f\x7f", 8);
  table.rebuild().append(info);
  std::strcpy(info.acName, "changed");
  auto ref = table.at(0);
  ASSERT_TRUE(ref);
  EXPECT_STREQ((*ref)->acName, "wlan0");
  EXPECT_STREQ((*ref)->acIpAddr[1], "198.51.100.7");
  EXPECT_EQ((*ref)->aucMac[5], 9);
}

TEST(AdapterTable, ClearEmptiesAndSkipsNullHandles) {
  adapter_table table;
  {
    auto guard = table.rebuild();
    guard.append(adapter_named("eth0"));  // null handle: nothing to close
  }
  table.rebuild().clear();
  EXPECT_EQ(table.count(), 0);
  EXPECT_TRUE(table.snapshot().empty());
}

// A rebuild closes handles; it must wait until no thread is using one of the old table.
TEST(AdapterTable, RebuildWaitsForHandlesInUse) {
  adapter_table table;
  table.rebuild().append(adapter_named("eth0"));
  std::atomic<bool> rebuilt{false};
  std::thread rebuilder;
  {
    auto ref = table.at(0);
    ASSERT_TRUE(ref);
    rebuilder = std::thread([&] {
      auto guard = table.rebuild();
      guard.clear();
      guard.append(adapter_named("eth9"));
      rebuilt = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(rebuilt.load());
    EXPECT_STREQ((*ref)->acName, "eth0");  // still the old, open record
  }
  rebuilder.join();
  EXPECT_TRUE(rebuilt.load());
  EXPECT_STREQ((*table.at(0))->acName, "eth9");
}

TEST(AddrMap, LastStoreWinsAndLookupMissesCleanly) {
  addr_map map;
  EXPECT_FALSE(map.lookup("02-00-00-00-00-01").has_value());
  map.store("02-00-00-00-00-01", {1, 2, 3});
  map.store("02-00-00-00-00-01", {4, 5, 6});
  auto rec = map.lookup("02-00-00-00-00-01");
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->uiIp, 4u);
  EXPECT_EQ(rec->uiGateway, 6u);
  // Keys compare byte for byte.
  EXPECT_FALSE(map.lookup("02-00-00-00-00-01 ").has_value());
  map.clear();
  EXPECT_EQ(map.size(), 0u);
}

TEST(SeenMap, TestAndSetIsCaseSensitiveAndClears) {
  seen_map seen;
  EXPECT_FALSE(seen.test_and_set("AA-BB-CC-DD-EE-FF"));
  EXPECT_TRUE(seen.test_and_set("AA-BB-CC-DD-EE-FF"));
  EXPECT_FALSE(seen.test_and_set("aa-bb-cc-dd-ee-ff"));
  EXPECT_EQ(seen.size(), 2u);
  seen.clear();
  EXPECT_FALSE(seen.test_and_set("AA-BB-CC-DD-EE-FF"));
}

TEST(SeenMap, ExactlyOneOfManyThreadsWinsEachKey) {
  seen_map seen;
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int k = 0; k < 200; ++k) {
        if (!seen.test_and_set("key" + std::to_string(k))) ++winners;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(winners.load(), 200);
}

}  // namespace
}  // namespace mardo
