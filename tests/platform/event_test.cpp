#include "platform/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using platform::Event;

TEST(Event, AutomaticResetLetsOneWaiterThroughPerSetAndWaitAnyTellsWhich) {
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

  // waitAny reports the signalled event, or the time-out.
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

#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/test_support.h"

namespace {

// One thread of this process as the kernel reports it: whether it sleeps, and
// how often it gave up the processor of its own accord (blocked after a wake).
struct TaskState {
  char state = '?';
  long voluntarySwitches = -1;
};

TaskState readTask(long tid) {
  TaskState t;
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("State:", 0) == 0 && line.size() > 7) t.state = line[7];
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) t.voluntarySwitches = std::stol(line.substr(24));
  }
  return t;
}

}  // namespace

// Workers wait on (job, stop) as the driver library's pools do: one set() of
// the automatic-reset job event wakes one of them (a needless wake costs a
// context switch), one set() of the manual-reset stop event wakes them all.
TEST(Event, AutomaticResetWakesOneBlockedWaiterManualResetWakesAll) {
  constexpr int kWaiters = 6;
  Event job;
  Event stop(Event::Reset::Manual);
  std::atomic<long> tids[kWaiters] = {};
  std::atomic<int> jobs{0};
  std::atomic<int> stopped{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < kWaiters; ++i) {
    workers.emplace_back([&, i] {
      tids[i] = static_cast<long>(syscall(SYS_gettid));
      Event* events[] = {&job, &stop};
      for (;;) {
        const int r = platform::waitAny(events, 2, platform::kInfinite);
        if (r == 1) break;
        if (r == 0) ++jobs;
      }
      ++stopped;
    });
  }
  // Once a worker has a thread id it goes straight into the wait; sleeping
  // there is the only way it can be in state S.
  auto allAsleep = [&] {
    for (auto& tid : tids)
      if (tid.load() == 0 || readTask(tid.load()).state != 'S') return false;
    return true;
  };
  ASSERT_TRUE(lumotest::waitFor(allAsleep));
  long before[kWaiters];
  for (int i = 0; i < kWaiters; ++i) before[i] = readTask(tids[i].load()).voluntarySwitches;

  job.set();
  ASSERT_TRUE(lumotest::waitFor([&] { return jobs.load() == 1; }));
  ASSERT_TRUE(lumotest::waitFor(allAsleep));  // the released one is back in its wait
  int woken = 0;
  for (int i = 0; i < kWaiters; ++i) woken += readTask(tids[i].load()).voluntarySwitches != before[i];
  EXPECT_EQ(woken, 1) << "one set() of an automatic-reset event woke " << woken << " waiters";
  EXPECT_EQ(jobs.load(), 1);

  stop.set();
  for (auto& t : workers) t.join();
  EXPECT_EQ(stopped.load(), kWaiters);
  EXPECT_EQ(jobs.load(), 1);
}
#endif
