#include "drvapi/record_pool.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using drvapi::RecordPool;

// What the pool keeps is bounded, so a burst does not hold its memory for good.
TEST(RecordPool, KeepsABoundedNumberOfBlocksAndSizes) {
  RecordPool pool;
  std::vector<void*> blocks;
  for (int i = 0; i < 150; ++i) blocks.push_back(pool.allocate(64));
  for (void* b : blocks) pool.release(b);
  for (size_t size = 16; size < 16 + 150 * 8; size += 8) pool.release(pool.allocate(size));
  EXPECT_LE(pool.keptBlocks(), RecordPool::kMaxFreePerClass + RecordPool::kMaxSizeClasses);
}

}  // namespace
