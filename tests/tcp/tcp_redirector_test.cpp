// The connect decision, table-driven over a scripted set of services: each
// row gives a destination and the facts the decision consults, and says what
// the driver must see (pass / redirect / adapter), where the connect goes and
// what is remembered for the relay.
#include "tcp/tcp_redirector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "collector/data_collector.h"
#include "platform/net.h"

using platform::hostToNet16;
using platform::ipv4;
using platform::SocketAddress;

namespace {

class FakeServices : public process::ProcessQueries,
                     public tcp::RedirectPolicy,
                     public tcp::ConnectionDriver {
 public:
  std::string name = "game.exe";
  bool selected = true;
  bool admitted = true;
  bool local = false;
  std::map<uint64_t, tcp::HostRewriteTarget> rewrites;
  std::map<uint64_t, tcp::PortMapTarget> portMaps;
  rules::AddressRule addressRule = rules::AddressRule::None;
  bool webSteered = false;
  std::map<std::string, SocketAddress> dns;  // "A name" / "AAAA name" → address; missing names fail
  int failFirstLookups = 0;
  bool webRelay = false;
  bool adapter = false;
  bool usable = true;
  uint16_t relay6 = 50887;
  std::vector<uint32_t> routes;
  std::vector<uint64_t> disabled;
  std::vector<std::string> lookups;
  std::vector<std::pair<bool, int>> injected;  // (towards the network, length)

  static uint64_t key(uint32_t a, uint16_t p) { return (uint64_t{a} << 16) | p; }
  tcp::TcpRedirectLinks links() { return {*this, *this, *this}; }

  std::string processNameOf(uint32_t pid) override { return pid == 0 || pid == 4 ? "" : name; }
  bool isSelectedProcess(uint32_t, const std::string&) override { return selected; }
  bool admit(uint32_t, const std::string&) override { return admitted; }
  bool isWatchedService(uint32_t) override { return false; }
  bool isLocalAddress(uint32_t) override { return local; }
  bool isLocalSocketAddress(const SocketAddress&) override { return local; }
  std::optional<tcp::HostRewriteTarget> findHostRewrite(uint32_t a, uint16_t p) override {
    auto it = rewrites.find(key(a, p));
    return it == rewrites.end() ? std::nullopt : std::optional(it->second);
  }
  std::optional<tcp::PortMapTarget> findPortMap(uint32_t a, uint16_t p) override {
    auto it = portMaps.find(key(a, p));
    return it == portMaps.end() ? std::nullopt : std::optional(it->second);
  }
  rules::AddressRule findAddressRule(const SocketAddress&) override { return addressRule; }
  bool isWebSteered(const SocketAddress&, bool) override { return webSteered; }
  bool lookUp(uint16_t type, const std::string& host, std::vector<SocketAddress>& out) override {
    lookups.push_back((type == 1 ? "A " : "AAAA ") + host);
    if (failFirstLookups-- > 0) return false;
    auto it = dns.find(lookups.back());
    if (it == dns.end()) return false;
    out.push_back(it->second);
    return true;
  }
  bool webRelayRunning() override { return webRelay; }
  bool adapterMode() override { return adapter; }
  void addHostRoute(uint32_t a) override { routes.push_back(a); }
  bool nodeUsable() override { return usable; }
  uint16_t relayPort4() override { return 50888; }
  uint16_t relayPort6() override { return relay6; }
  int disableFiltering(uint64_t id) override {
    disabled.push_back(id);
    return 0;
  }
  int injectReceive(uint64_t, const char*, int length) override {
    injected.push_back({false, length});
    return 0;
  }
  int injectSend(uint64_t, const char*, int length) override {
    injected.push_back({true, length});
    return 0;
  }
  int getConnInfo(uint64_t, drvapi::TcpConnInfo& info) override {
    info.ipFamily = 2;
    return 0;
  }
};

// Keeps the forward records' verdicts and adds up the flow records.
struct Records : collector::DataCollectorEvent {
  void onCollectorEvent(const collector::DCEvent& r) override {
    if (r.type == collector::kTcpForward)
      forwarded.push_back(static_cast<const collector::DCTcpForwardEvent&>(r).forwarded);
    if (r.type != collector::kTcpProxyFlowUp && r.type != collector::kTcpProxyFlowDown) return;
    const auto& e = static_cast<const collector::DCTcpProxyFlowUpEvent&>(r);
    (r.type == collector::kTcpProxyFlowUp ? up : down) += e.byteCount;
    proxied &= e.proxied == 1;
  }
  std::vector<uint32_t> forwarded;
  uint32_t up = 0, down = 0;
  bool proxied = true;
};

const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

drvapi::TcpConnInfo request(const SocketAddress& to, uint32_t pid = 1200,
                            uint16_t localPortNet = hostToNet16(40001)) {
  drvapi::TcpConnInfo info{};
  info.processId = pid;
  info.direction = 2;
  info.ipFamily = to.family();
  const SocketAddress local = to.family() == 2 ? platform::makeIpv4Address(ipv4(127, 0, 0, 1), localPortNet)
                                               : platform::makeIpv6Address(kLoopback6, localPortNet);
  std::memcpy(info.localAddress.bytes.data(), local.bytes, 28);
  std::memcpy(info.remoteAddress.bytes.data(), to.bytes, 28);
  return info;
}

SocketAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  return platform::makeIpv4Address(ipv4(a, b, c, d), hostToNet16(port));
}

// The game's usual destination.
const SocketAddress kGame = v4(203, 0, 113, 5, 7000);

SocketAddress mapped(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port) {
  uint8_t bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, a, b, c, d};
  return platform::makeIpv6Address(bytes, hostToNet16(port));
}

SocketAddress remoteOf(const drvapi::TcpConnInfo& info) {
  SocketAddress a;
  std::memcpy(a.bytes, info.remoteAddress.bytes.data(), 28);
  return a;
}

// "ADDRESS port N" (port in host order).
std::string shown(const SocketAddress& a) {
  return platform::addressToText(a) + " port " + std::to_string(platform::netToHost16(a.port()));
}

// The redirector on fake services; its collector runs once started.
struct Harness {
  ~Harness() { records.stopCollector(); }
  FakeServices services;
  Records records;
  tcp::TcpRedirector redirector{services.links(), records};
};

}  // namespace

TEST(TcpRedirect, ScreeningRules) {
  using S = FakeServices;
  struct Row {
    const char* what;
    SocketAddress to;
    uint32_t pid;
    void (*facts)(S&);  // what differs from a selected, admitted game with a usable node
    bool redirected;
  } rows[] = {
      {"selected game to a public address", kGame, 1200, nullptr, true},
      {"unselected process", kGame, 1200, [](S& s) { s.selected = false; }, false},
      {"process id 0 is never selected", kGame, 0, nullptr, false},
      {"DNS port passes", v4(8, 8, 8, 8, 53), 1200, nullptr, false},
      {"broadcast passes", v4(255, 255, 255, 255, 7000), 1200, nullptr, false},
      {"0.0.0.0 passes", v4(0, 0, 0, 0, 7000), 1200, nullptr, false},
      {"224.0.0.0 is screened further", v4(224, 0, 0, 0, 7000), 1200, nullptr, true},
      {"224.0.0.1 passes", v4(224, 0, 0, 1, 7000), 1200, nullptr, false},
      {"SSDP group passes", v4(239, 255, 255, 250, 1900), 1200, nullptr, false},
      {"local network passes", v4(192, 168, 9, 9, 7000), 1200, [](S& s) { s.local = true; }, false},
      {"over the instance limit passes", kGame, 1200, [](S& s) { s.admitted = false; }, false},
      {"direct rule passes", kGame, 1200, [](S& s) { s.addressRule = rules::AddressRule::Direct; }, false},
      {"block rule goes direct, not refused", kGame, 1200,
       [](S& s) { s.addressRule = rules::AddressRule::Block; }, false},
      {"web port, steered, unselected", v4(203, 0, 113, 5, 443), 1200,
       [](S& s) {
         s.selected = false;
         s.webSteered = true;
       },
       true},
      {"web port, not steered, selected", v4(203, 0, 113, 5, 80), 1200, nullptr, false},
      {"IPv4-mapped destination", mapped(203, 0, 113, 5, 7000), 1200, nullptr, true},
      {"IPv4-mapped destination without an IPv6 listener goes direct", mapped(203, 0, 113, 7, 7002), 1200,
       [](S& s) { s.relay6 = 0xFFFF; }, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Harness h;
    if (r.facts != nullptr) r.facts(h.services);
    drvapi::TcpConnInfo info = request(r.to, r.pid);
    const drvapi::TcpConnInfo before = info;
    h.redirector.tcpConnectRequest(77, &info);
    ASSERT_EQ(h.services.disabled, std::vector<uint64_t>{77}) << "every decision ends in filtering off";
    EXPECT_EQ(h.redirector.redirectTable().size(), r.redirected ? 1u : 0u);
    if (!r.redirected) {
      EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << "a passed connect goes where it was going";
      continue;
    }
    EXPECT_EQ(shown(remoteOf(info)), r.to.family() == 2 ? "127.0.0.1 port 50888" : "::1 port 50887")
        << "mapped destinations land on the IPv6 listener";
  }
}

// In adapter mode a connection stays filtered, its destination reached by a
// host route; only such connections keep their process name until closed.
TEST(TcpRedirect, AdapterModeKeepsTheConnectionFilteredWithARouteAndItsName) {
  Harness h;
  uint8_t global[16] = {0x20, 0x01, 0x0d, 0xb8};
  drvapi::TcpConnInfo passed = request(platform::makeIpv6Address(global, hostToNet16(7000)));
  h.redirector.tcpConnectRequest(5, &passed);
  EXPECT_EQ(h.redirector.redirectTable().size(), 0u);
  drvapi::TcpConnInfo redirected = request(kGame);
  h.redirector.tcpConnectRequest(6, &redirected);
  EXPECT_EQ(h.redirector.connectionNames().size(), 0u) << "no close will come for unfiltered connections";

  h.services.adapter = true;
  h.services.disabled.clear();
  drvapi::TcpConnInfo filtered = request(kGame);
  h.redirector.tcpConnectRequest(7, &filtered);
  EXPECT_EQ(filtered.filteringFlag, 2u);
  EXPECT_EQ(remoteOf(filtered).ipv4(), ipv4(203, 0, 113, 5)) << "the destination stays";
  EXPECT_TRUE(h.services.disabled.empty()) << "filtering stays on";
  EXPECT_EQ(h.services.routes, std::vector<uint32_t>{ipv4(203, 0, 113, 5)});
  EXPECT_EQ(h.redirector.connectionNames().Get(7), "game.exe");
  h.redirector.tcpClosed(7, &filtered);
  EXPECT_EQ(h.redirector.connectionNames().size(), 0u);
  h.redirector.tcpConnectRequest(8, &filtered);
  h.redirector.Clear();
  EXPECT_EQ(h.redirector.connectionNames().size(), 0u) << "a stop forgets them";
  h.redirector.tcpClosed(6, &passed);  // never filtered: harmless
}

TEST(TcpRedirect, RelayFindsTheRequestByClientPortAndFamily) {
  Harness h;
  drvapi::TcpConnInfo first = request(kGame, 1200, hostToNet16(40001));
  drvapi::TcpConnInfo second = request(v4(203, 0, 113, 6, 7001), 1200, hostToNet16(40001));
  drvapi::TcpConnInfo six = request(mapped(203, 0, 113, 7, 7002), 1200, hostToNet16(40001));
  h.redirector.tcpConnectRequest(1, &first);
  h.redirector.tcpConnectRequest(2, &second);  // same local port: overwrites
  h.redirector.tcpConnectRequest(3, &six);
  EXPECT_EQ(h.redirector.redirectTable().size(), 2u);

  auto taken = h.redirector.redirectTable().TakeRedirect(v4(127, 0, 0, 1, 40001));
  ASSERT_TRUE(taken.has_value());
  EXPECT_EQ(taken->id, 2u) << "the later request wins";
  EXPECT_EQ(remoteOf(taken->info).ipv4(), ipv4(203, 0, 113, 6)) << "the record keeps the real destination";
  EXPECT_EQ(taken->processName, "game.exe");
  EXPECT_FALSE(h.redirector.redirectTable().TakeRedirect(v4(127, 0, 0, 1, 40001)).has_value());

  auto taken6 =
      h.redirector.redirectTable().TakeRedirect(platform::makeIpv6Address(kLoopback6, hostToNet16(40001)));
  ASSERT_TRUE(taken6.has_value());
  EXPECT_EQ(taken6->id, 3u);
  const uint16_t family6 = taken6->info.ipFamily;  // packed: read through a copy
  EXPECT_EQ(family6, 23);
}

TEST(TcpRedirect, UnusableNodeMeansDirectAndAForwardRecordSayingSo) {
  Harness h;
  h.records.startCollector();
  h.services.usable = false;
  drvapi::TcpConnInfo info = request(kGame);
  const drvapi::TcpConnInfo before = info;
  h.redirector.tcpConnectRequest(1, &info);
  EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
  h.services.usable = true;
  info = request(kGame);
  h.redirector.tcpConnectRequest(2, &info);
  h.records.stopCollector();
  EXPECT_EQ(h.records.forwarded, (std::vector<uint32_t>{0, 1}));
}

// A rewrite always goes direct: to the resolved host on the requested port
// (an IPv4-mapped destination by one AAAA look-up, as family 23), to the web
// relay on loopback while it runs, or, with nothing resolved, where it was going.
TEST(TcpRedirect, HostRewriteSendsTheConnectionToTheResolvedHostDirectly) {
  const SocketAddress rewritten = v4(198, 51, 100, 1, 443);
  const std::vector<std::string> twiceA = {"A web.example.com", "A web.example.com"};
  const std::vector<std::string> aaaa = {"AAAA web.example.com"};
  struct Row {
    const char* what;
    SocketAddress to;
    bool webRelay;
    bool resolves;  // the A look-up on its second try: it is tried twice
    const char* went;
    std::vector<std::string> lookups;
  } rows[] = {
      {"resolved", rewritten, false, true, "198.51.100.77 port 443", twiceA},
      {"IPv4-mapped: one AAAA look-up", mapped(198, 51, 100, 1, 443), false, true, "2001:db8::5 port 443",
       aaaa},
      {"web relay running", rewritten, true, true, "127.0.0.1 port 8443", {}},
      {"nothing resolved", rewritten, false, false, "198.51.100.1 port 443", twiceA},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Harness h;
    h.services.rewrites[FakeServices::key(ipv4(198, 51, 100, 1), hostToNet16(443))] = {"web.example.com",
                                                                                       hostToNet16(8443)};
    if (row.resolves) {
      h.services.dns["A web.example.com"] = v4(198, 51, 100, 77, 0);
      const uint8_t answer6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
      h.services.dns["AAAA web.example.com"] = platform::makeIpv6Address(answer6, 0);
    }
    h.services.failFirstLookups = row.to.family() == 2 ? 1 : 0;
    h.services.webRelay = row.webRelay;
    drvapi::TcpConnInfo info = request(row.to);
    h.redirector.tcpConnectRequest(1, &info);
    EXPECT_EQ(h.services.lookups, row.lookups);
    EXPECT_EQ(shown(remoteOf(info)), row.went);
    EXPECT_EQ(h.redirector.redirectTable().size(), 0u);
  }
}

// The type decides (1: through the relay); the process is selected only in
// the rows of type 0, so that the map, not the selection, made the choice.
TEST(TcpRedirect, PortMapRewritesAndDecidesByItsType) {
  const uint16_t to9000 = hostToNet16(9000), to9001 = hostToNet16(9001);
  const SocketAddress literal = v4(198, 51, 100, 9, 9000), named = v4(198, 51, 100, 10, 9001);
  struct Row {
    const char* what;
    tcp::PortMapTarget target;
    SocketAddress went;
    bool redirected;
  } rows[] = {
      {"literal target, direct", {"198.51.100.9", to9000, 0, false}, literal, false},
      {"literal target, via relay", {"198.51.100.9", to9000, 1, false}, literal, true},
      {"name target resolved", {"map.example.com", to9001, 1, true}, named, true},
      {"name not resolved, via relay", {"gone.example.com", to9001, 1, true}, kGame, true},
      {"name not resolved, direct: the rules decide", {"gone.example.com", to9001, 0, true}, kGame, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Harness h;
    h.services.selected = r.target.type == 0;
    h.services.portMaps[FakeServices::key(ipv4(203, 0, 113, 5), hostToNet16(7000))] = r.target;
    h.services.dns["A map.example.com"] = v4(198, 51, 100, 10, 0);
    drvapi::TcpConnInfo info = request(kGame);
    h.redirector.tcpConnectRequest(1, &info);
    ASSERT_EQ(h.redirector.redirectTable().size(), r.redirected ? 1u : 0u);
    const SocketAddress went =
        r.redirected ? remoteOf(h.redirector.redirectTable().TakeRedirect(v4(127, 0, 0, 1, 40001))->info)
                     : remoteOf(info);
    EXPECT_EQ(shown(went), shown(r.went));
  }
}

TEST(TcpFlowEvents, DataGoesBackUnchangedAndIsCountedOnlyInAdapterMode) {
  Harness h;
  h.records.startCollector();
  const std::string data(1000, 'd');
  h.redirector.tcpSend(1, data.data(), 1000);  // outside adapter mode: passed on, not counted
  h.services.adapter = true;
  h.redirector.tcpSend(1, data.data(), 1000);
  h.redirector.tcpReceive(1, data.data(), 300);
  h.redirector.tcpSend(1, nullptr, 0);  // end of stream: passed on, adds nothing
  h.records.stopCollector();

  EXPECT_EQ(h.services.injected,
            (std::vector<std::pair<bool, int>>{{true, 1000}, {true, 1000}, {false, 300}, {true, 0}}));
  EXPECT_EQ(h.records.up, 1000u);
  EXPECT_EQ(h.records.down, 300u);
  EXPECT_TRUE(h.records.proxied);
}
