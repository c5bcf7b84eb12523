// The capture protocol: how the capture library inside each launched program
// (liblumo-capture.so) and the driver's capture server (capture_server.h)
// talk, over one SOCK_SEQPACKET Unix socket per process at
// platform::captureSocketPath() ("$LUMO_DRIVER_DIR/capture").
//
// One message is one packet of the socket: a Header, the fixed part of its
// type, and for the types that carry bytes (a datagram, an ICMP message) the
// bytes up to the end of the packet. All fields are little-endian and packed;
// IPv4 addresses and ports are in network byte order, as they travel. A
// message whose size is not its type's fixed size (or, for the types with
// bytes, is shorter than it or carries more than kMaxPayload bytes), or whose
// type does not travel in that direction, is malformed: the receiver drops
// the peer with a log line.
//
//   Header   0 u16 type | 2 u16 reserved (0) | 4 u32 socket
//   Endpoint 0 u32 address | 4 u16 port | 6 u16 reserved (0)
//
// The library numbers the sockets it reports (`socket`, from 1, unique in
// one connection); the driver names its records' connections and flows
// itself. The process is the connection's peer (SO_PEERCRED), so a message
// never names one; after a fork the child opens a connection of its own.
//
// Library → driver:
//   Hello        first message; the driver answers Welcome (same layout)
//   TcpConnect   the program connects socket `socket` from `local` (its real
//                address, bound already) to `remote`; `request` comes back
//                in the TcpVerdict that says where to connect
//   TcpClose     a socket whose verdict was kTracked is closed
//   UdpOpen      a UDP socket bound to `local` sends its first datagram
//   UdpDatagram  the program sends `payload` to `peer` (per-socket
//                `sequence`, from 1)
//   UdpClose     the UDP socket is closed
//   UdpReceived  the socket received `payload` from `peer` (`sequence` 0), a
//                peer that only the driver's library sent to from it (with
//                UdpSend of sequence 0), never the program: the program
//                does not see it, the driver reports it to its library
//   IcmpEcho     the program's ICMP socket sends the echo request `payload`
//                (ICMP header and data) from `source` to `destination`
//   IcmpClose    the ICMP socket is closed
// Driver → library:
//   Welcome      answers Hello
//   TcpVerdict   connect as asked, to `target`, or refuse
//   UdpSend      send `payload` to `peer` out of the program's socket;
//                `sequence` is the program's datagram that went straight, 0
//                for one the driver's library injected
//   UdpDeliver   hand `payload` to the program as if from `peer`
//   UdpStraight  the flow goes straight from now on: once the library has
//                seen every datagram up to `afterSequence` and the UdpSend of
//                each later one, it sends the program's datagrams itself
//   IcmpSend     send the ICMP message `payload` to `peer` for real
//   IcmpDeliver  hand the ICMP message `payload` to the program, from `peer`
//
// A status client (lumo-run --flows) opens a connection of its own, which
// never carries a program's messages:
//   FlowsRequest  instead of Hello (the same layout, magic and version): asks
//                 for the flows the capture knows; asked again only once the
//                 previous FlowsReply has been read, or the driver hangs up
//   FlowsReply    (driver → client) `count` FlowRecords follow, at most as
//                 many as fit into kMaxPayload bytes; `total` flows were
//                 known, and kFlowsTruncated says that some were left out
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace capture::wire {

inline constexpr uint32_t kMagic = 0x4C435054;  // "TPCL" as bytes on the wire
inline constexpr uint16_t kVersion = 1;
// The largest datagram a UDP socket sends over IPv4, and the largest ICMP
// message the capture carries.
inline constexpr size_t kMaxPayload = 65507;

enum Type : uint16_t {
  kHello = 1,
  kTcpConnect = 2,
  kTcpClose = 3,
  kUdpOpen = 4,
  kUdpDatagram = 5,
  kUdpClose = 6,
  kIcmpEcho = 7,
  kIcmpClose = 8,
  kFlowsRequest = 9,
  kUdpReceived = 10,
  kWelcome = 101,
  kTcpVerdict = 102,
  kUdpSend = 103,
  kUdpDeliver = 104,
  kUdpStraight = 105,
  kIcmpSend = 106,
  kIcmpDeliver = 107,
  kFlowsReply = 108,
};

// TcpVerdict actions and flags.
enum Action : uint16_t {
  kConnectAsAsked = 0,
  kConnectTo = 1,
  kRefuse = 2,
};
inline constexpr uint16_t kTracked = 1;  // the driver keeps the connection: report its close

// What the driver decided for a flow (FlowRecord::decision).
enum FlowDecision : uint8_t {
  kDecisionWaiting = 0,       // TCP: the connect waits for the library's verdict
  kDecisionRelayed = 1,       // TCP: connected to `target` instead (the engine's relay)
  kDecisionAsAsked = 2,       // TCP: connected where the program asked
  kDecisionRefused = 3,       // TCP: the connect was refused
  kDecisionReported = 4,      // UDP, ICMP: the program's messages go through the library
  kDecisionStraight = 5,      // UDP, ICMP: they go out of the program's socket as sent
  kDecisionFilteringOff = 6,  // UDP: the library turned the flow's filtering off
};
// FlowsReply flags and FlowRecord flags.
inline constexpr uint16_t kFlowsTruncated = 1;  // more flows were known than the reply holds
inline constexpr uint16_t kFlowClosed = 1;      // closed, shown for a short while after

#pragma pack(push, 1)

struct Header {
  uint16_t type;
  uint16_t reserved;
  uint32_t socket;
};

struct Endpoint {
  uint32_t address;  // network order
  uint16_t port;     // network order
  uint16_t reserved;
};

struct Hello {  // kHello, kWelcome
  Header header;
  uint32_t magic;
  uint16_t version;
  uint16_t reserved;
};

struct TcpConnect {
  Header header;
  uint32_t request;
  Endpoint local;
  Endpoint remote;
};

struct TcpVerdict {
  Header header;
  uint32_t request;
  uint16_t action;
  uint16_t flags;
  Endpoint target;
};

struct SocketClosed {  // kTcpClose, kUdpClose, kIcmpClose
  Header header;
};

struct UdpOpen {
  Header header;
  Endpoint local;
};

struct Datagram {  // kUdpDatagram, kUdpReceived, kUdpSend, kUdpDeliver; the datagram follows
  Header header;
  uint32_t sequence;
  Endpoint peer;
};

struct UdpStraight {
  Header header;
  uint32_t afterSequence;
};

struct IcmpEcho {  // the ICMP message follows
  Header header;
  Endpoint source;
  Endpoint destination;
};

struct IcmpPacket {  // kIcmpSend, kIcmpDeliver; the ICMP message follows
  Header header;
  Endpoint peer;
};

struct FlowsReply {  // FlowRecords follow
  Header header;
  uint32_t total;
  uint16_t count;
  uint16_t flags;
};

// One flow of a FlowsReply. `protocol` is the IP protocol number (6 TCP, 17
// UDP, 1 ICMP). `local` is the program's socket; `remote` where the program
// sent (for UDP its latest destination, for ICMP the echo's destination,
// port 0); `target` where a TCP connect went. The counts are what the
// capture carried for the flow: UDP datagrams from the program (up) and
// handed to it (down), ICMP echo requests and replies; for TCP, whose bytes
// the capture does not carry, the system's counts for the socket (bytes
// sent and acknowledged, bytes received; datagrams 0). `program` is the
// executable's file name in UTF-8, cut to 31 bytes, zero-padded.
struct FlowRecord {
  uint32_t pid;
  uint8_t protocol;
  uint8_t decision;
  uint16_t flags;
  Endpoint local;
  Endpoint remote;
  Endpoint target;
  uint64_t upDatagrams;
  uint64_t upBytes;
  uint64_t downDatagrams;
  uint64_t downBytes;
  uint32_t ageMs;  // since the flow began, at most 0xFFFFFFFF
  uint32_t reserved;
  char program[32];
};

#pragma pack(pop)

static_assert(sizeof(Header) == 8 && offsetof(Header, socket) == 4);
static_assert(sizeof(Endpoint) == 8 && offsetof(Endpoint, port) == 4);
static_assert(sizeof(Hello) == 16 && offsetof(Hello, version) == 12);
static_assert(sizeof(TcpConnect) == 28 && offsetof(TcpConnect, local) == 12 &&
              offsetof(TcpConnect, remote) == 20);
static_assert(sizeof(TcpVerdict) == 24 && offsetof(TcpVerdict, action) == 12 &&
              offsetof(TcpVerdict, target) == 16);
static_assert(sizeof(SocketClosed) == 8);
static_assert(sizeof(UdpOpen) == 16);
static_assert(sizeof(Datagram) == 20 && offsetof(Datagram, peer) == 12);
static_assert(sizeof(UdpStraight) == 12);
static_assert(sizeof(IcmpEcho) == 24 && offsetof(IcmpEcho, destination) == 16);
static_assert(sizeof(IcmpPacket) == 16);
static_assert(sizeof(FlowsReply) == 16 && offsetof(FlowsReply, count) == 12);
static_assert(sizeof(FlowRecord) == 104 && offsetof(FlowRecord, local) == 8 &&
              offsetof(FlowRecord, target) == 24 && offsetof(FlowRecord, upDatagrams) == 32 &&
              offsetof(FlowRecord, downBytes) == 56 && offsetof(FlowRecord, ageMs) == 64 &&
              offsetof(FlowRecord, program) == 72);

// The most FlowRecords one FlowsReply carries.
inline constexpr size_t kMaxFlowRecords = kMaxPayload / sizeof(FlowRecord);

// The largest message of the protocol (a receive buffer of this size plus
// one byte tells a too-long packet apart).
inline constexpr size_t kMaxMessage = sizeof(IcmpEcho) + kMaxPayload;
static_assert(sizeof(FlowsReply) <= sizeof(IcmpEcho));

// The fixed size of a message of `type`, and whether bytes follow it; 0 for
// an unknown type.
struct Shape {
  size_t fixed;
  bool payload;
  bool fromLibrary;
};
constexpr Shape shapeOf(uint16_t type) {
  switch (type) {
    case kHello:
      return {sizeof(Hello), false, true};
    case kTcpConnect:
      return {sizeof(TcpConnect), false, true};
    case kTcpClose:
    case kUdpClose:
    case kIcmpClose:
      return {sizeof(SocketClosed), false, true};
    case kUdpOpen:
      return {sizeof(UdpOpen), false, true};
    case kFlowsRequest:
      return {sizeof(Hello), false, true};
    case kUdpDatagram:
    case kUdpReceived:
      return {sizeof(Datagram), true, true};
    case kIcmpEcho:
      return {sizeof(IcmpEcho), true, true};
    case kWelcome:
      return {sizeof(Hello), false, false};
    case kTcpVerdict:
      return {sizeof(TcpVerdict), false, false};
    case kUdpSend:
    case kUdpDeliver:
      return {sizeof(Datagram), true, false};
    case kUdpStraight:
      return {sizeof(UdpStraight), false, false};
    case kIcmpSend:
    case kIcmpDeliver:
      return {sizeof(IcmpPacket), true, false};
    case kFlowsReply:
      return {sizeof(FlowsReply), true, false};
    default:
      return {0, false, false};
  }
}

// One received message, checked: its type, the bytes of its fixed part
// (Header included) and its payload, both pointing into the packet.
struct Message {
  uint16_t type = 0;
  uint32_t socket = 0;
  const uint8_t* fixed = nullptr;
  std::string_view payload;

  // The fixed part as `T` (the caller picked T by `type`).
  template <class T>
  T as() const {
    T out;
    std::memcpy(&out, fixed, sizeof out);
    return out;
  }
};

// Checks one packet of `size` bytes that came from the library
// (`fromLibrary`; a status client's requests travel the same way) or from
// the driver. nullopt when it is malformed: a type unknown or travelling the
// other way, a size other than the type's, bytes beyond kMaxPayload, or
// reserved header bits set.
inline std::optional<Message> readMessage(const void* packet, size_t size, bool fromLibrary) {
  if (size < sizeof(Header)) return std::nullopt;
  Header header;
  std::memcpy(&header, packet, sizeof header);
  const Shape shape = shapeOf(header.type);
  if (shape.fixed == 0 || shape.fromLibrary != fromLibrary || header.reserved != 0) return std::nullopt;
  if (shape.payload ? (size < shape.fixed || size - shape.fixed > kMaxPayload) : size != shape.fixed)
    return std::nullopt;
  Message m;
  m.type = header.type;
  m.socket = header.socket;
  m.fixed = static_cast<const uint8_t*>(packet);
  m.payload = std::string_view(static_cast<const char*>(packet) + shape.fixed, size - shape.fixed);
  return m;
}

inline Header header(Type type, uint32_t socket) { return Header{type, 0, socket}; }

inline Endpoint endpoint(uint32_t addressNet, uint16_t portNet) { return Endpoint{addressNet, portNet, 0}; }

}  // namespace capture::wire
