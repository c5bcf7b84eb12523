#include "drvapi/record_pool.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using drvapi::RecordPool;

TEST(RecordPool, ReleasedBlockIsReusedForTheSameRoundedSize) {
  RecordPool pool;
  void* a = pool.allocate(5000, 4096);  // rounded to 8192
  ASSERT_NE(a, nullptr);
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

TEST(RecordPool, BlocksAreWritableToTheirFullSize) {
  RecordPool pool;
  auto* p = static_cast<unsigned char*>(pool.allocate(1, 4096));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 4096; ++i) p[i] = static_cast<unsigned char>(i);
  pool.release(p);
}

}  // namespace
