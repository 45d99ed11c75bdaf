#include "core/device_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

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
  table.assign({adapter_named("eth0"), adapter_named("eth1")});
  EXPECT_EQ(table.count(), 2);
  ASSERT_TRUE(table.at(1).has_value());
  EXPECT_STREQ(table.at(1)->acName, "eth1");
  EXPECT_FALSE(table.at(2).has_value());
  EXPECT_FALSE(table.at(-1).has_value());
  EXPECT_FALSE(table.at(65535).has_value());
}

TEST(AdapterTable, AssignCopiesTheWholeRecord) {
  adapter_table table;
  dev_info_t info = adapter_named("wlan0");
  info.iIpNum = 2;
  std::strcpy(info.acIpAddr[1], "198.51.100.7");
  std::memcpy(info.aucMac, "\x02\x00\x00\x00\x00\x09\x7f\x7f", 8);
  table.assign({info});
  std::strcpy(info.acName, "changed");
  auto ref = table.at(0);
  ASSERT_TRUE(ref);
  EXPECT_STREQ(ref->acName, "wlan0");
  EXPECT_STREQ(ref->acIpAddr[1], "198.51.100.7");
  EXPECT_EQ(ref->aucMac[5], 9);
}

// A rebuild must never close a port that an operation still uses: a copy of the record keeps
// its port open, and the port closes with the last holder.
TEST(AdapterTable, PortOutlivesARebuildUntilItsLastHolderIsGone) {
  // The core only holds ports; one that shares the lifetime of a plain object stands in.
  auto owner = std::make_shared<int>(0);
  adapter_table table;
  dev_info_t info = adapter_named("eth0");
  info.pCapHandle = capture_port_ptr(owner, reinterpret_cast<capture_port*>(owner.get()));
  std::weak_ptr<int> port = owner;
  owner.reset();
  table.assign({info});
  info = dev_info_t{};
  std::optional<dev_info_t> in_use = table.at(0);
  ASSERT_TRUE(in_use);
  table.assign({adapter_named("eth9")});
  EXPECT_FALSE(port.expired());
  EXPECT_EQ(static_cast<void*>(in_use->pCapHandle.get()), static_cast<void*>(port.lock().get()));
  EXPECT_STREQ(table.at(0)->acName, "eth9");
  in_use.reset();
  EXPECT_TRUE(port.expired());
  table.clear();
  EXPECT_EQ(table.count(), 0);
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
