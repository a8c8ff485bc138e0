// Reference-counted object base and the owning pointer that holds it.
//
// Every object that crosses the library boundary carries a 32-bit count that
// starts at 0. The first Ref that wraps a new object takes it to 1, so "a new
// object belongs to whoever first wraps it". Taking a reference is a relaxed
// increment (nobody can observe the object through this reference before the
// holder already has it); dropping one is an acquire-release decrement so that
// every write made by any former holder happens-before the destructor that the
// last holder runs.
#pragma once

#if __cplusplus < 202002L
#error "libtarn-types needs C++20 or later: compile with -std=c++20 or a newer standard"
#endif

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace Basalt {

namespace Detail {
// Bookkeeping of ObjectImpl::operator new (libquill): the block just handed
// out is remembered on the allocating thread until the object's base
// constructor claims it. Small blocks come from and go back to a cache per
// thread, by size (hence the sized delete).
void* AllocateObject(std::size_t size);
void FreeObject(void* p) noexcept;  // code built against the unsized delete
void FreeObject(void* p, std::size_t size) noexcept;
bool ClaimAllocation(void const* self) noexcept;
}  // namespace Detail

// Only an object made by a new-expression is ever deleted by a Ref. An object
// on the stack, in static storage, a member, or built in place in a container
// is counted like any other but never freed by its count reaching zero: its
// storage belongs to its scope. A Ref must not outlive such an object (the
// object is not kept alive by it). Objects made with new[] are not deleted by
// a Ref either; delete[] stays their owner's job.
class ObjectImpl {
 public:
  // Tag for objects with static storage that must never be freed (shared
  // boxes): they start with one reference that nobody ever drops.
  struct Immortal {};

  virtual ~ObjectImpl() = default;

  static void* operator new(std::size_t size) { return Detail::AllocateObject(size); }
  // Sized: the deleting destructor passes the size of the object's own class.
  static void operator delete(void* p, std::size_t size) noexcept { Detail::FreeObject(p, size); }

  void IncRef() const noexcept { _refCount.fetch_add(1, std::memory_order_relaxed); }
  void DecRef() const noexcept {
    if (_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1 && _onHeap) {
      delete this;
    }
  }
  // Diagnostic only: the value may be stale as soon as it is read.
  std::uint32_t GetRefCount() const noexcept { return _refCount.load(std::memory_order_relaxed); }
  // Whether the last Ref deletes this object (it was made by new).
  bool IsOwnedByCount() const noexcept { return _onHeap; }

 protected:
  ObjectImpl() noexcept : _onHeap(Detail::ClaimAllocation(this)) {}
  // A copy is a new object: it starts unowned, whatever the source's count.
  ObjectImpl(ObjectImpl const&) noexcept : _onHeap(Detail::ClaimAllocation(this)) {}
  ObjectImpl& operator=(ObjectImpl const&) noexcept { return *this; }

  constexpr explicit ObjectImpl(Immortal) noexcept : _refCount(1) {}

 private:
  mutable std::atomic<std::uint32_t> _refCount{0};
  bool _onHeap = false;
};

// The name used where the object base is inherited virtually (managed-object
// interfaces and stubs).
using Object = ObjectImpl;

template <class T>
class Ref {
 public:
  using element_type = T;

  constexpr Ref() noexcept = default;
  constexpr Ref(std::nullptr_t) noexcept {}
  Ref(T* p) noexcept : _p(p) { Acquire(); }
  Ref(Ref const& o) noexcept : _p(o._p) { Acquire(); }
  Ref(Ref&& o) noexcept : _p(o._p) { o._p = nullptr; }
  template <class U>
  Ref(Ref<U> const& o) noexcept : _p(o.get()) {
    Acquire();
  }
  template <class U>
  Ref(Ref<U>&& o) noexcept : _p(o.release()) {}
  ~Ref() { Release(); }

  Ref& operator=(Ref const& o) noexcept {
    reset(o._p);
    return *this;
  }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      T* old = _p;
      _p = o._p;
      o._p = nullptr;
      if (old) old->DecRef();
    }
    return *this;
  }
  Ref& operator=(T* p) noexcept {
    reset(p);
    return *this;
  }
  Ref& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }
  template <class U>
  Ref& operator=(Ref<U> const& o) noexcept {
    reset(o.get());
    return *this;
  }

  // The new pointee gains its reference before the old one loses its own, so
  // assigning an object to the reference that already (indirectly) holds it
  // is safe.
  void reset(T* p = nullptr) noexcept {
    if (p) p->IncRef();
    T* old = _p;
    _p = p;
    if (old) old->DecRef();
  }
  // Gives up ownership without dropping the count; the caller now owns it.
  T* release() noexcept {
    T* p = _p;
    _p = nullptr;
    return p;
  }
  void swap(Ref& o) noexcept { std::swap(_p, o._p); }

  T* get() const noexcept { return _p; }
  T& operator*() const noexcept { return *_p; }
  T* operator->() const noexcept { return _p; }
  explicit operator bool() const noexcept { return _p != nullptr; }

  // Used by lazily created array fields (compare-and-exchange from null).
  std::atomic_ref<T*> AtomicSlot() noexcept { return std::atomic_ref<T*>(_p); }

 private:
  void Acquire() noexcept {
    if (_p) _p->IncRef();
  }
  void Release() noexcept {
    if (_p) _p->DecRef();
  }
  T* _p = nullptr;
};

template <class T, class U>
bool operator==(Ref<T> const& a, Ref<U> const& b) noexcept {
  return a.get() == b.get();
}
template <class T>
bool operator==(Ref<T> const& a, std::nullptr_t) noexcept {
  return a.get() == nullptr;
}
template <class T, class U>
bool operator==(Ref<T> const& a, U* b) noexcept {
  return a.get() == b;
}
template <class T, class U>
auto operator<=>(Ref<T> const& a, Ref<U> const& b) noexcept {
  return a.get() <=> b.get();
}

// A new counted object held by the returned reference: the typed spelling of
// `Ref<T>(new T(args...))`. Should the constructor throw, nothing is leaked.
template <class T, class... Args>
Ref<T> MakeRef(Args&&... args) {
  return Ref<T>(new T(std::forward<Args>(args)...));
}

// Returns the field's object, creating it with `make` when the field is null.
// Safe against concurrent callers: they all get the same object and exactly one
// survives. Generated array accessors are one call to this.
template <class T, class Make>
T* GetOrCreate(Ref<T>& field, Make make) {
  auto slot = field.AtomicSlot();
  T* cur = slot.load(std::memory_order_acquire);
  if (cur) return cur;
  T* fresh = make();
  fresh->IncRef();  // the field's reference, if it wins
  T* expected = nullptr;
  while (!slot.compare_exchange_weak(expected, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
    if (expected) {  // somebody else stored an array first
      fresh->DecRef();
      return expected;
    }
  }
  return fresh;
}

}  // namespace Basalt
