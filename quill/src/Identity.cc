#include "quill/Identity.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <utility>

#include "quill/Registry.h"

namespace Quill {

namespace {

// Function-local statics: a library's initialiser may register before this
// file's own initialisers have run.
struct IdentitySlot {
  std::mutex mutex;
  CatalogueIdentity identity;
  std::atomic<std::uint64_t> generation{0};
};

IdentitySlot& Slot() {
  static IdentitySlot* const slot = new IdentitySlot();  // never destroyed: read until the very end
  return *slot;
}

}  // namespace

void RegisterCatalogueIdentity(CatalogueIdentity identity) {
  IdentitySlot& slot = Slot();
  std::lock_guard lock(slot.mutex);
  slot.identity = std::move(identity);
  slot.generation.fetch_add(1, std::memory_order_release);
}

CatalogueIdentity GetCatalogueIdentity() {
  IdentitySlot& slot = Slot();
  std::lock_guard lock(slot.mutex);
  return slot.identity;
}

std::uint64_t GetCatalogueIdentityGeneration() noexcept { return Slot().generation.load(std::memory_order_acquire); }

namespace {

Version const* ResolveDefaultVersion(CatalogueIdentity const& identity) {
  if (!identity.defaultVersion.empty()) {
    if (Version const* v = FindVersion(identity.defaultVersion)) return v;
  }
  std::vector<Version const*> all = GetVersions();
  // A table lists its newest release first.
  if (!identity.defaultNamespace.empty()) {
    for (Version const* v : all) {
      SedgeVersions const* ns = v->GetNamespace();
      if (ns && ns->namespaceName && identity.defaultNamespace == ns->namespaceName &&
          v->GetKind() == VERSION_RELEASE) {
        return v;
      }
    }
  }
  for (Version const* v : all) {
    if (v->GetKind() == VERSION_RELEASE) return v;
  }
  return all.empty() ? nullptr : all.front();
}

struct ResolvedDefault {
  std::uint64_t generation;
  Version const* version;
};

}  // namespace

Version const* GetDefaultVersion() {
  // Read on every decode: one atomic load while nothing changes. A superseded
  // answer is kept, never freed (a reader may still hold it); registrations
  // happen a handful of times per process. The list itself is never destroyed,
  // so that a decode during static destruction still reads a live answer.
  static std::atomic<ResolvedDefault const*> cache{nullptr};
  static std::mutex keptMutex;
  static auto* kept = new std::deque<ResolvedDefault>();
  std::uint64_t generation = GetCatalogueIdentityGeneration();
  ResolvedDefault const* known = cache.load(std::memory_order_acquire);
  if (known && known->generation == generation) return known->version;
  Version const* version = ResolveDefaultVersion(GetCatalogueIdentity());
  if (!version) return nullptr;  // asked before any table was bound: ask again next time
  std::lock_guard<std::mutex> lock(keptMutex);
  kept->push_back(ResolvedDefault{generation, version});
  cache.store(&kept->back(), std::memory_order_release);
  return version;
}

}  // namespace Quill
