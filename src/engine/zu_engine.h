// ZuEngine: the engine object behind the nine exports. It is at once the
// driver's event handler, the DNS resolver, the data collector, the UDP
// proxy's and ICMP redirector's callback target and the service monitor's
// callback target, and it owns every table, socket, thread and timer of the
// steering subsystems.
//
// Lifecycle: constructed → Initialize (driver open, relay threads running,
// collector running) → Configure (may come before or after) → StartEngine
// (rules written, notification timer running) → StopEngine → ... →
// Shutdown → destroyed. The lifecycle operations run on the client's
// controlling thread, one at a time; GetFlow/SetBlur may come from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "collector/data_collector.h"
#include "drvapi/event_handler.h"
#include "engine/config.h"
#include "engine/dns_links.h"
#include "engine/driver_control.h"
#include "engine/icmp_links.h"
#include "engine/placeholders.h"
#include "engine/process_links.h"
#include "engine/redirect_policy.h"
#include "engine/udp_links.h"
#include "hostnet/host_network.h"
#include "platform/timer.h"
#include "process/proccess_limit.h"
#include "rules/filter_tables.h"
#include "rules/rule_lists.h"
#include "service/iservice_monitor.h"
#include "service/service_monitor.h"
#include "tcp/ping_responder.h"
#include "tcp/relay.h"
#include "tcp/tcp_redirector.h"
#include "udp/icmp_echoes.h"
#include "udp/icmp_redirector.h"
#include "udp/probe_tracker.h"
#include "udp/udp_flows.h"
#include "udp/udp_proxy.h"

namespace engine {

// Window message posted once a second with the two traffic counters.
inline constexpr uint32_t kCountersMessage = 1024 + 502;

class ZuEngine : public drvapi::DRV_EventHandler,
                 public drvapi::DRV_IPEventHandler,
                 public dns::DnsResolver,
                 public collector::DataCollectorEvent,
                 public UdpProxy::UDPProxyHandler,
                 public udp::IcmpRedirector,
                 public service::IServiceMonitor {
 public:
  // Construct(): sets every default; creates no thread and opens no socket.
  // `driver` is the driver seam (the real driver unless a test gives one).
  explicit ZuEngine(DriverControl& driver = systemDriverControl());
  // Destroy(): the driver connection is closed first, so that no driver
  // callback can reach a destroyed engine; then every member goes in reverse
  // order. Shutdown or StopEngine must have joined the worker threads.
  ~ZuEngine() override;

  ZuEngine(const ZuEngine&) = delete;
  ZuEngine& operator=(const ZuEngine&) = delete;

  // Initialize: true when initialised; false when a step failed or threw
  // (the steps done stay in place). StartEngine: true once its steps ran
  // (whatever Initialize returned); false only when a step threw and cut the
  // start short. Neither lets an exception out.
  bool Initialize(bool restartDriver);
  bool Configure(const PROXY_CONFIG& proxy, const GAME_CONFIG& game, uintptr_t notifyWindow);
  bool StartEngine(bool tcpEnabled, bool udpEnabled, bool udpProxyAll, bool adapterMode, uint32_t forceUdpDirect,
                   bool restartDriver);
  bool StopEngine(bool unloadDriver);
  bool Shutdown(bool unloadDriver);

  // GetFlow: exchanges each counter with 0 (two separate atomic operations).
  uint32_t takeSentBytes() { return sentBytes_.exchange(0); }
  uint32_t takeReceivedBytes() { return receivedBytes_.exchange(0); }
  // SetBlur: any non-zero value switches the relay's transformation on.
  void setBlur(uint32_t enable) { blurEnabled_.store(enable, std::memory_order_relaxed); }
  uint32_t blurEnabled() const { return blurEnabled_.load(std::memory_order_relaxed); }

  bool InstallDriver();
  bool UnInstallDriver();

  uint32_t LookupHostAddress(const std::string& name) const { return ruleLists_.LookupHostAddress(name); }
  // The rule text's lists and the filter file's tables (read by the steering
  // subsystems and by tests).
  rules::RuleLists& ruleLists() { return ruleLists_; }
  rules::FilterTables& filterTables() { return filterTables_; }
  tcp::PingResponder& pingResponder() { return pingResponder_; }

  // State, for the exports and for tests.
  bool initialized() const { return initialized_ != 0; }
  bool running() const { return running_.load() != 0; }
  bool tcpEnabled() const { return tcpEnabled_ != 0; }
  bool udpEnabled() const { return udpEnabled_ != 0; }
  bool adapterMode() const { return adapterMode_ != 0; }
  // Upstream DNS servers, adapter routes (driver-event threads add routes).
  hostnet::HostNetwork& hostNetwork() { return hostNet_; }
  bool udpProxyAll() const { return udpProxyAll_ != 0; }
  uint32_t udpDirectMode() const { return udpDirectMode_; }
  bool pingEnabled() const { return pingResponder_.IsEnabled(); }
  bool probeTrackerEnabled() const { return probeTracker_.enabled(); }
  int32_t icmpRuleCount() const { return icmpRuleCount_; }
  uint32_t timerPeriod() const { return timerPeriod_; }
  bool notifyTimerActive() const { return notifyTimerActive_ != 0; }
  uintptr_t notifyWindow() const { return notifyWindow_; }
  const PROXY_CONFIG& proxyConfig() const { return proxyConfig_; }
  const GAME_CONFIG& gameConfig() const { return gameConfig_; }

  // Installs an observer of the lifecycle's steps (tests only; may be null).
  void setLifecycleProbe(LifecycleProbe* probe) { probe_ = probe; }

  // The one-second notification tick (also callable by tests).
  void notificationTick();

  // --- DataCollectorEvent: the counter hook --------------------------------
  void onCollectorEvent(const collector::DCEvent& record) override;

  // --- DRV_EventHandler -------------------------------------------------------
  void tcpConnectRequest(uint64_t id, drvapi::TcpConnInfo* info) override;
  void tcpConnected(uint64_t id, drvapi::TcpConnInfo* info) override;
  void tcpClosed(uint64_t id, drvapi::TcpConnInfo* info) override;
  void tcpReceive(uint64_t id, const char* data, int length) override;
  void tcpSend(uint64_t id, const char* data, int length) override;
  void tcpCanReceive(uint64_t) override {}
  void tcpCanSend(uint64_t) override {}
  void udpCreated(uint64_t id, drvapi::UdpConnInfo* info) override;
  void udpConnectRequest(uint64_t id, drvapi::UdpConnectRequest* request) override;
  void udpClosed(uint64_t id, drvapi::UdpConnInfo* info) override;
  void udpReceive(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                  const drvapi::UdpOptions* options) override;
  void udpSend(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
               const drvapi::UdpOptions* options) override;
  void udpCanReceive(uint64_t) override {}
  void udpCanSend(uint64_t) override {}

  // --- DRV_IPEventHandler -----------------------------------------------------
  void ipReceive(const char* packet, int length, const drvapi::IpOptions* options) override;
  void ipSend(const char* packet, int length, const drvapi::IpOptions* options) override;

  // --- UDPProxyHandler --------------------------------------------------------
  // Kind 0: a datagram reply, delivered through the flow's tunnel record.
  // Kind 2: the node's ICMP reply, delivered when its echo is still pending.
  void OnProxyDatagram(uint64_t flowId, const uint8_t* data, size_t length, const platform::SocketAddress& peer,
                       int peerLength, int kind) override;

  // Pings to the ICMP rules' networks waiting for their reply (tests).
  size_t pendingEchoCount() const { return icmpEchoes_.PendingCount(); }

  // --- DnsResolver: the resolver's requests and answers go to DNS interception.
  void onDnsRequest(dns::DNS_REQ& request) override;
  void onDnsAnswer(const dns::DNS_REQ& request,
                   const std::vector<platform::SocketAddress28>& addresses) override;
  // DNS interception, for tests.
  dns::DnsInterception& dnsInterception() { return dnsBranch_; }

  // --- IServiceMonitor --------------------------------------------------------
  void onServiceStarted(const std::u16string& serviceName, uint32_t processId) override;
  void onServiceStopped(const std::u16string& serviceName, uint32_t processId) override;

 private:
  friend class EngineProcessQueries;
  friend class EngineRedirectPolicy;
  friend class EngineUdpLinks;
  friend class EngineDnsLinks;
  friend class EngineIcmpLinks;

  // IcmpRedirector: a synthesized echo reply falls due.
  void OnEchoReply(uint8_t* packet, size_t length) override;

  void note(const char* step) {
    if (probe_ != nullptr) probe_->step(step);
  }
  bool initializeSteps(bool restartDriver);
  bool startSteps(bool tcpEnabled, bool udpEnabled, bool udpProxyAll, bool adapterMode,
                  uint32_t forceUdpDirect, bool restartDriver);
  void startNotificationTimer();
  void stopNotificationTimer();
  tcp::RelayNode relayNode() const;
  static void onNotificationTimer(void* engine);

  DriverControl& driver_;
  LifecycleProbe* probe_ = nullptr;

  // The node settings and the game are written by Configure and StopEngine
  // on the controlling thread and read by driver and relay threads: under
  // configLock_, held only for a copy or a look-up.
  mutable std::mutex configLock_;
  PROXY_CONFIG proxyConfig_;
  GAME_CONFIG gameConfig_;
  std::atomic<uintptr_t> notifyWindow_{0};

  const char* const driverName_ = "LumoDriverSys";
  std::atomic<uint8_t> running_{0};
  std::atomic<uint8_t> initialized_{0};
  std::atomic<uint8_t> tcpEnabled_{0};
  std::atomic<uint8_t> udpEnabled_{0};
  std::atomic<uint8_t> adapterMode_{0};
  std::atomic<uint8_t> udpProxyAll_{0};
  std::atomic<uint32_t> udpDirectMode_{0};
  std::atomic<uint32_t> sentBytes_{0};
  std::atomic<uint32_t> receivedBytes_{0};
  std::atomic<uint32_t> blurEnabled_{0};
  int32_t icmpRuleCount_ = 0;
  // The timer resolution raised by a configuration (0: none) and whether the
  // ICMP scheduler was started: the stop sequence undoes exactly these.
  uint32_t timerPeriod_ = 0;
  bool icmpRedirectorStarted_ = false;

  std::mutex notifyTimerLock_;
  std::atomic<uint8_t> notifyTimerActive_{0};
  platform::PeriodicTimer notifyTimer_;

  UdpProxy::UDPProxy udpProxy_;
  udp::ProbeTracker probeTracker_;
  tcp::PingResponder pingResponder_;
  rules::RuleLists ruleLists_;
  rules::FilterTables filterTables_;
  hostnet::HostNetwork hostNet_;
  // The process-wide service monitor: its ids also answer IsSelectedProcess.
  service::ServiceMonitor& serviceMonitor_ = service::engineServiceMonitor();
  process::ProccessLimit processLimit_;
  // Who a flow's process is, for the TCP and the UDP handlers.
  EngineProcessQueries processQueries_{*this};

  // UDP steering: the flow handling, wired to the engine's tables, the
  // driver and the UDP proxy; datagrams to and from port 53 go to DNS
  // interception.
  EngineUdpLinks udpLinks_{*this};
  EngineDnsLinks dnsLinks_{*this};
  dns::DnsInterception dnsBranch_{dnsLinks_, udp::driverInterfaceFlows(), *this};
  udp::UdpFlows udpFlows_{udp::UdpFlowLinks{processQueries_, udpLinks_, udp::driverInterfaceFlows(),
                                            udpLinks_, dnsBranch_, probeTracker_, *this}};

  // Redirected pings: the pending echoes between the tunnel, the scheduler
  // (this engine's IcmpRedirector base) and the driver.
  EngineIcmpLinks icmpLinks_{*this};
  udp::IcmpEchoes icmpEchoes_{icmpLinks_, *this};

  // TCP steering: the connect decision and the relay. Declared last so they
  // go first: no relay thread outlives the tables it uses.
  EngineRedirectPolicy tcpPolicy_{*this};
  tcp::TcpRedirector tcpRedirector_{
      tcp::TcpRedirectLinks{processQueries_, tcpPolicy_, tcp::driverInterfaceConnections()}, *this};
  tcp::Relay relay_;
};

}  // namespace engine
