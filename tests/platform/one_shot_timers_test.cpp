// One-shot timers: each runs once, and cancel and stop wait for a running
// callback (as the DNS interception's cancel of a tunnel wait being removed
// needs).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/event.h"
#include "platform/time.h"
#include "platform/timer.h"

using platform::OneShotTimers;

namespace {

constexpr uint32_t kNever = 600000;  // a delay no test lives to see

// A flag one thread raises and another waits for, without a time limit (ctest's
// time-out ends a hung test).
struct Latch : platform::Event {
  Latch() : Event(Reset::Manual) {}
};

}  // namespace

TEST(OneShotTimers, EachTimerRunsExactlyOnceAndCancelledOrStoppedOnesNever) {
  OneShotTimers timers;
  constexpr int kCount = 200;
  std::atomic<int> runs[kCount] = {};
  std::atomic<int> total{0};
  Latch all;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_NE(timers.schedule(static_cast<uint32_t>(i % 20),
                              [&, i] {
                                runs[i].fetch_add(1);
                                if (total.fetch_add(1) + 1 == kCount) all.set();
                              }),
              0u);
  }
  all.wait();
  timers.stop();
  for (int i = 0; i < kCount; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
  EXPECT_EQ(timers.pendingCount(), 0u);

  std::atomic<int> neverRuns{0};
  {
    OneShotTimers timers;
    const uint32_t a = timers.schedule(kNever, [&] { neverRuns++; });
    const uint32_t b = timers.schedule(kNever, [&] { neverRuns++; });
    timers.schedule(kNever, [&] { neverRuns++; });
    EXPECT_EQ(timers.pendingCount(), 3u);
    EXPECT_TRUE(timers.cancel(a));
    EXPECT_FALSE(timers.cancel(a));
    EXPECT_EQ(timers.pendingCount(), 2u);
    timers.stop();
    EXPECT_EQ(timers.pendingCount(), 0u);
    EXPECT_FALSE(timers.cancel(b));
    // Still usable after a stop.
    Latch ran;
    ASSERT_NE(timers.schedule(0, [&] { ran.set(); }), 0u);
    ran.wait();
    // Destroyed with timers pending: they go with the set.
    timers.schedule(1, [&] { neverRuns++; });
    timers.schedule(kNever, [&] { neverRuns++; });
  }
  EXPECT_EQ(neverRuns.load(), 0);
}

TEST(OneShotTimers, CancelAndStopWaitForARunningCallback) {
  for (const bool useStop : {false, true}) {
    SCOPED_TRACE(useStop ? "stop" : "cancel");
    OneShotTimers timers;
    Latch entered, release;
    std::atomic<bool> finished{false};
    const uint32_t id = timers.schedule(0, [&] {
      entered.set();
      release.wait();
      platform::sleepMs(20);  // widens the window in which an early return shows
      finished = true;
    });
    ASSERT_NE(id, 0u);
    entered.wait();
    std::atomic<bool> finishedWhenReturned{false};
    std::thread other([&] {
      if (useStop)
        timers.stop();
      else
        EXPECT_FALSE(timers.cancel(id));
      finishedWhenReturned = finished.load();
    });
    release.set();
    other.join();
    EXPECT_TRUE(finishedWhenReturned.load());
  }
}
