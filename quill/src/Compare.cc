#include "quill/Compare.h"

#include <typeinfo>
#include <utility>

#include "Internal.h"
#include "quill/Any.h"
#include "quill/Array.h"
#include "quill/TypeInfo.h"

namespace Quill {
namespace {

bool IsEmptyArray(Any const* a) {
  auto const* c = dynamic_cast<Collection const*>(a);
  return c && c->GetCollectionLength() == 0;
}

// Rules 1 and 2 of the contract: identical, or both absent (null and empty
// arrays being the same absent value).
bool TriviallyEqual(Any const*& mine, Any const*& theirs, unsigned flags) {
  if (mine == theirs) return true;
  if ((flags & F_ARRAY) || dynamic_cast<Collection const*>(mine) || dynamic_cast<Collection const*>(theirs)) {
    if (mine && IsEmptyArray(mine)) mine = nullptr;
    if (theirs && IsEmptyArray(theirs)) theirs = nullptr;
    if (mine == theirs) return true;
  }
  return false;
}

bool SameClass(Any const* a, Any const* b) { return typeid(*a) == typeid(*b); }

bool BothIntArrays(Any const* a, Any const* b) {
  return dynamic_cast<Array<int> const*>(a) && dynamic_cast<Array<int> const*>(b);
}

// A plain Array<int> only accepts its own class while an enumeration array
// accepts any Array<int>: ask the enumeration array, so the answer does not
// depend on the argument order.
bool EqualIntArrays(Any const* a, Any const* b) {
  if (typeid(*a) == typeid(Array<int>)) std::swap(a, b);
  return a->_IsEqual(b, false);
}

thread_local Any const* tPath[Detail::kMaxGraphDepth];
thread_local unsigned tDepth = 0;

// 0: entered; 1: already on the path; 2: too deep.
int Enter(Any const* object) noexcept {
  for (unsigned i = 0; i < tDepth; ++i) {
    if (tPath[i] == object) return 1;
  }
  if (tDepth == Detail::kMaxGraphDepth) return 2;
  tPath[tDepth++] = object;
  return 0;
}

std::string NameOf(Any const* object) {
  Type const* t = object->_GetType();
  return t ? t->GetName() : Basalt::Demangle(typeid(*object));
}

}  // namespace

namespace Detail {

GraphStep::GraphStep(Any const* object, char const* operation) {
  switch (Enter(object)) {
    case 0:
      _entered = true;
      return;
    case 1:
      ThrowBadArgument("object", "quill.graph.cycle",
                       std::string(operation) + ": the object graph reaches its " + NameOf(object) +
                           " again from inside it (a cycle of references)");
    default:
      ThrowBadArgument("object", "quill.graph.tooDeep",
                       std::string(operation) + ": the object graph nests deeper than " +
                           std::to_string(kMaxGraphDepth) + " levels (at a " + NameOf(object) + ")");
  }
}

GraphStep::GraphStep(Any const* object, std::nothrow_t) noexcept {
  int r = Enter(object);
  _entered = r == 0;
  _refused = r == 0 ? nullptr : r == 1 ? "cycle" : "too deep";
}

GraphStep::~GraphStep() {
  if (_entered) --tDepth;
}

Any* CloneChecked(Any const* value) {
  GraphStep step(value, "clone");
  return value->_Clone();
}

}  // namespace Detail

bool AreEqualAnysInt(Any const* mine, Any const* theirs, unsigned flags, bool lenient) {
  // Two present values of one class, the common case, go straight to rule 5: rule 2 can
  // only turn two such values equal, which their own comparison answers as well.
  if (mine && theirs && mine != theirs && SameClass(mine, theirs)) {
    Detail::GraphStep step(mine, "comparison");
    return mine->_IsEqual(theirs, lenient);
  }
  if (TriviallyEqual(mine, theirs, flags)) return true;
  if (!theirs) return lenient && (flags & F_OPTIONAL);
  if (!mine) return false;
  if (!SameClass(mine, theirs)) return BothIntArrays(mine, theirs) && EqualIntArrays(mine, theirs);
  Detail::GraphStep step(mine, "comparison");
  return mine->_IsEqual(theirs, lenient);
}

void DiffAnyPropertiesInt(Any const* mine, Any const* theirs, std::string const& prefix, char const* component,
                          unsigned flags, PropertyDiffSet& diffs) {
  if (TriviallyEqual(mine, theirs, flags)) return;
  if (!mine || !theirs || !SameClass(mine, theirs)) {
    if (!mine || !theirs || !BothIntArrays(mine, theirs) || !EqualIntArrays(mine, theirs)) {
      diffs.Append(prefix, component);
    }
    return;
  }
  std::string path;
  path.reserve(prefix.size() + 32);
  path.append(prefix).append(component ? component : "");
  Detail::GraphStep step(mine, "diff");
  mine->_DiffProperties(theirs, path, diffs);
}

}  // namespace Quill
