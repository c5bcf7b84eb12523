// Live mode of the simulated driver for UDP: a simulated application's
// datagrams really travel on loopback, from a real socket of its own, and the
// driver library sees them as a filter driver would show them.
//
// open() gives the application a UDP socket bound to 127.0.0.1 (or ::1) on a
// free port. The driver's rule list decides, as classify() applies it (the
// process's image path included, so rules by program name work):
//  - at open, a rule for UDP of that process (direction 3, no remote) with
//    the filter flag (2) reports udpCreated with the socket's real local
//    address; a flow not reported then is reported lazily, just before its
//    first datagram that a rule filters (a DNS query, say);
//  - each datagram is classified on its own (outbound: direction 2 and its
//    destination; inbound: direction 1 and its source). Filtered ones are
//    reported to the library (udpSend / udpReceive records; with driver kind
//    2 their options carry the flow's local address at offset 32, 60 bytes
//    in all); the others go straight to or from the socket; a block rule (1)
//    drops them;
//  - a rule with the connect-request flag (16) makes the first datagram to
//    each destination wait for a udpConnectRequest verdict (the flow is
//    reported first, since the library keeps requests only of flows it
//    knows). The verdict's remote address is where that destination's
//    datagrams go from then on; a verdict with the block flag refuses them.
//    A verdict the library leaves for later (0x40) ends the send as Failed
//    after the time-out.
//
// What the library writes for the flow is acted on when it is written:
//  - an injected send (udpSend record) goes out of the application's socket.
//    A loopback destination is used as it is, a documentation address goes
//    to its local server through the simulator's own map (map()), and any
//    other destination is refused and never sent (refusedSends() counts it);
//  - an injected receive (udpReceive record) is queued for recvFrom() with the
//    source address and options as the library wrote them and its arrival
//    time; then the simulator asks the library for the next one
//    (udpCanReceive), since the library injects one at a time;
//  - udpFilteringOff: every later datagram of the flow goes straight, both
//    ways, unseen by the library.
// Replies to datagrams that went straight or were injected through the map
// come back from the address the datagram was addressed to (the
// documentation address), as they would over a network; when several such
// addresses share one local server, the last one used names its replies.
// Suspend and resume records are taken and not acted on.
//
// Every wait is woken by its event (a socket, a write of the library, a wake
// socket): a pump thread per socket reads what arrived and reports it to the
// library (up to 64 datagrams in one batch); recvFrom() waits on a condition
// variable with a time-out. Nothing polls. The library must be running while
// sockets report: each report waits up to 1 s for the library to take it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net.h"
#include "sim_driver.h"

namespace simdrv {

class LiveUdp {
 public:
  // Acts on the library's writes to `driver` from now on. `driver` must
  // outlive this object and every socket opened through it; the sockets may
  // outlive this object (they then get no more injections).
  explicit LiveUdp(SimDriver& driver);
  ~LiveUdp();
  LiveUdp(const LiveUdp&) = delete;
  LiveUdp& operator=(const LiveUdp&) = delete;

  // Carries datagrams to addresses in `cidr` ("203.0.113.0/24", or one
  // address) to `localAddress` (a 127.x.y.z address), keeping the port.
  // False for unparsable text or a target outside loopback. Any thread.
  bool map(std::string_view cidr, std::string_view localAddress);

  // One datagram as the application receives it.
  struct Datagram {
    platform::SocketAddress28 from{};  // its source as a 28-byte socket address field
    std::string data;
    std::chrono::steady_clock::time_point arrived;
  };

  enum class SendResult {
    Reported,  // handed to the library as a udpSend record
    Sent,      // went straight out of the socket (unfiltered, or filtering off)
    Refused,   // straight, but outside loopback and the map: not sent
    Blocked,   // a block rule or a blocking verdict
    Failed,    // closed socket, bad address, the library took no record, no verdict, a socket error
  };

  struct Flow;

  // The application's socket. Closed (and its close reported) when the
  // object goes. Movable; one thread at a time per socket.
  class Socket {
   public:
    Socket() = default;
    ~Socket();
    Socket(Socket&&) noexcept;
    Socket& operator=(Socket&&) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // False when open() failed (error() says why) or after close().
    bool valid() const { return flow_ != nullptr; }
    const std::string& error() const { return error_; }
    // The flow id the library knows the socket by.
    uint64_t id() const;
    // The socket's real local address (port included).
    platform::SocketAddress local() const;
    // udpCreated has been reported to the library.
    bool reported() const;
    // The library turned filtering off for the flow.
    bool filteringOff() const;
    // Datagrams the library injected as sends to a destination outside
    // loopback and the map: refused, never sent.
    uint64_t refusedSends() const;

    // The application sends `datagram` to `destination` (a 28-byte socket
    // address field of the socket's family; for an IPv4 socket also an
    // IPv4-mapped IPv6 one). Returns once the library took the record, or
    // the datagram went out. `timeoutMs` bounds each wait for the library
    // (taking a record, a connect-request verdict).
    SendResult sendTo(const platform::SocketAddress28& destination, std::string_view datagram,
                      uint32_t timeoutMs = 10000);
    // The next datagram for the application, waiting up to `timeoutMs`;
    // nullopt when none came in time or the socket is closed.
    std::optional<Datagram> recvFrom(uint32_t timeoutMs = 10000);
    // Stops the pump, reports udpClosed when udpCreated was reported, and
    // lets the socket go. Further calls do nothing.
    void close();

   private:
    friend class LiveUdp;
    std::shared_ptr<Flow> flow_;
    std::string error_;
  };

  // Process `processId` opens a UDP socket of `family` (2 or 23) on
  // loopback. See valid() and error() of the result.
  Socket open(uint32_t processId, uint16_t family = drvapi::kFamilyIpv4);

  struct Hub;

 private:
  std::shared_ptr<Hub> hub_;
  uint64_t observer_ = 0;
};

}  // namespace simdrv
