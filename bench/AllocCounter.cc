#include "AllocCounter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::uint64_t> gAllocations{0};
std::atomic<std::int64_t> gLiveBytes{0};
std::atomic<bool> gTrack{false};

void* Counted(void* p) {
  if (p && gTrack.load(std::memory_order_relaxed))
    gLiveBytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  return p;
}
void* Allocate(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return Counted(std::malloc(n ? n : 1));
}
void* AllocateAligned(std::size_t n, std::align_val_t a) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  std::size_t align = static_cast<std::size_t>(a);
  std::size_t size = (n + align - 1) / align * align;
  return Counted(std::aligned_alloc(align, size ? size : align));
}
void Free(void* p) noexcept {
  if (!p) return;
  if (gTrack.load(std::memory_order_relaxed))
    gLiveBytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  std::free(p);
}
}  // namespace

namespace Bench {
std::uint64_t AllocationCount() noexcept { return gAllocations.load(std::memory_order_relaxed); }
void TrackLiveBytes() noexcept { gTrack.store(true, std::memory_order_relaxed); }
std::int64_t LiveBytes() noexcept { return gLiveBytes.load(std::memory_order_relaxed); }
}  // namespace Bench

void* operator new(std::size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = Allocate(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, std::nothrow_t const&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, std::nothrow_t const&) noexcept { return Allocate(n); }
void* operator new(std::size_t n, std::align_val_t a) {
  if (void* p = AllocateAligned(n, a)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) {
  if (void* p = AllocateAligned(n, a)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t a, std::nothrow_t const&) noexcept { return AllocateAligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a, std::nothrow_t const&) noexcept {
  return AllocateAligned(n, a);
}

void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }
void operator delete(void* p, std::nothrow_t const&) noexcept { Free(p); }
void operator delete[](void* p, std::nothrow_t const&) noexcept { Free(p); }
void operator delete(void* p, std::align_val_t) noexcept { Free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Free(p); }
void operator delete(void* p, std::align_val_t, std::nothrow_t const&) noexcept { Free(p); }
void operator delete[](void* p, std::align_val_t, std::nothrow_t const&) noexcept { Free(p); }
