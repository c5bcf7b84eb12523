// A completion port for datagram sockets: overlapped sends and receives that
// report their end, with the caller's record, through one queue that worker
// threads wait on.
//
// The contract is the Windows I/O completion port's. A socket is associated
// with the port under a key. A send or a receive is started with a record that
// the caller owns and that begins with an Overlapped header; the operation
// runs on its own and, when it ends (at once or later, well or badly), one
// completion carrying (bytes, key, record, error) is queued. wait() takes
// completions off the queue one at a time. post() queues a completion by hand,
// with any key and record (or none), which also wakes a waiting thread.
//
// Windows: the real thing (CreateIoCompletionPort, WSASendTo, WSARecvFrom,
// GetQueuedCompletionStatus, PostQueuedCompletionStatus); the OVERLAPPED
// lives in the record's header. Linux: the same contract on epoll. Associated
// sockets are made non-blocking; an operation is tried at once and, when the
// socket is not ready, kept on the socket's queue until epoll reports it ready;
// either way its completion goes on the port's own queue, which wait() serves
// before it asks epoll again. A posted completion, and an operation that ends
// later, wakes the wait through an eventfd; a send that goes at once queues its
// completion without waking a thread already blocked in a wait with a time
// limit, which takes it at its next wake (a datagram, a post, a handful more
// such sends, or its time-out). Linux cannot see a descriptor being closed, so sockets associated
// with a port are closed through closeSocket() on both systems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/net.h"

namespace platform {

// The header every completion record begins with, so that the record pointer
// a completion returns is the caller's whole record. Windows keeps its
// OVERLAPPED here, Linux the pending operation's bookkeeping. The caller
// zeroes it (or leaves it as the last completion left it) before starting an
// operation; it belongs to the port while the operation runs.
struct Overlapped {
  alignas(8) unsigned char systemStorage[96] = {};
};

// One completion taken off the port.
struct Completion {
  uint32_t bytes = 0;            // bytes sent or received
  uintptr_t key = 0;             // the socket's key, or the posted key
  Overlapped* record = nullptr;  // the operation's record, or the posted one (may be null)
  uint32_t error = 0;            // 0 for success, else the system's error number
};

enum class CompletionWait {
  Completed,  // `out` holds a completion (out.error tells whether the operation succeeded)
  TimedOut,   // nothing completed within the time given
  Failed,     // the port is closed or broken; out.error holds the system's error
};

// True when a completion's error means that the operation was cut short
// because its socket was closed (Windows ERROR_OPERATION_ABORTED, Linux
// ECANCELED).
bool isAbortedCompletion(uint32_t error);

class CompletionPort {
 public:
  CompletionPort();
  ~CompletionPort();  // closes the port
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // Creates the port (CreateIoCompletionPort(INVALID_HANDLE_VALUE, NULL, 0, 0);
  // an epoll instance and an eventfd on Linux). False on failure or when it
  // is already open. Not concurrent with any other call.
  bool open();
  // Closes the port. Every socket associated with it must have been closed
  // with closeSocket() first and no thread may be waiting; completions still
  // queued are dropped and their records never come back. Safe when closed.
  // Not concurrent with any other call.
  void close();
  bool isOpen() const;

  // Associates a datagram socket with the port: every operation started on
  // it completes here with `key`. Linux makes the socket non-blocking.
  // Windows also turns off SIO_UDP_CONNRESET, so that an ICMP "port
  // unreachable" for an earlier send does not fail the next receive (Linux
  // never reports those on an unconnected socket either). A socket is
  // associated at most once and stays so until closeSocket(). False on
  // failure (the socket stays the caller's). Any thread.
  bool associate(Socket socket, uintptr_t key);

  // Starts sending `length` bytes from `data` to `to` (family 2 or 23) on an
  // associated socket. True when the send was started: it then completes
  // exactly once through wait() with the bytes sent or an error. False when it
  // could not start (lastSocketError() tells why): no completion comes and
  // the record is the caller's again. `data` and `record` must stay valid until
  // the completion is taken; `to` is copied. Any thread.
  bool startSend(Socket socket, const void* data, uint32_t length, const SocketAddress& to,
                 Overlapped& record);

  // Starts receiving one datagram of up to `capacity` bytes into `buffer` on
  // an associated socket, with its source address into `*from` and the
  // address's length into `*fromLength` (which holds the room, 128, before
  // the call). A longer datagram is cut to `capacity` bytes and completes
  // with an error (ERROR_MORE_DATA, EMSGSIZE). Several receives may
  // be pending on one socket; they complete in the order they were started.
  // True when started; false when not (no completion comes). `buffer`, `from`,
  // `fromLength` and `record` must stay valid until the completion is taken.
  // Any thread.
  bool startReceive(Socket socket, void* buffer, uint32_t capacity, SocketAddress* from, int* fromLength,
                    Overlapped& record);

  // Queues a completion of `bytes` with `key` and `record` (may be null) and
  // wakes a waiting thread. False when the port is not open. Any thread.
  bool post(uint32_t bytes, uintptr_t key, Overlapped* record);

  // Waits up to `timeoutMs` milliseconds (kNoTimeLimit: without limit) for
  // one completion and takes it. Any number of threads may wait at once;
  // each completion goes to exactly one of them.
  CompletionWait wait(uint32_t timeoutMs, Completion& out);

  // Closes an associated socket. Every operation still pending on it
  // completes with an aborted error (isAbortedCompletion), so its record
  // comes back through wait(). Also closes a socket that was never
  // associated. Any thread; the socket must not be used again.
  void closeSocket(Socket socket);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace platform
