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
  EXPECT_EQ(pool.keptBlocks(), 1u);
  EXPECT_EQ(pool.allocate(8000, 4096), a);  // also 8192: same class
  void* b = pool.allocate(5000);            // exact 5000: a different class
  EXPECT_NE(b, a);
  pool.release(a);
  pool.release(b);
  EXPECT_EQ(pool.keptBlocks(), 2u);
  pool.clear();
  EXPECT_EQ(pool.keptBlocks(), 0u);
}

TEST(RecordPool, KeepsAtMostAHundredBlocksPerSizeAndAHundredSizes) {
  RecordPool pool;
  std::vector<void*> blocks;
  for (int i = 0; i < 150; ++i) blocks.push_back(pool.allocate(64));
  for (void* b : blocks) pool.release(b);
  EXPECT_EQ(pool.keptBlocks(), RecordPool::kMaxFreePerClass);

  RecordPool sized;
  for (size_t size = 16; size < 16 + 150 * 8; size += 8) sized.release(sized.allocate(size));
  EXPECT_EQ(sized.keptBlocks(), RecordPool::kMaxSizeClasses);
}

TEST(RecordPool, BlocksAreWritableToTheirFullSize) {
  RecordPool pool;
  auto* p = static_cast<unsigned char*>(pool.allocate(1, 4096));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 4096; ++i) p[i] = static_cast<unsigned char>(i);
  pool.release(p);
}

}  // namespace
