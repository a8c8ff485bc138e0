// Root of every value that travels through the runtime, and the base of data
// objects. The virtual slot order below is part of the contract with the
// generated classes: do not reorder.
#pragma once

#include <string>
#include <type_traits>
#include <typeinfo>

#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "quill/Forward.h"

namespace Quill {

class Any : public Basalt::ObjectImpl {
 public:
  ~Any() override;  // slots 1, 2
  // One line for scalars, boxes and references; an indented block for data
  // objects and arrays of them. F_SECRET properties print as "(secret)". An
  // object met again inside itself prints as "(<type>) <cycle>", and one
  // nested more than 256 levels deep as "(<type>) <too deep>"; never throws
  // for the shape of the graph.
  virtual std::string ToString() const;  // slot 3
  virtual Type* _GetType() const = 0;    // slot 4
  // A new object (count 0) of the same class; boxes return themselves. A
  // data object whose fields reach itself throws
  // Quill::Fault::InvalidArgument::Exception (see CloneField).
  virtual Any* _Clone() const = 0;  // slot 5
  // `other` may be null or of any class: both answer "unequal" (the diff
  // appends `prefix` once). Boxes (Primitive<V>) are the exception: a box of
  // another class raises Basalt::TypeMismatchException. Comparing or
  // diffing a graph that reaches itself again below throws
  // Quill::Fault::InvalidArgument::Exception rather than recursing forever.
  virtual bool _IsEqual(Any const* other, bool lenient) const = 0;  // slot 6
  virtual void _DiffProperties(Any const* other, std::string const& prefix,
                               PropertyDiffSet& diffs) const = 0;  // slot 7

 protected:
  Any() noexcept = default;
  constexpr explicit Any(Immortal i) noexcept : ObjectImpl(i) {}
  Any(Any const&) = default;
};

// Base of every data object and fault: the virtual table and the count, no
// fields. Root data classes derive from it directly.
class DynamicData : public Any {
 public:
  ~DynamicData() override;
  // Reflective comparison over the type's property descriptors, with the same
  // rules as generated code. Generated classes override it; it serves classes
  // that are described but hand-written without one.
  bool _IsEqual(Any const* other, bool lenient) const override;
  // Reflective diff over the type's property descriptors. Fault classes keep
  // this one (they do not generate their own); it reports the same paths a
  // generated _DiffProperties would.
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override;
  virtual DataObjectType* _GetDataType() const = 0;  // slot 8

 protected:
  DynamicData() noexcept = default;
  DynamicData(DynamicData const&) = default;
};

namespace Detail {
// value->_Clone(), refused with Quill::Fault::InvalidArgument::Exception when
// `value` is already being copied further up on this thread (an object that
// holds itself, directly or through other objects) or the nesting passes 256
// levels.
Any* CloneChecked(Any const* value);

// libquill's share of the enumeration arrays and boxes, whose members are
// inline (quill/Array.h, quill/Primitive.h). The tag when the type is bound
// and the value in range, else the integer:
std::string FormatEnum(EnumType const* type, int value);
// Appends `prefix` to `diffs` unless self->_IsEqual(other, false) (a virtual
// call: the box or array's own comparison, and its exceptions).
void DiffWhole(Any const* self, Any const* other, std::string const& prefix, PropertyDiffSet& diffs);
}  // namespace Detail

// Deep copy of an object-valued field, for generated copy constructors:
// null stays null, anything else is the value's _Clone() (arrays of objects
// share their elements). A graph that reaches itself cannot be copied deeply:
// the copy throws Quill::Fault::InvalidArgument::Exception instead of
// recursing without end, and nothing of the partial copy is kept.
template <class T>
T* CloneField(Basalt::Ref<T> const& field) {
  return field ? static_cast<T*>(Detail::CloneChecked(field.get())) : nullptr;
}

// A deep copy of `x` as its own static type: the typed spelling of
// `static_cast<T*>(x->_Clone())`, held by the returned reference. Null gives
// null; arrays of objects share their elements, as with _Clone. Should a class
// not return a T from _Clone (a hand-written subclass that does not override
// it), Basalt::TypeMismatchException (expected T, actual class) is thrown
// rather than a wrong pointer handed out.
template <class T>
requires std::is_base_of_v<Any, T> Basalt::Ref<T> Clone(T const* x) {
  if (!x) return {};
  Basalt::Ref<Any> copy(x->_Clone());
  T* t = dynamic_cast<T*>(copy.get());
  if (!t) {
    Any const& actual = *copy;
    Basalt::ThrowTypeMismatchException(typeid(T), typeid(actual));
  }
  return Basalt::Ref<T>(t);
}

template <class T>
requires std::is_base_of_v<Any, T> Basalt::Ref<T> Clone(Basalt::Ref<T> const& x) {
  return Clone(static_cast<T const*>(x.get()));
}

}  // namespace Quill
