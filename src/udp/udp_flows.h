// UDP flow handling: the engine's side of the driver's five UDP events. It
// decides which flows belong to accelerated processes and which outbound
// datagrams are steered to the proxy node, carries steered datagrams by one of
// two transports, brings replies back to the application, and feeds the data
// collector and the probe tracker.
//
// Transports:
//  - proxy sockets (the default): each steered flow gets a socket of the UDP
//    proxy; datagrams leave wrapped in the tunnel header and replies come back
//    through deliverProxyReply;
//  - direct: the wrapped datagram is re-addressed to the node on the
//    application's own flow through the driver, and the node's replies arrive
//    as inbound datagrams of that flow, unwrapped in udpReceive.
//
// Everything the handlers consult outside this subsystem comes through the
// small interfaces below, so the decisions and both transports can be
// exercised without an engine, a driver or sockets.
//
// Threads: the driver's event workers call the handlers (one flow's callbacks
// never overlap, different flows' run in parallel); the UDP proxy's completion
// thread calls deliverProxyReply, which may overlap a driver callback of the
// same flow. Each table has its own reader-writer lock. Lock order: the
// tunnel-flow table before the UDP proxy's socket map (openFlowSocket is
// called with the tunnel-flow table held exclusive).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "collector/data_collector.h"
#include "drvapi/records.h"
#include "platform/net.h"
#include "process/process_queries.h"
#include "rules/rule_answers.h"
#include "udp/probe_tracker.h"

namespace udp {

// The node and the switches that decide how a steered datagram travels.
struct SteeringSettings {
  uint32_t proxyAddress = 0;  // network order
  uint16_t proxyUdpPort = 0;  // network order
  uint32_t userId = 0;
  bool directMode = false;   // carry steered datagrams through the driver, not proxy sockets
  bool adapterMode = false;  // steered datagrams pass and their destinations get host routes

  bool nodeConfigured() const { return proxyAddress != 0 && proxyUdpPort != 0; }
};

// Where a datagram may go. Any thread.
class SteeringPolicy {
 public:
  virtual ~SteeringPolicy() = default;
  // A copy of the current settings, taken once per datagram.
  virtual SteeringSettings settings() = 0;
  // The destination is on the host's own networks (IPv4: loopback, 0.0.0.0,
  // the host's /16 networks; IPv6: ::1 and IPv4-mapped forms of those).
  virtual bool isLocalDestination(const platform::SocketAddress& remote) = 0;
  // The filter file's address rule for a UDP destination: 0 none (also when
  // the file has no UDP rules), 1 direct, anything else blocked.
  virtual rules::AddressRule addressRule(const platform::SocketAddress& remote) = 0;
  // Adapter mode: route this IPv4 destination (network order) through the
  // virtual adapter.
  virtual void addHostRoute(uint32_t addressNet) = 0;
};

// The driver interface's UDP operations (the drvapi status codes). Any thread.
class FlowDriver {
 public:
  virtual ~FlowDriver() = default;
  // `remoteAddress` is a socket address in the driver layout (16 bytes read
  // for family 2, 28 for family 23); `options` may be null.
  virtual int injectSend(uint64_t id, const uint8_t* remoteAddress, const uint8_t* data, size_t length,
                         const drvapi::UdpOptions* options) = 0;
  virtual int injectReceive(uint64_t id, const uint8_t* remoteAddress, const uint8_t* data, size_t length,
                            const drvapi::UdpOptions* options) = 0;
  virtual int disableFiltering(uint64_t id) = 0;
  virtual int getConnInfo(uint64_t id, drvapi::UdpConnInfo& info) = 0;
};

// The drvapi functions themselves.
FlowDriver& driverInterfaceFlows();

// The UDP proxy's per-flow sockets (the proxy-socket transport). Any thread.
class TunnelTransport {
 public:
  virtual ~TunnelTransport() = default;
  // Opens the flow's socket; false when it cannot.
  virtual bool openFlowSocket(uint64_t flowId) = 0;
  // Closes the flow's socket, if it has one.
  virtual void closeFlowSocket(uint64_t flowId) = 0;
  // Wraps the datagram in the tunnel header naming `peer` and sends it to the
  // node from the flow's socket; false when it did not go.
  virtual bool sendDatagram(uint64_t flowId, const uint8_t* data, size_t length,
                            const platform::SocketAddress& peer) = 0;
};

// The DNS branch: datagrams to and from remote port 53. The flow handling
// hands them over here and does nothing else with them, except carrying a
// query that this branch gives back through the tunnel as a DNS flow.
class DnsBranch {
 public:
  virtual ~DnsBranch() = default;
  enum class QueryOutcome {
    Handled,  // passed, answered or dropped by the DNS branch
    Tunnel,   // carry it through the tunnel as a DNS flow
  };
  // An outbound datagram to port 53 (worker thread of its flow).
  virtual QueryOutcome interceptDnsQuery(uint64_t id, const platform::SocketAddress& remote,
                                         const uint8_t* data, size_t length,
                                         const drvapi::UdpOptions* options) = 0;
  // An inbound datagram from port 53; the branch delivers it.
  virtual void observeDnsResponse(uint64_t id, const platform::SocketAddress& remote, const uint8_t* data,
                                  size_t length, const drvapi::UdpOptions* options) = 0;
  // A reply that came through the tunnel for a DNS flow; true when it
  // answered a query the branch was waiting for (it is then not delivered).
  virtual bool matchTunnelDnsReply(const uint8_t* data, size_t length) = 0;
};

// Until the engine answers DNS itself: queries and responses pass unchanged
// through the driver, and no tunnel reply is claimed.
class PassingDnsBranch final : public DnsBranch {
 public:
  explicit PassingDnsBranch(FlowDriver& driver) : driver_(driver) {}
  QueryOutcome interceptDnsQuery(uint64_t id, const platform::SocketAddress& remote, const uint8_t* data,
                                 size_t length, const drvapi::UdpOptions* options) override;
  void observeDnsResponse(uint64_t id, const platform::SocketAddress& remote, const uint8_t* data,
                          size_t length, const drvapi::UdpOptions* options) override;
  bool matchTunnelDnsReply(const uint8_t*, size_t) override { return false; }

 private:
  FlowDriver& driver_;
};

// What the flow handling is wired to. Every reference must outlive UdpFlows.
struct UdpFlowLinks {
  process::ProcessQueries& processes;
  SteeringPolicy& policy;
  FlowDriver& driver;
  TunnelTransport& transport;
  DnsBranch& dns;
  ProbeTracker& probes;
  collector::DataCollectorEvent& collector;
};

class UdpFlows {
 public:
  explicit UdpFlows(const UdpFlowLinks& links);
  UdpFlows(const UdpFlows&) = delete;
  UdpFlows& operator=(const UdpFlows&) = delete;

  // --- The driver's UDP events (event workers) ---------------------------------
  // Records the flow and its process; a selected and admitted process's flow
  // becomes steered; processes 0 and 4 are released at once.
  void udpCreated(uint64_t id, const drvapi::UdpConnInfo* info);
  // No action: the request goes on as the driver decides.
  void udpConnectRequest(uint64_t id, drvapi::UdpConnectRequest* request);
  // Forgets the flow in every table, closes its proxy socket, posts the end
  // and close records.
  void udpClosed(uint64_t id, const drvapi::UdpConnInfo* info);
  // One outbound datagram: passed, passed with the flow released, dropped,
  // answered by the DNS branch, or carried through the tunnel.
  // `remoteAddress` is the driver's 28-byte destination field.
  void udpSend(uint64_t id, const uint8_t* remoteAddress, const uint8_t* data, size_t length,
               const drvapi::UdpOptions* options);
  // One inbound datagram; `remoteAddress` (its source) may be null.
  void udpReceive(uint64_t id, const uint8_t* remoteAddress, const uint8_t* data, size_t length,
                  const drvapi::UdpOptions* options);

  // --- The UDP proxy's reply (its completion thread) --------------------------
  // A datagram reply of the node for a flow with a proxy socket, from `peer`
  // (family 2). Delivered to the application through udpReceive while the
  // flow's tunnel record exists; counted as proxied traffic either way.
  void deliverProxyReply(uint64_t flowId, const uint8_t* data, size_t length,
                         const platform::SocketAddress& peer);

  // Table sizes, for tests and diagnostics.
  size_t flowInfoCount() const;
  size_t steeredCount() const;
  size_t tunnelFlowCount() const;
  size_t directFlowCount() const;

 private:
  // A process name as the tables keep it: shared and never changed, so that
  // handling a datagram copies a reference, not the text.
  using SharedName = std::shared_ptr<const std::string>;
  static const std::string& text(const SharedName& name);

  struct FlowInfo {
    drvapi::UdpConnInfo info{};
    SharedName processName;
  };

  // Per-flow state of the proxy-socket transport, from the flow's first
  // steered datagram to its close.
  struct TunnelFlow {
    bool isDns = false;
    platform::SocketAddress remoteAddress;  // the first steered datagram's destination
    // A copy of that datagram's options (the UdpOptions layout), empty when
    // it had none; handed back with every reply.
    std::vector<uint8_t> options;
    const drvapi::UdpOptions* optionsRecord() const {
      return options.empty() ? nullptr : reinterpret_cast<const drvapi::UdpOptions*>(options.data());
    }
  };

  FlowInfo flowInfoFor(uint64_t id);
  bool findFlowInfo(uint64_t id, FlowInfo& out) const;
  bool isSteered(uint64_t id, SharedName* name) const;
  void tunnel(uint64_t id, const platform::SocketAddress& remote, const uint8_t* data, size_t length,
              const drvapi::UdpOptions* options, const FlowInfo& flow, bool isDns,
              const SteeringSettings& settings);
  bool registerTunnelFlow(uint64_t id, const platform::SocketAddress& remote,
                          const drvapi::UdpOptions* options, bool isDns);
  bool registerDirectFlow(uint64_t id);
  void receive(uint64_t id, platform::SocketAddress remote, const uint8_t* data, size_t length,
               const drvapi::UdpOptions* options);

  void pass(uint64_t id, const platform::SocketAddress& remote, const uint8_t* data, size_t length,
            const drvapi::UdpOptions* options);
  void passAndRelease(uint64_t id, const platform::SocketAddress& remote, const uint8_t* data, size_t length,
                      const drvapi::UdpOptions* options);

  process::ProcessQueries& processes_;
  SteeringPolicy& policy_;
  FlowDriver& driver_;
  TunnelTransport& transport_;
  DnsBranch& dns_;
  ProbeTracker& probes_;
  collector::DataCollectorEvent& collector_;

  mutable std::shared_mutex flowInfoLock_;
  std::unordered_map<uint64_t, FlowInfo> flowInfo_;
  mutable std::shared_mutex steeredLock_;
  std::map<uint64_t, SharedName> steeredFlows_;
  mutable std::shared_mutex tunnelLock_;
  std::map<uint64_t, std::unique_ptr<TunnelFlow>> tunnelFlows_;
  mutable std::shared_mutex directLock_;
  std::set<uint64_t> directFlows_;
};

}  // namespace udp
