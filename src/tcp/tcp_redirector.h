// The engine's TCP handlers: the decision on every connect request that the
// driver reports (pass, rewrite, keep filtered for adapter mode, or redirect
// to the local relay) and the bookkeeping of the connections that stay under
// filtering (their data goes back unchanged and is counted in adapter mode).
//
// The handlers run on the driver library's worker threads; the connect is held
// until tcpConnectRequest returns. Everything they consult outside this
// subsystem comes through the process queries, the redirect policy and the
// connection driver, so the decision table can be exercised on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "collector/data_collector.h"
#include "drvapi/records.h"
#include "platform/net.h"
#include "process/process_queries.h"
#include "rules/rule_answers.h"
#include "tcp/redirect_table.h"

namespace tcp {

// A host-rewrite entry's target: resolve `host` (or use the local web relay
// on `webRelayPort` when it runs).
struct HostRewriteTarget {
  std::string host;
  uint16_t webRelayPortNet = 0;
};

// A port-map entry's target.
struct PortMapTarget {
  std::string host;
  uint16_t portNet = 0;
  uint32_t type = 0;  // 1: through the relay
  bool hostIsName = false;
};

// Where a connection may go, answered from the engine's tables and
// subsystems: the host's own addresses and routes, the filter file's tables,
// the upstream DNS server, the web relay program, the node and the relay's
// listeners. Any thread.
class RedirectPolicy {
 public:
  virtual ~RedirectPolicy() = default;
  // Host addresses.
  virtual bool isLocalAddress(uint32_t addressNet) = 0;
  virtual bool isLocalSocketAddress(const platform::SocketAddress& address) = 0;
  // Filter tables.
  virtual std::optional<HostRewriteTarget> findHostRewrite(uint32_t addressNet, uint16_t portNet) = 0;
  virtual std::optional<PortMapTarget> findPortMap(uint32_t addressNet, uint16_t portNet) = 0;
  virtual rules::AddressRule findAddressRule(const platform::SocketAddress& ipv4Destination) = 0;
  virtual bool isWebSteered(const platform::SocketAddress& ipv4Destination, bool selected) = 0;
  // One blocking look-up (type 1 = A, 28 = AAAA) at the first upstream DNS
  // server; true when it succeeded, with the answers in `addresses`.
  virtual bool lookUp(uint16_t type, const std::string& name,
                      std::vector<platform::SocketAddress>& addresses) = 0;
  // Whether the local web relay program runs.
  virtual bool webRelayRunning() = 0;
  // Adapter mode and its host routes.
  virtual bool adapterMode() = 0;
  virtual void addHostRoute(uint32_t addressNet) = 0;
  // The proxy node is usable for TCP (address and SOCKS5 port both set).
  virtual bool nodeUsable() = 0;
  // The relay listeners' ports, host order; 0xFFFF without a listener.
  virtual uint16_t relayPort4() = 0;
  virtual uint16_t relayPort6() = 0;
};

// The driver interface's TCP operations (the drvapi status codes). Any thread.
class ConnectionDriver {
 public:
  virtual ~ConnectionDriver() = default;
  virtual int disableFiltering(uint64_t id) = 0;
  virtual int injectReceive(uint64_t id, const char* data, int length) = 0;
  virtual int injectSend(uint64_t id, const char* data, int length) = 0;
  virtual int getConnInfo(uint64_t id, drvapi::TcpConnInfo& info) = 0;
};

// The drvapi functions themselves.
ConnectionDriver& driverInterfaceConnections();

// What the connect decision is wired to. Every reference must outlive the
// TcpRedirector.
struct TcpRedirectLinks {
  process::ProcessQueries& processes;
  RedirectPolicy& policy;
  ConnectionDriver& driver;
};

class TcpRedirector {
 public:
  TcpRedirector(const TcpRedirectLinks& links, collector::DataCollectorEvent& collector);

  // Decides one connect: may change info->filteringFlag and
  // info->remoteAddress in place; ends in tcpDisableFiltering, in a redirect
  // record plus tcpDisableFiltering, or (adapter mode) in filteringFlag 2.
  // Only a connection that stays filtered keeps its process name (for its
  // close record). A redirect needs a relay listener of the destination's
  // form (IPv4, or IPv4-mapped IPv6); without one the connection goes direct.
  void tcpConnectRequest(uint64_t id, drvapi::TcpConnInfo* info);

  // Posts the close record and forgets the connection's name.
  void tcpClosed(uint64_t id, const drvapi::TcpConnInfo* info);

  // The stop: empties the redirect table and the names of the filtered
  // connections (the driver is no longer asked to report their close).
  void Clear();

  // Give the bytes back unchanged, then count them in adapter mode.
  void tcpReceive(uint64_t id, const char* data, int length);
  void tcpSend(uint64_t id, const char* data, int length);

  RedirectTable& redirectTable() { return redirectTable_; }
  ConnectionNames& connectionNames() { return connectionNames_; }

 private:
  enum class Decision { Pass, Redirect };
  Decision decide(uint64_t id, drvapi::TcpConnInfo& info, const std::string& processName, bool selected,
                  bool& mapped);
  // True when the connection stays filtered (adapter mode).
  bool redirect(uint64_t id, drvapi::TcpConnInfo& info, const std::string& processName, bool mapped);
  void countAdapterFlow(uint64_t id, int length, bool up);

  process::ProcessQueries& processes_;
  RedirectPolicy& policy_;
  ConnectionDriver& driver_;
  collector::DataCollectorEvent& collector_;
  RedirectTable redirectTable_;
  ConnectionNames connectionNames_;
};

}  // namespace tcp
