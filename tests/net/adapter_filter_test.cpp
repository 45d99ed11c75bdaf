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

struct description_case {
  const char* name;
  const char* description;
  bool excluded;
};

class AdapterDescriptionFilter : public ::testing::TestWithParam<description_case> {};

TEST_P(AdapterDescriptionFilter, LeavesOutBluetoothAndVmwareHostAdaptersByDescription) {
  const description_case& c = GetParam();
  EXPECT_EQ(adapter_description_excluded(c.description), c.excluded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdapterDescriptionFilter,
    ::testing::Values(
        description_case{"Wired", "Realtek PCIe GbE Family Controller", false},
        description_case{"Wireless", "Intel(R) Wi-Fi 6 AX201 160MHz", false},
        description_case{"BluetoothPan", "Bluetooth Device (Personal Area Network)", true},
        description_case{"BluetoothInside", "Microsoft Bluetooth LE Enumerator", true},
        description_case{"VmwareHostAdapter", "VMware Virtual Ethernet Adapter for VMnet8", true},
        description_case{"VmwareGuestNicIsKept", "vmxnet3 Ethernet Adapter", false},
        description_case{"MatchIsCaseSensitive", "bluetooth pan", false}),
    case_name());

}  // namespace
}  // namespace mardo
