// The TCP relay: the local end of every redirected connection. It listens on
// 127.0.0.1 and ::1 (ports 50888 down to 50001), accepts the redirected
// connections, finds each one's requested destination in the redirect table,
// opens a SOCKS5 connection to it through the proxy node (or, when the
// handshake fails, a direct one) and copies bytes both ways on one thread per
// connection, blurring the client-to-node bytes when asked, answering game
// pings, and reporting begin, flow and end records to the collector.
//
// Threads: one accept thread per listener (started by startAcceptLoop,
// joined by joinAcceptLoop) and one thread per relayed connection. The accept
// loops run while the engine's `running` byte is set.
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
#include "tcp/spin_flag.h"

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
  // for every chunk. `node`: a copy of the node settings, taken per
  // connection.
  Relay(RedirectTable& redirects, PingResponder& ping, collector::DataCollectorEvent& collector,
        const std::atomic<uint8_t>& running, const std::atomic<uint32_t>& blurEnabled,
        std::function<RelayNode()> node);
  // Closes the listeners, ends every connection thread (closing their
  // sockets, handshakes included) and waits for them.
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // Opens the listener of `family` (2 or 23) on the first free port from
  // 50888 down to 50001, closing an open one first. False when no port is
  // free or a socket call fails.
  bool OpenRelayListener(int family);
  // Starts the accept thread of `family`; false when it cannot be started.
  bool startAcceptLoop(int family);
  // Waits (without limit) for the accept thread of `family` to end; the
  // caller clears `running` first.
  void joinAcceptLoop(int family);
  void closeListener(int family);
  bool listenerOpen(int family) const;
  // The bound port (host order), 0xFFFF without a listener.
  uint16_t port(int family) const;

  // Ends every connection past its handshake: their sockets are shut down,
  // each relay thread then leaves its loop and closes them itself.
  void CloseActiveRelays();

  // Connection threads alive now (handshakes included).
  int liveConnections() const;

 private:
  struct Listener {
    platform::Socket socket = platform::kInvalidSocket;
    std::atomic<uint16_t> port{0xFFFF};
    std::thread thread;
  };
  struct RELAY_CONTEXT;

  Listener& listener(int family) { return family == platform::kFamilyIpv4 ? v4_ : v6_; }
  const Listener& listener(int family) const { return family == platform::kFamilyIpv4 ? v4_ : v6_; }
  void RelayAcceptLoop(int family);
  void RelayConnection(RELAY_CONTEXT* context);
  void relay(RELAY_CONTEXT& c, bool proxied, uint32_t& upTotal, uint32_t& downTotal);
  template <typename Record>
  void postFlow(const RELAY_CONTEXT& c, bool proxied, int bytes);
  void track(platform::Socket socket);
  void untrack(platform::Socket socket);

  RedirectTable& redirects_;
  PingResponder& ping_;
  collector::DataCollectorEvent& collector_;
  const std::atomic<uint8_t>& running_;
  const std::atomic<uint32_t>& blurEnabled_;
  std::function<RelayNode()> node_;

  Listener v4_;
  Listener v6_;

  // Sockets of relay threads past their handshake.
  SpinFlag activeLock_;
  std::set<platform::Socket> activeRelays_;

  // Every connection thread's sockets, so that destruction can end threads
  // still in their handshake; and the count of live threads.
  mutable std::mutex threadsLock_;
  std::condition_variable threadsDone_;
  std::set<platform::Socket> allSockets_;
  int liveThreads_ = 0;
  bool closing_ = false;
};

}  // namespace tcp
