// The capture protocol's layouts as bytes, and every way a packet can be
// malformed, refused by the one reader both ends use.
#include "capture_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

namespace wire = capture::wire;

template <class T>
std::vector<uint8_t> bytesOf(const T& value, const std::string& payload = {}) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

// 127.0.0.1 and 203.0.113.5 as they lie in memory (network order).
constexpr uint32_t kLoopback = 0x0100007F;
constexpr uint32_t kDocumentation = 0x057100CB;

TEST(CaptureWire, MessagesHaveTheirDocumentedBytes) {
  const wire::TcpConnect connect{wire::header(wire::kTcpConnect, 0x01020304), 0x0A0B0C0D,
                                 wire::endpoint(kLoopback, 0x5000), wire::endpoint(kDocumentation, 0x581B)};
  EXPECT_EQ(bytesOf(connect), (std::vector<uint8_t>{
                                  0x02, 0x00, 0x00, 0x00,                    // type 2, reserved
                                  0x04, 0x03, 0x02, 0x01,                    // socket
                                  0x0D, 0x0C, 0x0B, 0x0A,                    // request
                                  127,  0,    0,    1,    0,    80,   0, 0,  // local 127.0.0.1:80
                                  203,  0,    113,  5,    0x1B, 0x58, 0, 0,  // remote 203.0.113.5:7000
                              }));
  const wire::TcpVerdict verdict{wire::header(wire::kTcpVerdict, 9), 7, wire::kConnectTo, wire::kTracked,
                                 wire::endpoint(kLoopback, 0x3412)};
  EXPECT_EQ(bytesOf(verdict), (std::vector<uint8_t>{
                                  102, 0, 0, 0, 9,    0,    0, 0,  // type 102, socket 9
                                  7,   0, 0, 0,                    // request
                                  1,   0, 1, 0,                    // connect to, tracked
                                  127, 0, 0, 1, 0x12, 0x34, 0, 0,  // target 127.0.0.1:4660
                              }));
  const wire::Datagram datagram{wire::header(wire::kUdpDatagram, 3), 42,
                                wire::endpoint(kDocumentation, 0x3500)};
  EXPECT_EQ(bytesOf(datagram, "hi"), (std::vector<uint8_t>{
                                         5,   0,   0,   0, 3, 0,  0, 0,  // type 5, socket 3
                                         42,  0,   0,   0,               // sequence
                                         203, 0,   113, 5, 0, 53, 0, 0,  // peer 203.0.113.5:53
                                         'h', 'i',                       // the datagram
                                     }));
}

TEST(CaptureWire, ReaderTakesWellFormedMessagesOfItsDirection) {
  const std::vector<uint8_t> packet = bytesOf(
      wire::Datagram{wire::header(wire::kUdpDatagram, 3), 42, wire::endpoint(kDocumentation, 0x3500)}, "hi");
  const std::optional<wire::Message> m = wire::readMessage(packet.data(), packet.size(), true);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->type, wire::kUdpDatagram);
  EXPECT_EQ(m->socket, 3u);
  EXPECT_EQ(m->payload, "hi");
  EXPECT_EQ(m->as<wire::Datagram>().sequence, 42u);
  EXPECT_FALSE(wire::readMessage(packet.data(), packet.size(), false))
      << "the driver never gets its own types";

  // An empty datagram is a datagram; the largest one is taken.
  std::vector<uint8_t> empty = bytesOf(wire::Datagram{wire::header(wire::kUdpSend, 1), 0, {}});
  EXPECT_TRUE(wire::readMessage(empty.data(), empty.size(), false));
  empty.resize(sizeof(wire::Datagram) + wire::kMaxPayload);
  EXPECT_TRUE(wire::readMessage(empty.data(), empty.size(), false));
}

TEST(CaptureWire, EveryCutOrPaddedMessageIsRefused) {
  struct Row {
    uint16_t type;
    bool fromLibrary;
  } rows[] = {
      {wire::kHello, true},        {wire::kTcpConnect, true},  {wire::kTcpClose, true},
      {wire::kUdpOpen, true},      {wire::kUdpDatagram, true}, {wire::kUdpClose, true},
      {wire::kIcmpEcho, true},     {wire::kIcmpClose, true},   {wire::kWelcome, false},
      {wire::kTcpVerdict, false},  {wire::kUdpSend, false},    {wire::kUdpDeliver, false},
      {wire::kUdpStraight, false}, {wire::kIcmpSend, false},   {wire::kIcmpDeliver, false},
      {wire::kUdpReceived, true},
  };
  for (const Row& row : rows) {
    const wire::Shape shape = wire::shapeOf(row.type);
    ASSERT_NE(shape.fixed, 0u) << row.type;
    std::vector<uint8_t> packet(shape.fixed + wire::kMaxPayload + 1, 0);
    const wire::Header h = wire::header(static_cast<wire::Type>(row.type), 1);
    std::memcpy(packet.data(), &h, sizeof h);
    EXPECT_TRUE(wire::readMessage(packet.data(), shape.fixed, row.fromLibrary)) << row.type;
    EXPECT_FALSE(wire::readMessage(packet.data(), shape.fixed, !row.fromLibrary))
        << row.type << " the other way";
    for (size_t cut = 0; cut < shape.fixed; ++cut)
      EXPECT_FALSE(wire::readMessage(packet.data(), cut, row.fromLibrary)) << row.type << " cut to " << cut;
    const size_t longest = shape.payload ? shape.fixed + wire::kMaxPayload : shape.fixed;
    EXPECT_TRUE(wire::readMessage(packet.data(), longest, row.fromLibrary)) << row.type;
    EXPECT_FALSE(wire::readMessage(packet.data(), longest + 1, row.fromLibrary))
        << row.type << " one byte long";
    packet[2] = 1;
    EXPECT_FALSE(wire::readMessage(packet.data(), shape.fixed, row.fromLibrary))
        << row.type << " reserved bits";
  }
  for (uint16_t unknown : {0, 9, 100, 108, 0xFFFF}) {
    std::vector<uint8_t> packet = bytesOf(wire::header(static_cast<wire::Type>(unknown), 1));
    EXPECT_FALSE(wire::readMessage(packet.data(), packet.size(), true)) << unknown;
    EXPECT_FALSE(wire::readMessage(packet.data(), packet.size(), false)) << unknown;
  }
}

}  // namespace
