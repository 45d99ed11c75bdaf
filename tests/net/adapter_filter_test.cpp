#include "net/adapter_filter.h"

#include <gtest/gtest.h>

#include "case_name.h"

namespace mardo {
namespace {

struct filter_case {
  const char* name;
  const char* ifname;
  const char* devtype;
  const char* driver;
  bool excluded;
};

class AdapterFilter : public ::testing::TestWithParam<filter_case> {};

TEST_P(AdapterFilter, LeavesOutBluetoothAndVmwareHostAdapters) {
  const filter_case& c = GetParam();
  EXPECT_EQ(adapter_excluded(c.ifname, c.devtype, c.driver), c.excluded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdapterFilter,
    ::testing::Values(filter_case{"Wired", "eth0", "", "e1000e", false},
                      filter_case{"Wireless", "wlan0", "wlan", "iwlwifi", false},
                      filter_case{"Veth", "eth1", "", "", false},
                      filter_case{"BluetoothDevtype", "pan0", "bluetooth", "", true},
                      filter_case{"BluetoothName", "bnep0", "", "", true},
                      filter_case{"BluetoothDriver", "x0", "", "btusb", true},
                      filter_case{"VmwareHostOnly", "vmnet1", "", "", true},
                      filter_case{"VmwareNat", "vmnet8", "", "vmnet", true},
                      filter_case{"VmwareGuestNicIsKept", "ens33", "", "vmxnet3", false}),
    case_name());

}  // namespace
}  // namespace mardo
