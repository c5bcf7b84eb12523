#include "drvapi/record_pool.h"

#include <cstdlib>
#include <cstring>

namespace drvapi {
namespace {

// Every block carries an 8-byte header holding its usable size; the caller
// sees the bytes after it. A free block keeps the pointer to the next free
// block of its size in its first usable bytes.
constexpr size_t kHeader = 8;

uint64_t& sizeOf(void* block) { return *reinterpret_cast<uint64_t*>(static_cast<char*>(block) - kHeader); }
void*& nextOf(void* block) { return *static_cast<void**>(block); }

// The usable size of a block asked for with (size, granularity); 0 when
// rounding overflows.
size_t blockSize(size_t size, size_t granularity) {
  if (granularity > 1) {
    if (size > SIZE_MAX - (granularity - 1)) return 0;
    size = (size + granularity - 1) / granularity * granularity;
  }
  return size < sizeof(void*) ? sizeof(void*) : size;
}

}  // namespace

RecordPool::~RecordPool() { clear(); }

size_t RecordPool::footprint(size_t size, size_t granularity) {
  size = blockSize(size, granularity);
  return size == 0 || size > SIZE_MAX - kHeader ? SIZE_MAX : size + kHeader;
}

void* RecordPool::allocate(size_t size, size_t granularity) {
  size = blockSize(size, granularity);
  if (size == 0) return nullptr;  // overflow
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (size_t i = 0; i < classCount_; ++i) {
      SizeClass& c = classes_[i];
      if (c.size != size || c.head == nullptr) continue;
      void* block = c.head;
      c.head = nextOf(block);
      --c.count;
      return block;
    }
  }
  if (size > SIZE_MAX - kHeader) return nullptr;
  char* raw = static_cast<char*>(std::malloc(size + kHeader));
  if (raw == nullptr) return nullptr;
  void* block = raw + kHeader;
  sizeOf(block) = size;
  return block;
}

void RecordPool::release(void* block) {
  if (block == nullptr) return;
  const size_t size = static_cast<size_t>(sizeOf(block));
  {
    std::lock_guard<std::mutex> guard(lock_);
    SizeClass* target = nullptr;
    for (size_t i = 0; i < classCount_; ++i) {
      if (classes_[i].size == size) {
        target = &classes_[i];
        break;
      }
    }
    if (target == nullptr) {
      // Reuse a size class that has run empty before growing the table.
      for (size_t i = 0; i < classCount_ && target == nullptr; ++i)
        if (classes_[i].count == 0) target = &classes_[i];
      if (target == nullptr && classCount_ < kMaxSizeClasses) target = &classes_[classCount_++];
      if (target != nullptr) target->size = size;
    }
    if (target != nullptr && target->count < kMaxFreePerClass) {
      nextOf(block) = target->head;
      target->head = block;
      ++target->count;
      return;
    }
  }
  std::free(static_cast<char*>(block) - kHeader);
}

void RecordPool::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  for (size_t i = 0; i < classCount_; ++i) {
    SizeClass& c = classes_[i];
    while (c.head != nullptr) {
      void* block = c.head;
      c.head = nextOf(block);
      std::free(static_cast<char*>(block) - kHeader);
    }
    c = SizeClass{};
  }
  classCount_ = 0;
}

size_t RecordPool::keptBlocks() const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t n = 0;
  for (size_t i = 0; i < classCount_; ++i) n += classes_[i].count;
  return n;
}

}  // namespace drvapi
