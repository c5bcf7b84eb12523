// DNS interception: the DNS branch of the UDP flow handling. Every datagram
// to or from remote port 53 comes here. A query is passed unchanged, answered
// by the engine (from its resolver or from the host-address table),
// carried through the UDP tunnel, or dropped; the engine's answers are built
// as DNS responses and injected into the querying socket as if the asked
// server had sent them; every answer seen (synthesised, tunnelled or passing)
// is learned into the engine's domain tables.
//
// Names the engine never touches: reverse look-ups (".arpa"), home and local
// networks (".home", ".lan") and the service's own names (kServiceDomainSuffix).
//
// Threads: the driver's event workers (interceptDnsQuery, observeDnsResponse,
// one flow at a time), the resolver's receive threads and the tunnel's
// completion thread (onDnsAnswer, matchTunnelDnsReply), the removal timers of
// the tunnel-pending map. The map has its own lock, held only for a look-up,
// an insert or a removal.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "collector/data_collector.h"
#include "dns/dns_message.h"
#include "dns/dns_req.h"
#include "platform/timer.h"
#include "rules/rule_answers.h"
#include "udp/udp_flows.h"

namespace dns {

// The service's own domain: names under it are the service's business and are
// never intercepted (".lumo.internal"; ".internal" is reserved for private use).
inline constexpr char kServiceDomainSuffix[] = ".lumo.internal";
// The virtual DNS address (8.8.8.1, network order) that the service's adapter
// gives applications as their DNS server.
inline constexpr uint32_t kVirtualDnsAddress = platform::ipv4(8, 8, 8, 1);
// How long a query carried through the tunnel waits for its reply.
inline constexpr uint32_t kTunnelReplyWaitMs = 3000;

// The engine's switches, as one copy per query.
struct DnsSwitches {
  bool udpProxyAll = false;
  bool adapterMode = false;
  bool udpEnabled = false;
  bool nodeConfigured = false;  // proxy address and UDP port both set
};

// What the interception consults and feeds outside itself. Any thread.
class DnsLinks {
 public:
  virtual ~DnsLinks() = default;
  virtual DnsSwitches switches() = 0;
  // The filter file's class of a normalised name: 0 none, 1 resolve, 2 table.
  virtual rules::DomainClass classifyDomain(const std::string& name) = 0;
  // The name has port-map rules.
  virtual bool isListedName(const std::string& name) = 0;
  // The host-address table's IPv4 address (network order), 0 when none.
  virtual uint32_t lookupHostAddress(const std::string& name) = 0;
  // Queues the request for the engine's resolver (which answers through
  // DnsInterception::onDnsAnswer).
  virtual void resolveAsync(const DNS_REQ& request) = 0;
  // Hands a name and its answer addresses to the domain tables, in their
  // fixed order.
  virtual void learnDnsAnswer(const std::string& name, const std::vector<SocketAddress28>& addresses) = 0;
};

class DnsInterception final : public udp::DnsBranch {
 public:
  // `driver` injects and releases flows; every reference must outlive this.
  DnsInterception(DnsLinks& links, udp::FlowDriver& driver, collector::DataCollectorEvent& collector);
  ~DnsInterception() override;  // stopTunnelWaits()
  DnsInterception(const DnsInterception&) = delete;
  DnsInterception& operator=(const DnsInterception&) = delete;

  // --- udp::DnsBranch ---------------------------------------------------------
  // Ends in one of: inject unchanged, answer, hand back (Tunnel), drop.
  QueryOutcome interceptDnsQuery(uint64_t id, const platform::SocketAddress& remote, const uint8_t* data,
                                 size_t length, const drvapi::UdpOptions* options) override;
  // Learns from a response and always injects it unchanged.
  void observeDnsResponse(uint64_t id, const platform::SocketAddress& remote, const uint8_t* data,
                          size_t length, const drvapi::UdpOptions* options) override;
  // True when the reply answered a query waiting in the tunnel-pending map
  // (the answer was then injected as a synthesised response).
  bool matchTunnelDnsReply(const uint8_t* data, size_t length) override;

  // The engine's handling of a query it answers or resolves: marks AAAA
  // questions of class 1 and 2 to be answered from IPv4 addresses, keeps
  // tunnelled queries to the virtual DNS address waiting for their reply, and
  // posts the request event.
  void onDnsRequest(DNS_REQ& request);
  // Learns the answer, posts the response event, builds the response and
  // injects it into the querying flow from the server it asked.
  void onDnsAnswer(const DNS_REQ& request, const std::vector<SocketAddress28>& addresses);

  // Forgets every waiting tunnelled query and waits for removal timers that
  // are running. Engine stop and shutdown.
  void stopTunnelWaits();
  size_t tunnelWaitCount() const;

 private:
  struct Waiting {
    DNS_REQ request;
    uint64_t generation = 0;
    uint32_t timer = 0;
  };
  void postResponseEvent(const DNS_REQ& request, uint16_t dnsId, bool isAaaa, uint32_t elapsedMs,
                         const std::vector<SocketAddress28>& addresses);

  DnsLinks& links_;
  udp::FlowDriver& driver_;
  collector::DataCollectorEvent& collector_;

  mutable std::mutex tunnelLock_;
  std::unordered_map<std::string, Waiting> tunnelWaits_;
  uint64_t nextGeneration_ = 0;
  // Last, so that its callbacks are over before the map goes.
  platform::OneShotTimers timers_;
};

}  // namespace dns
