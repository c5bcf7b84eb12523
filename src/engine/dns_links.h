// What DNS interception consults and feeds, answered from the engine: the
// start switches and the node, the filter file's domain classes and port-map
// names, the host-address table, the engine's resolver, and the domain tables
// that learn from every answer. Any thread.
#pragma once

#include "dns/dns_interception.h"
#include "dns/dns_resolver.h"

namespace engine {

class ZuEngine;

class EngineDnsLinks final : public dns::DnsLinks {
 public:
  explicit EngineDnsLinks(ZuEngine& engine) : engine_(engine) {}

  dns::DnsSwitches switches() override;
  rules::DomainClass classifyDomain(const std::string& name) override;
  bool isListedName(const std::string& name) override;
  uint32_t lookupHostAddress(const std::string& name) override;
  void resolveAsync(const dns::DNS_REQ& request) override;
  // The six consumers, in this order: the address-to-name map, the steered
  // addresses, the port rules, the relay's ping responder, the host
  // rewrites, the port maps of listed names.
  void learnDnsAnswer(const std::string& name,
                      const std::vector<platform::SocketAddress28>& addresses) override;

 private:
  ZuEngine& engine_;
};

// The backup server of the engine's resolver: 8.8.8.8:53 unless the
// environment variable LUMO_DNS_BACKUP names another as "a.b.c.d:port"
// (tests and demonstrations point it at a loopback server). Read at each
// start.
void applyBackupServerSetting(dns::DnsResolver& resolver);

}  // namespace engine
