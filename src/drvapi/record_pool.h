// The pool that records, data chunks, datagram nodes and connection entries
// come from. Blocks of one exact size are kept on a free list of that size
// when released, so the steady traffic of a connection reuses the same few
// blocks instead of going to the heap for every record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace drvapi {

class RecordPool {
 public:
  static constexpr size_t kMaxSizeClasses = 100;
  static constexpr size_t kMaxFreePerClass = 100;

  RecordPool() = default;
  ~RecordPool();
  RecordPool(const RecordPool&) = delete;
  RecordPool& operator=(const RecordPool&) = delete;

  // A block of at least `size` bytes, aligned to 8. With a granularity the
  // size is rounded up to its next multiple (datagram nodes use 4096), so
  // blocks of similar sizes share a free list. Null when the heap refuses.
  // Any thread.
  void* allocate(size_t size, size_t granularity = 0);

  // What allocate(size, granularity) takes from the heap: the rounded size
  // and the block's header. This, not the bytes asked for, is what memory
  // limits must count. SIZE_MAX when the size cannot be had at all.
  static size_t footprint(size_t size, size_t granularity = 0);

  // Gives back a block from allocate() (null is ignored). It goes onto the
  // free list of its exact size when that list has room and there are no
  // more than kMaxSizeClasses sizes kept; otherwise back to the heap.
  void release(void* block);

  // Returns every kept free block to the heap. Blocks still in use are not
  // touched; they may be released later.
  void clear();

  // Free blocks currently kept (for tests).
  size_t keptBlocks() const;

 private:
  struct SizeClass {
    size_t size = 0;
    void* head = nullptr;  // free blocks, chained through their first bytes
    size_t count = 0;
  };

  mutable std::mutex lock_;
  SizeClass classes_[kMaxSizeClasses];
  size_t classCount_ = 0;
};

}  // namespace drvapi
