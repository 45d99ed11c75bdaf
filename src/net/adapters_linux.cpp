#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if_arp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "net/adapter_filter.h"
#include "net/adapter_list.h"

namespace mardo {
namespace {

std::string read_devtype(const std::string& name) {
  std::ifstream in("/sys/class/net/" + name + "/uevent");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("DEVTYPE=", 0) == 0) return line.substr(8);
  }
  return {};
}

std::string read_driver(const std::string& name) {
  char target[256] = {};
  const std::string link = "/sys/class/net/" + name + "/device/driver";
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return {};
  std::string_view path(target, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

int list_adapters(std::vector<adapter_candidate_t>& found) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return errno ? errno : -1;

  // The link-layer entries come first, in interface order; they fix the adapter order.
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_PACKET) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
    // Ethernet and wireless both present themselves as Ethernet links; loopback,
    // tunnels and the like do not.
    if (ll->sll_hatype != ARPHRD_ETHER) continue;
    const std::string name = it->ifa_name;
    if (adapter_excluded(name, read_devtype(name), read_driver(name))) continue;
    adapter_candidate_t c;
    c.name = name;
    std::memcpy(c.mac, ll->sll_addr, std::min<std::size_t>(sizeof c.mac, sizeof ll->sll_addr));
    found.push_back(std::move(c));
  }
  for (ifaddrs* it = list; it; it = it->ifa_next) {
    if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
    for (adapter_candidate_t& c : found) {
      if (c.name != it->ifa_name) continue;
      char addr[INET_ADDRSTRLEN] = "0.0.0.0";
      char mask[INET_ADDRSTRLEN] = "0.0.0.0";
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr, addr,
                sizeof addr);
      if (it->ifa_netmask) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(it->ifa_netmask)->sin_addr, mask,
                  sizeof mask);
      }
      c.addrs.emplace_back(addr, mask);
    }
  }
  freeifaddrs(list);
  return 0;
}

}  // namespace mardo
