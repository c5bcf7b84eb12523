// The engine's side of redirected pings: which outbound echo requests are
// taken off the wire, the pending-echo table, the request's trip through the
// UDP tunnel to the node, and the one reply per request that reaches the
// application, whichever of the node's reply and the synthesized one comes
// first.
//
// A request is taken when it is an IPv4 echo request (IsEchoRequest) of at
// most 512 bytes with a header of at most 40 bytes, to a destination that an
// ICMP rule covers and that is not excluded: the loopback network
// 127.0.0.0/8, 27.0.0.1, the node itself, 10.0.0.0/8, 172.16.0.0/12 and
// 192.168.0.0/16 always go as they are. Its pending entry (keyed by echo
// identifier and sequence) exists before its copy is queued, so the
// synthesized reply can never fall due before the request is recorded.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "drvapi/records.h"
#include "udp/icmp_echo.h"
#include "udp/icmp_redirector.h"

namespace udp {

// One pending echo request: what its reply needs to reach the application.
// Shared by the table and the paths that use it.
struct ICMP_OPTIONS {
  drvapi::IpOptions options{};   // the request's options, carried to the reply
  std::atomic<uint8_t> sent{0};  // 1 while pending (sent, not yet answered)
  uint32_t headerLength = 0;     // 20 to 40
  uint8_t header[kIpv4KeptHeader] = {};
};

// What the echo path needs from the engine. Any thread.
class IcmpEchoLinks {
 public:
  virtual ~IcmpEchoLinks() = default;
  // The delay drawn for a ping to `destinationNet`, or nothing when no ICMP
  // rule covers it.
  virtual std::optional<uint32_t> delayFor(uint32_t destinationNet) = 0;
  // The node's address (network order; 0 when none is configured).
  virtual uint32_t nodeAddress() = 0;
  // Sends the ICMP `message` through the tunnel to the node for
  // `destinationNet` (port 0). False when it could not be sent.
  virtual bool sendToNode(const uint8_t* message, size_t length, uint32_t destinationNet) = 0;
  // Hands a packet to the application as an inbound packet.
  virtual void injectReceive(const uint8_t* packet, size_t length, const drvapi::IpOptions& options) = 0;
};

class IcmpEchoes {
 public:
  // `links` and `scheduler` must outlive this object.
  IcmpEchoes(IcmpEchoLinks& links, IcmpRedirector& scheduler) : links_(links), scheduler_(scheduler) {}

  // True when an outbound IPv4 packet (`options` from the driver) is taken by
  // the echo path: it is then not passed on, answered later by one reply.
  // False: the caller passes it unchanged. Runs on the driver's reader.
  bool RedirectEcho(const uint8_t* packet, size_t length, const drvapi::IpOptions& options);

  // An ICMP message for the application: the node's reply (from the tunnel)
  // or a synthesized one (from the scheduler). Delivered when it is an echo
  // reply of at least 8 bytes whose identifier and sequence are pending and
  // no other reply has claimed that entry; the entry is gone afterwards. A
  // reply whose packet would exceed 512 bytes is not delivered and leaves the
  // entry pending. Any thread.
  void DeliverIcmpReply(const uint8_t* message, size_t length);

  // Forgets every pending echo (a new configuration).
  void Clear();
  size_t PendingCount() const;

  // True for destinations that never take the echo path, whatever the rules.
  static bool IsExcludedDestination(uint32_t destinationNet, uint32_t nodeAddressNet);

 private:
  // Removes and returns the entry of `key` when a message of `messageLength`
  // bytes fits a reply behind its header.
  std::shared_ptr<ICMP_OPTIONS> take(uint32_t key, size_t messageLength);

  IcmpEchoLinks& links_;
  IcmpRedirector& scheduler_;
  mutable std::mutex pendingLock_;
  std::unordered_map<uint32_t, std::shared_ptr<ICMP_OPTIONS>> pending_;
};

}  // namespace udp
