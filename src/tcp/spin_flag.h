// A spin flag: taken by atomically exchanging 1 into it, yielding the rest of
// the time slice while the old value was 1; released by exchanging 0. For
// tables whose critical sections are a single map update.
#pragma once

#include <atomic>

#include "platform/time.h"

namespace tcp {

class SpinFlag {
 public:
  void lock() {
    while (flag_.exchange(1, std::memory_order_acquire) == 1) platform::sleepMs(0);
  }
  void unlock() { flag_.exchange(0, std::memory_order_release); }

 private:
  std::atomic<int> flag_{0};
};

}  // namespace tcp
