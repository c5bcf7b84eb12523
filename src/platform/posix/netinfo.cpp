// Linux network facts. DNS servers come from the resolver configuration file;
// adapters from getifaddrs, with each interface's alias (what an adapter's
// description is on Windows) read over rtnetlink, because /sys/class/net
// shows the namespace that mounted it rather than the caller's. Host routes
// are added with one RTM_NEWROUTE request.
#include "platform/netinfo.h"

#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "platform/net.h"

namespace platform {
namespace {

std::mutex configLock;
// LUMO_RESOLV_CONF lets a program that only has the exports (the demo) point
// the engine at a resolver file of its own instead of the host's servers.
std::string initialResolverConfig() {
  const char* path = std::getenv("LUMO_RESOLV_CONF");
  return path != nullptr && *path != '\0' ? std::string(path) : std::string("/etc/resolv.conf");
}
std::string resolverConfig = initialResolverConfig();

// An rtnetlink socket, closed on scope exit.
class Netlink {
 public:
  Netlink() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}
  ~Netlink() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  bool send(nlmsghdr* request) {
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return sendto(fd_, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                  sizeof kernel) == static_cast<ssize_t>(request->nlmsg_len);
  }

  // Reads replies to `seq` and hands every message but DONE/ERROR to
  // `onMessage`. Returns the error code of an ERROR message (0 = ACK), 0 at
  // DONE, or -1 when reading failed.
  template <typename F>
  int receive(uint32_t seq, F&& onMessage) {
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n < 0) return -1;
      int left = static_cast<int>(n);
      for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_seq != seq) continue;
        if (h->nlmsg_type == NLMSG_DONE) return 0;
        if (h->nlmsg_type == NLMSG_ERROR) {
          if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return -1;
          return -static_cast<const nlmsgerr*>(NLMSG_DATA(h))->error;
        }
        onMessage(h);
      }
    }
  }

 private:
  int fd_;
};

void addAttribute(nlmsghdr* h, size_t capacity, unsigned short type, const void* data, size_t length) {
  size_t at = NLMSG_ALIGN(h->nlmsg_len);
  size_t total = RTA_LENGTH(length);
  if (at + RTA_ALIGN(total) > capacity) return;
  auto* rta = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(h) + at);
  rta->rta_type = type;
  rta->rta_len = static_cast<unsigned short>(total);
  std::memcpy(RTA_DATA(rta), data, length);
  h->nlmsg_len = static_cast<uint32_t>(at + RTA_ALIGN(total));
}

// Interface index → alias, for the interfaces that have one.
std::map<uint32_t, std::string> interfaceAliases() {
  std::map<uint32_t, std::string> aliases;
  Netlink nl;
  if (!nl.ok()) return aliases;
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.info.ifi_family = AF_UNSPEC;
  if (!nl.send(&request.header)) return aliases;
  nl.receive(1, [&](nlmsghdr* h) {
    if (h->nlmsg_type != RTM_NEWLINK || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
    auto* info = static_cast<ifinfomsg*>(NLMSG_DATA(h));
    int length = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(ifinfomsg)));
    for (auto* rta = IFLA_RTA(info); RTA_OK(rta, length); rta = RTA_NEXT(rta, length)) {
      if (rta->rta_type != IFLA_IFALIAS) continue;
      const char* text = static_cast<const char*>(RTA_DATA(rta));
      std::string alias(text, strnlen(text, RTA_PAYLOAD(rta)));
      if (!alias.empty()) aliases[static_cast<uint32_t>(info->ifi_index)] = alias;
    }
  });
  return aliases;
}

}  // namespace

bool systemDnsServers(std::vector<uint32_t>& out) {
  std::string path;
  {
    std::lock_guard<std::mutex> lock(configLock);
    path = resolverConfig;
  }
  std::ifstream file(path);
  if (!file) return false;
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    if (!(words >> keyword >> address) || keyword != "nameserver") continue;
    uint32_t a = inetAddr(address.c_str());
    // IPv6 servers and text that is no address are left out (the engine's
    // upstream list is IPv4).
    if (a != 0xFFFFFFFFu) out.push_back(a);
  }
  return true;
}

void setResolverConfigPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(configLock);
  resolverConfig = path;
}

bool listAdapters(std::vector<AdapterInfo>& out) {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::map<uint32_t, std::string> aliases = interfaceAliases();
  std::map<std::string, size_t> seen;  // interface name → position in `out`
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_name == nullptr || (a->ifa_flags & IFF_LOOPBACK)) continue;
    auto it = seen.find(a->ifa_name);
    if (it == seen.end()) {
      AdapterInfo info;
      info.interfaceIndex = if_nametoindex(a->ifa_name);
      auto alias = aliases.find(info.interfaceIndex);
      info.description = alias != aliases.end() ? alias->second : std::string(a->ifa_name);
      it = seen.emplace(a->ifa_name, out.size()).first;
      out.push_back(std::move(info));
    }
    if (a->ifa_addr != nullptr && a->ifa_addr->sa_family == AF_INET) {
      uint32_t v;
      std::memcpy(&v, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, 4);
      out[it->second].ipv4Addresses.push_back(ipv4ToText(v));
    }
  }
  freeifaddrs(list);
  return true;
}

uint32_t interfaceMetric(uint32_t) { return 0; }

bool createHostRoute(const HostRoute& route) {
  // The next hop is on-link when it is one of the interface's own addresses
  // (Windows accepts the adapter's own address as next hop; Linux refuses a
  // local gateway).
  bool onLink = route.nextHop == 0;
  if (!onLink) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
      for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        uint32_t v;
        std::memcpy(&v, &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr, 4);
        if (v == route.nextHop) onLink = true;
      }
      freeifaddrs(list);
    }
  }
  Netlink nl;
  if (!nl.ok()) return false;
  struct {
    nlmsghdr header;
    rtmsg message;
    char attributes[128];
  } request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  request.header.nlmsg_type = RTM_NEWROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
  request.header.nlmsg_seq = 2;
  request.message.rtm_family = AF_INET;
  request.message.rtm_dst_len = static_cast<unsigned char>(std::popcount(route.mask));
  request.message.rtm_table = RT_TABLE_MAIN;
  request.message.rtm_protocol = RTPROT_STATIC;
  request.message.rtm_scope = onLink ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
  request.message.rtm_type = RTN_UNICAST;
  const size_t capacity = sizeof request;
  addAttribute(&request.header, capacity, RTA_DST, &route.destination, 4);
  if (!onLink) addAttribute(&request.header, capacity, RTA_GATEWAY, &route.nextHop, 4);
  uint32_t oif = route.interfaceIndex;
  addAttribute(&request.header, capacity, RTA_OIF, &oif, 4);
  uint32_t metric = route.metric;
  addAttribute(&request.header, capacity, RTA_PRIORITY, &metric, 4);
  if (!nl.send(&request.header)) return false;
  return nl.receive(2, [](nlmsghdr*) {}) == 0;
}

}  // namespace platform
