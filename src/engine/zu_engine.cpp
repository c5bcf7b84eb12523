#include "engine/zu_engine.h"

#include <cstring>

#include "drvapi/drvapi.h"
#include "engine/game_quirks.h"
#include "platform/notify.h"
#include "platform/sysinfo.h"
#include "platform/text.h"
#include "platform/timer.h"

namespace engine {

using platform::kFamilyIpv4;
using platform::kFamilyIpv6;

ZuEngine::ZuEngine(DriverControl& driver)
    : driver_(driver),
      relay_(tcpRedirector_.redirectTable(), pingResponder_, *this, running_, blurEnabled_,
             [this] { return relayNode(); }) {
  ruleLists_.ClearIcmpRules();
  // Steered addresses learnt from DNS answers get a host route through the
  // virtual adapter while adapter mode is on.
  filterTables_.SetHostRouteHook([this](uint32_t address) {
    if (adapterMode_.load() != 0) hostNet_.AddHostRoute(address);
  });
}

tcp::RelayNode ZuEngine::relayNode() const {
  std::lock_guard<std::mutex> lock(configLock_);
  return tcp::RelayNode{proxyConfig_.proxyAddress, proxyConfig_.proxyTcpPort, proxyConfig_.proxyUser,
                        proxyConfig_.proxyPassword};
}

ZuEngine::~ZuEngine() {
  // A stop without unloading the driver leaves this engine registered as the
  // driver's handler: close the driver connection before anything goes, so no
  // callback can reach a destroyed engine.
  driver_.freeDriver();
  // Nor may a reply of the UDP proxy's completion thread.
  udpProxy_.Stop();
  // Nor an answer of the resolver's threads or a tunnelled query's time-out.
  stopResolver();
  dnsBranch_.stopTunnelWaits();
  // The relay's accept loops end with `running`; the relay itself (destroyed
  // first, as the last member) then ends its connection threads.
  running_.store(0);
  stopNotificationTimer();
  // A configuration without a later stop may have raised the timer
  // resolution and started the ICMP scheduler.
  if (timerPeriod_ != 0) platform::timerEndPeriod(timerPeriod_);
  if (icmpRedirectorStarted_) Stop();
  processLimit_.Stop();
  serviceMonitor_.stop();
  stopCollector();
}

// Initialise: brings up the completion-port service, the collector, the
// driver and the relay. Returns false at the first failing step and leaves
// what was done in place; `initialized` stays 0, so the next call repeats it.
// A step that throws (memory running out) is a failing step like any other.
bool ZuEngine::Initialize(bool restartDriver) {
  try {
    return initializeSteps(restartDriver);
  } catch (...) {
    return false;
  }
}

bool ZuEngine::initializeSteps(bool restartDriver) {
  if (initialized_) return true;

  if (restartDriver) {
    note("driver.stopService");
    driver_.stopDriverService();
  }

  // Starting the proxy also opens its ICMP socket; a proxy left running by
  // an initialisation that failed later only gets that socket anew.
  if (!udpProxy_.running()) {
    note("udpProxy.startService");
    if (!udpProxy_.Start(this)) return false;
    note("udpProxy.openIcmpSocket");
  } else {
    note("udpProxy.openIcmpSocket");
    udpProxy_.OpenFlowSocket(UdpProxy::icmpFlowId);
  }

  note("collector.start");
  startCollector();

  note("driver.enableDebugPrivilege");
  driver_.enableDebugPrivilege();

  note("driver.ensureRunning");
  if (!driver_.ensureDriverRunning()) {
    note("driver.ensureRunning");
    if (!driver_.ensureDriverRunning()) return false;
  }

  note("driver.setOptions");
  driver_.setDriverOptions(static_cast<int>(platform::processorCount() * 2 + 2), 0);

  note("driver.init");
  if (driver_.initDriver(driverName_, this) != 0) return false;

  note("driver.setIpEventHandler");
  driver_.setIpEventHandler(this);

  running_.store(1);

  note("relay.open4");
  if (!relay_.OpenRelayListener(kFamilyIpv4)) return false;
  note("relay.thread4");
  if (!relay_.startAcceptLoop(kFamilyIpv4)) return false;

  // A host may run without IPv6: then only IPv4 destinations are relayed.
  if (platform::osVersion().major >= 6 && tcp::Relay::familyAvailable(kFamilyIpv6)) {
    note("relay.open6");
    if (!relay_.OpenRelayListener(kFamilyIpv6)) return false;
    note("relay.thread6");
    if (!relay_.startAcceptLoop(kFamilyIpv6)) return false;
  }

  note("filter.load");
  filterTables_.LoadFilterFile();

  note("hostnet.ipv6PrefixPolicy");
  hostNet_.ApplyIpv6PrefixPolicy();

  initialized_.store(1);
  return true;
}

bool ZuEngine::Configure(const PROXY_CONFIG& proxy, const GAME_CONFIG& game, uintptr_t notifyWindow) {
  notifyWindow_ = notifyWindow;
  {
    std::lock_guard<std::mutex> lock(configLock_);
    proxyConfig_ = proxy;
    gameConfig_ = game;
  }

  note("udpProxy.setNode");
  udpProxy_.SetUser(proxy.userId);
  udpProxy_.SetNode(proxy.proxyAddress, proxy.proxyUdpPort);

  // Each configuration replaces the ICMP and ping-delay rules of the one
  // before. The timer resolution is raised and the ICMP scheduler started at
  // most once until the stop sequence undoes them.
  note("rules.icmp");
  ruleLists_.ClearIcmpRules();
  icmpRuleCount_ = ruleLists_.ParseIcmpRules(gameConfig_.rulesText);
  if (icmpRuleCount_ > 0) {
    note("icmp.clearPending");
    icmpEchoes_.Clear();
    uint32_t minPeriod = 0, maxPeriod = 0;
    if (timerPeriod_ == 0 && platform::timerCapabilities(minPeriod, maxPeriod)) {
      uint32_t period = minPeriod == 0 ? 1 : minPeriod;
      if (period > maxPeriod) period = maxPeriod;
      if (period != 0) {
        note("icmp.raiseTimerResolution");
        platform::timerBeginPeriod(period);
        timerPeriod_ = period;
      }
    }
    if (!icmpRedirectorStarted_) {
      note("icmp.start");
      Start();
      icmpRedirectorStarted_ = true;
    }
  }

  note("rules.delay");
  pingResponder_.Clear();
  pingResponder_.AddRules(ruleLists_.ParseDelayRules(gameConfig_.rulesText));

  note("hosts.load");
  rules::HostMap hostMap;
  ruleLists_.LoadHostsFile(hostMap);
  note("filter.collectHosts");
  filterTables_.CollectFilterHosts(gameConfig_.gameId, gameConfig_.areaId, hostMap);
  note("filter.build");
  filterTables_.BuildFilterTables(gameConfig_.gameId, gameConfig_.areaId, hostMap);
  note("hosts.fillTable");
  ruleLists_.EnterHostAddresses(hostMap);
  return true;
}

// A step that throws (memory running out) cuts the start short: that start
// is reported as failed, never as done.
bool ZuEngine::StartEngine(bool tcpEnabled, bool udpEnabled, bool udpProxyAll, bool adapterMode,
                           uint32_t forceUdpDirect, bool restartDriver) {
  try {
    return startSteps(tcpEnabled, udpEnabled, udpProxyAll, adapterMode, forceUdpDirect, restartDriver);
  } catch (...) {
    return false;
  }
}

bool ZuEngine::startSteps(bool tcpEnabled, bool udpEnabled, bool udpProxyAll, bool adapterMode,
                          uint32_t forceUdpDirect, bool restartDriver) {
  note("initialize");
  Initialize(restartDriver);

  note("resolver.start");
  applyBackupServerSetting(*this);
  startResolver(proxyConfig_.proxyAddress, proxyConfig_.dnsPort);

  note("hostnet.flushDnsCache");
  hostNet_.FlushSystemDnsCache();
  note("hostnet.collectDnsServers");
  hostNet_.CollectDnsServers();

  udpProxyAll_.store(udpProxyAll ? 1 : 0);

  const GameQuirks quirks = gameQuirks(gameConfig_.gameId, gameConfig_.areaId);
  if (quirks.probeUdpRoundTrips) probeTracker_.setEnabled(true);
  if (quirks.delayedPings) pingResponder_.SetEnabled(true);

  udpDirectMode_.store(quirks.udpThroughDriver || forceUdpDirect == 1 ? 1 : 0);
  if (quirks.hostNetworkAndIpHelper) {
    note("hostnet.prepareHostNetwork");
    hostNet_.PrepareHostNetwork();
    note("serviceMonitor.start");
    serviceMonitor_.start(static_cast<service::IServiceMonitor*>(this), {u"iphlpsvc"});
  }

  std::vector<std::u16string> processNames;
  processNames.reserve(gameConfig_.processes.size());
  for (const auto& entry : gameConfig_.processes) processNames.push_back(platform::ansiToUtf16(entry.first));

  note("processLimit.start");
  processLimit_.Start(processNames, gameConfig_.processLimit);

  note("hostnet.driverRules");
  tcpEnabled_.store(tcpEnabled ? 1 : 0);
  udpEnabled_.store(udpEnabled ? 1 : 0);
  adapterMode_.store(adapterMode ? 1 : 0);
  hostnet::DriverRuleInputs ruleInputs;
  ruleInputs.tcpEnabled = tcpEnabled;
  ruleInputs.udpEnabled = udpEnabled;
  ruleInputs.adapterMode = adapterMode;
  ruleInputs.processNames = processNames;
  ruleInputs.proxyAddress = proxyConfig_.proxyAddress;
  ruleInputs.icmpRuleCount = icmpRuleCount_;
  ruleInputs.ownProcessId = platform::currentProcessId();
  // Adapter mode ends here when no virtual adapter is found.
  if (!hostNet_.WriteDriverRules(ruleInputs)) adapterMode_.store(0);

  note("notifyTimer.start");
  startNotificationTimer();
  return true;
}

bool ZuEngine::StopEngine(bool unloadDriver) {
  adapterMode_.store(0);
  tcpEnabled_.store(0);
  udpEnabled_.store(0);

  note("ping.clear");
  pingResponder_.SetEnabled(false);
  pingResponder_.Clear();

  note("serviceMonitor.stop");
  serviceMonitor_.stop();
  probeTracker_.setEnabled(false);

  note("udpProxy.stop");
  udpProxy_.Stop();

  note("resolver.stop");
  stopResolver();
  dnsBranch_.stopTunnelWaits();

  note("hostnet.clearRoutes");
  hostNet_.clearRouteSet();

  note("driver.deleteRules");
  driver_.deleteFilterRules();

  note("relay.clearRedirects");
  tcpRedirector_.Clear();
  note("relay.closeActive");
  relay_.CloseActiveRelays();

  note("collector.stop");
  stopCollector();

  note("relay.joinThreads");
  running_.store(0);
  relay_.joinAcceptLoop(kFamilyIpv4);
  relay_.joinAcceptLoop(kFamilyIpv6);

  note("relay.closeListeners");
  relay_.closeListener(kFamilyIpv4);
  relay_.closeListener(kFamilyIpv6);

  notifyWindow_ = 0;
  {
    std::lock_guard<std::mutex> lock(configLock_);
    proxyConfig_.userId = 0;
    proxyConfig_.proxyAddress = 0;
    proxyConfig_.proxyTcpPort = 0;
    proxyConfig_.proxyUdpPort = 0;
    proxyConfig_.dnsPort = 0;
    gameConfig_.gameId = 0;
    gameConfig_.areaId = 0;
  }

  if (unloadDriver) {
    note("driver.free");
    driver_.freeDriver();
  }

  initialized_.store(0);

  // Undo exactly what the configurations did, whatever the latest one held.
  if (timerPeriod_ != 0) {
    note("icmp.lowerTimerResolution");
    platform::timerEndPeriod(timerPeriod_);
    timerPeriod_ = 0;
  }
  icmpRuleCount_ = 0;
  ruleLists_.ClearIcmpRules();
  if (icmpRedirectorStarted_) {
    note("icmp.stop");
    Stop();
    icmpRedirectorStarted_ = false;
  }

  note("notifyTimer.stop");
  stopNotificationTimer();

  note("processLimit.stop");
  processLimit_.Stop();
  return true;
}

bool ZuEngine::Shutdown(bool unloadDriver) {
  if (!initialized_) return true;

  note("udpProxy.stopSockets");
  udpProxy_.Stop();
  note("collector.stop");
  stopCollector();

  StopEngine(unloadDriver);

  running_.store(0);
  relay_.joinAcceptLoop(kFamilyIpv4);
  relay_.joinAcceptLoop(kFamilyIpv6);
  relay_.closeListener(kFamilyIpv4);
  relay_.closeListener(kFamilyIpv6);

  note("resolver.stop");
  stopResolver();

  initialized_.store(0);
  return true;
}

bool ZuEngine::InstallDriver() { return driver_.ensureDriverRunning(); }

bool ZuEngine::UnInstallDriver() { return driver_.uninstallDriver(); }

// --- Notification timer --------------------------------------------------------

void ZuEngine::startNotificationTimer() {
  if (notifyTimerActive_) return;
  std::lock_guard<std::mutex> lock(notifyTimerLock_);
  if (notifyTimerActive_) return;
  if (notifyTimer_.start(1000, &ZuEngine::onNotificationTimer, this) != 0) notifyTimerActive_.store(1);
}

void ZuEngine::stopNotificationTimer() {
  std::lock_guard<std::mutex> lock(notifyTimerLock_);
  if (!notifyTimerActive_) return;
  notifyTimerActive_.store(0);
  notifyTimer_.stop();
}

void ZuEngine::onNotificationTimer(void* engine) { static_cast<ZuEngine*>(engine)->notificationTick(); }

void ZuEngine::notificationTick() {
  const uint32_t sent = sentBytes_.exchange(0);
  const uint32_t received = receivedBytes_.exchange(0);
  const uintptr_t window = notifyWindow_;
  if (window != 0) platform::postNotification(window, kCountersMessage, sent, received);
}

// --- Counter hook ----------------------------------------------------------------

void ZuEngine::onCollectorEvent(const collector::DCEvent& record) {
  if (record.family != kFamilyIpv4 && record.family != kFamilyIpv6) return;
  switch (record.type) {
    case collector::kTcpProxyFlowUp: {
      const auto& e = static_cast<const collector::DCTcpProxyFlowUpEvent&>(record);
      if (e.proxied) sentBytes_.fetch_add(e.byteCount);
      break;
    }
    case collector::kTcpProxyFlowDown: {
      const auto& e = static_cast<const collector::DCTcpProxyFlowDownEvent&>(record);
      if (e.proxied) receivedBytes_.fetch_add(e.byteCount);
      break;
    }
    case collector::kUdpProxyFlowUp:
      sentBytes_.fetch_add(static_cast<const collector::DCUdpProxyFlowUpEvent&>(record).byteCount);
      break;
    case collector::kUdpProxyFlowDown:
      receivedBytes_.fetch_add(static_cast<const collector::DCUdpProxyFlowDownEvent&>(record).byteCount);
      break;
    default:
      break;
  }
}

// --- Service monitor callbacks ----------------------------------------------------

void ZuEngine::onServiceStarted(const std::u16string&, uint32_t processId) {
  // The watched service's process gets the game's rules, each at the head of
  // the driver's list.
  hostnet::WriteServiceProcessRules(processId, tcpEnabled_, udpEnabled_);
}

// The rules of a stopped service's process stay until the next deletion.
void ZuEngine::onServiceStopped(const std::u16string&, uint32_t) {}

// --- Driver events ------------------------------------------------------------------

void ZuEngine::tcpConnectRequest(uint64_t id, drvapi::TcpConnInfo* info) { tcpRedirector_.tcpConnectRequest(id, info); }
void ZuEngine::tcpConnected(uint64_t, drvapi::TcpConnInfo*) {}
void ZuEngine::tcpClosed(uint64_t id, drvapi::TcpConnInfo* info) { tcpRedirector_.tcpClosed(id, info); }
void ZuEngine::tcpReceive(uint64_t id, const char* data, int length) { tcpRedirector_.tcpReceive(id, data, length); }
void ZuEngine::tcpSend(uint64_t id, const char* data, int length) { tcpRedirector_.tcpSend(id, data, length); }

void ZuEngine::udpCreated(uint64_t id, drvapi::UdpConnInfo* info) { udpFlows_.udpCreated(id, info); }
void ZuEngine::udpConnectRequest(uint64_t id, drvapi::UdpConnectRequest* request) {
  udpFlows_.udpConnectRequest(id, request);
}
void ZuEngine::udpClosed(uint64_t id, drvapi::UdpConnInfo* info) { udpFlows_.udpClosed(id, info); }
void ZuEngine::udpReceive(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                          const drvapi::UdpOptions* options) {
  udpFlows_.udpReceive(id, remoteAddress, reinterpret_cast<const uint8_t*>(data),
                       length > 0 ? static_cast<size_t>(length) : 0, options);
}
void ZuEngine::udpSend(uint64_t id, const unsigned char* remoteAddress, const char* data, int length,
                       const drvapi::UdpOptions* options) {
  udpFlows_.udpSend(id, remoteAddress, reinterpret_cast<const uint8_t*>(data),
                    length > 0 ? static_cast<size_t>(length) : 0, options);
}

void ZuEngine::OnProxyDatagram(uint64_t flowId, const uint8_t* data, size_t length,
                               const platform::SocketAddress& peer, int, int kind) {
  if (kind == UdpProxy::kKindDatagram) udpFlows_.deliverProxyReply(flowId, data, length, peer);
  else if (kind == UdpProxy::kKindIcmp) icmpEchoes_.DeliverIcmpReply(data, length);
}

// Inbound packets, and the replies the echo path delivers, go on unchanged.
void ZuEngine::ipReceive(const char* packet, int length, const drvapi::IpOptions* options) {
  drvapi::ipInjectReceive(packet, length, options);
}

// Outbound packets: IPv4 echo requests to the ICMP rules' networks are taken
// by the echo path; everything else goes on unchanged.
void ZuEngine::ipSend(const char* packet, int length, const drvapi::IpOptions* options) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(packet);
  uint16_t family = 0;
  if (options != nullptr) std::memcpy(&family, options->reserved, sizeof family);
  if (family == kFamilyIpv4 && length > static_cast<int>(udp::kIpv4Protocol) &&
      bytes[udp::kIpv4Protocol] == udp::kProtocolIcmp &&
      icmpEchoes_.RedirectEcho(bytes, static_cast<size_t>(length), *options))
    return;
  drvapi::ipInjectSend(packet, length, options);
}

// A synthesized reply answers its request through the same path as the
// node's, so that only the first of the two reaches the application.
void ZuEngine::OnEchoReply(uint8_t* packet, size_t length) {
  const size_t headerLength = udp::Ipv4HeaderLength(packet, length);
  if (headerLength > length) return;
  icmpEchoes_.DeliverIcmpReply(packet + headerLength, length - headerLength);
}

}  // namespace engine
