// Sockets of the live modes of the simulated driver: a wake socket that lets one thread end another's wait on
// sockets at once, so the simulator's threads sleep only in waits that an event ends.
#pragma once

#include "platform/net.h"
#include "platform/owned_socket.h"

namespace simdrv {

using platform::OwnedSocket;

// A datagram socket on 127.0.0.1 that sends to itself: a thread waiting in
// platform::waitSockets includes socket() and returns as soon as another
// thread calls wake(). Works the same with poll() and with Winsock's select().
class WakeSocket {
 public:
  WakeSocket();
  // False when no loopback socket could be made (the waits then never wake).
  bool valid() const { return address_.family() != 0; }
  platform::Socket socket() const { return socket_.get(); }
  // Any thread; wakes coalesce.
  void wake();
  // The waiting thread, once woken: reads every pending wake without blocking.
  void drain();

 private:
  OwnedSocket socket_;
  platform::SocketAddress address_;
};

}  // namespace simdrv
