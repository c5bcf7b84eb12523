// Every way a capture protocol packet can be malformed, refused by the one
// reader both ends use.
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

// 203.0.113.5 as it lies in memory (network order).
constexpr uint32_t kDocumentation = 0x057100CB;

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
