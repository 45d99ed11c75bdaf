#pragma once
// Which Ethernet-type interfaces the tool leaves alone: Bluetooth network links and the
// host-side adapters of VMware, which carry no cameras.
#include <string_view>

namespace mardo {

// Linux. devtype: DEVTYPE of the interface's uevent; driver: its device driver's name.
inline bool adapter_excluded(std::string_view name, std::string_view devtype,
                             std::string_view driver) {
  if (devtype == "bluetooth" || driver == "bnep" || driver == "btusb") return true;
  if (name.starts_with("bnep")) return true;
  if (name.starts_with("vmnet") || driver == "vmnet") return true;
  return false;
}

// Windows. description: the adapter's description (UTF-8), matched as the system spells it,
// so a guest's "vmxnet3 Ethernet Adapter" stays.
inline bool adapter_description_excluded(std::string_view description) {
  return description.find("Bluetooth") != std::string_view::npos ||
         description.find("VMware Virtual") != std::string_view::npos;
}

}  // namespace mardo
