// Adapter enumeration inside a workstation namespace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "lab/lab.h"
#include "net/adapters.h"
#include "net/raw_frame.h"

namespace mardo {
namespace {

int run_in(const std::string& netns, const std::string& command) {
  return std::system(("ip -n " + netns + " " + command + " >/dev/null 2>&1").c_str());
}

TEST(AdaptersLab, ListsTheEthernetAdaptersInOrderWithTheirAddresses) {
  ASSERT_TRUE(load_capture_library());
  lab::lab_config_t cfg;
  cfg.segments = {lab::segment_t{"192.0.2.1", 24}, lab::segment_t{"198.51.100.1", 25}};
  cfg.add_tun = true;
  cfg.start_camsim = false;
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  ASSERT_EQ(run_in(lab.ws_netns(), "addr add 203.0.113.9/28 dev " + lab.ws_ifname(0)), 0);

  adapter_table table;
  {
    lab::netns_scope in(lab.ws_netns());
    ASSERT_EQ(enumerate_adapters(table), 0);
  }
  ASSERT_EQ(table.count(), 2) << "loopback and the tun device are not adapters";
  for (int i = 0; i < 2; ++i) {
    const dev_info_t a = table.snapshot()[static_cast<std::size_t>(i)];
    EXPECT_STREQ(a.acName, lab.ws_ifname(i).c_str());
    const auto mac = lab.ws_mac(i);
    EXPECT_EQ(0, std::memcmp(a.aucMac, mac.data(), 6)) << format_mac_lower(a.aucMac);
    EXPECT_NE(a.pCapHandle, nullptr);
  }
  const auto adapters = table.snapshot();
  EXPECT_EQ(adapters[0].iIpNum, 2);
  EXPECT_STREQ(adapters[0].acIpAddr[0], "192.0.2.1");
  EXPECT_STREQ(adapters[0].acIpMask[0], "255.255.255.0");
  EXPECT_STREQ(adapters[0].acIpAddr[1], "203.0.113.9");
  EXPECT_STREQ(adapters[0].acIpMask[1], "255.255.255.240");
  EXPECT_EQ(adapters[1].iIpNum, 1);
  EXPECT_STREQ(adapters[1].acIpAddr[0], "198.51.100.1");
  EXPECT_STREQ(adapters[1].acIpMask[0], "255.255.255.128");
  table.clear();
}

TEST(AdaptersLab, AdapterWithoutAddressGetsZeroAndMoreThanSixteenAreCut) {
  ASSERT_TRUE(load_capture_library());
  lab::lab_config_t cfg;
  cfg.segments = {lab::segment_t{"192.0.2.1", 24}, lab::segment_t{"198.51.100.1", 24}};
  cfg.start_camsim = false;
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  ASSERT_EQ(run_in(lab.ws_netns(), "addr flush dev " + lab.ws_ifname(1)), 0);
  for (int i = 2; i <= 20; ++i) {
    ASSERT_EQ(run_in(lab.ws_netns(),
                     "addr add 192.0.2." + std::to_string(i) + "/24 dev " + lab.ws_ifname(0)),
              0);
  }
  adapter_table table;
  {
    lab::netns_scope in(lab.ws_netns());
    ASSERT_EQ(enumerate_adapters(table), 0);
  }
  const auto adapters = table.snapshot();
  ASSERT_EQ(adapters.size(), 2u);
  EXPECT_EQ(adapters[0].iIpNum, 16);
  EXPECT_STREQ(adapters[0].acIpAddr[0], "192.0.2.1");
  EXPECT_STREQ(adapters[0].acIpAddr[15], "192.0.2.16");
  EXPECT_EQ(adapters[1].iIpNum, 1);
  EXPECT_STREQ(adapters[1].acIpAddr[0], "0.0.0.0");
  EXPECT_STREQ(adapters[1].acIpMask[0], "0.0.0.0");
  table.clear();
}

TEST(AdaptersLab, KeepsMoreThanSixteenAdapters) {
  ASSERT_TRUE(load_capture_library());
  lab::lab_config_t cfg;
  cfg.segments.clear();
  for (int i = 0; i < 20; ++i) {
    cfg.segments.push_back(lab::segment_t{"203.0.113." + std::to_string(i + 1), 32});
  }
  cfg.start_camsim = false;
  lab::Lab lab(cfg);
  LAB_REQUIRE(lab);
  adapter_table table;
  {
    lab::netns_scope in(lab.ws_netns());
    ASSERT_EQ(enumerate_adapters(table), 0);
  }
  EXPECT_EQ(table.count(), 20);
  EXPECT_STREQ(table.snapshot().at(19).acIpAddr[0], "203.0.113.20");
  table.clear();
}

}  // namespace
}  // namespace mardo
