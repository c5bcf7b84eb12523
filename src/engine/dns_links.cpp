#include "engine/dns_links.h"

#include <cstdlib>
#include <mutex>
#include <span>
#include <string>

#include "engine/zu_engine.h"
#include "platform/net.h"

namespace engine {

dns::DnsSwitches EngineDnsLinks::switches() {
  dns::DnsSwitches s;
  s.udpProxyAll = engine_.udpProxyAll();
  s.adapterMode = engine_.adapterMode();
  s.udpEnabled = engine_.udpEnabled();
  std::lock_guard<std::mutex> lock(engine_.configLock_);
  s.nodeConfigured = engine_.proxyConfig_.proxyAddress != 0 && engine_.proxyConfig_.proxyUdpPort != 0;
  return s;
}

rules::DomainClass EngineDnsLinks::classifyDomain(const std::string& name) {
  return engine_.filterTables_.ClassifyDomain(name);
}

bool EngineDnsLinks::isListedName(const std::string& name) {
  return engine_.filterTables_.IsListedName(name);
}

uint32_t EngineDnsLinks::lookupHostAddress(const std::string& name) {
  return engine_.ruleLists_.LookupHostAddress(name);
}

void EngineDnsLinks::resolveAsync(const dns::DNS_REQ& request) { engine_.resolveAsync(request); }

void EngineDnsLinks::learnDnsAnswer(const std::string& name,
                                    const std::vector<platform::SocketAddress28>& addresses) {
  rules::FilterTables& tables = engine_.filterTables_;
  for (const platform::SocketAddress28& a : addresses) tables.RecordAddressName(a, name);
  const std::span<const platform::SocketAddress28> all(addresses);
  tables.LearnSteerAddresses(name, all);
  tables.LearnPortRuleAddresses(name, all);
  std::vector<uint32_t> ipv4;
  for (const platform::SocketAddress28& a : addresses)
    if (a.family() == platform::kFamilyIpv4) ipv4.push_back(a.ipv4());
  engine_.pingResponder_.OnNameResolved(name, ipv4);
  tables.LearnRewriteHost(name, all);
  tables.LearnListedName(name, all);
}

void applyBackupServerSetting(dns::DnsResolver& resolver) {
  uint32_t address = platform::ipv4(8, 8, 8, 8);
  uint16_t port = 53;
  if (const char* setting = std::getenv("LUMO_DNS_BACKUP")) {
    const std::string text(setting);
    const size_t colon = text.rfind(':');
    // The port: 1 to 5 decimal digits, 1..65535; anything else keeps the default.
    uint32_t parsedPort = 0;
    bool digits = colon != std::string::npos && colon + 1 < text.size() && text.size() - colon - 1 <= 5;
    for (size_t i = colon + 1; digits && i < text.size(); ++i) {
      digits = text[i] >= '0' && text[i] <= '9';
      parsedPort = parsedPort * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    if (digits && parsedPort != 0 && parsedPort <= 0xFFFF) {
      const uint32_t parsed = platform::inetAddr(text.substr(0, colon).c_str());
      if (parsed != 0xFFFFFFFFu) {
        address = parsed;
        port = static_cast<uint16_t>(parsedPort);
      }
    }
  }
  resolver.setBackupServer(address, platform::hostToNet16(port));
}

}  // namespace engine

namespace engine {

void ZuEngine::onDnsRequest(dns::DNS_REQ& request) { dnsBranch_.onDnsRequest(request); }

void ZuEngine::onDnsAnswer(const dns::DNS_REQ& request,
                           const std::vector<platform::SocketAddress28>& addresses) {
  dnsBranch_.onDnsAnswer(request, addresses);
}

}  // namespace engine
