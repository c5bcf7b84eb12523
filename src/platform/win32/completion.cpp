// Windows completion ports. The port is a kernel queue: a socket associated
// with it (CreateIoCompletionPort on the socket handle) sends every end of an
// overlapped WSASendTo or WSARecvFrom there as a packet carrying the bytes,
// the socket's key and the OVERLAPPED pointer, also when the call finished at
// once (no FILE_SKIP_COMPLETION_PORT_ON_SUCCESS is set). A call that fails
// with anything but WSA_IO_PENDING queues nothing. GetQueuedCompletionStatus
// returns FALSE with the OVERLAPPED set for an operation that failed, and FALSE
// without one for a wait that timed out or a port that went away. closesocket
// cancels what is pending on the socket; those operations complete with
// ERROR_OPERATION_ABORTED.
//
// Everything the system may read or write while an operation runs lives in
// the record, behind the OVERLAPPED: the send's destination address and the
// receive's flags word. Windows takes both at the call, but wine keeps the
// pointers and uses them when the operation runs later (a send that the call
// leaves pending, as it does when two threads send on one socket at once), so
// an address on the caller's stack was read after the caller had gone on: the
// datagram failed with ERROR_INVALID_PARAMETER or ERROR_NOACCESS and never
// left.
//
// Sends on one socket are started one at a time. Windows needs no such care,
// but under wine a send started while another thread's send on the same
// socket is in progress is left pending, and now and then such a send
// completes as a success with 0 bytes while its datagram never leaves (seen
// with the bare calls: about one in a thousand of four threads' sends). A
// started UDP send takes a few microseconds, so the wait is short; the lock
// is one of a few, picked by the socket.
#include "platform/completion.h"

#include <mswsock.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <iterator>
#include <mutex>

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace platform {

static_assert(offsetof(Overlapped, systemStorage) == 0);

namespace {

// The record's storage while an operation runs: the OVERLAPPED, then what
// the operation's system calls point at.
struct OperationStorage {
  OVERLAPPED overlapped;
  union {
    sockaddr_in6 destination;  // a send's (room for either family)
    DWORD receiveFlags;        // a receive's
  };
};
static_assert(sizeof(OperationStorage) <= sizeof(Overlapped::systemStorage));
static_assert(alignof(OperationStorage) <= alignof(Overlapped));

OperationStorage* storageOf(Overlapped& record) {
  // A fresh OVERLAPPED for every start: the system writes its status words
  // into it and reads them back at completion.
  std::memset(record.systemStorage, 0, sizeof record.systemStorage);
  return reinterpret_cast<OperationStorage*>(record.systemStorage);
}

}  // namespace

struct CompletionPort::State {
  HANDLE port = nullptr;
  std::mutex sendLocks[16];
  std::mutex& sendLockOf(Socket socket) {
    // Socket handles are multiples of 4.
    return sendLocks[(static_cast<uintptr_t>(socket) >> 2) % std::size(sendLocks)];
  }
};

bool isAbortedCompletion(uint32_t error) {
  // Windows ends the operations of a closed socket with
  // ERROR_OPERATION_ABORTED; Wine ends them with ERROR_HANDLES_CLOSED.
  constexpr uint32_t kErrorHandlesClosed = 676;
  return error == ERROR_OPERATION_ABORTED || error == kErrorHandlesClosed;
}

CompletionPort::CompletionPort() : state_(std::make_unique<State>()) {}
CompletionPort::~CompletionPort() { close(); }

bool CompletionPort::open() {
  if (state_->port != nullptr) return false;
  // Sockets are made here only after Winsock has started; openSocket() does
  // that on first use, so nothing more is needed for the port itself.
  state_->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  return state_->port != nullptr;
}

void CompletionPort::close() {
  if (state_->port == nullptr) return;
  CloseHandle(state_->port);
  state_->port = nullptr;
}

bool CompletionPort::isOpen() const { return state_->port != nullptr; }

bool CompletionPort::associate(Socket socket, uintptr_t key) {
  if (state_->port == nullptr || socket == kInvalidSocket) return false;
  // Without this a datagram socket whose earlier send drew an ICMP "port
  // unreachable" fails its next receive with WSAECONNRESET; the engine's
  // sockets are unconnected and want to go on receiving, as on Linux.
  BOOL off = FALSE;
  DWORD returned = 0;
  WSAIoctl(static_cast<SOCKET>(socket), SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &returned, nullptr,
           nullptr);
  return CreateIoCompletionPort(reinterpret_cast<HANDLE>(socket), state_->port, key, 1) == state_->port;
}

bool CompletionPort::startSend(Socket socket, const void* data, uint32_t length, const SocketAddress& to,
                               Overlapped& record) {
  const size_t toLength = to.length();
  if (toLength == 0 || toLength > sizeof(sockaddr_in6)) {
    WSASetLastError(WSAEAFNOSUPPORT);
    return false;
  }
  OperationStorage* storage = storageOf(record);
  std::memcpy(&storage->destination, to.bytes, toLength);
  // Windows and wine both copy the WSABUF array at the call; the bytes it
  // names stay the caller's to keep until the completion.
  WSABUF buffer{static_cast<ULONG>(length), static_cast<char*>(const_cast<void*>(data))};
  std::lock_guard<std::mutex> oneAtATime(state_->sendLockOf(socket));
  const int result = WSASendTo(static_cast<SOCKET>(socket), &buffer, 1, nullptr, 0,
                               reinterpret_cast<const sockaddr*>(&storage->destination),
                               static_cast<int>(toLength), &storage->overlapped, nullptr);
  return result == 0 || WSAGetLastError() == WSA_IO_PENDING;
}

bool CompletionPort::startReceive(Socket socket, void* buffer, uint32_t capacity, SocketAddress* from,
                                  int* fromLength, Overlapped& record) {
  WSABUF wsaBuffer{static_cast<ULONG>(capacity), static_cast<char*>(buffer)};
  // The completion writes the source address and its length, which is why
  // those two live in the caller's record; the flags word lives in the
  // record's storage for the same reason.
  OperationStorage* storage = storageOf(record);
  storage->receiveFlags = 0;
  const int result =
      WSARecvFrom(static_cast<SOCKET>(socket), &wsaBuffer, 1, nullptr, &storage->receiveFlags,
                  reinterpret_cast<sockaddr*>(from->bytes), fromLength, &storage->overlapped, nullptr);
  if (result == 0) return true;
  // A datagram longer than the buffer ends the call at once with WSAEMSGSIZE,
  // but that is a warning status to the I/O manager, which still queues the
  // completion (ERROR_MORE_DATA, the bytes that fit): the receive did start.
  const int error = WSAGetLastError();
  return error == WSA_IO_PENDING || error == WSAEMSGSIZE;
}

bool CompletionPort::post(uint32_t bytes, uintptr_t key, Overlapped* record) {
  if (state_->port == nullptr) return false;
  return PostQueuedCompletionStatus(state_->port, bytes, key, reinterpret_cast<OVERLAPPED*>(record)) != FALSE;
}

CompletionWait CompletionPort::wait(uint32_t timeoutMs, Completion& out) {
  out = Completion{};
  if (state_->port == nullptr) {
    out.error = ERROR_INVALID_HANDLE;
    return CompletionWait::Failed;
  }
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  OVERLAPPED* overlapped = nullptr;
  const BOOL ok = GetQueuedCompletionStatus(state_->port, &bytes, &key, &overlapped,
                                            timeoutMs == kNoTimeLimit ? INFINITE : timeoutMs);
  const DWORD error = ok ? 0 : GetLastError();
  out.bytes = bytes;
  out.key = key;
  out.record = reinterpret_cast<Overlapped*>(overlapped);
  out.error = error;
  if (ok || overlapped != nullptr) return CompletionWait::Completed;
  if (error == WAIT_TIMEOUT) return CompletionWait::TimedOut;
  return CompletionWait::Failed;
}

void CompletionPort::closeSocket(Socket socket) { platform::closeSocket(socket); }

}  // namespace platform
