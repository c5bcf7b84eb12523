// The TCP relay: the local end of every redirected connection. It listens on
// 127.0.0.1 and ::1 (ports 50888 down to 50001), accepts the redirected
// connections, finds each one's requested destination in the redirect table,
// opens a SOCKS5 connection to it through the proxy node (or, when the
// handshake fails, a direct one) and copies bytes both ways on one thread per
// connection, blurring the client-to-node bytes when asked, answering game
// pings, and reporting begin, flow and end records to the collector.
//
// Threads: one accept thread per listener (started by startAcceptLoop,
// joined by joinAcceptLoop) and one thread per relayed connection, with a
// small stack of its own. The accept loops run while the engine's `running`
// byte is set. No thread body lets an exception escape: a connection that
// runs out of memory ends, and a missing collector record is skipped.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "collector/data_collector.h"
#include "platform/net.h"
#include "tcp/ping_responder.h"
#include "tcp/redirect_table.h"

namespace tcp {

// What a connection needs to know of the proxy node when it starts.
struct RelayNode {
  uint32_t address = 0;  // IPv4, network order
  uint16_t port = 0;     // network order
  std::string user;
  std::string password;
};

class Relay {
 public:
  // `running`: the engine's flag the accept loops watch. `blurEnabled`: read
  // once per connection, when its relaying starts, so that a connection is
  // either wholly transformed or not at all (the node undoes all or
  // nothing). `node`: a copy of the node settings, taken per connection.
  Relay(RedirectTable& redirects, PingResponder& ping, collector::DataCollectorEvent& collector,
        const std::atomic<uint8_t>& running, const std::atomic<uint32_t>& blurEnabled,
        std::function<RelayNode()> node);
  // Waits for the accept threads (the caller clears `running` first), closes
  // the listeners, shuts down both sockets of every connection thread
  // (handshakes included) and waits for them to end.
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Opens the listener of `family` (2 or 23) on the first free port from
  // 50888 down to 50001, with the system's largest backlog. A listener whose
  // accept thread runs is in use and stays as it is (true); otherwise an open
  // one is closed first. False when no port is free or a socket call fails.
  // Controlling thread.
  bool OpenRelayListener(int family);
  // Whether this host can have a loopback stream socket of `family` at all
  // (a host may run without IPv6). Any thread.
  static bool familyAvailable(int family);
  // Starts the accept thread of `family` (true when it runs already); from
  // then on accepted connections are relayed again after CloseActiveRelays.
  // False when it cannot be started. Controlling thread.
  bool startAcceptLoop(int family);
  // Waits for the accept thread of `family` to end; the caller clears
  // `running` first (the thread looks at it at least once a second).
  void joinAcceptLoop(int family);
  // Closes the listener of `family`; ignored while its accept thread runs.
  void closeListener(int family);
  bool listenerOpen(int family) const;
  // The bound port (host order), 0xFFFF without a listener.
  uint16_t port(int family) const;

  // The stop of the relay: shuts down both sockets of every connection
  // thread, handshakes and direct connects included, so that each ends
  // without going direct; connections accepted from now until the next
  // startAcceptLoop are closed at once. Waits up to kStopWaitMs for the
  // threads to end. Controlling thread.
  void CloseActiveRelays();
  static constexpr uint32_t kStopWaitMs = 2000;

  // Connection threads alive now (handshakes included).
  int liveConnections() const;
  // Waits up to `timeoutMs` for every connection thread to end; true when
  // none is left.
  bool waitForConnections(uint32_t timeoutMs) const;

  // Bytes each connection copies per receive, held on the heap rather than
  // on the connection thread's small stack.
  static constexpr int kCopyBufferBytes = 64 * 1024;
  // Stack reserved for each connection thread.
  static constexpr size_t kConnectionStackBytes = 64 * 1024;

 private:
  struct Listener {
    std::atomic<platform::Socket> socket{platform::kInvalidSocket};
    std::atomic<uint16_t> port{0xFFFF};
    std::thread thread;
  };
  struct RELAY_CONTEXT;

  Listener& listener(int family) { return family == platform::kFamilyIpv4 ? v4_ : v6_; }
  const Listener& listener(int family) const { return family == platform::kFamilyIpv4 ? v4_ : v6_; }
  bool openListener(int family);
  void RelayAcceptLoop(int family);
  void acceptOne(int family);
  static void connectionEntry(void* context);
  void RelayConnection(RELAY_CONTEXT* context);
  void serve(RELAY_CONTEXT& c);
  bool connectDirect(RELAY_CONTEXT& c);
  bool stillWanted(const RELAY_CONTEXT& c) const;
  void relay(RELAY_CONTEXT& c, bool proxied, uint32_t& upTotal, uint32_t& downTotal);
  template <typename Record>
  Record* newRecord(const RELAY_CONTEXT& c);
  template <typename Record>
  void postFlow(const RELAY_CONTEXT& c, bool proxied, int bytes);
  void shutDownConnections();

  RedirectTable& redirects_;
  PingResponder& ping_;
  collector::DataCollectorEvent& collector_;
  const std::atomic<uint8_t>& running_;
  const std::atomic<uint32_t>& blurEnabled_;
  std::function<RelayNode()> node_;

  Listener v4_;
  Listener v6_;

  // Every connection thread's context, from its accept to its end, so that
  // a stop reaches the sockets of each (handshakes included); the count of
  // live threads; the stop state. A stop raises `generation_`: a connection
  // of an earlier generation neither goes direct nor relays.
  mutable std::mutex threadsLock_;
  mutable std::condition_variable threadsDone_;
  std::set<RELAY_CONTEXT*> connections_;
  int liveThreads_ = 0;
  bool stopping_ = false;
  uint64_t generation_ = 0;
};

}  // namespace tcp
