// Registration of a module's types.
//
// A module's initialiser constructs one static TypeInfoLoader with the shared
// version table and the module's callback; that is all it does. The loader
// binds the module on the spot: inside the constructor, on the loading
// thread, it registers the version table (once per table) and calls the
// callback exactly once. So a module's types are usable as soon as its
// initialiser has run, and modules are bound in load order.
//
// A data type whose base record belongs to a module that is bound later is
// accepted; its type answers the base as soon as that module is bound (bases
// are looked up by record on first use, not at creation).
//
// An exception from the callback (for example a duplicate type name)
// propagates out of the constructor; a null callback throws
// Quill::Fault::InvalidArgument::Exception, a null version table is allowed
// (the module registers no versions). The loader holds no resources and needs
// no destruction: a module may leave it undestroyed.
#pragma once

#include <cstdint>

#include "quill/Forward.h"

namespace Quill {

// Fills the module's slot array, sets `count` to the number of slots filled
// and returns the array.
using ModuleCallback = Type* const* (*)(int& count);

class TypeInfoLoader {
 public:
  TypeInfoLoader(SedgeVersions const* versions, ModuleCallback callback);

  SedgeVersions const* GetVersions() const noexcept { return _versions; }
  Type* const* GetSlots() const noexcept { return _slots; }
  int GetSlotCount() const noexcept { return _count; }
  // The module's fill function, as registered (the slots above are what it returned).
  ModuleCallback GetCallback() const noexcept { return _callback; }

 private:
  SedgeVersions const* _versions;
  ModuleCallback _callback;
  Type* const* _slots = nullptr;
  int _count = 0;
};

}  // namespace Quill
