// Replaces the program's operator new and delete (a separate file, so that
// the compiler never inlines them into code that also sees the standard ones).
#include "allocation_limit.h"

#include <cstdlib>
#include <limits>
#include <new>

namespace lumotest {
std::atomic<size_t> largestAllocation{std::numeric_limits<size_t>::max()};
}

void* operator new(size_t size) {
  if (size > lumotest::largestAllocation.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
