// The completion port's wake-ups for sends that went at once: natively
// (epoll, where such a send does not wake a thread waiting in slices) and
// under wine64 (the real completion port).
#include <gtest/gtest.h>

#include <thread>
#include <utility>
#include <vector>

#include "platform/completion.h"
#include "loopback_udp_socket.h"

namespace {

using platform::Completion;
using platform::CompletionPort;
using platform::CompletionWait;
using platform::Overlapped;
using platform::SocketAddress;

using LoopbackSocket = lumotest::LoopbackUdpSocket;

// A thread already blocked in the wait gets the completions of sends that
// went at once, in the order they were started: one waiting without a time
// limit is woken for them, one waiting in slices (as the UDP proxy's worker
// does) at the latest when a slice ends.
TEST(CompletionPort, SendsThatWentAtOnceReachAThreadBlockedInTheWait) {
  for (const uint32_t sliceMs : {platform::kNoTimeLimit, uint32_t{50}}) {
    CompletionPort port;
    ASSERT_TRUE(port.open());
    LoopbackSocket a, b;
    ASSERT_TRUE(port.associate(a.socket, 1));
    constexpr int kSends = 37;  // not a multiple of anything the port batches by
    std::vector<Overlapped> records(kSends);
    std::vector<Overlapped*> taken;
    std::thread waiter([&] {
      for (int slices = 0; taken.size() < static_cast<size_t>(kSends) && slices < 1000;) {
        Completion c;
        const CompletionWait result = port.wait(sliceMs, c);
        if (result == CompletionWait::Failed) return;
        if (result == CompletionWait::TimedOut)
          ++slices;
        else
          taken.push_back(c.record);
      }
    });
    for (int i = 0; i < kSends; ++i)
      EXPECT_TRUE(port.startSend(a.socket, "x", 1, b.address, records[i]));
    waiter.join();
    ASSERT_EQ(taken.size(), static_cast<size_t>(kSends)) << "slice " << sliceMs;
    for (int i = 0; i < kSends; ++i) EXPECT_EQ(taken[i], &records[i]) << i;
    port.closeSocket(a.release());
  }
}

}  // namespace
