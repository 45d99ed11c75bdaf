#include "net/adapters.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "net/adapter_list.h"
#include "net/capture_port.h"

namespace mardo {
namespace {

void copy_text(char* dst, std::size_t size, const char* src) {
  std::snprintf(dst, size, "%s", src);
}

}  // namespace

int enumerate_adapters(adapter_table& table) {
  // The old handles go first, as the ports that no running operation still holds close here.
  table.clear();

  std::vector<adapter_candidate_t> found;
  if (const int error = list_adapters(found); error != 0) return error;

  std::vector<dev_info_t> records;
  for (const adapter_candidate_t& c : found) {
    if (static_cast<int>(records.size()) == kMaxAdapters) break;
    dev_info_t info{};
    copy_text(info.acName, sizeof info.acName, c.name.c_str());
    std::memcpy(info.aucMac, c.mac, sizeof info.aucMac);
    if (c.addrs.empty()) {
      copy_text(info.acIpAddr[0], sizeof info.acIpAddr[0], "0.0.0.0");
      copy_text(info.acIpMask[0], sizeof info.acIpMask[0], "0.0.0.0");
      info.iIpNum = 1;
    } else {
      for (const auto& [addr, mask] : c.addrs) {
        if (info.iIpNum == kMaxAdapterAddrs) break;
        copy_text(info.acIpAddr[info.iIpNum], sizeof info.acIpAddr[0], addr.c_str());
        copy_text(info.acIpMask[info.iIpNum], sizeof info.acIpMask[0], mask.c_str());
        ++info.iIpNum;
      }
    }
    info.pCapHandle = capture_port::open(info.acName);
    if (info.pCapHandle) info.pCapHandle->apply_filter("ether proto 0xFFF8");
    records.push_back(std::move(info));
  }
  table.assign(std::move(records));
  return 0;
}

std::vector<std::string> adapters_without_capture(const adapter_table& table) {
  std::vector<std::string> names;
  for (const dev_info_t& adapter : table.snapshot())
    if (!adapter.pCapHandle) names.emplace_back(adapter.acName);
  return names;
}

}  // namespace mardo
