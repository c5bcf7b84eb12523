// The virtual adapter choice, host routes, local addresses and the address
// helpers, over lists the tests make up.
#include "hostnet/adapter_routes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "hostnet/local_addresses.h"
#include "platform/command.h"
#include "platform/net.h"

using namespace hostnet;
using platform::AdapterInfo;
using platform::ipv4;

TEST(VirtualAdapter, ChoiceNextHopAndOneRoutePerDestination) {
  const AdapterInfo ethernet{"Intel(R) Ethernet Connection", 3, {"192.168.1.10"}};
  const AdapterInfo other172{"Hyper-V Virtual Ethernet Adapter", 4, {"172.20.0.1"}};
  struct Row {
    const char* what;
    std::vector<AdapterInfo> adapters;
    uint32_t nextHop;  // 0: none is found
    uint32_t index;
  } rows[] = {
      {"MyVPN on 10.10.x: the .1 host", {ethernet, {"MyVPN", 7, {"10.10.7.23"}}}, ipv4(10, 10, 7, 1), 7},
      {"any case of my", {{"MYvpn adapter", 8, {"10.10.200.9", "10.10.1.1"}}}, ipv4(10, 10, 200, 1), 8},
      {"MyVPN on 172.x: its own address", {{"MyVPN", 7, {"172.27.0.5"}}}, ipv4(172, 27, 0, 5), 7},
      {"kitra exactly", {{"Kitra", 9, {"10.10.3.4"}}}, ipv4(10, 10, 3, 1), 9},
      {"kitra with more text: second pass only", {{"kitra tap", 9, {"10.10.3.4"}}}, 0, 0},
      {"first pass beats a 172. before it", {other172, {"myvpn", 5, {"10.10.9.9"}}}, ipv4(10, 10, 9, 1), 5},
      {"second pass: the first 172. adapter",
       {ethernet, other172, {"my other", 6, {"192.168.5.5"}}},
       ipv4(172, 20, 0, 1),
       4},
      {"10.10. without a service name", {{"Realtek", 2, {"10.10.0.5"}}}, 0, 0},
      {"only the first address counts", {{"MyVPN", 7, {"192.168.0.2", "10.10.7.23"}}}, 0, 0},
      {"adapter without address", {{"MyVPN", 7, {}}}, 0, 0},
  };
  for (const Row& r : rows) {
    uint32_t hop = 0xDEAD, index = 0xBEEF;
    EXPECT_EQ(FindVirtualAdapter(r.adapters, hop, index), r.nextHop != 0) << r.what;
    EXPECT_EQ(hop, r.nextHop != 0 ? r.nextHop : 0xDEADu) << r.what;
    EXPECT_EQ(index, r.nextHop != 0 ? r.index : 0xBEEFu) << r.what;
  }

  // One route per destination, with the adapter parameters.
  std::vector<platform::HostRoute> created;
  AdapterRoutes routes([&](const platform::HostRoute& r) {
    created.push_back(r);
    return false;  // a refused route is not retried either
  });
  AdapterRouteParameters p;
  p.nextHop = ipv4(10, 10, 7, 1);
  p.interfaceIndex = 7;
  p.metric = 25;
  routes.setParameters(p);
  EXPECT_TRUE(routes.AddHostRoute(ipv4(203, 0, 113, 5)));
  EXPECT_TRUE(routes.AddHostRoute(ipv4(203, 0, 113, 5)));
  EXPECT_TRUE(routes.AddHostRoute(ipv4(198, 51, 100, 1)));
  ASSERT_EQ(created.size(), 2u);
  const platform::HostRoute& r = created[0];
  EXPECT_EQ(std::tuple(r.destination, r.mask, r.nextHop, r.interfaceIndex, r.type, r.protocol, r.metric),
            std::tuple(ipv4(203, 0, 113, 5), 0xFFFFFFFFu, ipv4(10, 10, 7, 1), 7u, 3u, 3u, 25u));
  EXPECT_TRUE(routes.contains(ipv4(198, 51, 100, 1)));
  routes.clear();
  EXPECT_EQ(routes.size(), 0u);
  routes.AddHostRoute(ipv4(203, 0, 113, 5));
  EXPECT_EQ(created.size(), 3u);  // after a new start the route is made again
}

TEST(LocalAddresses, SameSixteenBitNetworkLoopbackAndRetriedFill) {
  LocalAddressList list([](std::vector<uint32_t>& out) {
    out.push_back(ipv4(192, 168, 1, 10));
    out.push_back(ipv4(10, 20, 30, 40));
    return true;
  });
  struct Row {
    uint32_t address;
    bool local;
  } rows[] = {
      {ipv4(192, 168, 9, 9), true},  {ipv4(192, 169, 1, 1), false}, {ipv4(10, 20, 0, 1), true},
      {ipv4(10, 21, 30, 40), false}, {ipv4(127, 8, 8, 8), true},    {ipv4(0, 0, 0, 0), true},
      {ipv4(203, 0, 113, 5), false}, {ipv4(128, 0, 0, 1), false},
  };
  for (const Row& r : rows)
    EXPECT_EQ(list.IsLocalAddress(r.address), r.local) << platform::ipv4ToText(r.address);

  uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 168, 7, 7};
  EXPECT_TRUE(list.IsLocalSocketAddress(platform::makeIpv6Address(mapped, 0)));
  uint8_t loop6[16] = {};
  loop6[15] = 1;
  EXPECT_TRUE(list.IsLocalSocketAddress(platform::makeIpv6Address(loop6, 0)));
  uint8_t global6[16] = {0x20, 0x01, 0x0d, 0xb8};
  EXPECT_FALSE(list.IsLocalSocketAddress(platform::makeIpv6Address(global6, 0)));

  // A failed fill is tried again; an empty list keeps only loopback.
  int calls = 0;
  LocalAddressList retried([&](std::vector<uint32_t>& out) {
    if (++calls <= 2) return false;
    out.push_back(ipv4(192, 168, 1, 10));
    return true;
  });
  // While the adapters cannot be read, loopback and 0.0.0.0 are still local.
  EXPECT_FALSE(retried.IsLocalAddress(ipv4(192, 168, 2, 2)));
  for (const uint32_t address : {ipv4(127, 0, 0, 1), ipv4(127, 200, 1, 1), ipv4(0, 0, 0, 0)})
    EXPECT_TRUE(retried.IsLocalAddress(address)) << platform::ipv4ToText(address);
  uint8_t mappedLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
  EXPECT_TRUE(retried.IsLocalSocketAddress(platform::makeIpv6Address(mappedLoopback, 0)));
  EXPECT_FALSE(retried.IsLocalAddress(ipv4(192, 168, 2, 2)));  // tried again, failed again
  EXPECT_TRUE(retried.IsLocalAddress(ipv4(192, 168, 2, 2)));
  EXPECT_TRUE(retried.IsLocalAddress(ipv4(192, 168, 3, 3)));
  EXPECT_EQ(calls, 3);  // filled once, then only read

  LocalAddressList empty([](std::vector<uint32_t>&) { return true; });
  EXPECT_TRUE(empty.IsLocalAddress(ipv4(127, 0, 0, 1)));
  EXPECT_FALSE(empty.IsLocalAddress(ipv4(192, 168, 1, 10)));
}

#ifndef _WIN32
// The real adapter list and routing table, inside a network namespace that
// the test makes: a TUN device carries the service adapter's alias and
// address, and the host route is read back with ip. The outer test sets the
// namespace up and runs this same program inside it for the inner part.
TEST(LinuxHostRoute, InsideOwnNetworkNamespace) {
  if (std::getenv("LUMO_IN_NETNS") == nullptr) GTEST_SKIP() << "runs only inside the namespace";
  std::vector<AdapterInfo> adapters;
  ASSERT_TRUE(platform::listAdapters(adapters));
  uint32_t hop = 0, index = 0;
  ASSERT_TRUE(FindVirtualAdapter(hop, index));
  EXPECT_EQ(hop, ipv4(10, 10, 7, 1));
  AdapterRoutes routes(platform::createHostRoute);  // the namespace's routing table
  AdapterRouteParameters p;
  p.nextHop = hop;
  p.interfaceIndex = index;
  p.metric = 300;
  routes.setParameters(p);
  routes.AddHostRoute(ipv4(203, 0, 113, 9));
  routes.AddHostRoute(ipv4(203, 0, 113, 9));
  std::string table;
  ASSERT_TRUE(platform::runCommandLineCaptured("ip -4 route show", 5000, table));
  EXPECT_NE(table.find("203.0.113.9 via 10.10.7.1 dev lumotun0"), std::string::npos) << table;
  EXPECT_NE(table.find("metric 300"), std::string::npos) << table;

  // The adapter's own address as next hop is an on-link route on Linux.
  p.nextHop = ipv4(10, 10, 7, 23);
  routes.setParameters(p);
  routes.AddHostRoute(ipv4(198, 51, 100, 4));
  ASSERT_TRUE(platform::runCommandLineCaptured("ip -4 route show", 5000, table));
  EXPECT_NE(table.find("198.51.100.4 dev lumotun0"), std::string::npos) << table;
}

TEST(LinuxHostRoute, InNamespace) {
  if (std::getenv("LUMO_IN_NETNS") != nullptr) GTEST_SKIP() << "already inside";
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string script =
      "ip tuntap add dev lumotun0 mode tun && ip link set lumotun0 alias MyVPN && "
      "ip addr add 10.10.7.23/24 dev lumotun0 && ip link set lumotun0 up && "
      "LUMO_IN_NETNS=1 exec '" +
      self + "' --gtest_filter=LinuxHostRoute.InsideOwnNetworkNamespace";
  // Probe first: without the right to make a namespace there is nothing to test.
  if (std::system("unshare -n true >/dev/null 2>&1") != 0 ||
      std::system("unshare -n ip tuntap add dev probe0 mode tun >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "network namespaces or TUN devices are not allowed here (needs unshare -n, "
                    "/dev/net/tun and ip)";
  const std::string command = "unshare -n sh -c \"" + script + "\" > /dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << "the test inside the namespace failed: run\n  " << command;
}
#endif
