// Internals shared by the XML and JSON halves of the codec: how a position
// (property, parameter, result, array item) is read and written, the cached
// per-type plans, value conversions and errors. Not installed.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "basalt/DateTime.h"
#include "basalt/Object.h"
#include "quill/Any.h"
#include "quill/Array.h"
#include "quill/Kinds.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Text.h"
#include "quill/Type.h"
#include "quill/TypeInfo.h"
#include "quill/Values.h"
#include "quill/wire/Wire.h"

namespace Quill::Wire::Detail {

// What a position holds, as far as reading and writing go: the runtime's
// kinds (quill/Kinds.h), under the short name the codec has always used.
using VK = Quill::Kind;
using Quill::IsPlain;
using Quill::IsScalar;
using Quill::KindOf;

// The kind of a runtime type; Any for an unknown primitive.
VK KindOf(Type const* t) noexcept;
// The runtime type of a scalar kind.
Type* ScalarType(VK k) noexcept;
// "xsd:int" / "TypeName" style: whether a scalar's XML type lives in the XML
// Schema namespace.
bool IsXsdScalar(VK k) noexcept;

// One property, parameter or result.
struct Slot {
  PropertyInfo const* info = nullptr;
  DataTypeInfo const* owner = nullptr;  // data properties: accessor table
  std::uint32_t ownIndex = 0;
  std::uint32_t index = 0;  // position in the plan
  VK vk = VK::Any;
  bool array = false;
  bool optional = false;
  bool typed = false;    // a data, enumeration or managed type: one with a version of its own
  Type* type = nullptr;  // declared (element) type
  std::string_view name;
  Version const* version = nullptr;  // that introduced it; null when not bound
  std::string open;                  // "<name>"
  std::string close;                 // "</name>"
  std::string jsonKey;               // "\"name\":"
};

// The slots of a data type (its complete sequence) or of a method's
// parameters / result, with a name index. Made once per type, never freed.
struct Plan {
  std::vector<Slot> slots;
  std::unordered_map<std::string_view, std::uint32_t> byName;
  DataObjectType const* type = nullptr;
  // The slot named `name`; tries the one found last (the next item of an
  // array) and the few after it (properties arrive in order, some left out)
  // before the index. `hint` is where the previous one ended.
  Slot const* Find(std::string_view name, std::uint32_t& hint) const noexcept {
    std::uint32_t n = static_cast<std::uint32_t>(slots.size());
    auto is = [&](std::uint32_t i) {
      std::string_view s = slots[i].name;
      return s.size() == name.size() && std::memcmp(s.data(), name.data(), s.size()) == 0;
    };
    if (hint > 0 && hint <= n && is(hint - 1)) return &slots[hint - 1];
    for (std::uint32_t i = hint, end = std::min(n, hint + 12); i < end; ++i) {
      if (is(i)) {
        hint = i + 1;
        return &slots[i];
      }
    }
    auto it = byName.find(name);
    if (it == byName.end()) return nullptr;
    hint = it->second + 1;
    return &slots[it->second];
  }
};
Plan const& PlanOf(DataObjectType const* type);
Plan const& ParamPlanOf(ManagedMethod const* method);
// One slot named "result" (none for a method without result); a task
// answers a reference to the task of `version`'s namespace.
Plan const& ResultPlanOf(ManagedMethod const* method);
Slot MakeSlot(PropertyInfo const* info, char const* name);

// Whether things introduced in a version exist for the version a message
// speaks. The answers are remembered per thread and per version, across
// messages: finding a type's version is a lookup by name, and asking the
// version graph is not free either.
class VersionFilter {
 public:
  explicit VersionFilter(Version const* v);
  Version const* version() const noexcept { return _v; }
  // `introducedIn` as resolved when the plan was made; `name` the name it
  // was resolved from (null: always there).
  bool Has(Version const* introducedIn, char const* name) {
    if (!name || !_v) return true;
    if (!introducedIn) return ExistsInVersion(name, _v);  // a version whose table is not bound
    std::uint32_t id = introducedIn->GetId();
    if (id < kSize) {
      std::int8_t& known = _c->known[id];
      if (known < 0) known = _v->Includes(introducedIn) ? 1 : 0;
      return known != 0;
    }
    return _v->Includes(introducedIn);
  }
  // A property is there when it and its type are: a few properties are
  // older than their type, and a version between the two has neither.
  bool Has(Slot const& s) { return Has(s.version, s.info->version) && (!s.typed || Has(s.type)); }
  bool Has(Type const* t) {
    if (t->IsArray()) t = t->GetElementType();
    std::size_t slot = (reinterpret_cast<std::uintptr_t>(t) >> 4) % kTypes;
    if (_c->types[slot] == t) return _c->typeHas[slot];
    bool has = Has(t->GetVersion(), t->GetVersionName());
    _c->types[slot] = t;
    _c->typeHas[slot] = has;
    return has;
  }

  static constexpr std::uint32_t kSize = 256;
  static constexpr std::uint32_t kTypes = 256;
  struct Cache {
    std::int8_t known[kSize];
    Type const* types[kTypes];
    bool typeHas[kTypes];
  };

 private:
  Version const* _v;
  Cache* _c;
};

// Calls fn(slot, value) for each slot of `t` that `vf`'s version has, in
// order, with the object's value; a slot the object holds as null is passed
// (with null) only when it is required and not an array: the writers then
// write an explicit null, since leaving it out would read as missing.
template <class Fn>
void ForEachWrittenSlot(DynamicData const* obj, DataObjectType const* t, VersionFilter& vf, Fn&& fn) {
  auto* mut = const_cast<DynamicData*>(obj);  // the accessors take non-const objects; nothing is changed
  for (Slot const& s : PlanOf(t).slots) {
    if (!vf.Has(s)) continue;
    void const* p = s.owner->getPropertyPtr(mut, s.ownIndex);
    if (!p && (s.optional || s.array)) continue;
    fn(s, p);
  }
}

// A decoded plain value of any kind.
struct Scalar {
  bool b = false;
  signed char c = 0;
  short s = 0;
  int i = 0;  // also enumerations
  long l = 0;
  float f = 0;
  double d = 0;
  std::string str;
  Basalt::System::DateTime dt;
  std::vector<unsigned char> bin;
  TypeName tn;
  MethodName mn;
  PropertyPath pp;
  Uri uri;
  // The member that holds a value of C++ type T (enumerations: int).
  template <class T>
  T& Of() noexcept {
    if constexpr (std::is_same_v<T, bool>)
      return b;
    else if constexpr (std::is_same_v<T, signed char>)
      return c;
    else if constexpr (std::is_same_v<T, short>)
      return s;
    else if constexpr (std::is_same_v<T, int>)
      return i;
    else if constexpr (std::is_same_v<T, long>)
      return l;
    else if constexpr (std::is_same_v<T, float>)
      return f;
    else if constexpr (std::is_same_v<T, double>)
      return d;
    else if constexpr (std::is_same_v<T, std::string>)
      return str;
    else if constexpr (std::is_same_v<T, Basalt::System::DateTime>)
      return dt;
    else if constexpr (std::is_same_v<T, std::vector<unsigned char>>)
      return bin;
    else if constexpr (std::is_same_v<T, TypeName>)
      return tn;
    else if constexpr (std::is_same_v<T, MethodName>)
      return mn;
    else if constexpr (std::is_same_v<T, PropertyPath>)
      return pp;
    else
      return uri;
  }
  // The member that holds kind `k` (what descriptor accessors take).
  void* Ptr(VK k) noexcept;
};

// Stores a decoded plain value into a data object's property; strings are
// moved in (swapped), not copied.
void StoreScalar(Slot const& s, DynamicData* obj, VK k, Scalar& v);

// Boxes, arrays and items.
Basalt::Ref<Any> BoxScalar(VK k, Type const* type, Scalar& v);
Basalt::Ref<Any> NewArray(VK k, Type const* elementType);
void AppendScalar(Any* array, VK k, Scalar& v);
// Room for `n` items in an array NewArray made (the common kinds; the others
// grow as they go).
void ReserveItems(Any* array, VK k, std::size_t n);
// Number of items of an array of kind `k`, and the address of item i for
// plain kinds (a BoolByte for booleans) or the item itself (as Any*).
std::size_t ArrayLength(Any const* array, VK k) noexcept;
void const* ArrayItem(Any const* array, VK k, std::size_t i) noexcept;
// Address of a box's value for plain kinds (enumerations: an int held in
// `tmp`; booleans: a bool in `tmp`).
void const* BoxValue(Any const* box, VK k, Type const* type, int& tmp);

// --- text forms ------------------------------------------------------------------
// Scalar text of a plain value at `p` (enumerations need `type`). Strings are
// escaped by the caller; this appends raw text for the others.
void AppendNumberText(std::string& out, VK k, void const* p);
void AppendDateTime(std::string& out, Basalt::System::DateTime const& dt);
void AppendBase64(std::string& out, std::vector<unsigned char> const& bin);
bool DecodeBase64(std::string_view text, std::vector<unsigned char>& out);
// The string of a string-like kind at `p`.
std::string const& StringOf(VK k, void const* p) noexcept;
// Parses the text of a scalar (not strings) into `v`; false when malformed or
// out of range. `what` receives a short reason.
bool ParseScalarText(VK k, std::string_view text, Scalar& v, char const*& what);
// Strings: moves `text` into the member of kind `k`.
void SetStringScalar(VK k, std::string&& text, Scalar& v);
// Validates UTF-8; returns the offset of the first bad byte or npos.
using Quill::InvalidUtf8At;
// What a string of the API may hold: UTF-8 text of characters XML can carry
// (no C0 control other than tab, newline and carriage return, no U+FFFE or
// U+FFFF). The offset of the first byte that breaks it, or npos; `why` says how.
std::size_t BadCharAt(std::string_view s, char const*& why) noexcept;
// `s` fit to quote in a message: bytes that are not valid UTF-8 or that start
// a character XML cannot carry are written \xNN; at most `max` bytes of `s`
// are shown ("..." marks the cut).
std::string Printable(std::string_view s, std::size_t max = 200);

// Type names on the wire: "ArrayOfInt", "ManagedObjectReference", data WSDL names.
std::string ArrayWsdlName(VK k, Type const* elementType);
char const* ItemElementName(VK k, Type const* elementType);
char const* WsdlNameOf(VK k, Type const* type);  // scalars: "int", "TypeName"...

// A type named on the wire resolved for a position.
struct Named {
  bool known = false;
  bool array = false;
  VK vk = VK::Any;
  Type* type = nullptr;  // element type for arrays
};
// `local` without prefix; JSON and XML share the names.
Named ResolveWireType(std::string_view local);

// Managed references: the runtime keeps sedge names, the wire WSDL names.
std::string_view RefWireType(std::string const& sedgeName);
std::string RefSedgeType(std::string_view wireName);

// --- errors ------------------------------------------------------------------------
[[noreturn]] void ThrowDecode(std::string text, Version const* version = nullptr);
[[noreturn]] void ThrowEncode(std::string text);
[[noreturn]] void ThrowNotSupported(std::string text);

// Writes the (escaped) string for XML text or attributes; refuses what
// BadCharAt refuses (InvalidArgument naming `where`).
void AppendXmlEscaped(std::string& out, std::string_view s, std::string_view where);
// The same without throwing: false (and the offset in `bad`) for a string
// BadCharAt refuses, with part of it appended.
bool TryAppendXmlEscaped(std::string& out, std::string_view s, std::size_t& bad);
// JSON string literal; `strict` refuses what BadCharAt refuses (a value of the
// API), otherwise control characters are escaped and only bad UTF-8 refused.
void AppendJsonString(std::string& out, std::string_view s, std::string_view where, bool strict = false);
// The same without throwing: false (and the offset in `bad`) for a string it
// refuses, with part of it appended.
bool TryAppendJsonString(std::string& out, std::string_view s, bool strict, std::size_t& bad);
// Refuses a string of the API BadCharAt refuses: InvalidArgument naming `path`.
[[noreturn]] void ThrowBadString(std::string_view s, std::size_t bad, std::string_view path);

// Effective class to write a data object as for a version: the object's
// class, or its nearest base the version has.
DataObjectType const* TypeForVersion(DataObjectType const* actual, VersionFilter& vf);
Version const* VersionOrDefault(Version const* v);

// Objects nest only as deep as this when written: deeper is taken for a
// cycle (an object that holds itself), which would never end.
inline constexpr std::uint32_t kMaxWriteDepth = 1000;
// The names of the positions a writer is in, for its error messages.
using WritePath = std::vector<std::string_view>;
// `leaf` under the positions of `path`, dotted ("config.files.vmPathName");
// the root's own name is left out.
std::string PathText(WritePath const& path, std::string_view leaf);
// The class an object is written as for a version: TypeForVersion, which must
// fit `declared` (null: any) and be a class a reader can make (not the
// abstract root); else NotSupported naming the class and where `path` is
// (written out only then).
DataObjectType const* WritableType(DataObjectType const* actual, DataObjectType const* declared, VersionFilter& vf,
                                   WritePath const& path);
struct DepthGuard {
  std::uint32_t& depth;
  WritePath& path;
  DepthGuard(std::uint32_t& d, WritePath& p, std::string_view where) : depth(d), path(p) {
    if (++depth > kMaxWriteDepth) {
      --depth;
      ThrowEncode("objects nested deeper than " + std::to_string(kMaxWriteDepth) + " at '" + std::string(where) +
                  "' (does an object hold itself?)");
    }
    path.push_back(where);
  }
  ~DepthGuard() {
    --depth;
    path.pop_back();
  }
  DepthGuard(DepthGuard const&) = delete;
  DepthGuard& operator=(DepthGuard const&) = delete;
};

}  // namespace Quill::Wire::Detail
