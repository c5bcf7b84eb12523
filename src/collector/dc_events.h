// Collector records: the fixed-size flow-event records that the steering code
// posts to the data collector. Plain data, packed, zeroed and reused without
// constructors.
//
// Field kinds: text = u32 length + 256 bytes (at most 255 of text and a zero);
// address = 16 bytes (IPv4 in the first 4, network order; IPv6 in all 16);
// port = u16 in network order as the socket address holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace collector {

enum DCEventType : uint32_t {
  kTcpConnectRequest = 1,
  kTcpClosed = 2,
  kUdpCreated = 3,
  kUdpFlowUp = 4,
  kUdpFlowDown = 5,
  kUdpClosed = 6,
  kTcpForward = 7,
  kTcpProxyBegin = 8,
  kTcpProxyFlowUp = 9,
  kTcpProxyFlowDown = 10,
  kTcpProxyEnd = 11,
  kUdpProxyBegin = 12,
  kUdpProxyFlowUp = 13,
  kUdpProxyFlowDown = 14,
  kUdpProxyEnd = 15,
  kDnsRequest = 16,
  kDnsResponse = 17,
};

inline constexpr uint32_t kFirstEventType = 1;
inline constexpr uint32_t kLastEventType = 17;

#pragma pack(push, 1)

struct DCText {
  uint32_t length;
  char text[256];

  // Stores `value` cut to 255 bytes, zero-terminated; the rest stays zero
  // (records arrive zeroed from their pool).
  void assign(std::string_view value);
};

struct DCEvent {
  uint32_t type;
  uint64_t id;
  uint32_t time;    // seconds since 1970, low 32 bits
  uint32_t family;  // 2 (IPv4) or 23 (IPv6)
};

struct DCTcpConnectRequestEvent : DCEvent {
  static constexpr uint32_t kType = kTcpConnectRequest;
  uint8_t remoteAddress[16];
  uint16_t remotePort;
  DCText processName;
};

struct DCTcpClosedEvent : DCTcpConnectRequestEvent {
  static constexpr uint32_t kType = kTcpClosed;
};

struct DCUdpCreatedEvent : DCEvent {
  static constexpr uint32_t kType = kUdpCreated;
  DCText processName;
};

struct DCUdpFlowUpEvent : DCEvent {
  static constexpr uint32_t kType = kUdpFlowUp;
  uint8_t remoteAddress[16];
  uint16_t remotePort;
  uint32_t length;
  DCText processName;
};

struct DCUdpFlowDownEvent : DCUdpFlowUpEvent {
  static constexpr uint32_t kType = kUdpFlowDown;
};

struct DCUdpClosedEvent : DCUdpCreatedEvent {
  static constexpr uint32_t kType = kUdpClosed;
};

struct DCTcpForwardEvent : DCEvent {
  static constexpr uint32_t kType = kTcpForward;
  uint32_t forwarded;
  uint8_t requestedAddress[16];
  uint16_t requestedPort;
  uint8_t relayAddress[16];
  uint16_t relayPort;
  DCText processName;
};

struct DCTcpProxyBeginEvent : DCEvent {
  static constexpr uint32_t kType = kTcpProxyBegin;
  uint8_t proxied;
  uint32_t errorDetail;
  uint8_t destinationAddress[16];
  uint16_t destinationPort;
  uint8_t localAddress[16];
  uint16_t localPort;
  DCText processName;
  DCText message;
};

struct DCTcpProxyFlowUpEvent : DCEvent {
  static constexpr uint32_t kType = kTcpProxyFlowUp;
  uint8_t proxied;
  uint8_t remoteAddress[16];
  uint16_t remotePort;
  uint8_t localAddress[16];
  uint16_t localPort;
  uint32_t byteCount;
};

struct DCTcpProxyFlowDownEvent : DCTcpProxyFlowUpEvent {
  static constexpr uint32_t kType = kTcpProxyFlowDown;
};

struct DCTcpProxyEndEvent : DCEvent {
  static constexpr uint32_t kType = kTcpProxyEnd;
  uint8_t proxied;
  uint8_t destinationAddress[16];
  uint16_t destinationPort;
  uint32_t bytesUp;
  uint32_t bytesDown;
  uint32_t durationMs;
  DCText processName;
};

struct DCUdpProxyBeginEvent : DCEvent {
  static constexpr uint32_t kType = kUdpProxyBegin;
  uint8_t remoteAddress[16];
  uint16_t remotePort;
  uint16_t localPort;
  DCText processName;
};

struct DCUdpProxyFlowUpEvent : DCEvent {
  static constexpr uint32_t kType = kUdpProxyFlowUp;
  uint8_t remoteAddress[16];
  uint16_t remotePort;
  uint8_t localAddress[16];
  uint16_t localPort;
  uint32_t byteCount;
  DCText processName;
};

struct DCUdpProxyFlowDownEvent : DCUdpProxyFlowUpEvent {
  static constexpr uint32_t kType = kUdpProxyFlowDown;
};

struct DCUdpProxyEndEvent : DCUdpCreatedEvent {
  static constexpr uint32_t kType = kUdpProxyEnd;
};

struct DCDnsRequestEvent : DCEvent {
  static constexpr uint32_t kType = kDnsRequest;
  uint32_t dnsId;
  uint32_t isAaaa;
  uint32_t viaVirtualDns;
  uint32_t ruleClass1;
  uint32_t ruleClass2;
  uint32_t aaaaFromIpv4;
  DCText name;
};

struct DCDnsResponseEvent : DCEvent {
  static constexpr uint32_t kType = kDnsResponse;
  uint32_t dnsId;
  uint32_t isAaaa;
  uint32_t alwaysOne;
  uint32_t elapsedMs;
  uint32_t addressCount;  // at most 10
  uint8_t addresses[10][16];
  DCText name;
};

#pragma pack(pop)

// The records derive from DCEvent, so their sizes (packed, no padding) are
// what is checked here; the field order is the declaration order.
static_assert(sizeof(DCText) == 260);
static_assert(sizeof(DCEvent) == 20 && offsetof(DCEvent, time) == 12 && offsetof(DCEvent, family) == 16);
static_assert(sizeof(DCTcpConnectRequestEvent) == 20 + 16 + 2 + 260);
static_assert(sizeof(DCTcpClosedEvent) == sizeof(DCTcpConnectRequestEvent));
static_assert(sizeof(DCUdpCreatedEvent) == 20 + 260);
static_assert(sizeof(DCUdpFlowUpEvent) == 20 + 16 + 2 + 4 + 260);
static_assert(sizeof(DCTcpForwardEvent) == 20 + 4 + 18 + 18 + 260);
static_assert(sizeof(DCTcpProxyBeginEvent) == 20 + 1 + 4 + 18 + 18 + 260 + 260);
static_assert(sizeof(DCTcpProxyFlowUpEvent) == 20 + 1 + 18 + 18 + 4);
static_assert(sizeof(DCTcpProxyEndEvent) == 20 + 1 + 18 + 12 + 260);
static_assert(sizeof(DCUdpProxyBeginEvent) == 20 + 18 + 2 + 260);
static_assert(sizeof(DCUdpProxyFlowUpEvent) == 20 + 18 + 18 + 4 + 260);
static_assert(sizeof(DCDnsRequestEvent) == 20 + 24 + 260);
static_assert(sizeof(DCDnsResponseEvent) == 20 + 20 + 160 + 260);

// Size of the record of `type`, 0 for a type outside 1 to 17.
size_t eventSize(uint32_t type);

}  // namespace collector
