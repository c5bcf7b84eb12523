// A limit on the size of any one allocation of the test program, for showing
// what the code under test does when memory runs out part-way through.
#pragma once

#include <atomic>
#include <cstddef>

namespace lumotest {

// Allocations larger than this many bytes throw std::bad_alloc, as they
// would in an exhausted address space. No limit unless a test sets one; the
// test puts it back to SIZE_MAX when done. It covers every allocation made
// through operator new, by the code under test as well.
extern std::atomic<size_t> largestAllocation;

}  // namespace lumotest
