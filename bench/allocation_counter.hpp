#pragma once

#include <cstdint>

namespace korvani::bench {

// Heap allocations (malloc, calloc, realloc, memalign, aligned_alloc, posix_memalign calls) made
// so far by every thread of this process, libraries included. Defined by
// allocation_counter.cpp, which replaces the C allocator's entry points and so is linked into
// the network benchmark's executable only.
std::uint64_t allocationCount() noexcept;

}  // namespace korvani::bench
