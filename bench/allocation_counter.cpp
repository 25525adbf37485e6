// Counts the process's heap allocations: the C allocator's entry points are defined here and
// hand over to glibc's own implementations, so every library of the process (libstdc++'s
// operator new, libcurl, OpenSSL) allocates through them. Memory stays glibc's throughout, so a
// path that reaches glibc another way is merely not counted.

#include "allocation_counter.hpp"

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

constinit std::atomic<std::uint64_t> allocations{0};

void tally() noexcept {
  allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

std::uint64_t korvani::bench::allocationCount() noexcept {
  return allocations.load(std::memory_order_relaxed);
}

extern "C" {

void* malloc(std::size_t size) noexcept {
  tally();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) noexcept {
  tally();
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size) noexcept {
  tally();
  return __libc_realloc(pointer, size);
}

void free(void* pointer) noexcept {
  __libc_free(pointer);
}

void* memalign(std::size_t alignment, std::size_t size) noexcept {
  tally();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  tally();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size) noexcept {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  tally();
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *result = pointer;
  return 0;
}

}  // extern "C"
