// Comparison and difference of values, for generated _IsEqual/_DiffProperties.
//
// Generated code compares value fields itself with the Cmp helpers below and
// hands every object, array, reference and any-valued field to
// AreEqualAnysInt / DiffAnyPropertiesInt with the property's whole flag word.
//
// AreEqualAnysInt(mine, theirs, flags, lenient)
//   1. The same pointer (both null included): equal.
//   2. Arrays (F_ARRAY in flags, or either value a Collection): a null array
//      and an empty array are the same value. Array getters create empty
//      arrays on demand and the wire has no way to tell the two apart.
//   3. `theirs` null (or an empty array), `lenient` and F_OPTIONAL in flags:
//      equal. An absent optional in the other object is a wildcard, exactly
//      as for optional value fields. Otherwise one null side: unequal.
//   4. Different dynamic classes: unequal, without an exception; except that
//      two arrays of ints/enumerations compare by their integers.
//   5. Same class: mine->_IsEqual(theirs, lenient). Object arrays compare
//      element by element with flags 0 (elements are required values), so
//      lenient mode does not make a null element a wildcard; nested objects
//      apply their own lenient rules.
//   Other flag bits (F_LINKABLE, F_LINK, F_FLAG40, F_FLAG400, F_SECRET,
//   F_MANAGED) do not change the result.
//
// DiffAnyPropertiesInt(mine, theirs, prefix, component, flags, diffs)
//   Always strict. Let path = prefix + component.
//   - equal by rules 1-2 above: nothing;
//   - one side null (after rule 2), or different classes: path;
//   - data objects of the same class: mine->_DiffProperties(theirs, path),
//     which appends path + ".field" for each differing field, recursively;
//   - object arrays of equal length: each differing element i is reported
//     under path + "[i]" (recursively for data objects of the same class);
//     different lengths: path;
//   - value arrays, boxes and references: path when unequal.
//   Paths are appended in the order found; nothing is deduplicated.
//
// Neither function throws on null or mixed input. Both throw
// Quill::Fault::InvalidArgument::Exception when `mine` is an object they are
// already comparing further up on this thread (a graph that reaches itself)
// or the nesting passes 256 objects: an answer would need a walk without end.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "basalt/DateTime.h"
#include "basalt/Optional.h"
#include "quill/Forward.h"
#include "quill/Values.h"

namespace Quill {

bool AreEqualAnysInt(Any const* mine, Any const* theirs, unsigned flags, bool lenient);
void DiffAnyPropertiesInt(Any const* mine, Any const* theirs, std::string const& prefix, char const* component,
                          unsigned flags, PropertyDiffSet& diffs);

// Per-field helpers. Each is one inline expression so that generated code
// stays one line per field.
namespace Cmp {

template <class V>
inline bool Eq(V const& a, V const& b) noexcept {
  if constexpr (std::is_same_v<V, Basalt::System::DateTime>) {
    return a.GetUtcTime() == b.GetUtcTime();
  } else if constexpr (std::is_same_v<V, PropertyPath>) {
    return a.Compare(b) == 0;
  } else {
    return a == b;  // floats: NaN never matches
  }
}

// Optional fields: both unset, or both set with matching values. In lenient
// mode an unset `theirs` matches anything.
template <class V>
inline bool EqOpt(Basalt::Optional<V> const& mine, Basalt::Optional<V> const& theirs, bool lenient) noexcept {
  if (!theirs.IsSet()) return lenient || !mine.IsSet();
  return mine.IsSet() && Eq(*mine, *theirs);
}
inline bool EqOpt(Basalt::Optional<bool> const& mine, Basalt::Optional<bool> const& theirs, bool lenient) noexcept {
  if (!theirs.IsSet()) return lenient || !mine.IsSet();
  return mine.GetState() == theirs.GetState();
}

template <class V>
inline void Diff(V const& a, V const& b, std::string const& prefix, char const* component, PropertyDiffSet& diffs) {
  if (!Eq(a, b)) diffs.Append(prefix, component);
}
template <class V>
inline void Diff(Basalt::Optional<V> const& a, Basalt::Optional<V> const& b, std::string const& prefix,
                 char const* component, PropertyDiffSet& diffs) {
  if (!EqOpt(a, b, false)) diffs.Append(prefix, component);
}

}  // namespace Cmp
}  // namespace Quill
