#include <gtest/gtest.h>

#include <atomic>

#include "platform/timer.h"
#include "support/test_support.h"

namespace {
void countTick(void* context) { ++*static_cast<std::atomic<int>*>(context); }
}  // namespace

TEST(PeriodicTimer, TicksUntilStoppedAndNeverAfter) {
  std::atomic<int> ticks{0};
  platform::PeriodicTimer timer;
  ASSERT_NE(timer.start(10, &countTick, &ticks), 0u);
  EXPECT_EQ(timer.start(10, &countTick, &ticks), 0u) << "a running timer is not started twice";
  EXPECT_TRUE(lumotest::waitFor([&] { return ticks.load() >= 3; }));
  timer.stop();
  EXPECT_FALSE(timer.running());
  const int after = ticks.load();
  platform::PeriodicTimer().stop();  // stopping a timer that never ran is harmless
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ticks.load(), after);
}
