#include "drvapi/record_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using drvapi::RecordPool;

TEST(RecordPool, BlockOfTheRoundedSizeIsReusedForTheSameSize) {
  RecordPool pool;
  void* a = pool.allocate(5000, 4096);  // rounded to 8192
  ASSERT_NE(a, nullptr);
  std::memset(a, 0x5A, 8192);  // the sanitizer builds check that all of it is the block's
  pool.release(a);
  EXPECT_EQ(pool.allocate(8000, 4096), a);  // also 8192: same class
  void* b = pool.allocate(5000);            // exact 5000: a different class
  EXPECT_NE(b, a);
  pool.release(a);
  pool.release(b);
  pool.clear();  // the sanitizer builds check that the kept blocks are freed
}

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
