// The driver's wire records: the frame of every record in the shared buffers
// and the payloads the engine reads and writes. All fields are little-endian
// and packed without gaps; socket addresses are 28-byte platform socket
// addresses (family 2 = IPv4 in the first 16 bytes, 23 = IPv6 in all 28) with
// ports and addresses in network byte order.
//
//   frame:  0 u32 type | 4 u64 connection id | 12 u32 payload size | 16 payload
#pragma once

#include <cstddef>
#include <cstdint>

namespace drvapi {

inline constexpr uint16_t kFamilyIpv4 = 2;
inline constexpr uint16_t kFamilyIpv6 = 23;
inline constexpr size_t kSockAddrSize = 28;

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
  uint8_t localAddress[kSockAddrSize];
  uint8_t remoteAddress[kSockAddrSize];
};

struct UdpConnInfo {
  uint32_t processId;
  uint16_t ipFamily;
  uint8_t localAddress[kSockAddrSize];
};

struct UdpConnectRequest {
  uint32_t filteringFlag;
  uint32_t processId;
  uint16_t ipFamily;
  uint8_t localAddress[kSockAddrSize];
  uint8_t remoteAddress[kSockAddrSize];
};

// Head of the payload of a UDP datagram record (codes 10 and 11); the options
// data (optionsLength bytes) and then the datagram follow.
struct UdpDatagramHeader {
  uint8_t remoteAddress[kSockAddrSize];
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

static_assert(sizeof(RecordHeader) == 16);
static_assert(offsetof(RecordHeader, id) == 4 && offsetof(RecordHeader, size) == 12);
static_assert(sizeof(TcpConnInfo) == 67);
static_assert(offsetof(TcpConnInfo, direction) == 8 && offsetof(TcpConnInfo, ipFamily) == 9);
static_assert(offsetof(TcpConnInfo, localAddress) == 11 && offsetof(TcpConnInfo, remoteAddress) == 39);
static_assert(sizeof(UdpConnInfo) == 34 && offsetof(UdpConnInfo, localAddress) == 6);
static_assert(sizeof(UdpConnectRequest) == 66);
static_assert(offsetof(UdpConnectRequest, ipFamily) == 8 && offsetof(UdpConnectRequest, localAddress) == 10);
static_assert(offsetof(UdpConnectRequest, remoteAddress) == 38);
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
