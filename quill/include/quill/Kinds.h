// The kinds of value a property, parameter, result or array item holds, and
// what each kind is: its C++ type (the member a data class declares, the value
// a Primitive<> box and an Array<> hold), its catalogue and wire names and its
// text form. The primitives are the runtime's own (it defines their records,
// boxes and arrays; a catalogue only names them), so the table is written here
// once and every part reads it: field layouts, reflection, both codecs, and the
// generator's primitive rows, which its output checks against this table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "quill/Forward.h"

namespace Quill {

// The scalar kinds, one row each:
//   X(kind, C++ type, catalogue name, wire name, wire name in the XML Schema namespace, text form)
#define QUILL_SCALAR_KINDS(X)                                                          \
  X(Bool, bool, "boolean", "boolean", true, kBoolean)                                  \
  X(Byte, signed char, "byte", "byte", true, kInteger)                                 \
  X(Short, short, "short", "short", true, kInteger)                                    \
  X(Int, int, "int", "int", true, kInteger)                                            \
  X(Long, long, "long", "long", true, kInteger)                                        \
  X(Float, float, "float", "float", true, kFloating)                                   \
  X(Double, double, "double", "double", true, kFloating)                               \
  X(String, std::string, "string", "string", true, kText)                              \
  X(DateTime, ::Basalt::System::DateTime, "dateTime", "dateTime", true, kDateTime)     \
  X(Binary, std::vector<unsigned char>, "binary", "base64Binary", true, kBase64)       \
  X(TypeName, ::Quill::TypeName, "typeName", "TypeName", false, kText)                 \
  X(MethodName, ::Quill::MethodName, "methodName", "MethodName", false, kText)         \
  X(PropertyPath, ::Quill::PropertyPath, "propertyPath", "PropertyPath", false, kText) \
  X(Uri, ::Quill::Uri, "uri", "anyURI", true, kText)

enum class Kind : std::uint8_t {
#define QUILL_KIND_ENUMERATOR(kind, ...) kind,
  QUILL_SCALAR_KINDS(QUILL_KIND_ENUMERATOR)
#undef QUILL_KIND_ENUMERATOR
      Enum,  // an enumeration: held as its 32-bit integer, written as its tag
  Ref,       // a managed object reference (Quill::MoRef)
  Data,      // a data object or fault
  Any,       // anything (Quill::Any)
};
inline constexpr std::uint8_t kKindCount = static_cast<std::uint8_t>(Kind::Any) + 1;

// How a value of the kind is written as text.
enum class TextForm : std::uint8_t { kBoolean, kInteger, kFloating, kDateTime, kBase64, kText, kTag, kNone };

struct KindInfo {
  char const* name;      // the catalogue's primitive, or null
  char const* wireName;  // the primitive's name on the wire, or null (named by its type)
  bool xsd;              // the wire name is one of the XML Schema namespace
  TextForm text;
};

inline constexpr KindInfo kKinds[kKindCount] = {
#define QUILL_KIND_ROW(kind, cpp, name, wire, xsd, text) {name, wire, xsd, TextForm::text},
    QUILL_SCALAR_KINDS(QUILL_KIND_ROW)
#undef QUILL_KIND_ROW
        {nullptr, nullptr, false, TextForm::kTag},
    {nullptr, "ManagedObjectReference", false, TextForm::kNone},
    {nullptr, nullptr, false, TextForm::kNone},
    {"any", "anyType", true, TextForm::kNone},
};

constexpr KindInfo const& InfoOf(Kind k) noexcept { return kKinds[static_cast<std::uint8_t>(k)]; }
// Scalars: a primitive with a C++ value type of its own.
constexpr bool IsScalar(Kind k) noexcept { return k <= Kind::Uri; }
// Scalars and enumerations: held by value in data objects.
constexpr bool IsPlain(Kind k) noexcept { return k <= Kind::Enum; }

// The C++ type of a scalar kind.
template <Kind K>
struct KindType;
#define QUILL_KIND_TYPE(kind, cpp, ...) \
  template <>                           \
  struct KindType<Kind::kind> {         \
    using type = cpp;                   \
  };
QUILL_SCALAR_KINDS(QUILL_KIND_TYPE)
#undef QUILL_KIND_TYPE
template <Kind K>
using KindType_t = typename KindType<K>::type;

// Calls fn(std::type_identity<T>{}) with the C++ type of scalar kind `k`, or
// fn(std::type_identity<void>{}) for the other kinds: one switch for the code
// that does the same per scalar with another type.
template <class Fn>
decltype(auto) VisitScalar(Kind k, Fn&& fn) {
  switch (k) {
#define QUILL_KIND_CASE(kind, cpp, ...) \
  case Kind::kind:                      \
    return fn(std::type_identity<cpp>{});
    QUILL_SCALAR_KINDS(QUILL_KIND_CASE)
#undef QUILL_KIND_CASE
    default:
      return fn(std::type_identity<void>{});
  }
}

// The kind of a type record: the primitive's, Enum, Ref, Data or Any (Any
// also for a primitive the runtime does not know).
QUILL_API Kind KindOf(TypeInfo const* t) noexcept;
// The kind of a catalogue primitive named `name`; Any when there is none.
QUILL_API Kind KindNamed(std::string_view name) noexcept;

}  // namespace Quill
