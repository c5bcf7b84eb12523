// Linux only. The messages between the driver library's device (posix/device.cpp)
// and lumo-driver, which serves the control device on a Unix-domain
// SOCK_SEQPACKET socket: one message per packet, every one a fixed layout of
// its kind, checked against its size on arrival. Packed, in the byte order of
// the machine (both ends run on it).
//
// The library sends one request per device call and tags it with an operation
// id of its own (never 0, never reused while the operation runs); the driver
// answers each one once, with the same id, in any order:
//
//   library -> driver                      driver -> library
//   Control  code, input, out capacity     ControlDone   ok, output bytes
//            (buffer exchange code)        ExchangeDone  ok, reported bytes, two sizes,
//                                                        two memfds (SCM_RIGHTS)
//   Read     size (1 to 8)                 ReadDone      status, count, 8 bytes
//   Write    the 8-byte count              WriteDone     status, 0 or 8
//   Cancel   id of a running Read/Write    (that operation's Done, "cancelled"
//                                          unless it had finished)
//
// A read or write the driver does not start is answered as failed: the
// library reports it started (pending) without waiting for the driver.
//
// Right after accepting, the driver sends Hello: accepted, or the reason it
// will not serve this library (the device is open unshared by another one,
// or the driver refuses opens), after which it closes the connection.
// Anything else on the wire (an unknown kind, a size that does not match the
// kind, an id the receiver does not know, descriptors where none belong, a
// packet longer than kMaxMessage) ends the connection: the driver drops the
// library, the library treats the driver as gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace platform::wire {

inline constexpr uint32_t kVersion = 1;

enum Kind : uint32_t {
  kControl = 1,
  kRead = 2,
  kWrite = 3,
  kCancel = 4,
  kHello = 0x80,
  kControlDone = 0x81,
  kExchangeDone = 0x82,
  kReadDone = 0x83,
  kWriteDone = 0x84,
};

// The control code of the buffer exchange: answered by ExchangeDone instead
// of ControlDone.
inline constexpr uint32_t kExchangeCode = 0x0012C800;

// Largest control input and output (the largest record the engine sends by
// control code is a 643-byte process rule; image paths are a few hundred
// UTF-16 units).
inline constexpr uint32_t kMaxControlInput = 4096;
inline constexpr uint32_t kMaxControlOutput = 65536;
// The size of the read and write transfers: one u64 count.
inline constexpr uint32_t kTransferSize = 8;
// Largest shared buffer either side accepts (1 GiB).
inline constexpr uint64_t kMaxBufferSize = uint64_t{1} << 30;

// Hello status: accepted, or the Windows error an open of the device gets.
inline constexpr uint32_t kHelloAccepted = 0;
inline constexpr uint32_t kHelloBusy = 32;        // ERROR_SHARING_VIOLATION: another library has it open
inline constexpr uint32_t kHelloUnavailable = 2;  // ERROR_FILE_NOT_FOUND: the driver refuses opens

// Read and write completion status.
inline constexpr uint32_t kFailed = 0;
inline constexpr uint32_t kDone = 1;
inline constexpr uint32_t kCancelled = 2;

#pragma pack(push, 1)

struct Header {
  uint32_t kind;
  uint32_t size;  // the whole message in bytes, header included
  uint64_t op;    // 0 in Hello
};

struct Hello {
  Header h;
  uint32_t version;
  uint32_t status;
};

struct Control {
  Header h;
  uint32_t code;
  uint32_t inSize;
  uint32_t outCapacity;
  uint32_t reserved;
  // inSize input bytes follow
};

struct ControlDone {
  Header h;
  uint32_t ok;
  uint32_t outSize;
  // outSize output bytes follow
};

struct ExchangeDone {
  Header h;
  uint32_t ok;
  uint32_t reported;  // the byte count the driver's answer reports (32 when it is whole)
  uint64_t inboundSize;
  uint64_t outboundSize;
  // ok: two descriptors travel with it, the inbound buffer's then the outbound one's
};

struct Read {
  Header h;
  uint32_t size;
  uint32_t reserved;
};

struct ReadDone {
  Header h;
  uint32_t status;
  uint32_t transferred;
  uint8_t data[kTransferSize];
};

struct Write {
  Header h;
  uint8_t data[kTransferSize];
};

struct WriteDone {
  Header h;
  uint32_t status;
  uint32_t transferred;  // 8, or 0 when the driver had no room
};

struct Cancel {
  Header h;
};

#pragma pack(pop)

static_assert(sizeof(Header) == 16);
static_assert(sizeof(Hello) == 24);
static_assert(sizeof(Control) == 32);
static_assert(sizeof(ControlDone) == 24);
static_assert(sizeof(ExchangeDone) == 40);
static_assert(sizeof(Read) == 24);
static_assert(sizeof(ReadDone) == 32);
static_assert(sizeof(Write) == 24);
static_assert(sizeof(WriteDone) == 24);
static_assert(sizeof(Cancel) == 16);

// The longest message either side sends: a control with the largest input or
// answer. A receiver reads into kMaxMessage + 1 bytes so that a longer packet
// shows itself.
inline constexpr size_t kMaxMessage = sizeof(ControlDone) + kMaxControlOutput;
static_assert(sizeof(Control) + kMaxControlInput <= kMaxMessage);

// The header of a received packet of `n` bytes when its kind is one that
// `fromDriver` direction carries and its size fields add up (the variable part
// of controls within its limit); false otherwise.
inline bool checkMessage(const uint8_t* data, size_t n, bool fromDriver, Header& h) {
  if (n < sizeof(Header) || n > kMaxMessage) return false;
  std::memcpy(&h, data, sizeof h);
  if (h.size != n) return false;
  auto fixed = [&](size_t size) { return n == size && h.op != 0; };
  if (!fromDriver) {
    switch (h.kind) {
      case kControl: {
        if (n < sizeof(Control) || h.op == 0) return false;
        Control c;
        std::memcpy(&c, data, sizeof c);
        return c.inSize <= kMaxControlInput && c.outCapacity <= kMaxControlOutput &&
               n == sizeof(Control) + c.inSize;
      }
      case kRead: {
        if (!fixed(sizeof(Read))) return false;
        Read r;
        std::memcpy(&r, data, sizeof r);
        return r.size >= 1 && r.size <= kTransferSize;
      }
      case kWrite:
        return fixed(sizeof(Write));
      case kCancel:
        return fixed(sizeof(Cancel));
      default:
        return false;
    }
  }
  switch (h.kind) {
    case kHello:
      return n == sizeof(Hello) && h.op == 0;
    case kControlDone: {
      if (n < sizeof(ControlDone) || h.op == 0) return false;
      ControlDone c;
      std::memcpy(&c, data, sizeof c);
      return c.outSize <= kMaxControlOutput && n == sizeof(ControlDone) + c.outSize;
    }
    case kExchangeDone: {
      if (!fixed(sizeof(ExchangeDone))) return false;
      ExchangeDone e;
      std::memcpy(&e, data, sizeof e);
      return e.reported <= 32 &&
             (e.ok == 0 || (e.inboundSize <= kMaxBufferSize && e.outboundSize <= kMaxBufferSize));
    }
    case kReadDone: {
      if (!fixed(sizeof(ReadDone))) return false;
      ReadDone r;
      std::memcpy(&r, data, sizeof r);
      return r.status <= kCancelled && r.transferred <= kTransferSize;
    }
    case kWriteDone: {
      if (!fixed(sizeof(WriteDone))) return false;
      WriteDone w;
      std::memcpy(&w, data, sizeof w);
      return w.status <= kCancelled && (w.transferred == 0 || w.transferred == kTransferSize);
    }
    default:
      return false;
  }
}

// A message of type T with its kind, size and op filled in.
template <class T>
T make(uint32_t kind, uint64_t op, size_t extra = 0) {
  T m{};
  m.h.kind = kind;
  m.h.size = static_cast<uint32_t>(sizeof(T) + extra);
  m.h.op = op;
  return m;
}

}  // namespace platform::wire
