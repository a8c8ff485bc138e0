// String-like value types with their own runtime type, the collector of
// property differences, and the managed object reference.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quill/Any.h"

namespace Quill {

// A string that names something. Distinct classes so that a TypeName is not
// silently taken for a MethodName in boxes and arrays.
template <class Tag>
class NamedString {
 public:
  NamedString() = default;
  NamedString(std::string s) : _s(std::move(s)) {}
  NamedString(char const* s) : _s(s) {}
  std::string const& GetString() const noexcept { return _s; }
  std::string& GetString() noexcept { return _s; }
  operator std::string const&() const noexcept { return _s; }
  bool empty() const noexcept { return _s.empty(); }
  friend bool operator==(NamedString const& a, NamedString const& b) noexcept { return a._s == b._s; }
  friend auto operator<=>(NamedString const& a, NamedString const& b) noexcept { return a._s <=> b._s; }

 private:
  std::string _s;
};

struct TypeNameTag {};
struct MethodNameTag {};
struct UriTag {};
class TypeName : public NamedString<TypeNameTag> {
  using NamedString::NamedString;
};
class MethodName : public NamedString<MethodNameTag> {
  using NamedString::NamedString;
};
class Uri : public NamedString<UriTag> {
  using NamedString::NamedString;
};

// A dotted property path (".config.hardware.device[2].key" style paths are what
// diffs produce; "config.hardware" what callers write).
class PropertyPath {
 public:
  PropertyPath() = default;
  PropertyPath(std::string s) : _s(std::move(s)) {}
  PropertyPath(char const* s) : _s(s) {}
  std::string const& GetString() const noexcept { return _s; }
  operator std::string const&() const noexcept { return _s; }

  // Orders component by component (a component ends at '.' or '['), so a path
  // sorts right before its own sub-paths: "a" < "a.b" < "a.c" < "ab".
  // Returns <0, 0, >0. Equal paths are byte-for-byte equal.
  int Compare(PropertyPath const& other) const noexcept;
  // True when `other` is this path or lies below it ("a.b" is a prefix of
  // "a.b.c" and "a.b[0]", not of "a.bc").
  bool IsPrefixOf(PropertyPath const& other) const noexcept;

  friend bool operator==(PropertyPath const& a, PropertyPath const& b) noexcept { return a._s == b._s; }

 private:
  std::string _s;
};

namespace Detail {
// Raises Quill::Fault::InvalidArgument::Exception naming the index and the size.
[[noreturn]] void ThrowIndexOutOfRange(std::size_t index, std::size_t size);
}  // namespace Detail

// Ordered list of the paths a diff found, in the order they were met.
class PropertyDiffSet {
 public:
  void Append(std::string path) { _paths.push_back(std::move(path)); }
  // `prefix` + `component`; a null component appends `prefix` alone.
  void Append(std::string const& prefix, char const* component) {
    if (!component) component = "";
    std::string p;
    p.reserve(prefix.size() + std::char_traits<char>::length(component));
    p.append(prefix).append(component);
    _paths.push_back(std::move(p));
  }
  std::size_t size() const noexcept { return _paths.size(); }
  bool empty() const noexcept { return _paths.empty(); }
  // i >= size() throws Quill::Fault::InvalidArgument::Exception.
  std::string const& operator[](std::size_t i) const {
    if (i >= _paths.size()) Detail::ThrowIndexOutOfRange(i, _paths.size());
    return _paths[i];
  }
  auto begin() const noexcept { return _paths.begin(); }
  auto end() const noexcept { return _paths.end(); }
  bool Contains(std::string_view path) const noexcept;
  std::vector<std::string> const& GetPaths() const noexcept { return _paths; }
  void Clear() noexcept { _paths.clear(); }

 private:
  std::vector<std::string> _paths;
};

// Reference to a server-side object: its managed type's name and its id.
// Two references are equal when both parts are equal.
class MoRef : public Any {
 public:
  MoRef() = default;
  MoRef(std::string type, std::string id) : _type(std::move(type)), _id(std::move(id)) {}
  MoRef(MoRef const&) = default;
  ~MoRef() override;

  std::string const& GetTypeName() const noexcept { return _type; }
  std::string const& GetId() const noexcept { return _id; }
  void SetTypeName(std::string t) { _type = std::move(t); }
  void SetId(std::string id) { _id = std::move(id); }

  std::string ToString() const override;  // 'tarn.Folder:group-d1'
  // The generic managed type ("sedge.ManagedObject"): a reference does not know
  // more than its type's name, which FindType resolves when needed.
  Type* _GetType() const override;
  MoRef* _Clone() const override;
  // Another MoRef with the same type name and id; any other class: false.
  bool _IsEqual(Any const* other, bool lenient) const override;
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override;

  friend bool operator==(MoRef const& a, MoRef const& b) noexcept { return a._type == b._type && a._id == b._id; }

 private:
  std::string _type;
  std::string _id;
};

}  // namespace Quill
