// The fields of a data class described as data, and the one implementation of
// what a data class does field by field: comparison, diff and the descriptor
// accessor functions. Copying stays the class's own member-by-member copy
// constructor: building each member empty and then assigning it from the
// table was measured 40 % slower on a class of strings.
//
// A type library describes each data or fault class by a constant Layout: its
// own fields in declaration order (offset in the object, storage shape, and
// for object and array fields the field's class), the type's own property list
// (names and flag words, shared with the descriptor), and the layout of the
// nearest ancestor that has fields of its own. The generated members and
// accessors are then one call each into this file's functions, which switch
// over the storage shape; a few dozen shapes cover every class.
//
// Shapes name the declared C++ type of the member: a value of a kind
// (quill/Kinds.h) plain or in a Basalt::Optional<> (an enumeration held as its
// 32-bit integer), a Basalt::Ref<> to an object, or a Basalt::Ref<> to an array. Layouts are built by generated code
// only; a layout that does not match its class corrupts memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <typeinfo>

#include "quill/Forward.h"
#include "quill/Kinds.h"

namespace Quill {
struct PropertyInfo;
class Collection;
}  // namespace Quill

namespace Quill::Fields {

// How a field holds its value: plain or in a Basalt::Optional<> (scalars and
// enumerations), or in a Basalt::Ref<> to an object, to an array of values
// (Quill::Array<V>) or to an array of objects (Quill::DataArray<T>).
enum class Holder : std::uint8_t { kPlain, kOptional, kObject, kArray, kObjectArray };

// A field's storage: the kind of its value (arrays: of an item) and its holder.
struct Shape {
  Kind kind;
  Holder holder;
};
// One number per shape, for a switch over shapes.
constexpr unsigned Code(Kind k, Holder h) noexcept {
  return static_cast<unsigned>(h) * kKindCount + static_cast<unsigned>(k);
}
constexpr unsigned Code(Shape s) noexcept { return Code(s.kind, s.holder); }

struct Field {
  std::uint32_t offset;  // of the member in the class
  Shape shape;
  // Objects and arrays: the member's class, which setProperty requires of
  // an incoming value; null for Quill::Any (anything goes).
  std::type_info const* cls;
  // The arrays: a new empty array of the member's class (what Get<Property>()
  // stores into a null field).
  Collection* (*makeArray)();
};

// What the table entry of an array of class A points at: instantiated in the
// library that defines the field, like the class itself.
template <class A>
Collection* NewArray() {
  return new A();
}

struct Layout {
  Layout const* base;         // nearest generated ancestor with own fields, or null
  PropertyInfo const* props;  // the own property list: names and flag words
  Field const* fields;        // one per own property, same order
  std::uint32_t count;
};

// The member of `f` in `object`.
inline void* At(void* object, Field const& f) noexcept { return static_cast<char*>(object) + f.offset; }
inline void const* At(void const* object, Field const& f) noexcept {
  return static_cast<char const*>(object) + f.offset;
}

// --- whole objects (the data class members) ----------------------------------

// _IsEqual: `other` null or of another class is unequal; otherwise the fields
// of the whole chain, base first, the first mismatch deciding. A null layout
// is a class without fields anywhere in its chain.
bool IsEqual(Layout const* layout, DynamicData const* self, Any const* other, bool lenient);
// The chain only, `other` already known to be of self's class: for a class
// whose runtime base compared its own part and checked the class.
bool EqualFields(Layout const* layout, DynamicData const* self, Any const* other, bool lenient);

// _DiffProperties: `other` of another class records `prefix` once; otherwise
// prefix + ".name" of every differing field, base fields first.
void Diff(Layout const* layout, DynamicData const* self, Any const* other, std::string const& prefix,
          PropertyDiffSet& diffs);

// Get<Property>(): the array of an array field, made empty first when null
// (one array survives concurrent first calls).
Collection* GetArray(Field const& f, DynamicData* self);

// --- the descriptor accessors, by own index ----------------------------------
void GetProperty(Layout const& layout, DynamicData* self, std::uint32_t i, void* out);
void* GetPropertyPtr(Layout const& layout, DynamicData* self, std::uint32_t i);
void SetProperty(Layout const& layout, DynamicData* self, std::uint32_t i, void const* in);
void SwapProperty(Layout const& layout, DynamicData* self, std::uint32_t i, void* var);
bool IsPropertySet(Layout const& layout, DynamicData const* self, std::uint32_t i);
void UnsetProperty(Layout const& layout, DynamicData* self, std::uint32_t i);

}  // namespace Quill::Fields
