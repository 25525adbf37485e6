// Per-thread cache of the blocks that hold arrays and object members.
//
// A parsed answer is a tree of a few thousand blocks per MiB of text. Freed to the general
// heap, they coalesce at its top and glibc trims it, so the next answer faults every page in
// again; a per-thread free list per size class keeps them instead. There are no locks: a block
// freed on another thread simply joins that thread's cache. The cache is bounded, so a thread
// that once parsed something huge keeps at most kJsonBlockCacheLimit bytes.
//
// Under AddressSanitizer cached blocks are poisoned, and so is the unused tail of a block
// rounded up to its size class: a use after free or a double free into the cache is reported.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>

#include "korvani/json.hpp"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace korvani {
namespace detail {
namespace {

// Size classes in 8-byte units: every size up to 64 bytes, then four per power of two, so a
// block wastes at most a fifth of itself. Larger blocks bypass the cache.
constexpr std::size_t kUnit = 8;
constexpr std::size_t kLargestCached = std::size_t{1} << 20;
constexpr std::size_t kClassCount = 64;

constexpr std::size_t classOf(std::size_t bytes) noexcept {
  const std::size_t units = bytes <= kUnit ? 1 : (bytes + kUnit - 1) / kUnit;
  if (units <= 8) return units - 1;
  const auto width = static_cast<std::size_t>(std::bit_width(units - 1));  // at least 4
  const std::size_t step = ((units - 1) >> (width - 3)) + 1;               // 5 to 8
  return 8 + (width - 4) * 4 + (step - 5);
}

constexpr std::size_t classBytes(std::size_t sizeClass) noexcept {
  if (sizeClass < 8) return (sizeClass + 1) * kUnit;
  const std::size_t width = 4 + (sizeClass - 8) / 4;
  const std::size_t step = 5 + (sizeClass - 8) % 4;
  return (step << (width - 3)) * kUnit;
}

static_assert(classOf(kLargestCached) == kClassCount - 1);
static_assert(classBytes(kClassCount - 1) == kLargestCached);
static_assert(classBytes(classOf(72)) == 80 && classBytes(classOf(1008)) == 1024);

void poison([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_POISON_MEMORY_REGION(block, bytes);
#endif
}

void unpoison([[maybe_unused]] void* block, [[maybe_unused]] std::size_t bytes) noexcept {
#if defined(__SANITIZE_ADDRESS__)
  ASAN_UNPOISON_MEMORY_REGION(block, bytes);
#endif
}

struct FreeBlock {
  FreeBlock* next;
};

enum class CacheState : unsigned char { unused, active, released };

// Trivially destructible, so it stays usable while other thread-locals are destroyed.
struct Cache {
  FreeBlock* lists[kClassCount];
  std::size_t bytes;
  CacheState state;
};
constinit thread_local Cache tCache{};

void releaseAll(Cache& cache) noexcept {
  for (std::size_t sizeClass = 0; sizeClass < kClassCount; ++sizeClass) {
    const std::size_t bytes = classBytes(sizeClass);
    FreeBlock* block = cache.lists[sizeClass];
    while (block) {
      unpoison(block, bytes);
      FreeBlock* next = block->next;
      ::operator delete(block);
      block = next;
    }
    cache.lists[sizeClass] = nullptr;
  }
  cache.bytes = 0;
}

// Its destructor empties the cache at thread exit; blocks freed after that bypass it.
struct Reaper {
  bool armed = false;
  ~Reaper() {
    releaseAll(tCache);
    tCache.state = CacheState::released;
  }
};
thread_local Reaper tReaper;

}  // namespace

void* allocateJsonBlock(std::size_t bytes) {
  if (bytes > kLargestCached) return ::operator new(bytes);
  const std::size_t sizeClass = classOf(bytes);
  const std::size_t size = classBytes(sizeClass);
  Cache& cache = tCache;
  void* block;
  if (FreeBlock* cached = cache.lists[sizeClass]) {
    unpoison(cached, size);
    cache.lists[sizeClass] = cached->next;
    cache.bytes -= size;
    block = cached;
  } else {
    // Only threads that build values keep a cache; the first block arms its release.
    if (cache.state == CacheState::unused) {
      tReaper.armed = true;
      cache.state = CacheState::active;
    }
    block = ::operator new(size);
  }
  // The free-list link needs the first bytes of even the smallest block.
  const std::size_t used = bytes < sizeof(FreeBlock) ? sizeof(FreeBlock) : bytes;
  poison(static_cast<char*>(block) + used, size - used);
  return block;
}

void deallocateJsonBlock(void* block, std::size_t bytes) noexcept {
  if (!block) return;
  if (bytes > kLargestCached) {
    ::operator delete(block);
    return;
  }
  const std::size_t sizeClass = classOf(bytes);
  const std::size_t size = classBytes(sizeClass);
  Cache& cache = tCache;
  if (cache.state != CacheState::active || cache.bytes + size > kJsonBlockCacheLimit) {
    unpoison(block, size);
    ::operator delete(block);
    return;
  }
  auto* freed = static_cast<FreeBlock*>(block);
  freed->next = cache.lists[sizeClass];
  poison(block, size);
  cache.lists[sizeClass] = freed;
  cache.bytes += size;
}

std::size_t cachedJsonBlockBytes() noexcept {
  return tCache.bytes;
}

}  // namespace detail

void releaseJsonCache() noexcept {
  detail::releaseAll(detail::tCache);
}

}  // namespace korvani
