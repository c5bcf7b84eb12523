// The node's ICMP side of the UDP tunnel.
//
// A tunnel datagram whose header names port 0 carries an ICMP message for the
// header's address. An echo request (type 8, code 0) is sent to that address
// after --map (loopback only unless remote destinations are allowed), from a
// socket of its own: a ping socket (SOCK_DGRAM, IPPROTO_ICMP) where the
// system lets this process have one, else a raw ICMP socket. The echo reply
// that comes back is returned to the engine socket that sent the request,
// behind the 20-byte reply header with port 0 and the address as the engine
// named it, after the reply delay when one is set (a far node). A ping socket
// chooses its own echo identifier: the reply gets the request's back, with
// its checksum made anew. Any other ICMP message is dropped.
//
// Log lines (one each):
//   icmp echo engine=ENGINE to=DEST mapped=ADDR id=I seq=S result=R
//     R: replied, timeout, refused-not-loopback, too-many, or
//        socket-failed(why)
//   udp drop from=ENGINE size=N reason=icmp-not-echo to=DEST
//
// Everything runs on the io_context's thread; no call blocks.
#pragma once

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif
#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "destination_map.h"
#include "log_sink.h"

namespace node {

struct IcmpSettings {
  bool allowRemote = false;
  DestinationMap destinations;
  // How long each echo reply is held before it goes back (0: at once).
  std::chrono::milliseconds replyDelay{0};
  // An echo with no reply after this long is given up.
  std::chrono::milliseconds timeout{2000};
  // Echoes waiting for their reply at once (one socket each); more are dropped.
  size_t maxOutstanding = 256;
};

class IcmpEchoRelayCore;

class IcmpEchoRelay {
 public:
  // Sends one ICMP `message` back to `engine` for `destination` (host order).
  using ReplySink = std::function<void(const asio::ip::udp::endpoint& engine, uint32_t destination,
                                       const uint8_t* message, size_t length)>;

  IcmpEchoRelay(asio::io_context& io, IcmpSettings settings, LogSink log, ReplySink reply);
  ~IcmpEchoRelay();
  IcmpEchoRelay(const IcmpEchoRelay&) = delete;
  IcmpEchoRelay& operator=(const IcmpEchoRelay&) = delete;

  // One ICMP message from `engine` for `destination` (host order). `size` is
  // the tunnel datagram's, for the log.
  void handle(const asio::ip::udp::endpoint& engine, uint32_t destination, const uint8_t* message,
              size_t length, size_t size);

  // Gives up every echo in flight (each logs its line); no reply goes out
  // afterwards.
  void stop();

 private:
  std::shared_ptr<IcmpEchoRelayCore> core_;
};

}  // namespace node
