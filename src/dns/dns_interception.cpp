#include "dns/dns_interception.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "collector/dc_events.h"
#include "platform/time.h"

namespace dns {
namespace {

using platform::SocketAddress;
using rules::DomainClass;

// Reverse look-ups and names of home and local networks are the local
// resolver's business; so are the service's own names.
bool isLeftAlone(const std::string& name) {
  auto endsWith = [&name](std::string_view suffix) {
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  return endsWith(".arpa") || endsWith(".home") || endsWith(".lan") || endsWith(kServiceDomainSuffix);
}

// ::a.b.c.d, the IPv4-compatible form in which an AAAA question gets an IPv4 answer.
SocketAddress28 ipv4AsIpv6(const SocketAddress28& v4) {
  uint8_t address[16] = {};
  std::memcpy(address + 12, &v4.bytes[4], 4);
  return SocketAddress28::FromIpv6(address);
}

}  // namespace

DnsInterception::DnsInterception(DnsLinks& links, udp::FlowDriver& driver,
                                 collector::DataCollectorEvent& collector)
    : links_(links), driver_(driver), collector_(collector) {}

DnsInterception::~DnsInterception() { stopTunnelWaits(); }

udp::DnsBranch::QueryOutcome DnsInterception::interceptDnsQuery(uint64_t id, const SocketAddress& remote,
                                                                const uint8_t* data, size_t length,
                                                                const drvapi::UdpOptions* options) {
  auto passUnchanged = [&] {
    driver_.injectSend(id, remote.bytes, data, length, options);
    return QueryOutcome::Handled;
  };
  // Not a single query the engine can read: it goes on, and the flow is no
  // longer shown to the engine.
  if (!IsExaminable(data, length, false)) {
    passUnchanged();
    driver_.disableFiltering(id);
    return QueryOutcome::Handled;
  }
  const DnsMessage query = ParseDnsMessage(data, length);
  if (query.name.empty() || isLeftAlone(query.name)) return passUnchanged();

  DNS_REQ request;
  request.isA = query.ok && query.isA;
  request.viaVirtualDns = remote.family() == platform::kFamilyIpv4 && remote.ipv4() == kVirtualDnsAddress;
  request.listed = links_.isListedName(query.name);
  request.ruleClass = links_.classifyDomain(query.name);
  request.family = remote.family();
  request.flowId = id;
  request.dnsId = query.id;
  request.queryTimeMs = platform::monotonicMs();
  request.name = query.name;
  std::memcpy(request.remoteAddress.bytes, remote.bytes, remote.length());
  request.copyOptions(options);

  const DnsSwitches sw = links_.switches();
  auto observeOnly = [&] {
    onDnsRequest(request);
    return passUnchanged();
  };
  if (!request.viaVirtualDns && !sw.udpProxyAll) return observeOnly();

  auto resolve = [&] {
    // An AAAA question is resolved as A (and answered as ::a.b.c.d) only where
    // IPv4 answers can be steered; otherwise it gets an empty answer, which
    // makes the application use the IPv4 address.
    if ((!sw.adapterMode && sw.udpEnabled) || request.isA) {
      links_.resolveAsync(request);
    } else {
      onDnsRequest(request);
      onDnsAnswer(request, {});
    }
    return QueryOutcome::Handled;
  };

  switch (request.ruleClass) {
    case DomainClass::ViaProxy:
      return resolve();
    case DomainClass::FromTable: {
      const uint32_t address = links_.lookupHostAddress(request.name);
      if (address == 0) return resolve();
      onDnsRequest(request);
      std::vector<SocketAddress28> answer{SocketAddress28::FromIpv4(address)};
      if (!request.isA && (request.listed || sw.adapterMode || !sw.udpEnabled)) answer.clear();
      onDnsAnswer(request, answer);
      return QueryOutcome::Handled;
    }
    case DomainClass::None:
      break;
  }
  if (!request.viaVirtualDns) return observeOnly();
  onDnsRequest(request);
  // Without a node there is nobody to carry it to; the application's own
  // time-out and retry take over.
  if (!sw.nodeConfigured) return QueryOutcome::Handled;
  return QueryOutcome::Tunnel;
}

void DnsInterception::onDnsRequest(DNS_REQ& request) {
  if (request.ruleClass != DomainClass::None && !request.isA) request.aaaaFromA = true;

  if (request.ruleClass == DomainClass::None && request.viaVirtualDns) {
    const std::string key = PendingKey(request.dnsId, request.isA, request.name);
    uint32_t replaced = 0;
    uint64_t generation;
    {
      std::lock_guard<std::mutex> lock(tunnelLock_);
      generation = ++nextGeneration_;
      Waiting& w = tunnelWaits_[key];
      replaced = w.timer;
      w = Waiting{request, generation, 0};
    }
    if (replaced != 0) timers_.cancel(replaced);
    const uint32_t timer = timers_.schedule(kTunnelReplyWaitMs, [this, key, generation] {
      std::lock_guard<std::mutex> lock(tunnelLock_);
      auto it = tunnelWaits_.find(key);
      if (it != tunnelWaits_.end() && it->second.generation == generation) tunnelWaits_.erase(it);
    });
    std::lock_guard<std::mutex> lock(tunnelLock_);
    auto it = tunnelWaits_.find(key);
    if (it != tunnelWaits_.end() && it->second.generation == generation) it->second.timer = timer;
  }

  if (auto* e =
          collector::newEvent<collector::DCDnsRequestEvent>(collector_, request.flowId, request.family)) {
    e->dnsId = request.dnsId;
    e->isAaaa = request.isA ? 0 : 1;
    e->viaVirtualDns = request.viaVirtualDns ? 1 : 0;
    e->ruleClass1 = request.ruleClass == DomainClass::ViaProxy ? 1 : 0;
    e->ruleClass2 = request.ruleClass == DomainClass::FromTable ? 1 : 0;
    e->aaaaFromIpv4 = request.aaaaFromA ? 1 : 0;
    e->name.assign(request.name);
    collector_.post(e);
  }
}

void DnsInterception::onDnsAnswer(const DNS_REQ& request, const std::vector<SocketAddress28>& addresses) {
  links_.learnDnsAnswer(request.name, addresses);
  postResponseEvent(request, request.dnsId, !request.isA,
                    static_cast<uint32_t>(platform::monotonicMs() - request.queryTimeMs), addresses);

  std::vector<uint8_t> response;
  if (!request.isA && request.aaaaFromA) {
    std::vector<SocketAddress28> rewritten;
    rewritten.reserve(addresses.size());
    for (const SocketAddress28& a : addresses)
      rewritten.push_back(a.family() == platform::kFamilyIpv4 ? ipv4AsIpv6(a) : a);
    response = BuildDnsResponse(request.dnsId, request.name, request.isA, rewritten);
  } else {
    response = BuildDnsResponse(request.dnsId, request.name, request.isA, addresses);
  }
  if (response.empty()) return;  // a name labels cannot carry: nothing sensible to say
  // From the server the application asked, so that its resolver accepts it.
  driver_.injectReceive(request.flowId, request.remoteAddress.bytes, response.data(), response.size(),
                        request.optionsRecord());
}

void DnsInterception::postResponseEvent(const DNS_REQ& request, uint16_t dnsId, bool isAaaa,
                                        uint32_t elapsedMs, const std::vector<SocketAddress28>& addresses) {
  auto* e = collector::newEvent<collector::DCDnsResponseEvent>(collector_, request.flowId, request.family);
  if (e == nullptr) return;
  e->dnsId = dnsId;
  e->isAaaa = isAaaa ? 1 : 0;
  e->alwaysOne = 1;
  e->elapsedMs = elapsedMs;
  const size_t count = std::min<size_t>(addresses.size(), 10);
  e->addressCount = static_cast<uint32_t>(count);
  for (size_t i = 0; i < count; ++i) {
    if (isAaaa)
      std::memcpy(e->addresses[i], addresses[i].ipv6(), 16);
    else
      std::memcpy(e->addresses[i], &addresses[i].bytes[4], 4);
  }
  e->name.assign(request.name);
  collector_.post(e);
}

void DnsInterception::observeDnsResponse(uint64_t id, const SocketAddress& remote, const uint8_t* data,
                                         size_t length, const drvapi::UdpOptions* options) {
  if (IsExaminable(data, length, true)) {
    const DnsMessage response = ParseDnsMessage(data, length);
    if (!response.name.empty()) {
      links_.learnDnsAnswer(response.name, response.answers);
      DNS_REQ seen;
      seen.flowId = id;
      seen.family = remote.family();
      seen.name = response.name;
      postResponseEvent(seen, response.id, !response.isA, 0, response.answers);
    }
  }
  driver_.injectReceive(id, remote.bytes, data, length, options);
}

bool DnsInterception::matchTunnelDnsReply(const uint8_t* data, size_t length) {
  if (!IsExaminable(data, length, true)) return false;
  const DnsMessage reply = ParseDnsMessage(data, length);
  if (reply.name.empty()) return false;
  const std::string key = PendingKey(reply.id, reply.isA, reply.name);
  Waiting taken;
  {
    std::lock_guard<std::mutex> lock(tunnelLock_);
    auto it = tunnelWaits_.find(key);
    if (it == tunnelWaits_.end()) return false;
    taken = std::move(it->second);
    tunnelWaits_.erase(it);
  }
  if (taken.timer != 0) timers_.cancel(taken.timer);
  onDnsAnswer(taken.request, reply.answers);
  return true;
}

void DnsInterception::stopTunnelWaits() {
  timers_.stop();
  std::lock_guard<std::mutex> lock(tunnelLock_);
  tunnelWaits_.clear();
}

size_t DnsInterception::tunnelWaitCount() const {
  std::lock_guard<std::mutex> lock(tunnelLock_);
  return tunnelWaits_.size();
}

}  // namespace dns
