// One boxed value. Boxes never change after construction and are shared:
// _Clone returns the box itself. Booleans use two shared boxes.
#pragma once

#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "basalt/DateTime.h"
#include "basalt/Exception.h"
#include "quill/Any.h"
#include "quill/Type.h"
#include "quill/Values.h"

namespace Quill {

template <class V>
class Primitive : public Any {
 public:
  using value_type = V;

  explicit Primitive(V value) : _value(std::move(value)) {}
  ~Primitive() override = default;

  V const& GetValue() const noexcept { return _value; }

  std::string ToString() const override;
  Type* _GetType() const override;
  Primitive* _Clone() const override { return const_cast<Primitive*>(this); }
  // A null `other` is unequal; another class raises TypeMismatchException
  // (expected Primitive<V>, then other's class). `lenient` is ignored.
  bool _IsEqual(Any const* other, bool lenient) const override;
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override;

 private:
  V const _value;
};

template <>
class Primitive<bool> : public Any {
 public:
  using value_type = bool;

  // The two shared boxes; they are never freed.
  struct Factory {
    static Primitive<bool>* const sTrue;
    static Primitive<bool>* const sFalse;
  };
  static Primitive<bool>* Get(bool v) noexcept { return v ? Factory::sTrue : Factory::sFalse; }

  explicit Primitive(bool value) noexcept : _value(value) {}
  ~Primitive() override;

  bool GetValue() const noexcept { return _value; }

  std::string ToString() const override;
  Type* _GetType() const override;
  Primitive* _Clone() const override { return const_cast<Primitive*>(this); }
  bool _IsEqual(Any const* other, bool lenient) const override;
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override;

 private:
  friend struct BoolBoxes;
  constexpr Primitive(bool value, Immortal i) noexcept : Any(i), _value(value) {}
  bool const _value;
};

namespace Detail {
// `obj` converted to the class `target` names, as dynamic_cast converts it;
// when it is of no such class, raises TypeMismatchException (expected
// `target`, then obj's class; std::nullptr_t for a null `obj`).
// Instances of the templates below call it instead of expanding the
// conversion and the throw each.
void const* CastOrThrow(Any const* obj, std::type_info const& target);
}  // namespace Detail

// Converts a box to Primitive<V> and returns its value; another class raises
// TypeMismatchException (expected Primitive<V>, actual class), and so does a
// null box (actual std::nullptr_t).
template <class V>
decltype(auto) Unbox(Any const* box) {
  return static_cast<Primitive<V> const*>(Detail::CastOrThrow(box, typeid(Primitive<V>)))->GetValue();
}

// The box of an enumeration value: the members are here, so that a program
// that boxes a value compiles its own copy and the type library exports none.
template <class E>
requires std::is_enum_v<E>
class Primitive<E> : public Any {
 public:
  using value_type = E;

  explicit Primitive(E value) noexcept : _value(value) {}
  ~Primitive() override = default;

  E const& GetValue() const noexcept { return _value; }

  std::string ToString() const override { return Detail::FormatEnum(GetEnumType<E>(), static_cast<int>(_value)); }
  Type* _GetType() const override { return GetEnumType<E>(); }
  Primitive* _Clone() const override { return const_cast<Primitive*>(this); }
  // A null `other` is unequal; another class raises TypeMismatchException
  // (expected Primitive<E>, then other's class). `lenient` is ignored.
  bool _IsEqual(Any const* other, bool) const override { return other && _value == Unbox<E>(other); }
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override {
    Detail::DiffWhole(this, other, prefix, diffs);
  }

 private:
  E const _value;
};

extern template class Primitive<std::string>;
extern template class Primitive<std::vector<unsigned char>>;
extern template class Primitive<signed char>;
extern template class Primitive<short>;
extern template class Primitive<int>;
extern template class Primitive<long>;
extern template class Primitive<float>;
extern template class Primitive<double>;
extern template class Primitive<Basalt::System::DateTime>;
extern template class Primitive<TypeName>;
extern template class Primitive<MethodName>;
extern template class Primitive<PropertyPath>;
extern template class Primitive<Uri>;

}  // namespace Quill
