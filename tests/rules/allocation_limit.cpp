// Replaces the program's operator new and delete, every form but the aligned
// ones (a separate file, so that the compiler never inlines them into code
// that also sees the standard ones). All of them go to malloc and free.
#include "allocation_limit.h"

#include <cstdlib>
#include <limits>
#include <new>

namespace lumotest {
std::atomic<size_t> largestAllocation{std::numeric_limits<size_t>::max()};
}

namespace {
void* allocate(size_t size) noexcept {
  if (size > lumotest::largestAllocation.load(std::memory_order_relaxed)) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void* allocateOrThrow(size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(size_t size) { return allocateOrThrow(size); }
void* operator new[](size_t size) { return allocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
