// Which objects a Ref may delete: those whose storage came from
// ObjectImpl::operator new. The allocation is remembered on the allocating
// thread until the object's ObjectImpl base constructor runs inside it; the
// allocation function of a new-expression is called before the arguments of
// the constructor are evaluated, so `new A(new B())` has two blocks pending
// at once and each constructor claims the block that contains it.
//
// The blocks themselves come from a small cache per thread, by size: a
// decoded message or a query's answer makes and drops hundreds of objects of
// a few sizes, more of one size than the C library's own per-thread cache
// keeps, so without this most of them went through its slower shared bins.
#include "basalt/Object.h"

#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define BASALT_NO_BLOCK_CACHE 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define BASALT_NO_BLOCK_CACHE 1
#endif
#endif

namespace Basalt::Detail {
namespace {

struct Pending {
  char const* begin;
  char const* end;
};
// Nesting deeper than this within one full expression is not expected; the
// oldest entry then gives way and its object is never deleted by a Ref (a
// leak, never a wrong delete).
constexpr unsigned kMaxPending = 8;
// Every object construction reads these, so they use the initial-exec model:
// a direct thread-pointer access instead of a __tls_get_addr call (allocate,
// claim and free of a small object went from 27.8 to 15.7 ns, against 10.8 ns
// for a bare operator new and delete). These 132 bytes fit the static TLS that
// glibc keeps for libraries loaded later by dlopen, and so do the cache's
// pointer and state below.
__attribute__((tls_model("initial-exec"))) thread_local Pending tPending[kMaxPending];
__attribute__((tls_model("initial-exec"))) thread_local unsigned tPendingCount = 0;

void Forget(unsigned i) noexcept {
  for (unsigned j = i + 1; j < tPendingCount; ++j) tPending[j - 1] = tPending[j];
  --tPendingCount;
}

void Remember(void* p, std::size_t size) noexcept {
  if (tPendingCount == kMaxPending) Forget(0);
  auto* b = static_cast<char const*>(p);
  tPending[tPendingCount++] = Pending{b, b + size};
}

#ifndef BASALT_NO_BLOCK_CACHE
// Free blocks by size, 24 to 520 bytes in steps of 16: what objects of the
// catalogue measure, and the sizes a 64-bit C library's heap hands out
// anyway, so rounding up to them costs no memory. Each size keeps at most
// kCacheBytes, so a thread holds at most 32 × 16 KiB of free blocks, and
// gives them back when it ends.
constexpr std::size_t kClasses = 32, kCacheBytes = 16 << 10;

struct FreeBlock {
  FreeBlock* next;
};

struct BlockCache {
  FreeBlock* head[kClasses] = {};
  std::uint32_t count[kClasses] = {};

  ~BlockCache() {
    for (std::size_t c = 0; c < kClasses; ++c) {
      while (FreeBlock* b = head[c]) {
        head[c] = b->next;
        ::operator delete(b);
      }
    }
  }
};

// 0: the thread has no cache yet; 1: it has; 2: its cache is gone (the
// thread is ending), and blocks go straight back to the heap.
__attribute__((tls_model("initial-exec"))) thread_local BlockCache* tCache = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local unsigned char tCacheState = 0;

struct CacheOwner {
  BlockCache cache;
  ~CacheOwner() {
    tCache = nullptr;
    tCacheState = 2;
  }
};

BlockCache* Cache() noexcept {
  if (tCache) return tCache;
  if (tCacheState != 0) return nullptr;
  // Made on the thread's first object; its destructor runs when the thread ends.
  static thread_local CacheOwner owner;
  tCacheState = 1;
  tCache = &owner.cache;
  return tCache;
}

constexpr std::size_t ClassOf(std::size_t size) noexcept { return size <= 24 ? 0 : (size - 24 + 15) / 16; }
constexpr std::size_t BlockSize(std::size_t c) noexcept { return 24 + 16 * c; }
#endif

}  // namespace

void* AllocateObject(std::size_t size) {
#ifndef BASALT_NO_BLOCK_CACHE
  std::size_t c = ClassOf(size);
  if (c < kClasses) {
    if (BlockCache* cache = Cache(); cache && cache->head[c]) {
      FreeBlock* b = cache->head[c];
      cache->head[c] = b->next;
      --cache->count[c];
      Remember(b, size);
      return b;
    }
    // A block of the class's full size, so that any object of the class can have it later.
    size = BlockSize(c);
  }
#endif
  void* p = ::operator new(size);
  Remember(p, size);
  return p;
}

namespace {
// A constructor that threw before its base claimed the block leaves the
// entry behind; drop it so a later block at the same address is not
// mistaken for it.
void ForgetPending(void* p) noexcept {
  for (unsigned i = tPendingCount; i-- > 0;) {
    if (tPending[i].begin == p) {
      Forget(i);
      break;
    }
  }
}
}  // namespace

void FreeObject(void* p) noexcept {
  // Without its size a block cannot go to the cache. Only code compiled
  // against an older header frees this way, and its blocks are the heap's
  // own: objects it made were not rounded up either.
  ForgetPending(p);
  ::operator delete(p);
}

void FreeObject(void* p, std::size_t size) noexcept {
  ForgetPending(p);
#ifndef BASALT_NO_BLOCK_CACHE
  std::size_t c = ClassOf(size);
  if (c < kClasses) {
    BlockCache* cache = Cache();
    if (cache && cache->count[c] < kCacheBytes / BlockSize(c)) {
      auto* b = static_cast<FreeBlock*>(p);
      b->next = cache->head[c];
      cache->head[c] = b;
      ++cache->count[c];
      return;
    }
  }
#else
  (void)size;
#endif
  ::operator delete(p);
}

bool ClaimAllocation(void const* self) noexcept {
  auto const* s = static_cast<char const*>(self);
  for (unsigned i = tPendingCount; i-- > 0;) {
    if (s >= tPending[i].begin && s < tPending[i].end) {
      Forget(i);
      return true;
    }
  }
  return false;
}

}  // namespace Basalt::Detail
