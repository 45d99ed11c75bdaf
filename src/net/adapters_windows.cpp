// winsock2.h before anything that pulls in windows.h.
#include <winsock2.h>

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/system.h"
#include "net/adapter_filter.h"
#include "net/adapter_list.h"

namespace mardo {
namespace {

// The prefix Npcap (and Wine's wpcap) give a capture device before the adapter's {GUID}.
constexpr const char* kCaptureDevicePrefix = "\\Device\\NPF_";
// The list of a machine with a few adapters fits; a larger one says how much it needs.
constexpr ULONG kAdapterListStartBytes = 16 * 1024;
// The list may grow between the call that sizes it and the one that fills it.
constexpr int kAdapterListTries = 4;

// IP Helper is opened from System32 at run time rather than imported: it is no KnownDLL,
// so an imported iphlpapi.dll would be looked for beside the program first, where anyone who
// hands over the .exe in a folder could have put another.
struct ip_helper_t {
  decltype(&GetAdaptersAddresses) adapters = nullptr;
  decltype(&ConvertLengthToIpv4Mask) mask = nullptr;
};

const ip_helper_t& ip_helper() {
  static const ip_helper_t helper = [] {
    ip_helper_t h;
    if (HMODULE m = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
      h.adapters = reinterpret_cast<decltype(&GetAdaptersAddresses)>(
          reinterpret_cast<void*>(GetProcAddress(m, "GetAdaptersAddresses")));
      h.mask = reinterpret_cast<decltype(&ConvertLengthToIpv4Mask)>(
          reinterpret_cast<void*>(GetProcAddress(m, "ConvertLengthToIpv4Mask")));
    }
    return h;
  }();
  return helper;
}

std::string ipv4_text(const in_addr& addr) {
  char text[INET_ADDRSTRLEN] = "0.0.0.0";
  inet_ntop(AF_INET, &addr, text, sizeof text);
  return text;
}

}  // namespace

int list_adapters(std::vector<adapter_candidate_t>& found) {
  const ip_helper_t& helper = ip_helper();
  if (!helper.adapters || !helper.mask) return static_cast<int>(GetLastError());
  constexpr ULONG flags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // Whole records, so the list is aligned as the system lays it out.
  std::vector<IP_ADAPTER_ADDRESSES> buffer;
  ULONG bytes = kAdapterListStartBytes;
  ULONG error = ERROR_BUFFER_OVERFLOW;
  for (int i = 0; i < kAdapterListTries && error == ERROR_BUFFER_OVERFLOW; ++i) {
    buffer.resize(bytes / sizeof(IP_ADAPTER_ADDRESSES) + 1);
    bytes = static_cast<ULONG>(buffer.size() * sizeof(IP_ADAPTER_ADDRESSES));
    error = helper.adapters(AF_UNSPEC, flags, nullptr, buffer.data(), &bytes);
  }
  // No adapter with IPv4 at all is an empty list, not a failure.
  if (error == ERROR_NO_DATA) return 0;
  if (error != NO_ERROR) return static_cast<int>(error);

  for (const IP_ADAPTER_ADDRESSES* a = buffer.data(); a; a = a->Next) {
    if (a->IfType != IF_TYPE_ETHERNET_CSMACD && a->IfType != IF_TYPE_IEEE80211) continue;
    if (adapter_description_excluded(utf8_text(a->Description ? a->Description : L""))) continue;
    adapter_candidate_t c;
    c.name = std::string(kCaptureDevicePrefix) + a->AdapterName;
    std::memcpy(c.mac, a->PhysicalAddress,
                std::min<std::size_t>(sizeof c.mac, a->PhysicalAddressLength));
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
      if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET) continue;
      const auto* addr = reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr);
      ULONG mask = 0;
      helper.mask(u->OnLinkPrefixLength, &mask);
      in_addr mask_addr{};
      mask_addr.s_addr = mask;
      c.addrs.emplace_back(ipv4_text(addr->sin_addr), ipv4_text(mask_addr));
    }
    found.push_back(std::move(c));
  }
  return 0;
}

}  // namespace mardo
