#include "hostnet/driver_rules.h"

#include <cstring>

#include "drvapi/drvapi.h"
#include "platform/net.h"

namespace hostnet {
namespace {

constexpr uint32_t kTcp = drvapi::kProtocolTcp;
constexpr uint32_t kUdp = drvapi::kProtocolUdp;
constexpr uint8_t kInbound = drvapi::kDirectionInbound;
constexpr uint8_t kOutbound = drvapi::kDirectionOutbound;
constexpr uint8_t kBoth = drvapi::kDirectionBoth;
constexpr uint32_t kHostMask = 0xFFFFFFFFu;

// A zeroed rule; the fields a rule names are set on it, the rest match
// anything.
struct RuleBuilder {
  drvapi::ProcessFilterRule rule;

  RuleBuilder() { std::memset(&rule, 0, sizeof rule); }
  RuleBuilder& protocol(uint32_t p) { rule.rule.protocol = p; return *this; }
  RuleBuilder& process(uint32_t id) { rule.rule.processId = id; return *this; }
  RuleBuilder& direction(uint8_t d) { rule.rule.direction = d; return *this; }
  RuleBuilder& remotePort(uint16_t portNet) { rule.rule.remotePort = portNet; return *this; }
  RuleBuilder& family(uint16_t f) { rule.rule.ipFamily = f; return *this; }
  RuleBuilder& remote(uint32_t addressNet, uint32_t maskNet) {
    std::memcpy(rule.rule.remoteIpAddress, &addressNet, 4);
    std::memcpy(rule.rule.remoteIpAddressMask, &maskNet, 4);
    return *this;
  }
  RuleBuilder& flags(uint32_t f) { rule.rule.filteringFlag = f; return *this; }
  RuleBuilder& name(const std::u16string& text) {
    // The name travels with its terminator; a longer name is cut so that the
    // driver never receives one without it.
    const size_t n = std::min(text.size(), drvapi::kProcessNameUnits - 1);
    std::memcpy(rule.processName, text.data(), n * sizeof(char16_t));
    rule.processName[n] = u'\0';
    return *this;
  }
  // At the head of the driver's process rules, which the driver looks at
  // after its plain rules (an empty name holds for every program).
  void addFirst() { drvapi::addProcessFilterRule(&rule, true); }
  // At the head of the driver's plain rules, which carry no name.
  void addFirstUnnamed() { drvapi::addFilterRule(&rule.rule, true); }
};

}  // namespace

void WriteServiceProcessRules(uint32_t processId, bool tcp, bool udp) {
  if (tcp)
    for (uint16_t family : {drvapi::kFamilyIpv4, drvapi::kFamilyIpv6})
      RuleBuilder()
          .protocol(kTcp)
          .process(processId)
          .direction(kBoth)
          .family(family)
          .flags(drvapi::kRuleReportConnect)
          .addFirstUnnamed();
  if (udp)
    RuleBuilder()
        .protocol(kUdp)
        .process(processId)
        .direction(kBoth)
        .family(drvapi::kFamilyIpv4)
        .flags(drvapi::kRuleFilter)
        .addFirstUnnamed();
}

bool WriteDriverRules(const DriverRuleInputs& in, AdapterRoutes& routes, const AdapterFinder& findAdapter,
                      const MetricSource& metricOf, uint32_t osMajor) {
  const uint16_t v4 = drvapi::kFamilyIpv4;
  const uint16_t v6 = drvapi::kFamilyIpv6;
  const uint16_t dnsPort = platform::hostToNet16(53);

  // The game's own processes: connect requests and datagrams to the engine.
  for (const std::u16string& name : in.processNames) {
    if (in.tcpEnabled || in.adapterMode) {
      RuleBuilder().protocol(kTcp).family(v4).direction(kBoth).flags(drvapi::kRuleReportConnect).name(name).addFirst();
      RuleBuilder().protocol(kTcp).family(v6).direction(kBoth).flags(drvapi::kRuleReportConnect).name(name).addFirst();
    }
    if (in.udpEnabled || in.adapterMode)
      RuleBuilder().protocol(kUdp).family(v4).direction(kBoth).flags(drvapi::kRuleFilter).name(name).addFirst();
  }
  // Every process's DNS queries.
  RuleBuilder().protocol(kUdp).direction(kBoth).remotePort(dnsPort).family(v4).flags(drvapi::kRuleFilter).addFirst();
  RuleBuilder().protocol(kUdp).direction(kBoth).remotePort(dnsPort).family(v6).flags(drvapi::kRuleFilter).addFirst();
  // The engine's own traffic to the node, to the relay and to the service's
  // network passes untouched.
  RuleBuilder().protocol(kTcp).family(v4).remote(in.proxyAddress, kHostMask).flags(drvapi::kRulePass).addFirst();
  RuleBuilder().protocol(kUdp).direction(kOutbound).family(v4).remote(in.proxyAddress, kHostMask).flags(drvapi::kRulePass).addFirst();
  RuleBuilder().protocol(kTcp).family(v4).remote(platform::ipv4(127, 0, 0, 1), kHostMask).flags(drvapi::kRulePass).addFirst();
  RuleBuilder().family(v4).remote(platform::ipv4(172, 27, 0, 0), platform::ipv4(255, 255, 0, 0)).flags(drvapi::kRulePass).addFirst();
  RuleBuilder().direction(kBoth).remotePort(dnsPort).process(in.ownProcessId).family(v4).flags(drvapi::kRulePass).addFirst();
  // The SSDP multicast group is blocked.
  RuleBuilder().family(v4).remote(platform::ipv4(239, 255, 255, 250), kHostMask).flags(drvapi::kRuleBlock).addFirst();
  RuleBuilder().protocol(kUdp).direction(kInbound).family(v4).remote(in.proxyAddress, kHostMask)
      .flags(drvapi::kRuleFilter).name(u"quillmere.exe").addFirst();
  RuleBuilder().protocol(kUdp).direction(kOutbound).family(v4).remote(platform::ipv4(1, 3, 0, 5), kHostMask)
      .flags(drvapi::kRuleFilter).name(u"quillmere.exe").addFirst();
  // With ICMP rules every outgoing packet is offered to the raw-IP handlers.
  if (in.icmpRuleCount > 0) RuleBuilder().direction(kOutbound).flags(drvapi::kRuleRawIp).addFirst();

  if (!in.adapterMode) return false;
  bool adapterMode = true;
  AdapterRouteParameters p = routes.parameters();
  if (!findAdapter(p.nextHop, p.interfaceIndex)) {
    // Without the adapter nothing may be steered: the driver passes all.
    adapterMode = false;
    drvapi::deleteFilterRules();
  }
  p.mask = kHostMask;
  p.type = 3;
  p.protocol = 3;
  p.metric = metricOf(p.interfaceIndex);
  if (p.metric == 0) {
    p.metric = 1;
    if (osMajor >= 6) p.metric = 300;
  }
  routes.setParameters(p);
  routes.clear();
  return adapterMode;
}

}  // namespace hostnet
