// Windows network facts through the IP Helper. GetIpInterfaceEntry exists
// only from Vista on, so it is looked up by name in Iphlpapi.dll.
#include "platform/netinfo.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstring>
#include <vector>

#include "platform/net.h"
#include "platform/sysinfo.h"

namespace platform {

bool systemDnsServers(std::vector<uint32_t>& out) {
  // A zeroed block of the classic FIXED_INFO size first; the call tells how
  // much it needs when the server list does not fit.
  std::vector<unsigned char> block(584, 0);
  ULONG size = static_cast<ULONG>(block.size());
  DWORD rc = GetNetworkParams(reinterpret_cast<FIXED_INFO*>(block.data()), &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    block.assign(size, 0);
    rc = GetNetworkParams(reinterpret_cast<FIXED_INFO*>(block.data()), &size);
  }
  if (rc != ERROR_SUCCESS) return false;
  const auto* info = reinterpret_cast<const FIXED_INFO*>(block.data());
  for (const IP_ADDR_STRING* s = &info->DnsServerList; s != nullptr; s = s->Next) {
    char text[17];
    std::memcpy(text, s->IpAddress.String, 16);
    text[16] = '\0';
    if (text[0] == '\0') continue;
    out.push_back(inetAddr(text));
  }
  return true;
}

void setResolverConfigPath(const std::string&) {}

bool listAdapters(std::vector<AdapterInfo>& out) {
  ULONG size = 0;
  DWORD rc = GetAdaptersInfo(nullptr, &size);
  if (rc != ERROR_SUCCESS && rc != ERROR_BUFFER_OVERFLOW) return false;
  if (size == 0) return true;
  std::vector<unsigned char> buffer(size, 0);
  rc = GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &size);
  if (rc != ERROR_SUCCESS) return false;
  for (const auto* a = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data()); a != nullptr;
       a = a->Next) {
    AdapterInfo info;
    info.description.assign(a->Description, strnlen(a->Description, sizeof a->Description));
    info.interfaceIndex = a->Index;
    for (const IP_ADDR_STRING* s = &a->IpAddressList; s != nullptr; s = s->Next)
      info.ipv4Addresses.emplace_back(s->IpAddress.String,
                                      strnlen(s->IpAddress.String, sizeof s->IpAddress.String));
    out.push_back(std::move(info));
  }
  return true;
}

uint32_t interfaceMetric(uint32_t interfaceIndex) {
  if (osVersion().major < 6) return 1;
  HMODULE iphlp = LoadLibraryW(L"Iphlpapi.dll");
  if (iphlp == nullptr) return 1;
  using GetEntryFn = DWORD(WINAPI*)(MIB_IPINTERFACE_ROW*);
  auto getEntry = reinterpret_cast<GetEntryFn>(
      reinterpret_cast<void*>(GetProcAddress(iphlp, "GetIpInterfaceEntry")));
  uint32_t metric = 300;
  if (getEntry != nullptr) {
    MIB_IPINTERFACE_ROW row;
    std::memset(&row, 0, sizeof row);
    row.Family = AF_INET;
    row.InterfaceIndex = interfaceIndex;
    if (getEntry(&row) == NO_ERROR) metric = row.Metric;
  }
  FreeLibrary(iphlp);
  return metric;
}

bool createHostRoute(const HostRoute& route) {
  MIB_IPFORWARDROW row;
  std::memset(&row, 0, sizeof row);
  row.dwForwardDest = route.destination;
  row.dwForwardMask = route.mask;
  row.dwForwardPolicy = 0;
  row.dwForwardNextHop = route.nextHop;
  row.dwForwardIfIndex = route.interfaceIndex;
  row.dwForwardType = route.type;
  row.dwForwardProto = route.protocol;
  row.dwForwardAge = 0;
  row.dwForwardNextHopAS = 0;
  row.dwForwardMetric1 = route.metric;
  row.dwForwardMetric2 = 0xFFFFFFFFu;
  row.dwForwardMetric3 = 0xFFFFFFFFu;
  row.dwForwardMetric4 = 0xFFFFFFFFu;
  row.dwForwardMetric5 = 0xFFFFFFFFu;
  return CreateIpForwardEntry(&row) == NO_ERROR;
}

}  // namespace platform
