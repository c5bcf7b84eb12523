// Every way a capture protocol packet can be malformed, refused by the one
// reader both ends use; well-formed ones of each type and length taken (what
// they carry is checked by the tests with real programs).
#include "capture_wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

namespace wire = capture::wire;

TEST(CaptureWire, EveryCutOrPaddedMessageIsRefused) {
  const std::pair<uint16_t, bool> rows[] = {
      // each type, and whether the library sends it
      {wire::kHello, true},        {wire::kTcpConnect, true},   {wire::kTcpClose, true},
      {wire::kUdpOpen, true},      {wire::kUdpDatagram, true},  {wire::kUdpClose, true},
      {wire::kIcmpEcho, true},     {wire::kIcmpClose, true},    {wire::kWelcome, false},
      {wire::kTcpVerdict, false},  {wire::kUdpSend, false},     {wire::kUdpDeliver, false},
      {wire::kUdpStraight, false}, {wire::kIcmpSend, false},    {wire::kIcmpDeliver, false},
      {wire::kUdpReceived, true},  {wire::kFlowsRequest, true}, {wire::kFlowsReply, false},
  };
  for (const auto& [type, fromLibrary] : rows) {
    const wire::Shape shape = wire::shapeOf(type);
    ASSERT_NE(shape.fixed, 0u) << type;
    std::vector<uint8_t> packet(shape.fixed + wire::kMaxPayload + 1, 0);
    const wire::Header h = wire::header(static_cast<wire::Type>(type), 1);
    std::memcpy(packet.data(), &h, sizeof h);
    EXPECT_TRUE(wire::readMessage(packet.data(), shape.fixed, fromLibrary)) << type;
    EXPECT_FALSE(wire::readMessage(packet.data(), shape.fixed, !fromLibrary)) << type << " the other way";
    for (size_t cut = 0; cut < shape.fixed; ++cut)
      EXPECT_FALSE(wire::readMessage(packet.data(), cut, fromLibrary)) << type << " cut to " << cut;
    const size_t longest = shape.payload ? shape.fixed + wire::kMaxPayload : shape.fixed;
    EXPECT_TRUE(wire::readMessage(packet.data(), longest, fromLibrary)) << type;
    EXPECT_FALSE(wire::readMessage(packet.data(), longest + 1, fromLibrary)) << type << " one byte long";
    packet[2] = 1;
    EXPECT_FALSE(wire::readMessage(packet.data(), shape.fixed, fromLibrary)) << type << " reserved bits";
  }
  for (uint16_t unknown : {0, 11, 100, 109, 0xFFFF}) {
    const wire::Header h = wire::header(static_cast<wire::Type>(unknown), 1);
    EXPECT_FALSE(wire::readMessage(&h, sizeof h, true)) << unknown;
    EXPECT_FALSE(wire::readMessage(&h, sizeof h, false)) << unknown;
  }
}

}  // namespace
