// The node's UDP tunnel endpoint.
//
// The engine sends each steered datagram to the tunnel port behind the
// 24-byte tunnel header (udp/tunnel_header.h) that names the destination.
// The node carries the payload to the destination, after the same --map
// rules as SOCKS5, from one outbound socket per association: one engine
// socket (address and port) talking to one destination as the engine named
// it. Every datagram the destination sends back on that socket returns to the
// engine's socket behind the 20-byte reply header, naming the destination as
// the engine addressed it (the documentation address, not the mapped one).
//
// An association ends when it has been idle (no datagram either way) for the
// idle time, when it is the least recently used one and a new association
// would exceed the bound, or when the node stops. ICMP messages (port 0) go
// to the echo relay (icmp_echo_relay.h), whose replies come back on the
// tunnel socket with port 0.
//
// Log lines (one each):
//   udp drop from=ENGINE size=N reason=R [to=DEST [mapped=ADDR:PORT]]
//     R: short, bad-magic, bad-length (the header's total disagrees with the
//     datagram's size), icmp-not-echo, refused-not-loopback, or
//     socket-failed(why)
//   udp assoc=N open engine=ENGINE to=DEST mapped=ADDR:PORT user=ID
//   udp assoc=N engine=ENGINE to=DEST mapped=ADDR:PORT user=ID result=R
//       up=DATAGRAMS/BYTES down=DATAGRAMS/BYTES dropped=D
//     R: idle, evicted, node-stopped or error(why); dropped counts datagrams
//     that could not be sent either way (full socket buffers, refusals).
//
// Everything runs on the thread that runs the io_context; no call blocks:
// sockets are non-blocking and a datagram that cannot go at once is dropped,
// as UDP allows.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <memory>

#include "destination_map.h"
#include "log_sink.h"

namespace node {

struct TunnelSettings {
  // Destinations outside 127.0.0.0/8 (after mapping) are refused unless set.
  bool allowRemote = false;
  DestinationMap destinations;
  // An association with no datagram either way for this long is closed.
  std::chrono::seconds idleTimeout{60};
  // At most this many associations (each one socket) at a time; a new one
  // beyond the bound replaces the least recently used.
  size_t maxAssociations = 512;
  // How long the node holds each ICMP echo reply (a far node).
  std::chrono::milliseconds icmpReplyDelay{0};
};

class UdpTunnelCore;

class UdpTunnel {
 public:
  // Binds the tunnel's datagram socket to `listen`. Throws asio::system_error
  // when it cannot be bound. Nothing is received before start().
  UdpTunnel(asio::io_context& io, const asio::ip::udp::endpoint& listen, TunnelSettings settings,
            LogSink log);
  ~UdpTunnel();
  UdpTunnel(const UdpTunnel&) = delete;
  UdpTunnel& operator=(const UdpTunnel&) = delete;

  // The bound address and port (the real port when 0 was asked for).
  asio::ip::udp::endpoint localEndpoint() const;

  // Starts receiving on the io_context.
  void start();

  // Closes the tunnel socket and every association (each logs its line).
  // Call on the io_context's thread; its run() returns once nothing is left.
  void stop();

 private:
  std::shared_ptr<UdpTunnelCore> core_;
};

}  // namespace node
