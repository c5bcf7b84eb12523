#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/event.h"

using platform::Event;

TEST(Event, AutomaticResetLetsOneWaiterThroughPerSet) {
  Event e(Event::Reset::Automatic);
  EXPECT_FALSE(e.wait(0));
  e.set();
  EXPECT_TRUE(e.wait(0));
  EXPECT_FALSE(e.wait(0)) << "an automatic-reset event is consumed by its waiter";

  Event m(Event::Reset::Manual);
  m.set();
  EXPECT_TRUE(m.wait(0));
  EXPECT_TRUE(m.wait(0)) << "a manual-reset event stays signalled";
  m.reset();
  EXPECT_FALSE(m.wait(0));
}

TEST(Event, WaitAnyReportsTheSignalledEventAndTimesOut) {
  Event a, b(Event::Reset::Manual);
  Event* both[] = {&a, &b};
  EXPECT_EQ(platform::waitAny(both, 2, 20), platform::kWaitTimeout);
  b.set();
  EXPECT_EQ(platform::waitAny(both, 2, 0), 1);
  a.set();
  EXPECT_EQ(platform::waitAny(both, 2, 0), 0) << "the lowest signalled index wins";
  EXPECT_EQ(platform::waitAny(both, 2, 0), 1) << "a was consumed, b is manual";
  EXPECT_EQ(platform::waitAny(both, 0, 0), -2);
}

TEST(Event, EachSetReleasesExactlyOneOfManyWaiters) {
  Event job;
  Event stop(Event::Reset::Manual);
  std::atomic<int> jobs{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i) {
    workers.emplace_back([&] {
      Event* events[] = {&job, &stop};
      for (;;) {
        int r = platform::waitAny(events, 2, platform::kInfinite);
        if (r == 1) return;
        if (r == 0) ++jobs;
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    job.set();
    // Wait until the signal has been consumed before setting it again, so
    // every set() is observable on its own.
    while (jobs.load() != i + 1) std::this_thread::yield();
  }
  stop.set();
  for (auto& t : workers) t.join();
  EXPECT_EQ(jobs.load(), 200);
}
