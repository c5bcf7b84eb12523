// What the system knows of a captured program's TCP connection: whether the
// program still holds it, and the bytes it carried. The capture sees only a
// TCP socket's connect (the bytes go straight between the program and where
// the verdict pointed), and the capture library reports the close only of
// connections the driver library keeps; the system's socket table knows the
// rest. Linux only.
#pragma once

#include <cstdint>

#include "capture_wire.h"

namespace capture {

struct TcpSocketStats {
  enum class State {
    Open,     // a program holds the socket
    Gone,     // no such socket, or one the program has closed (it lingers
              // in the system only to finish the connection)
    Unknown,  // the system did not answer
  };
  State state = State::Unknown;
  // Bytes the program sent that the peer acknowledged, and bytes it
  // received (Open only).
  uint64_t bytesAcked = 0;
  uint64_t bytesReceived = 0;
};

// Asks the system's socket table (the sock_diag netlink interface) about one
// IPv4 TCP socket at a time, in the network namespace of the caller.
// Unprivileged. Not thread-safe: one reader per thread.
class TcpSocketTable {
 public:
  TcpSocketTable() = default;
  ~TcpSocketTable();
  TcpSocketTable(const TcpSocketTable&) = delete;
  TcpSocketTable& operator=(const TcpSocketTable&) = delete;

  // The socket connected from `local` to `remote` (network order, as in the
  // capture's messages). Opens the netlink socket on first use; Unknown when
  // that, or the request, fails, and for every socket on a system without
  // TCP socket diagnostics. Never blocks: the system answers within the
  // request's own system call.
  TcpSocketStats lookUp(const wire::Endpoint& local, const wire::Endpoint& remote);

 private:
  // Opens the socket and finds out whether the system has TCP socket
  // diagnostics, once; whether it has.
  bool open();
  // Sends one request with the next sequence number; false when it did not
  // go.
  bool ask(uint16_t flags, const wire::Endpoint& local, const wire::Endpoint& remote, uint32_t states);
  // The answer to the latest request, up to `room` bytes; 0 when none came.
  size_t receive(uint8_t* answer, size_t room);

  int fd_ = -1;
  bool available_ = false;
  uint32_t sequence_ = 0;
};

}  // namespace capture
