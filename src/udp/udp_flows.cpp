#include "udp/udp_flows.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "drvapi/drvapi.h"
#include "platform/time.h"
#include "udp/tunnel_header.h"

namespace udp {
namespace {

using platform::SocketAddress;

constexpr uint16_t kDnsPort = platform::hostToNet16(53);
constexpr uint32_t kBroadcast = 0xFFFFFFFFu;
// Multicast from 224.0.0.1 up (and everything above it) is never steered;
// 224.0.0.0 itself is.
constexpr uint32_t kLastSteerableHost = 0xE0000000u;
// The process name under which DNS queries travel through the tunnel.
constexpr char kDnsFlowName[] = "HDNS";

std::shared_ptr<const std::string> shareName(std::string name) {
  return std::make_shared<const std::string>(std::move(name));
}
// The byte of a probe reply that the probe tracker may clear.
constexpr size_t kProbeMarkOffset = 13;

bool isProcessWithoutFlows(uint32_t processId) { return processId == 0 || processId == 4; }

SocketAddress localAddressOf(const drvapi::UdpConnInfo& info) {
  SocketAddress local;
  platform::fromDriverAddress(info.localAddress, local);
  return local;
}

// Address and port of a socket address into a collector record's packed
// fields; both stay zero for families other than 2 and 23.
void putAddressAndPort(const SocketAddress& address, uint8_t* address16, void* portField) {
  uint8_t bytes[16] = {};
  uint16_t port = 0;
  if (!platform::GetAddressAndPort(address.family(), address, bytes, port)) return;
  std::memcpy(address16, bytes, sizeof bytes);
  std::memcpy(portField, &port, sizeof port);
}

void putPort(const SocketAddress& address, void* portField) {
  uint8_t bytes[16] = {};
  uint16_t port = 0;
  if (platform::GetAddressAndPort(address.family(), address, bytes, port))
    std::memcpy(portField, &port, sizeof port);
}

uint32_t lengthField(size_t length) {
  return length > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(length);
}

// A copy of the datagram with the probe tracker's mark, made only when the
// tracker asks for it (once per measurement), so the driver's own buffer is
// never written.
const uint8_t* markedCopy(const uint8_t* data, size_t length, std::vector<uint8_t>& copy) {
  copy.assign(data, data + length);
  copy[kProbeMarkOffset] = 0;
  return copy.data();
}

class DriverInterfaceFlows final : public FlowDriver {
 public:
  int injectSend(uint64_t id, const uint8_t* remoteAddress, const uint8_t* data, size_t length,
                 const drvapi::UdpOptions* options) override {
    if (length > drvapi::kMaxDatagram) return drvapi::kFailed;
    return drvapi::udpInjectSend(id, remoteAddress, reinterpret_cast<const char*>(data),
                                 static_cast<int>(length), options);
  }
  int injectReceive(uint64_t id, const uint8_t* remoteAddress, const uint8_t* data, size_t length,
                    const drvapi::UdpOptions* options) override {
    if (length > drvapi::kMaxDatagram) return drvapi::kFailed;
    return drvapi::udpInjectReceive(id, remoteAddress, reinterpret_cast<const char*>(data),
                                    static_cast<int>(length), options);
  }
  int disableFiltering(uint64_t id) override { return drvapi::udpDisableFiltering(id); }
  int getConnInfo(uint64_t id, drvapi::UdpConnInfo& info) override {
    return drvapi::udpGetConnInfo(id, &info);
  }
};

}  // namespace

FlowDriver& driverInterfaceFlows() {
  static DriverInterfaceFlows flows;
  return flows;
}

DnsBranch::QueryOutcome PassingDnsBranch::interceptDnsQuery(uint64_t id, const SocketAddress& remote,
                                                            const uint8_t* data, size_t length,
                                                            const drvapi::UdpOptions* options) {
  driver_.injectSend(id, remote.bytes, data, length, options);
  return QueryOutcome::Handled;
}

void PassingDnsBranch::observeDnsResponse(uint64_t id, const SocketAddress& remote, const uint8_t* data,
                                          size_t length, const drvapi::UdpOptions* options) {
  driver_.injectReceive(id, remote.bytes, data, length, options);
}

UdpFlows::UdpFlows(const UdpFlowLinks& links)
    : processes_(links.processes),
      policy_(links.policy),
      driver_(links.driver),
      transport_(links.transport),
      dns_(links.dns),
      probes_(links.probes),
      collector_(links.collector) {}

// --- Tables ----------------------------------------------------------------------

const std::string& UdpFlows::text(const SharedName& name) {
  static const std::string none;
  return name ? *name : none;
}

bool UdpFlows::findFlowInfo(uint64_t id, FlowInfo& out) const {
  std::shared_lock<std::shared_mutex> lock(flowInfoLock_);
  auto it = flowInfo_.find(id);
  if (it == flowInfo_.end()) return false;
  out = it->second;
  return true;
}

// The flow's entry; a flow the table does not know (its creation was missed)
// is asked of the driver and remembered. Without either, an all-zero entry.
UdpFlows::FlowInfo UdpFlows::flowInfoFor(uint64_t id) {
  FlowInfo flow;
  if (findFlowInfo(id, flow)) return flow;
  if (driver_.getConnInfo(id, flow.info) != drvapi::kOk) return FlowInfo{};
  flow.processName = shareName(processes_.processNameOf(flow.info.processId));
  std::unique_lock<std::shared_mutex> lock(flowInfoLock_);
  flowInfo_[id] = flow;
  return flow;
}

bool UdpFlows::isSteered(uint64_t id, SharedName* name) const {
  std::shared_lock<std::shared_mutex> lock(steeredLock_);
  auto it = steeredFlows_.find(id);
  if (it == steeredFlows_.end()) return false;
  if (name != nullptr) *name = it->second;
  return true;
}

size_t UdpFlows::flowInfoCount() const {
  std::shared_lock<std::shared_mutex> lock(flowInfoLock_);
  return flowInfo_.size();
}
size_t UdpFlows::steeredCount() const {
  std::shared_lock<std::shared_mutex> lock(steeredLock_);
  return steeredFlows_.size();
}
size_t UdpFlows::tunnelFlowCount() const {
  std::shared_lock<std::shared_mutex> lock(tunnelLock_);
  return tunnelFlows_.size();
}
size_t UdpFlows::directFlowCount() const {
  std::shared_lock<std::shared_mutex> lock(directLock_);
  return directFlows_.size();
}

// --- Outcomes ----------------------------------------------------------------------

void UdpFlows::pass(uint64_t id, const SocketAddress& remote, const uint8_t* data, size_t length,
                    const drvapi::UdpOptions* options) {
  driver_.injectSend(id, remote.bytes, data, length, options);
}

void UdpFlows::passAndRelease(uint64_t id, const SocketAddress& remote, const uint8_t* data, size_t length,
                              const drvapi::UdpOptions* options) {
  pass(id, remote, data, length, options);
  driver_.disableFiltering(id);
}

// --- Driver events --------------------------------------------------------------------

void UdpFlows::udpCreated(uint64_t id, const drvapi::UdpConnInfo* info) {
  if (info == nullptr) return;
  const uint32_t processId = info->processId;
  // The system's own pseudo-processes never have game traffic.
  if (isProcessWithoutFlows(processId)) {
    driver_.disableFiltering(id);
    return;
  }
  const SharedName shared = shareName(processes_.processNameOf(processId));
  const std::string& name = *shared;
  {
    std::unique_lock<std::shared_mutex> lock(flowInfoLock_);
    flowInfo_[id] = FlowInfo{*info, shared};
  }
  if (auto* e = collector::newEvent<collector::DCUdpCreatedEvent>(collector_, id, info->ipFamily)) {
    e->processName.assign(name);
    collector_.post(e);
  }
  if (name.empty() || !processes_.isSelectedProcess(processId, name)) return;  // udpSend decides later
  if (processes_.admit(processId, name)) {
    std::unique_lock<std::shared_mutex> lock(steeredLock_);
    steeredFlows_[id] = shared;
  } else {
    driver_.disableFiltering(id);
  }
}

void UdpFlows::udpConnectRequest(uint64_t, drvapi::UdpConnectRequest*) {}

void UdpFlows::udpClosed(uint64_t id, const drvapi::UdpConnInfo* info) {
  {
    std::unique_lock<std::shared_mutex> lock(steeredLock_);
    steeredFlows_.erase(id);
  }
  const std::string name = info != nullptr ? processes_.processNameOf(info->processId) : std::string();
  const uint32_t family = info != nullptr ? info->ipFamily : 0;

  bool hadTunnel = false;
  {
    std::unique_lock<std::shared_mutex> lock(tunnelLock_);
    hadTunnel = tunnelFlows_.erase(id) != 0;
  }
  if (hadTunnel) {
    // The flow's socket goes with the flow, so sockets and their armed
    // receives track the live flows. Closed outside the table's lock: the
    // proxy's completion thread may be waiting for it to deliver a reply.
    transport_.closeFlowSocket(id);
    if (auto* e = collector::newEvent<collector::DCUdpProxyEndEvent>(collector_, id, family)) {
      e->processName.assign(name);
      collector_.post(e);
    }
  }

  bool hadDirect = false;
  {
    std::unique_lock<std::shared_mutex> lock(directLock_);
    hadDirect = directFlows_.erase(id) != 0;
  }
  if (hadDirect) {
    if (auto* e = collector::newEvent<collector::DCUdpProxyEndEvent>(collector_, id, family)) {
      e->processName.assign(name);
      collector_.post(e);
    }
  }

  if (auto* e = collector::newEvent<collector::DCUdpClosedEvent>(collector_, id, family)) {
    e->processName.assign(name);
    collector_.post(e);
  }

  std::unique_lock<std::shared_mutex> lock(flowInfoLock_);
  flowInfo_.erase(id);
}

void UdpFlows::udpSend(uint64_t id, const uint8_t* remoteAddress, const uint8_t* data, size_t length,
                       const drvapi::UdpOptions* options) {
  const FlowInfo flow = flowInfoFor(id);

  SocketAddress remote;
  if (!platform::fromDriverAddress(remoteAddress, remote)) {
    // Neither IPv4 nor IPv6: nothing to steer, now or later.
    driver_.injectSend(id, remoteAddress, data, length, options);
    driver_.disableFiltering(id);
    return;
  }

  if (remote.port() == kDnsPort) {
    if (dns_.interceptDnsQuery(id, remote, data, length, options) == DnsBranch::QueryOutcome::Tunnel) {
      static const SharedName dnsFlowName = shareName(kDnsFlowName);
      FlowInfo dnsFlow = flow;
      dnsFlow.processName = dnsFlowName;
      tunnel(id, remote, data, length, options, dnsFlow, true, policy_.settings());
    }
    return;
  }

  // The host's own networks are never steered, nor counted.
  if (policy_.isLocalDestination(remote)) return pass(id, remote, data, length, options);

  const uint16_t family = remote.family();
  if (auto* e = collector::newEvent<collector::DCUdpFlowUpEvent>(collector_, id, family)) {
    putAddressAndPort(remote, e->remoteAddress, &e->remotePort);
    e->length = lengthField(length);
    e->processName.assign(text(flow.processName));
    collector_.post(e);
  }

  // Only unicast IPv4 destinations are steered.
  if (family != platform::kFamilyIpv4) return pass(id, remote, data, length, options);
  const uint32_t address = remote.ipv4();
  if (address == kBroadcast || address == 0 || platform::netToHost32(address) > kLastSteerableHost)
    return pass(id, remote, data, length, options);

  // Flow membership: a flow of a process that is neither selected nor a
  // watched service's is released at its first datagram.
  if (!isSteered(id, nullptr)) {
    if (!processes_.isWatchedService(flow.info.processId))
      return passAndRelease(id, remote, data, length, options);
    std::unique_lock<std::shared_mutex> lock(steeredLock_);
    steeredFlows_[id] = flow.processName;
  }

  const rules::AddressRule rule = policy_.addressRule(remote);
  if (rule == rules::AddressRule::Direct) return pass(id, remote, data, length, options);
  if (rule == rules::AddressRule::Block) return;  // the datagram is dropped

  const SteeringSettings settings = policy_.settings();
  if (settings.adapterMode) {
    policy_.addHostRoute(address);
    pass(id, remote, data, length, options);
    if (auto* e = collector::newEvent<collector::DCUdpProxyFlowUpEvent>(collector_, id, family)) {
      putAddressAndPort(remote, e->remoteAddress, &e->remotePort);
      putAddressAndPort(localAddressOf(flow.info), e->localAddress, &e->localPort);
      e->byteCount = lengthField(length);
      e->processName.assign(text(flow.processName));
      collector_.post(e);
    }
    return;
  }

  tunnel(id, remote, data, length, options, flow, false, settings);
}

// The tunnel path of a steered datagram (or of a DNS query the DNS branch
// gave back).
void UdpFlows::tunnel(uint64_t id, const SocketAddress& remote, const uint8_t* data, size_t length,
                      const drvapi::UdpOptions* options, const FlowInfo& flow, bool isDns,
                      const SteeringSettings& settings) {
  // Without a node the direct transport has nowhere to send the wrapped
  // datagram: it goes on unchanged and nothing is counted as proxied.
  if (settings.directMode && !settings.nodeConfigured()) return pass(id, remote, data, length, options);

  bool isNew = false;
  if (settings.nodeConfigured())
    isNew = settings.directMode ? registerDirectFlow(id) : registerTunnelFlow(id, remote, options, isDns);

  const uint8_t* payload = data;
  std::vector<uint8_t> marked;
  if (remote.family() == platform::kFamilyIpv4 && probes_.observe(remote.ipv4(), data, length))
    payload = markedCopy(data, length, marked);

  bool sent = false;
  if (remote.family() == platform::kFamilyIpv4) {
    if (settings.directMode) {
      // The wrapped datagram leaves on the application's own flow, addressed
      // to the node's tunnel port. One buffer per worker thread, reused.
      thread_local std::vector<uint8_t> wrapped;
      wrapped.resize(length + UdpProxy::kTunnelHeaderLength);
      const size_t total =
          UdpProxy::BuildTunnelMessage(wrapped.data(), wrapped.size(), settings.userId, remote.port(),
                                       remote.ipv4(), platform::calendarSeconds(), payload, length);
      if (total != 0) {
        const SocketAddress node = platform::makeIpv4Address(settings.proxyAddress, settings.proxyUdpPort);
        sent = driver_.injectSend(id, node.bytes, wrapped.data(), total, options) == drvapi::kOk;
      }
    } else {
      sent = transport_.sendDatagram(id, payload, length, remote);
    }
  }

  if (isNew) {
    if (auto* e = collector::newEvent<collector::DCUdpProxyBeginEvent>(collector_, id, remote.family())) {
      putAddressAndPort(remote, e->remoteAddress, &e->remotePort);
      putPort(localAddressOf(flow.info), &e->localPort);
      e->processName.assign(text(flow.processName));
      collector_.post(e);
    }
  }

  if (!sent) return pass(id, remote, payload, length, options);
  if (auto* e = collector::newEvent<collector::DCUdpProxyFlowUpEvent>(collector_, id, remote.family())) {
    putAddressAndPort(remote, e->remoteAddress, &e->remotePort);
    putAddressAndPort(localAddressOf(flow.info), e->localAddress, &e->localPort);
    e->byteCount = lengthField(length);
    e->processName.assign(text(flow.processName));
    collector_.post(e);
  }
}

// True when the flow is new to the proxy-socket transport. The look-up is
// made again under the exclusive lock, so two datagrams of a new flow racing
// each other open one socket and make one record. A flow whose socket cannot
// be opened gets no record and tries again with its next datagram.
bool UdpFlows::registerTunnelFlow(uint64_t id, const SocketAddress& remote, const drvapi::UdpOptions* options,
                                  bool isDns) {
  {
    std::shared_lock<std::shared_mutex> lock(tunnelLock_);
    if (tunnelFlows_.count(id) != 0) return false;
  }
  std::unique_lock<std::shared_mutex> lock(tunnelLock_);
  if (tunnelFlows_.count(id) != 0) return false;
  auto record = std::make_unique<TunnelFlow>();
  record->isDns = isDns;
  std::memcpy(record->remoteAddress.bytes, remote.bytes, remote.length());
  if (options != nullptr) {
    const size_t size = offsetof(drvapi::UdpOptions, data) + options->optionsLength;
    const auto* bytes = reinterpret_cast<const uint8_t*>(options);
    record->options.assign(bytes, bytes + size);
  }
  if (transport_.openFlowSocket(id)) tunnelFlows_.emplace(id, std::move(record));
  return true;
}

bool UdpFlows::registerDirectFlow(uint64_t id) {
  {
    std::shared_lock<std::shared_mutex> lock(directLock_);
    if (directFlows_.count(id) != 0) return false;
  }
  std::unique_lock<std::shared_mutex> lock(directLock_);
  return directFlows_.insert(id).second;
}

void UdpFlows::udpReceive(uint64_t id, const uint8_t* remoteAddress, const uint8_t* data, size_t length,
                          const drvapi::UdpOptions* options) {
  SocketAddress remote;
  if (!platform::fromDriverAddress(remoteAddress, remote)) {
    driver_.injectReceive(id, remoteAddress, data, length, options);
    return;
  }
  receive(id, remote, data, length, options);
}

void UdpFlows::receive(uint64_t id, SocketAddress remote, const uint8_t* data, size_t length,
                       const drvapi::UdpOptions* options) {
  if (remote.port() == kDnsPort) return dns_.observeDnsResponse(id, remote, data, length, options);

  FlowInfo flow;
  if (!findFlowInfo(id, flow)) {
    driver_.injectReceive(id, remote.bytes, data, length, options);
    return;
  }

  SharedName steeredName;
  const bool steered = isSteered(id, &steeredName);
  std::string otherName;
  if (!steered) {
    drvapi::UdpConnInfo info{};
    if (driver_.getConnInfo(id, info) == drvapi::kOk) otherName = processes_.processNameOf(info.processId);
  }
  const std::string& name = steered ? text(steeredName) : otherName;

  if (auto* e = collector::newEvent<collector::DCUdpFlowDownEvent>(collector_, id, remote.family())) {
    putAddressAndPort(remote, e->remoteAddress, &e->remotePort);
    e->length = lengthField(length);
    e->processName.assign(name);
    collector_.post(e);
  }

  const SteeringSettings settings = policy_.settings();
  if (steered && settings.adapterMode) {
    if (auto* e = collector::newEvent<collector::DCUdpProxyFlowDownEvent>(collector_, id, remote.family())) {
      putAddressAndPort(remote, e->remoteAddress, &e->remotePort);
      putAddressAndPort(localAddressOf(flow.info), e->localAddress, &e->localPort);
      e->byteCount = lengthField(length);
      e->processName.assign(name);
      collector_.post(e);
    }
    driver_.injectReceive(id, remote.bytes, data, length, options);
    return;
  }

  const uint8_t* payload = data;
  size_t payloadLength = length;
  std::vector<uint8_t> marked;
  if (remote.family() == platform::kFamilyIpv4 && probes_.observe(remote.ipv4(), data, length))
    payload = markedCopy(data, length, marked);

  // Direct transport: the node's replies arrive on the flow itself, wrapped
  // in the reply header; unwrapped, they come from the peer it names.
  const bool fromNode = settings.directMode && remote.family() == platform::kFamilyIpv4 &&
                        settings.nodeConfigured() && remote.ipv4() == settings.proxyAddress &&
                        remote.port() == settings.proxyUdpPort;
  if (fromNode) {
    UdpProxy::ReplyMessage reply;
    if (UdpProxy::ParseReplyMessage(payload, payloadLength, reply)) {
      remote = platform::makeIpv4Address(reply.peerAddressNet, reply.peerPortNet);
      payload = reply.payload;
      payloadLength = reply.length;
      if (remote.port() == kDnsPort) dns_.matchTunnelDnsReply(payload, payloadLength);
    }
  }

  driver_.injectReceive(id, remote.bytes, payload, payloadLength, options);

  if (fromNode) {
    if (auto* e = collector::newEvent<collector::DCUdpProxyFlowDownEvent>(collector_, id, remote.family())) {
      putAddressAndPort(remote, e->remoteAddress, &e->remotePort);
      putAddressAndPort(localAddressOf(flow.info), e->localAddress, &e->localPort);
      e->byteCount = lengthField(length);
      e->processName.assign(name);
      collector_.post(e);
    }
  }
}

// --- The UDP proxy's replies ----------------------------------------------------------

void UdpFlows::deliverProxyReply(uint64_t flowId, const uint8_t* data, size_t length,
                                 const SocketAddress& peer) {
  {
    // Held shared across the delivery, so the flow's record (and its
    // options) cannot go while the reply is handed on.
    std::shared_lock<std::shared_mutex> lock(tunnelLock_);
    auto it = tunnelFlows_.find(flowId);
    if (it != tunnelFlows_.end()) {
      const TunnelFlow& record = *it->second;
      if (record.isDns) {
        // The reply of a DNS query comes from the server the application
        // asked, unless the DNS branch was waiting for it.
        if (!dns_.matchTunnelDnsReply(data, length))
          receive(flowId, record.remoteAddress, data, length, record.optionsRecord());
      } else {
        receive(flowId, peer, data, length, record.optionsRecord());
      }
    }
  }

  if (!collector_.collecting()) return;
  FlowInfo flow;
  findFlowInfo(flowId, flow);
  if (auto* e = collector::newEvent<collector::DCUdpProxyFlowDownEvent>(collector_, flowId, peer.family())) {
    putAddressAndPort(peer, e->remoteAddress, &e->remotePort);
    putAddressAndPort(localAddressOf(flow.info), e->localAddress, &e->localPort);
    e->byteCount = lengthField(length);
    e->processName.assign(text(flow.processName));
    collector_.post(e);
  }
}

}  // namespace udp
