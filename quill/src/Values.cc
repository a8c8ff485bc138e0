#include "quill/Values.h"

#include <typeinfo>

#include "quill/Compare.h"
#include "quill/Type.h"

namespace Quill {

namespace {
bool IsBreak(char c) { return c == '.' || c == '['; }
}  // namespace

int PropertyPath::Compare(PropertyPath const& other) const noexcept {
  std::string const& a = _s;
  std::string const& b = other._s;
  std::size_t i = 0;
  std::size_t n = std::min(a.size(), b.size());
  while (i < n && a[i] == b[i]) ++i;
  if (i == a.size() && i == b.size()) return 0;
  if (i == a.size()) return -1;  // a is a prefix of b
  if (i == b.size()) return 1;
  // At the first difference a component separator sorts before any other
  // character, so that a component sorts before its longer namesakes.
  bool ba = IsBreak(a[i]), bb = IsBreak(b[i]);
  if (ba != bb) return ba ? -1 : 1;
  return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
}

bool PropertyPath::IsPrefixOf(PropertyPath const& other) const noexcept {
  std::string const& o = other._s;
  if (o.size() < _s.size() || o.compare(0, _s.size(), _s) != 0) return false;
  return o.size() == _s.size() || _s.empty() || IsBreak(o[_s.size()]);
}

bool PropertyDiffSet::Contains(std::string_view path) const noexcept {
  for (auto const& p : _paths) {
    if (p == path) return true;
  }
  return false;
}

MoRef::~MoRef() = default;

std::string MoRef::ToString() const { return "'" + _type + ":" + _id + "'"; }

Type* MoRef::_GetType() const { return GetMoType<ManagedObject>(); }

MoRef* MoRef::_Clone() const { return new MoRef(*this); }

bool MoRef::_IsEqual(Any const* other, bool) const {
  auto const* o = dynamic_cast<MoRef const*>(other);
  return o && *this == *o;
}

void MoRef::_DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const {
  if (!_IsEqual(other, false)) diffs.Append(prefix);
}

}  // namespace Quill
