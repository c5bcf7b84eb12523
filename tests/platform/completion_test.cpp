// The completion port's contract, on loopback: natively (epoll) and under
// wine64 (the real completion port). Its one user, the UDP proxy's service,
// posts only to stop its workers and re-arms receives from them: the proxy's
// tests and UdpEndToEnd's cycles run that.
#include "platform/completion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "platform/net.h"

namespace {

using platform::Completion;
using platform::CompletionPort;
using platform::CompletionWait;
using platform::Overlapped;
using platform::SocketAddress;

constexpr uint32_t kWaitMs = 10000;

struct Record {
  Overlapped overlapped;
  SocketAddress from;
  int fromLength = static_cast<int>(sizeof(SocketAddress));
  char buffer[64] = {};
};

// A UDP socket on 127.0.0.1 and a port the system picks.
struct LoopbackSocket {
  platform::Socket socket = platform::openSocket(platform::kFamilyIpv4, platform::SocketType::Datagram);
  SocketAddress address;
  LoopbackSocket() {
    EXPECT_NE(socket, platform::kInvalidSocket);
    EXPECT_TRUE(platform::bindSocket(socket, platform::makeIpv4Address(platform::ipv4(127, 0, 0, 1), 0)));
    EXPECT_TRUE(platform::localAddressOf(socket, address));
  }
  ~LoopbackSocket() { platform::closeSocket(socket); }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;
  // Handed to the port, which closes it.
  platform::Socket release() { return std::exchange(socket, platform::kInvalidSocket); }
};

// Starts a receive on `socket` into `r`.
bool arm(CompletionPort& port, platform::Socket socket, Record& r) {
  return port.startReceive(socket, r.buffer, sizeof r.buffer, &r.from, &r.fromLength, r.overlapped);
}

Completion waitOne(CompletionPort& port) {
  Completion c;
  EXPECT_EQ(port.wait(kWaitMs, c), CompletionWait::Completed);
  return c;
}

TEST(CompletionPort, SendsAndReceivesCompleteWithTheirKeyRecordSourceOrderAndAbort) {
  CompletionPort port;
  LoopbackSocket a, b;
  // Closed, the port refuses work and waits; it opens once, and again after a close.
  Completion none;
  EXPECT_FALSE(port.post(0, 1, nullptr));
  EXPECT_EQ(port.wait(0, none), CompletionWait::Failed);
  EXPECT_FALSE(port.associate(a.socket, 1));
  ASSERT_TRUE(port.open());
  EXPECT_FALSE(port.open()) << "an open port is not opened twice";
  port.close();
  EXPECT_EQ(port.wait(0, none), CompletionWait::Failed);
  ASSERT_TRUE(port.open()) << "a closed port opens again";
  ASSERT_TRUE(port.associate(a.socket, 1));
  ASSERT_TRUE(port.associate(b.socket, 2));

  Record receive, send;
  ASSERT_TRUE(arm(port, b.socket, receive));
  std::memcpy(send.buffer, "hello", 5);
  ASSERT_TRUE(port.startSend(a.socket, send.buffer, 5, b.address, send.overlapped));

  bool sawSend = false, sawReceive = false;
  for (int i = 0; i < 2; ++i) {
    const Completion c = waitOne(port);
    EXPECT_EQ(c.error, 0u);
    EXPECT_EQ(c.bytes, 5u);
    if (c.record == &send.overlapped) {
      EXPECT_EQ(c.key, 1u);
      sawSend = true;
    } else {
      ASSERT_EQ(c.record, &receive.overlapped);
      EXPECT_EQ(c.key, 2u);
      EXPECT_EQ(std::string(receive.buffer, 5), "hello");
      EXPECT_EQ(receive.fromLength, 16);
      EXPECT_EQ(std::memcmp(receive.from.bytes, a.address.bytes, 16), 0) << "source is the sending socket";
      sawReceive = true;
    }
  }
  EXPECT_TRUE(sawSend && sawReceive);

  // A datagram longer than the buffer keeps what fits and fails; the next
  // receive on the socket works as before.
  const std::string longer(100, 'L');
  ASSERT_EQ(platform::sendTo(a.socket, longer.data(), longer.size(), b.address), 100);
  ASSERT_TRUE(arm(port, b.socket, receive));
  Completion cut = waitOne(port);
  EXPECT_EQ(cut.record, &receive.overlapped);
  EXPECT_EQ(cut.bytes, sizeof receive.buffer);
  EXPECT_NE(cut.error, 0u);
  EXPECT_FALSE(platform::isAbortedCompletion(cut.error));

  // Receives queued on one socket take datagrams in the order they were
  // started, also a datagram that arrived before any receive was started: a
  // wait with nothing started sees (and, on epoll, uses up) its arrival.
  ASSERT_EQ(platform::sendTo(a.socket, "0", 1, b.address), 1);
  EXPECT_EQ(port.wait(0, none), CompletionWait::TimedOut);
  Record records[4];
  for (Record& r : records) ASSERT_TRUE(arm(port, b.socket, r));
  for (int i = 0; i < 4; ++i) {
    // The datagram that was already there completes before any other is sent.
    if (i == 1) {
      for (const char* text : {"1", "2", "3"}) ASSERT_EQ(platform::sendTo(a.socket, text, 1, b.address), 1);
    }
    const Completion c = waitOne(port);
    ASSERT_EQ(c.record, &records[i].overlapped);
    EXPECT_EQ(c.key, 2u);
    EXPECT_EQ(records[i].buffer[0], '0' + i);
  }

  // A receive left pending comes back aborted when its socket closes.
  ASSERT_TRUE(arm(port, b.socket, receive));
  port.closeSocket(b.release());
  const Completion aborted = waitOne(port);
  EXPECT_EQ(aborted.record, &receive.overlapped);
  EXPECT_EQ(aborted.key, 2u);
  EXPECT_TRUE(platform::isAbortedCompletion(aborted.error)) << aborted.error;
  port.closeSocket(a.release());
}

}  // namespace
