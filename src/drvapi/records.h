// The driver's wire records: the frame of every record in the shared buffers
// and the payloads the engine reads and writes. All fields are little-endian
// and packed without gaps; socket addresses are platform::SocketAddress28
// (family 2 = IPv4 in the first 16 bytes, 23 = IPv6 in all 28) with ports and
// addresses in network byte order.
//
//   frame:  0 u32 type | 4 u64 connection id | 12 u32 payload size | 16 payload
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/socket_address28.h"

namespace drvapi {

// The platform's family numbers, which are the driver's.
using platform::kFamilyIpv4;
using platform::kFamilyIpv6;

// Record types of the frame. "In" records come from the driver, "out" ones go
// to it; several travel both ways.
enum RecordType : uint32_t {
  kTcpConnected = 0,        // in: TcpConnInfo
  kTcpClosed = 1,           // in: empty or 16 unused bytes
  kTcpReceive = 2,          // in/out: stream bytes towards the application; out, size 0 = end of stream
  kTcpSend = 3,             // in/out: stream bytes towards the network; out, size 0 = end of stream
  kTcpCanReceive = 4,       // in: the driver takes more tcpReceive records
  kTcpCanSend = 5,          // in: the driver takes more tcpSend records
  kTcpSuspend = 6,          // out: stop indicating data of this connection
  kTcpResume = 7,           // out: indicate data again
  kUdpCreated = 8,          // in: UdpConnInfo
  kUdpClosed = 9,           // in
  kUdpReceive = 10,         // in/out: datagram record towards the application
  kUdpSend = 11,            // in/out: datagram record towards the network
  kUdpCanReceive = 12,      // in
  kUdpCanSend = 13,         // in
  kUdpSuspend = 14,         // out
  kUdpResume = 15,          // out
  kAddRuleFirst = 16,       // out: FilterRule
  kAddRuleLast = 17,        // out: FilterRule
  kDeleteRules = 18,        // out: remove every rule
  kTcpConnectRequest = 19,  // in/out: TcpConnInfo; out = the verdict
  kUdpConnectRequest = 20,  // in/out: UdpConnectRequest; out = the verdict
  kUdpFilteringOff = 22,    // out: no more datagrams of this flow
  kDriverPing = 25,         // in/out: answered with the same type and id
  kTcpCloseWhenIdle = 27,   // in: mark the connection for closing when idle
  kIpReceive = 28,          // in/out: IpOptions + one inbound IP packet
  kIpSend = 29,             // in/out: IpOptions + one outbound IP packet
};

// I/O-control codes of the control device (buffered transfer).
inline constexpr uint32_t kIoctlExchangeBuffers = 0x0012C800;      // out: SharedBuffers
inline constexpr uint32_t kIoctlTcpLocalAddress = 0x00220194;      // in/out: 44-byte record
inline constexpr uint32_t kIoctlProcessImagePath = 0x00220198;     // in: u32 pid; out: UTF-16 path
inline constexpr uint32_t kIoctlDriverKind = 0x0022019C;           // out: u32 kind
inline constexpr uint32_t kIoctlTcpClose = 0x002201A0;             // in: u64 id
inline constexpr uint32_t kIoctlAddProcessRuleFirst = 0x002201D4;  // in: ProcessFilterRule
inline constexpr uint32_t kIoctlAddProcessRuleLast = 0x002201D8;   // in: ProcessFilterRule

// filteringFlag bits that the library reads in a verdict; all other bits
// travel to the driver untouched.
inline constexpr uint32_t kVerdictClose = 0x01;          // close the connection after the verdict
inline constexpr uint32_t kVerdictFiltered = 0x02;       // keep the connection's data coming
inline constexpr uint32_t kVerdictKeepFiltering = 0x08;  // tcpDisableFiltering has no effect
inline constexpr uint32_t kVerdictDecideLater = 0x40;    // no verdict now

// filteringFlag values of rules.
inline constexpr uint32_t kRulePass = 0;
inline constexpr uint32_t kRuleBlock = 1;
inline constexpr uint32_t kRuleFilter = 2;
inline constexpr uint32_t kRuleReportConnect = 16;
inline constexpr uint32_t kRuleRawIp = 128;

// Sizes the protocol fixes.
inline constexpr size_t kRecordHeaderSize = 16;
inline constexpr size_t kLocalAddressQuerySize = kRecordHeaderSize + sizeof(platform::SocketAddress28);  // 44
inline constexpr uint32_t kMaxDatagram = 131072;
inline constexpr uint32_t kLargeChunk = 131072;  // TCP chunk size of the newer driver kinds
inline constexpr uint32_t kSmallChunk = 8192;    // TCP chunk size of an unknown driver kind

// The control device's path is this prefix followed directly by the driver
// name.
inline constexpr char16_t kDevicePrefix[] = u"\\\\.\\CtrlDS";

#pragma pack(push, 1)

struct RecordHeader {
  uint32_t type;
  uint64_t id;
  uint32_t size;
};

struct TcpConnInfo {
  uint32_t filteringFlag;
  uint32_t processId;
  uint8_t direction;  // 1 inbound, 2 outbound
  uint16_t ipFamily;  // 2 or 23
  platform::SocketAddress28 localAddress;
  platform::SocketAddress28 remoteAddress;
};

struct UdpConnInfo {
  uint32_t processId;
  uint16_t ipFamily;
  platform::SocketAddress28 localAddress;
};

struct UdpConnectRequest {
  uint32_t filteringFlag;
  uint32_t processId;
  uint16_t ipFamily;
  platform::SocketAddress28 localAddress;
  platform::SocketAddress28 remoteAddress;
};

// The answer to kIoctlExchangeBuffers: where the driver's two shared buffers
// lie in the library's address space, and their sizes. The driver places
// batches in the inbound one; the library writes one record at a time into
// the outbound one.
struct SharedBuffers {
  uint64_t inboundAddress;
  uint64_t inboundSize;
  uint64_t outboundAddress;
  uint64_t outboundSize;
};

// Head of the payload of a UDP datagram record (codes 10 and 11); the options
// data (optionsLength bytes) and then the datagram follow.
struct UdpDatagramHeader {
  platform::SocketAddress28 remoteAddress;
  uint32_t optionsFlags;
  uint32_t optionsLength;
};

// What the engine passes and receives with a datagram: flags, a length, then
// that many bytes of options data.
struct UdpOptions {
  uint32_t flags;
  uint32_t optionsLength;
  uint8_t data[1];
};

struct IpOptions {
  uint8_t reserved[18];  // the business of the raw-IP handling and the driver
  uint32_t flags;        // bit 0: inject operations write nothing
};

// A rule's protocol (0: any) and direction.
inline constexpr uint32_t kProtocolTcp = 6;
inline constexpr uint32_t kProtocolUdp = 17;
inline constexpr uint8_t kDirectionInbound = 1;
inline constexpr uint8_t kDirectionOutbound = 2;
inline constexpr uint8_t kDirectionBoth = 3;

struct FilterRule {
  uint32_t protocol;   // 6 TCP, 17 UDP, 0 any
  uint32_t processId;  // 0 any
  uint8_t direction;   // 1 in, 2 out, 3 both
  uint16_t localPort;  // network order, 0 any
  uint16_t remotePort;
  uint16_t ipFamily;  // 2, 23, 0 any
  uint8_t localIpAddress[16];
  uint8_t localIpAddressMask[16];
  uint8_t remoteIpAddress[16];
  uint8_t remoteIpAddressMask[16];
  uint32_t filteringFlag;
};

inline constexpr size_t kProcessNameUnits = 260;

struct ProcessFilterRule {
  FilterRule rule;
  char16_t processName[kProcessNameUnits];
  uint8_t reserved[40];
};

#pragma pack(pop)

// The address fields are bytes without alignment, so packing leaves them as
// they are and every record below keeps the layout the driver writes.
static_assert(alignof(platform::SocketAddress28) == 1 && sizeof(platform::SocketAddress28) == 28);
static_assert(alignof(TcpConnInfo) == 1 && alignof(UdpConnInfo) == 1 && alignof(UdpConnectRequest) == 1);
static_assert(alignof(UdpDatagramHeader) == 1 && std::is_trivially_copyable_v<TcpConnInfo>);
static_assert(std::is_trivially_copyable_v<UdpConnInfo> && std::is_trivially_copyable_v<UdpConnectRequest>);
static_assert(offsetof(UdpDatagramHeader, remoteAddress) == 0 &&
              offsetof(UdpDatagramHeader, optionsFlags) == 28);
static_assert(sizeof(RecordHeader) == 16);
static_assert(offsetof(RecordHeader, id) == 4 && offsetof(RecordHeader, size) == 12);
static_assert(sizeof(TcpConnInfo) == 67);
static_assert(offsetof(TcpConnInfo, direction) == 8 && offsetof(TcpConnInfo, ipFamily) == 9);
static_assert(offsetof(TcpConnInfo, localAddress) == 11 && offsetof(TcpConnInfo, remoteAddress) == 39);
static_assert(sizeof(UdpConnInfo) == 34 && offsetof(UdpConnInfo, localAddress) == 6);
static_assert(sizeof(UdpConnectRequest) == 66);
static_assert(offsetof(UdpConnectRequest, ipFamily) == 8 && offsetof(UdpConnectRequest, localAddress) == 10);
static_assert(offsetof(UdpConnectRequest, remoteAddress) == 38);
static_assert(sizeof(SharedBuffers) == 32);
static_assert(sizeof(UdpDatagramHeader) == 36 && offsetof(UdpDatagramHeader, optionsLength) == 32);
static_assert(sizeof(IpOptions) == 22 && offsetof(IpOptions, flags) == 18);
static_assert(sizeof(FilterRule) == 83);
static_assert(offsetof(FilterRule, direction) == 8 && offsetof(FilterRule, localPort) == 9);
static_assert(offsetof(FilterRule, remotePort) == 11 && offsetof(FilterRule, ipFamily) == 13);
static_assert(offsetof(FilterRule, localIpAddress) == 15 && offsetof(FilterRule, localIpAddressMask) == 31);
static_assert(offsetof(FilterRule, remoteIpAddress) == 47 && offsetof(FilterRule, remoteIpAddressMask) == 63);
static_assert(offsetof(FilterRule, filteringFlag) == 79);
static_assert(sizeof(ProcessFilterRule) == 643 && offsetof(ProcessFilterRule, processName) == 83);
static_assert(offsetof(ProcessFilterRule, reserved) == 603);

}  // namespace drvapi
