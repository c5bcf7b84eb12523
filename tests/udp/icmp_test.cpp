// ICMP echo redirection: echo requests and replies and their checksums, the delay
// scheduler on a clock the test moves, and the pending echoes.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <vector>

#include "icmp_packets.h"
#include "platform/net.h"
#include "udp/icmp_echo.h"
#include "udp/icmp_echoes.h"
#include "udp/icmp_redirector.h"
#include "udp/internet_checksum.h"

namespace {

using lumotest::Bytes;
using lumotest::echoRequest;
using lumotest::expectValidReply;

TEST(EchoRequestTest, OnlyPlainIpv4EchoRequestsPass) {
  const Bytes good = echoRequest(platform::ipv4(1, 2, 3, 4), 1, 1);
  // The good request with byte `at` set to `value`.
  const auto with = [&good](size_t at, uint8_t value) {
    Bytes b = good;
    b[at] = value;
    return b;
  };
  Bytes noIcmpBytes = good;
  noIcmpBytes[0] = 0x4F;  // a 60-byte header in a 60-byte packet: no ICMP bytes behind it
  noIcmpBytes.resize(60);
  noIcmpBytes[2] = 0, noIcmpBytes[3] = 60;
  const struct Row {
    const char* what;
    Bytes packet;
    bool passes;
  } rows[] = {
      {"plain echo request", good, true},
      {"with 20 bytes of options", echoRequest(platform::ipv4(1, 2, 3, 4), 1, 1, 32, 40), true},
      {"type of service set", with(1, 0x10), false},
      {"version 6", with(0, 0x65), false},
      {"header length 16", with(0, 0x44), false},
      {"UDP", with(9, 17), false},
      {"echo reply", with(20, 0), false},
      {"code 1", with(21, 1), false},
      {"total length above the packet", with(3, static_cast<uint8_t>(good[3] + 1)), false},
      {"7 ICMP bytes", Bytes(good.begin(), good.begin() + 27), false},
      {"19 bytes", Bytes(good.begin(), good.begin() + 19), false},
      {"header length past the ICMP bytes", noIcmpBytes, false},
  };
  for (const Row& row : rows)
    EXPECT_EQ(udp::IsEchoRequest(row.packet.data(), row.packet.size()), row.passes) << row.what;
}

// expectValidReply checks both checksums with a sum of its own: odd lengths
// (31 bytes of payload) and sums that carry more than once included.
TEST(EchoRequestTest, ReplyMadeInPlaceSwapsAddressesAndChecksumsBoth) {
  for (size_t headerLength : {20u, 40u}) {
    for (size_t payload : {0u, 31u, 56u}) {
      const Bytes request =
          echoRequest(platform::ipv4(203, 0, 113, 7), 0x0102, 0x0304, payload, headerLength);
      Bytes reply = request;
      udp::TurnIntoReply(reply.data(), reply.size());
      expectValidReply(reply, request, udp::kReplyTtl);
    }
  }
}

// --- the scheduler on a clock the test moves --------------------------------

// Microseconds of the test's clock.
uint64_t gNow = 0;
constexpr uint64_t kMs = 1000;
// When set, the clock notes how many echoes are pending each time it is read.
udp::IcmpEchoes* gWatchedEchoes = nullptr;
size_t gPendingAtStamp = 0;
uint64_t testClock() {
  if (gWatchedEchoes != nullptr) gPendingAtStamp = gWatchedEchoes->PendingCount();
  return gNow;
}

class RecordingScheduler : public udp::IcmpRedirector {
 public:
  RecordingScheduler() : IcmpRedirector(&testClock) {}
  std::vector<Bytes> replies;
  udp::IcmpEchoes* echoes = nullptr;

 protected:
  // Runs on the test's thread: the tests call DeliverDue and never Start.
  void OnEchoReply(uint8_t* packet, size_t length) override {
    replies.emplace_back(packet, packet + length);
    if (echoes != nullptr) {
      const size_t h = udp::Ipv4HeaderLength(packet, length);
      echoes->DeliverIcmpReply(packet + h, length - h);
    }
  }
};

TEST(IcmpRedirector, EnqueueAnswersAndEchoesFallDueExactlyAfterTheirDelay) {
  RecordingScheduler s;
  const Bytes request = echoRequest(platform::ipv4(1, 2, 3, 4), 1, 1);
  Bytes reply = request;
  reply[20] = 0;
  struct Row {
    const char* what;
    Bytes packet;
    uint32_t delay;
    int answer;
  } rows[] = {
      // (A delay of 1001 ms and 513 bytes are refused: IcmpEchoes' unanswerable requests.)
      {"delay 0", request, 0, udp::IcmpRedirector::kNothingToQueue},
      {"delay 1000", request, 1000, udp::IcmpRedirector::kQueued},
      {"an echo reply", reply, 5, udp::IcmpRedirector::kRefused},
      {"512 bytes", echoRequest(platform::ipv4(1, 2, 3, 4), 1, 2, 512 - 28), 5, udp::IcmpRedirector::kQueued},
  };
  size_t queued = 0;
  for (const Row& row : rows) {
    EXPECT_EQ(s.Enqueue(row.packet.data(), row.packet.size(), row.delay), row.answer) << row.what;
    if (row.answer == udp::IcmpRedirector::kQueued) ++queued;
  }
  EXPECT_EQ(s.QueuedCount(), queued);

  // Echoes fall due exactly after their delay.
  RecordingScheduler due;
  gNow = 5 * kMs + 999;  // mid-millisecond: no rounding may shorten a delay
  const Bytes a = echoRequest(platform::ipv4(1, 2, 3, 4), 1, 1);
  const Bytes b = echoRequest(platform::ipv4(1, 2, 3, 5), 1, 2);
  ASSERT_EQ(due.Enqueue(a.data(), a.size(), 20), udp::IcmpRedirector::kQueued);
  ASSERT_EQ(due.Enqueue(b.data(), b.size(), 5), udp::IcmpRedirector::kQueued);
  due.DeliverDue(gNow + 5 * kMs - 1);
  EXPECT_TRUE(due.replies.empty());
  due.DeliverDue(gNow + 5 * kMs);
  ASSERT_EQ(due.replies.size(), 1u);
  expectValidReply(due.replies[0], b, udp::kReplyTtl);
  due.DeliverDue(gNow + 20 * kMs - 1);
  EXPECT_EQ(due.replies.size(), 1u);
  due.DeliverDue(gNow + 20 * kMs);
  ASSERT_EQ(due.replies.size(), 2u);
  expectValidReply(due.replies[1], a, udp::kReplyTtl);
  EXPECT_EQ(due.QueuedCount(), 0u);
}

// --- the pending echoes ---------------------------------------------------------

class FakeLinks : public udp::IcmpEchoLinks {
 public:
  std::optional<uint32_t> delay = 20;
  uint32_t node = platform::ipv4(198, 51, 100, 1);
  bool sendWorks = true;
  std::vector<std::pair<Bytes, uint32_t>> sent;  // message, destination
  std::vector<Bytes> delivered;
  std::vector<drvapi::IpOptions> deliveredOptions;

  std::optional<uint32_t> delayFor(uint32_t) override { return delay; }
  uint32_t nodeAddress() override { return node; }
  bool sendToNode(const uint8_t* message, size_t length, uint32_t destination) override {
    sent.emplace_back(Bytes(message, message + length), destination);
    return sendWorks;
  }
  void injectReceive(const uint8_t* packet, size_t length, const drvapi::IpOptions& options) override {
    delivered.emplace_back(packet, packet + length);
    deliveredOptions.push_back(options);
  }
};

struct EchoPath {
  FakeLinks links;
  RecordingScheduler scheduler;
  udp::IcmpEchoes echoes{links, scheduler};
  drvapi::IpOptions options{};
  EchoPath() {
    scheduler.echoes = &echoes;
    gNow = 1000 * kMs;
    options.reserved[0] = 2;
    options.reserved[5] = 0x5A;  // carried to the reply
  }
  bool send(const Bytes& packet) { return echoes.RedirectEcho(packet.data(), packet.size(), options); }
  // The node's answer to the n-th message it was sent.
  void nodeReplies(size_t n) {
    Bytes message = links.sent.at(n).first;
    message[0] = 0;
    udp::StoreChecksum(&message[2], 0);  // the engine computes it anew
    echoes.DeliverIcmpReply(message.data(), message.size());
  }
};

TEST(IcmpEchoes, ExcludedAndUncoveredDestinationsPassUnchanged) {
  struct Row {
    uint32_t destination;
    bool taken;
  } rows[] = {
      {platform::ipv4(192, 168, 1, 1), false},  {platform::ipv4(10, 1, 2, 3), false},
      {platform::ipv4(172, 20, 0, 1), false},   {platform::ipv4(27, 0, 0, 1), false},
      {platform::ipv4(198, 51, 100, 1), false}, {platform::ipv4(127, 0, 0, 1), false},
      {platform::ipv4(127, 9, 8, 7), false},    {platform::ipv4(172, 32, 0, 1), true},
      {platform::ipv4(172, 15, 0, 1), true},    {platform::ipv4(1, 2, 3, 4), true},
  };
  uint16_t sequence = 0;
  for (const Row& row : rows) {
    EchoPath p;
    EXPECT_EQ(p.send(echoRequest(row.destination, 1, ++sequence)), row.taken) << std::hex << row.destination;
    EXPECT_EQ(p.links.sent.size(), row.taken ? 1u : 0u);
    EXPECT_EQ(p.scheduler.QueuedCount(), row.taken ? 1u : 0u);
  }
  EchoPath p;
  p.links.delay.reset();
  EXPECT_FALSE(p.send(echoRequest(platform::ipv4(1, 2, 3, 4), 1, 1)));
  Bytes tos = echoRequest(platform::ipv4(1, 2, 3, 4), 1, 1);
  tos[1] = 0x10;
  p.links.delay = 20;
  EXPECT_FALSE(p.send(tos));
  EXPECT_TRUE(p.links.sent.empty());
}

// A failed send to the node is answered as a silent node is (end to end in
// IcmpReplies/Silent): once, at its time, with the request's options.
TEST(IcmpEchoes, SynthesizedReplyForAFailedSendAndTheNodesFasterReplyComeOnce) {
  EchoPath p;
  p.links.sendWorks = false;
  const uint32_t destination = platform::ipv4(1, 2, 3, 4);
  const Bytes request = echoRequest(destination, 0x4242, 7, 40);
  ASSERT_TRUE(p.send(request));
  ASSERT_EQ(p.links.sent.size(), 1u);
  EXPECT_EQ(p.links.sent[0].second, destination);
  EXPECT_TRUE(std::equal(request.begin() + 20, request.end(), p.links.sent[0].first.begin()));
  p.scheduler.DeliverDue(gNow + 20 * kMs - 1);
  EXPECT_TRUE(p.links.delivered.empty());
  p.scheduler.DeliverDue(gNow + 20 * kMs);
  ASSERT_EQ(p.links.delivered.size(), 1u);
  expectValidReply(p.links.delivered[0], request, request[8]);
  EXPECT_EQ(p.links.deliveredOptions[0].reserved[5], 0x5A);
  // The node's late answer finds nothing pending.
  p.nodeReplies(0);
  EXPECT_EQ(p.links.delivered.size(), 1u);
  EXPECT_EQ(p.echoes.PendingCount(), 0u);

  // What the node sends that is no usable echo reply (not a reply, cut
  // short, too long to make one) answers nothing; its real reply answers
  // once, and the synthesized one is dropped.
  p.links.sendWorks = true;
  const Bytes faster = echoRequest(platform::ipv4(1, 2, 3, 4), 9, 1, 24, 40);
  ASSERT_TRUE(p.send(faster));
  Bytes notAReply = p.links.sent[1].first;
  p.echoes.DeliverIcmpReply(notAReply.data(), notAReply.size());
  p.echoes.DeliverIcmpReply(notAReply.data(), 7);
  Bytes longReply(512 - 20 + 1, 0);
  std::memcpy(longReply.data(), notAReply.data(), 8);
  longReply[0] = 0;
  p.echoes.DeliverIcmpReply(longReply.data(), longReply.size());
  EXPECT_EQ(p.links.delivered.size(), 1u);
  p.nodeReplies(1);
  ASSERT_EQ(p.links.delivered.size(), 2u);
  expectValidReply(p.links.delivered[1], faster, faster[8]);
  p.scheduler.DeliverDue(gNow + 20 * kMs);
  EXPECT_EQ(p.links.delivered.size(), 2u);
}

TEST(IcmpEchoes, DuplicateKeysAreConsumedWithoutASendAndUnanswerableRequestsPassUnchanged) {
  EchoPath p;
  const Bytes request = echoRequest(platform::ipv4(1, 2, 3, 4), 5, 5);
  ASSERT_TRUE(p.send(request));
  EXPECT_TRUE(p.send(request));
  EXPECT_EQ(p.links.sent.size(), 1u);
  p.nodeReplies(0);
  p.nodeReplies(0);
  p.scheduler.DeliverDue(gNow + 1000 * kMs);
  EXPECT_EQ(p.links.delivered.size(), 1u);
  // Answered: the same key is a new request again.
  EXPECT_TRUE(p.send(request));
  EXPECT_EQ(p.links.sent.size(), 2u);

  // A 44-byte header cannot be kept for the reply: the request must not be
  // swallowed without an answer.
  EXPECT_FALSE(p.send(echoRequest(platform::ipv4(1, 2, 3, 4), 1, 1, 8, 44)));
  EXPECT_TRUE(p.send(echoRequest(platform::ipv4(1, 2, 3, 4), 1, 2, 8, 40)));
  // A request the scheduler refuses (too long, or its delay) leaves nothing pending.
  EXPECT_FALSE(p.send(echoRequest(platform::ipv4(1, 2, 3, 4), 1, 3, 513 - 28)));
  p.links.delay = 1001;
  EXPECT_FALSE(p.send(echoRequest(platform::ipv4(1, 2, 3, 4), 1, 5)));
  EXPECT_EQ(p.echoes.PendingCount(), 2u);
}

TEST(IcmpEchoes, EntryExistsBeforeTheCopyCanFallDue) {
  // The moment the scheduler stamps the queued copy, a scheduler thread could
  // find it due (a delay of 1 ms): the request must be pending by then.
  EchoPath p;
  p.links.delay = 1;
  gWatchedEchoes = &p.echoes;
  const Bytes request = echoRequest(platform::ipv4(1, 2, 3, 4), 8, 8);
  const bool taken = p.send(request);
  gWatchedEchoes = nullptr;
  ASSERT_TRUE(taken);
  EXPECT_EQ(gPendingAtStamp, 1u);
  p.scheduler.DeliverDue(gNow + 1 * kMs);
  ASSERT_EQ(p.links.delivered.size(), 1u);
  expectValidReply(p.links.delivered[0], request, request[8]);
}

}  // namespace
