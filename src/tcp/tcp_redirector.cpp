#include "tcp/tcp_redirector.h"

#include <cstring>

#include "drvapi/drvapi.h"
#include "platform/time.h"

namespace tcp {
namespace {

constexpr uint16_t kPort53 = platform::hostToNet16(53);
constexpr uint16_t kPort80 = platform::hostToNet16(80);
constexpr uint16_t kPort443 = platform::hostToNet16(443);
constexpr uint16_t kTypeA = 1;
constexpr uint16_t kTypeAAAA = 28;
// The relay's port when its listener is closed.
constexpr uint16_t kNoRelayPort = 0xFFFF;

platform::SocketAddress fromField(const platform::SocketAddress28& field) {
  platform::SocketAddress a;
  std::memcpy(a.bytes, field.bytes.data(), sizeof field);
  return a;
}

// Address and port of a socket address into a collector record's (packed)
// fields; both stay zero for families other than 2 and 23.
void putAddressAndPort(uint16_t family, const platform::SocketAddress& address, uint8_t* address16,
                       void* portField) {
  uint8_t bytes[16] = {};
  uint16_t port = 0;
  if (!platform::GetAddressAndPort(family, address, bytes, port)) return;
  std::memcpy(address16, bytes, sizeof bytes);
  std::memcpy(portField, &port, sizeof port);
}

// The first answer of `family`: a reply may carry records of other types, and
// an IPv4 answer must never be read as a 16-byte IPv6 address (or the other
// way round).
const platform::SocketAddress* firstOfFamily(const std::vector<platform::SocketAddress>& answers,
                                             uint16_t family) {
  for (const platform::SocketAddress& a : answers)
    if (a.family() == family) return &a;
  return nullptr;
}

class DriverInterfaceConnections final : public ConnectionDriver {
 public:
  int disableFiltering(uint64_t id) override { return drvapi::tcpDisableFiltering(id); }
  int injectReceive(uint64_t id, const char* data, int length) override {
    return drvapi::tcpInjectReceive(id, data, length);
  }
  int injectSend(uint64_t id, const char* data, int length) override {
    return drvapi::tcpInjectSend(id, data, length);
  }
  int getConnInfo(uint64_t id, drvapi::TcpConnInfo& info) override {
    return drvapi::tcpGetConnInfo(id, &info);
  }
};

}  // namespace

ConnectionDriver& driverInterfaceConnections() {
  static DriverInterfaceConnections connections;
  return connections;
}

TcpRedirector::TcpRedirector(const TcpRedirectLinks& links, collector::DataCollectorEvent& collector)
    : processes_(links.processes), policy_(links.policy), driver_(links.driver), collector_(collector) {}

void TcpRedirector::tcpConnectRequest(uint64_t id, drvapi::TcpConnInfo* info) {
  if (info == nullptr) return;
  const uint16_t family = info->remoteAddress.family();
  const std::string processName = processes_.processNameOf(info->processId);
  const bool selected = !processName.empty() && info->processId != 0 &&
                        processes_.isSelectedProcess(info->processId, processName);

  if (auto* e = collector::newEvent<collector::DCTcpConnectRequestEvent>(collector_, id, family)) {
    putAddressAndPort(family, fromField(info->remoteAddress), e->remoteAddress, &e->remotePort);
    e->processName.assign(processName);
    collector_.post(e);
  }

  bool mapped = false;
  bool keptFiltered = false;
  if (decide(id, *info, processName, selected, mapped) == Decision::Redirect)
    keptFiltered = redirect(id, *info, processName, mapped);
  else
    driver_.disableFiltering(id);
  // The driver library forgets a connection that is no longer filtered, so
  // no close comes for it: only a filtered connection's name is kept (and
  // a stale one of an earlier connection with the same id goes).
  if (keptFiltered)
    connectionNames_.Set(id, processName);
  else
    connectionNames_.Erase(id);
}

void TcpRedirector::Clear() {
  redirectTable_.Clear();
  connectionNames_.Clear();
}

// Steps of the decision up to "redirect or pass". May rewrite the request's
// destination (host rewrite, port map) on the way.
TcpRedirector::Decision TcpRedirector::decide(uint64_t, drvapi::TcpConnInfo& info,
                                              const std::string& processName, bool selected, bool& mapped) {
  const uint16_t family = info.remoteAddress.family();
  const platform::SocketAddress destination = fromField(info.remoteAddress);
  platform::SocketAddress ipv4Form;  // the IPv4 form the rules are consulted with

  // Address screening.
  if (family == drvapi::kFamilyIpv4) {
    const uint32_t address = destination.ipv4();
    if (address == 0xFFFFFFFFu || address == 0 || destination.port() == kPort53 ||
        platform::netToHost32(address) > 0xE0000000u)
      return Decision::Pass;
    ipv4Form = destination;
  } else if (family == drvapi::kFamilyIpv6) {
    if (!platform::ToIpv4SocketAddress(destination, ipv4Form)) return Decision::Pass;
    mapped = true;
  }

  // Local screening: traffic to the host's own networks is never steered.
  if (family == drvapi::kFamilyIpv4 && policy_.isLocalAddress(destination.ipv4())) return Decision::Pass;
  if (family == drvapi::kFamilyIpv6 && policy_.isLocalSocketAddress(destination)) return Decision::Pass;

  if (!processes_.admit(info.processId, processName)) return Decision::Pass;

  const uint32_t address = ipv4Form.ipv4();
  const uint16_t port = ipv4Form.port();

  // Host rewrite: the connection goes straight to the rewritten destination.
  if (auto rewrite = policy_.findHostRewrite(address, port)) {
    if (policy_.webRelayRunning()) {
      platform::SocketAddress loopback;
      platform::MakeLoopbackAddress(info.ipFamily, rewrite->webRelayPortNet, loopback);
      std::memcpy(info.remoteAddress.bytes.data(), loopback.bytes,
                  info.ipFamily == drvapi::kFamilyIpv4 ? 16 : 28);
    } else if (info.ipFamily == drvapi::kFamilyIpv4) {
      std::vector<platform::SocketAddress> answers;
      bool ok = policy_.lookUp(kTypeA, rewrite->host, answers);
      if (!ok) ok = policy_.lookUp(kTypeA, rewrite->host, answers);
      const platform::SocketAddress* first = ok ? firstOfFamily(answers, drvapi::kFamilyIpv4) : nullptr;
      if (first != nullptr) {
        const platform::SocketAddress target = platform::makeIpv4Address(first->ipv4(), port);
        std::memcpy(info.remoteAddress.bytes.data(), target.bytes, 16);
      }
    } else if (info.ipFamily == drvapi::kFamilyIpv6) {
      std::vector<platform::SocketAddress> answers;
      const platform::SocketAddress* first = policy_.lookUp(kTypeAAAA, rewrite->host, answers)
                                                 ? firstOfFamily(answers, drvapi::kFamilyIpv6)
                                                 : nullptr;
      if (first != nullptr) {
        // Family 23, the requested port, the first answer; flow information
        // and scope stay as they were.
        info.remoteAddress.bytes[0] = static_cast<uint8_t>(drvapi::kFamilyIpv6);
        info.remoteAddress.bytes[1] = 0;
        std::memcpy(&info.remoteAddress.bytes[8], first->ipv6(), 16);
      }
    }
    return Decision::Pass;
  }

  // Port map (IPv4 connections only).
  if (info.ipFamily == drvapi::kFamilyIpv4) {
    if (auto map = policy_.findPortMap(address, port)) {
      const bool viaRelay = map->type == 1;
      uint32_t target = 0;
      if (map->hostIsName) {
        std::vector<platform::SocketAddress> answers;
        if (policy_.lookUp(kTypeA, map->host, answers))
          if (const platform::SocketAddress* first = firstOfFamily(answers, drvapi::kFamilyIpv4))
            target = first->ipv4();
      } else {
        target = platform::inetAddr(map->host.c_str());
        if (target == 0xFFFFFFFFu) target = 0;
      }
      if (target != 0) {
        const platform::SocketAddress rewritten = platform::makeIpv4Address(target, map->portNet);
        info.remoteAddress = platform::toDriverAddress(rewritten);
        return viaRelay ? Decision::Redirect : Decision::Pass;
      }
      if (viaRelay) return Decision::Redirect;
    }
  }

  // Rules of the filter file; a block rule lets TCP go direct like a direct rule.
  if (policy_.findAddressRule(ipv4Form) != rules::AddressRule::None) return Decision::Pass;
  if (port == kPort80 || port == kPort443)
    return policy_.isWebSteered(ipv4Form, selected) ? Decision::Redirect : Decision::Pass;
  return selected ? Decision::Redirect : Decision::Pass;
}

bool TcpRedirector::redirect(uint64_t id, drvapi::TcpConnInfo& info, const std::string& processName,
                             bool mapped) {
  const uint16_t family = info.remoteAddress.family();
  if (policy_.adapterMode()) {
    // The connection stays filtered: its data reaches tcpReceive/tcpSend and
    // its destination gets a host route through the virtual adapter.
    if (family == drvapi::kFamilyIpv4) policy_.addHostRoute(fromField(info.remoteAddress).ipv4());
    info.filteringFlag = 2;
    return true;
  }

  auto* event = collector::newEvent<collector::DCTcpForwardEvent>(collector_, id, family);
  // A relay listener of the connection's family must be there too (a host
  // without IPv6 has none for mapped destinations).
  const uint16_t relayPort = mapped ? policy_.relayPort6() : policy_.relayPort4();
  if (policy_.nodeUsable() && relayPort != kNoRelayPort) {
    if (event != nullptr) {
      event->forwarded = 1;
      event->processName.assign(processName);
      putAddressAndPort(family, fromField(info.remoteAddress), event->requestedAddress,
                        &event->requestedPort);
    }
    redirectTable_.Insert(REDIRECT_INFO{id, info, processName});
    platform::SocketAddress relay;
    if (mapped) {
      platform::MakeLoopbackAddress(drvapi::kFamilyIpv6, platform::hostToNet16(policy_.relayPort6()), relay);
      info.remoteAddress = platform::toDriverAddress(relay);
    } else {
      platform::MakeLoopbackAddress(drvapi::kFamilyIpv4, platform::hostToNet16(policy_.relayPort4()), relay);
      std::memcpy(info.remoteAddress.bytes.data(), relay.bytes, 16);  // the driver's tail stays
    }
    if (event != nullptr) putAddressAndPort(relay.family(), relay, event->relayAddress, &event->relayPort);
  }
  // Without a usable node the record says "not forwarded" and the connect
  // goes to its destination unchanged.
  if (event != nullptr) collector_.post(event);
  driver_.disableFiltering(id);
  return false;
}

void TcpRedirector::tcpClosed(uint64_t id, const drvapi::TcpConnInfo* info) {
  if (info != nullptr) {
    if (auto* e = collector::newEvent<collector::DCTcpClosedEvent>(collector_, id, info->ipFamily)) {
      e->processName.assign(connectionNames_.Get(id));
      putAddressAndPort(info->ipFamily, fromField(info->remoteAddress), e->remoteAddress, &e->remotePort);
      collector_.post(e);
    }
  }
  connectionNames_.Erase(id);
}

void TcpRedirector::tcpReceive(uint64_t id, const char* data, int length) {
  driver_.injectReceive(id, data, length);
  countAdapterFlow(id, length, false);
}

void TcpRedirector::tcpSend(uint64_t id, const char* data, int length) {
  driver_.injectSend(id, data, length);
  countAdapterFlow(id, length, true);
}

// In adapter mode the steered connections' bytes are counted here, since they
// never pass the relay.
void TcpRedirector::countAdapterFlow(uint64_t id, int length, bool up) {
  if (!policy_.adapterMode() || !collector_.collecting()) return;
  drvapi::TcpConnInfo info{};
  if (driver_.getConnInfo(id, info) != 0) return;
  collector::DCTcpProxyFlowUpEvent* e =
      up ? collector::newEvent<collector::DCTcpProxyFlowUpEvent>(collector_, id, info.ipFamily)
         : static_cast<collector::DCTcpProxyFlowUpEvent*>(
               collector::newEvent<collector::DCTcpProxyFlowDownEvent>(collector_, id, info.ipFamily));
  if (e == nullptr) return;
  e->proxied = 1;
  putAddressAndPort(info.ipFamily, fromField(info.remoteAddress), e->remoteAddress, &e->remotePort);
  putAddressAndPort(info.ipFamily, fromField(info.localAddress), e->localAddress, &e->localPort);
  e->byteCount = length > 0 ? static_cast<uint32_t>(length) : 0;
  collector_.post(e);
}

}  // namespace tcp
