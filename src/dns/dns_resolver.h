// DnsResolver: the engine's own resolver for the names it answers itself. A
// query goes as an A question to the proxy node's DNS service first and, 500
// ms later, to the backup server as well; the first answer that matches a
// waiting query is handed back through onDnsAnswer, later ones are dropped,
// and a query nobody answers is forgotten after 3000 ms. No cache.
//
// Threads: resolveAsync from any thread (driver workers); one worker thread
// sends queued requests; one receive thread per socket (A and AAAA questions
// have a socket each, both asking upstream for A records); the resends and
// removals run on one-shot timer threads. onDnsRequest runs on the worker,
// onDnsAnswer on a receive thread, neither with a lock of the resolver held.
//
// Diagnostics go to the debugger output, as lines tagged "[DNS][DnsResolver]".
#pragma once

#include <blockingconcurrentqueue.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "dns/dns_message.h"
#include "dns/dns_req.h"
#include "platform/net.h"
#include "platform/timer.h"

namespace dns {

// The port of the proxy node's DNS service.
inline constexpr uint16_t kNodeDnsPort = 5312;

class DnsResolver {
 public:
  // Sets the backup server to 8.8.8.8:53; creates no socket and no thread.
  DnsResolver();
  // Stops the resolver. A class that implements the two operations below must
  // call stopResolver in its own destructor, before it is gone.
  virtual ~DnsResolver();
  DnsResolver(const DnsResolver&) = delete;
  DnsResolver& operator=(const DnsResolver&) = delete;

  // Called once per query that is about to be sent upstream (worker thread);
  // what it changes in `request` is kept with the waiting query.
  virtual void onDnsRequest(DNS_REQ& request) = 0;
  // The first answer to a waiting query: its A/AAAA addresses, possibly none
  // (a receive thread).
  virtual void onDnsAnswer(const DNS_REQ& request, const std::vector<SocketAddress28>& addresses) = 0;

  // Opens the two sockets and starts the threads; `addressNet`/`portNet` (network
  // order) name the primary server. Nothing when already started. False when a
  // socket or thread could not be made (the resolver then stays stopped).
  // Controlling thread.
  bool startResolver(uint32_t addressNet, uint16_t portNet);
  // Wakes and joins the threads, cancels every resend and removal (waiting
  // for those already running), closes the sockets and forgets every waiting
  // or queued request. Nothing when not started. Controlling thread.
  void stopResolver();
  // Queues `request` for the worker; ignored when not started.
  void resolveAsync(const DNS_REQ& request);

  // The backup server (IPv4, network order); takes effect at the next start.
  // Tests and demonstrations point it at loopback.
  void setBackupServer(uint32_t addressNet, uint16_t portNet);
  platform::SocketAddress backupServer() const;

  bool resolverStarted() const { return started_; }
  // Queries waiting for an answer (for tests).
  size_t pendingQueryCount() const;

 private:
  enum Kind { kKindA = 0, kKindAaaa = 1 };
  struct Waiting {
    DNS_REQ request;
    uint64_t generation = 0;  // which removal timer may remove it
  };

  void stopLocked();  // with startLock_ held
  void worker();
  void receiver(Kind kind);
  void send(DNS_REQ request);
  void removeWaiting(const std::string& key, uint64_t generation);

  mutable std::mutex startLock_;
  std::atomic<bool> started_{false};
  std::atomic<bool> running_{false};
  std::thread worker_;
  std::thread receivers_[2];
  platform::Socket sockets_[2] = {platform::kInvalidSocket, platform::kInvalidSocket};
  bool timeoutFailed_[2] = {false, false};
  moodycamel::BlockingConcurrentQueue<DNS_REQ> queue_;
  // Read by the threads, written by startResolver before they start.
  platform::SocketAddress primaryServer_;
  platform::SocketAddress backupServer_;
  platform::SocketAddress configuredBackup_;  // under startLock_

  mutable std::mutex pendingLock_;
  std::unordered_map<std::string, Waiting> pending_;
  uint64_t nextGeneration_ = 0;

  // Last, so that its callbacks are over before anything above goes.
  platform::OneShotTimers timers_;
};

}  // namespace dns
