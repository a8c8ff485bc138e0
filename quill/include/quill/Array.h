// Arrays that travel as Quill::Any: DataArray<T> (counted references to
// objects) and Array<V> (plain values; enumerations through Array<int>).
// Member bodies of the value instances live in libquill; those of enumeration
// instances in quill/ValueImpl.h, instantiated once by the owning library.
//
// A type library instantiates these templates for every enumeration and data
// class it defines, so their members are kept to a call into libquill with
// what is type-specific (type objects, type identities, factories) as
// arguments; the work itself is compiled once, here in the runtime.
#pragma once

#include <cassert>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "basalt/Object.h"
#include "quill/Any.h"
#include "quill/Type.h"
#include "quill/Values.h"

namespace Quill {

class Collection : public Any {
 public:
  ~Collection() override;
  virtual std::uint32_t GetCollectionLength() const = 0;  // slot 8

 protected:
  Collection() noexcept = default;
  Collection(Collection const&) = default;
};

namespace Detail {
// Raises Quill::Fault::InvalidArgument::Exception naming the index and the size.
[[noreturn]] void ThrowIndexOutOfRange(std::size_t index, std::size_t size);
}  // namespace Detail

namespace Detail {
// A read-only iterator over `It` that yields Convert{}(*it) by value: the typed
// views of object arrays (Ref<Any> -> T*) and enumeration arrays (int -> E).
// It stays valid as long as the underlying vector's iterators do.
template <class It, class Convert>
class ConvertingIterator {
 public:
  using iterator_concept = std::bidirectional_iterator_tag;
  using iterator_category = std::input_iterator_tag;  // yields values, not references
  using value_type = std::remove_cvref_t<std::invoke_result_t<Convert, std::iter_reference_t<It>>>;
  using difference_type = std::ptrdiff_t;
  using reference = value_type;
  using pointer = void;

  ConvertingIterator() = default;
  explicit ConvertingIterator(It it) : _it(it) {}

  value_type operator*() const { return Convert{}(*_it); }
  ConvertingIterator& operator++() {
    ++_it;
    return *this;
  }
  ConvertingIterator operator++(int) {
    ConvertingIterator old = *this;
    ++_it;
    return old;
  }
  ConvertingIterator& operator--() {
    --_it;
    return *this;
  }
  ConvertingIterator operator--(int) {
    ConvertingIterator old = *this;
    --_it;
    return old;
  }
  friend bool operator==(ConvertingIterator const& a, ConvertingIterator const& b) { return a._it == b._it; }

 private:
  It _it{};
};
}  // namespace Detail

class DataArrayBase : public Collection {
 public:
  using Items = std::vector<Basalt::Ref<Any>>;

  DataArrayBase() = default;
  // Shares the elements: the copy holds the same objects, one more reference each.
  // Out of line: every DataArray<T>::_Clone goes through it.
  DataArrayBase(DataArrayBase const&);
  ~DataArrayBase() override;

  // Element by element with AreEqualAnysInt (elements count as required
  // objects: flags 0). `other` null or not an object array: false.
  bool _IsEqual(Any const* other, bool lenient) const override;
  // Equal lengths: each differing element i reports under prefix + "[i]"
  // (nested objects recursively below it). Otherwise `prefix` once.
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override;
  std::uint32_t GetCollectionLength() const override;
  virtual Type* _GetItemType() const = 0;  // slot 9

  Items& GetItems() noexcept { return _items; }
  Items const& GetItems() const noexcept { return _items; }
  std::size_t size() const noexcept { return _items.size(); }
  bool empty() const noexcept { return _items.empty(); }
  // Element i; i >= size() throws Quill::Fault::InvalidArgument::Exception
  // (invalidProperty "index").
  Any* GetAny(std::size_t i) const {
    if (i >= _items.size()) Detail::ThrowIndexOutOfRange(i, _items.size());
    return _items[i].get();
  }
  void AppendAny(Any* item);

 protected:
  Items _items;
};

namespace Detail {
// The array type of a._GetItemType(); null while that is null.
Type* ItemArrayType(DataArrayBase const& a);
}  // namespace Detail

template <class T>
class DataArray : public DataArrayBase {
 public:
  DataArray() = default;
  DataArray(DataArray const&) = default;
  DataArray(std::initializer_list<T*> items) {
    _items.reserve(items.size());
    for (T* p : items) AppendAny(p);
  }
  ~DataArray() override = default;

  Type* _GetType() const override { return Detail::ItemArrayType(*this); }
  DataArray* _Clone() const override { return new DataArray(*this); }
  Type* _GetItemType() const override;

  // Elements are of class T (or a subclass) by construction. Get checks the
  // index (i >= size(): Quill::Fault::InvalidArgument::Exception); operator[]
  // is the unchecked form for loops that know their bounds: i < size() is a
  // precondition, asserted in debug builds (the check made a loop over 256
  // elements 69% slower at -O2).
  T* Get(std::size_t i) const {
    if (i >= _items.size()) Detail::ThrowIndexOutOfRange(i, _items.size());
    return static_cast<T*>(_items[i].get());
  }
  T* operator[](std::size_t i) const noexcept {
    assert(i < _items.size());
    return static_cast<T*>(_items[i].get());
  }
  void Append(T* item) { AppendAny(item); }

  // Typed iteration: `for (T* item : *array)`, each element as T* (null
  // elements stay null). Appending to the array invalidates the iterators.
  struct ToItem {
    T* operator()(Basalt::Ref<Any> const& r) const noexcept { return static_cast<T*>(r.get()); }
  };
  using const_iterator = Detail::ConvertingIterator<Items::const_iterator, ToItem>;
  using iterator = const_iterator;
  const_iterator begin() const noexcept { return const_iterator(_items.begin()); }
  const_iterator end() const noexcept { return const_iterator(_items.end()); }
};

template <class T>
Type* DataArray<T>::_GetItemType() const {
  return GetDoType<T>();
}

// Items of the "any" and reference arrays are not data types.
template <>
Type* DataArray<Any>::_GetItemType() const;
template <>
Type* DataArray<MoRef>::_GetItemType() const;

// Booleans in arrays take one byte each (std::vector<bool> would pack them
// into bits and hand out proxies instead of references).
struct BoolByte {
  bool value = false;
  constexpr BoolByte() noexcept = default;
  constexpr BoolByte(bool v) noexcept : value(v) {}
  constexpr operator bool() const noexcept { return value; }
  friend constexpr bool operator==(BoolByte a, BoolByte b) noexcept { return a.value == b.value; }
};
template <class V>
using ArrayElement = std::conditional_t<std::is_same_v<V, bool>, BoolByte, V>;

// Plain values. Comparison ignores `lenient`; a null or foreign `other` is
// unequal, never an error.
template <class V>
class Array : public Collection {
 public:
  using value_type = V;
  using element_type = ArrayElement<V>;

  Array() = default;
  // Out of line (libquill's instances): enumeration arrays copy through it.
  Array(Array const&);
  explicit Array(std::vector<element_type> values) : _values(std::move(values)) {}
  Array(std::initializer_list<V> values) : _values(values.begin(), values.end()) {}
  ~Array() override;

  std::string ToString() const override;
  Type* _GetType() const override;
  Array* _Clone() const override;
  bool _IsEqual(Any const* other, bool lenient) const override;
  // Appends `prefix` itself when the arrays differ; never element paths.
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override;
  std::uint32_t GetCollectionLength() const override;

  std::vector<element_type>& GetValues() noexcept { return _values; }
  std::vector<element_type> const& GetValues() const noexcept { return _values; }
  std::size_t size() const noexcept { return _values.size(); }
  bool empty() const noexcept { return _values.empty(); }
  // i >= size() throws Quill::Fault::InvalidArgument::Exception (the check
  // measured free in a summing loop at -O2 and -O3).
  element_type const& operator[](std::size_t i) const {
    if (i >= _values.size()) Detail::ThrowIndexOutOfRange(i, _values.size());
    return _values[i];
  }
  element_type& operator[](std::size_t i) {
    if (i >= _values.size()) Detail::ThrowIndexOutOfRange(i, _values.size());
    return _values[i];
  }
  void Append(V v) { _values.push_back(std::move(v)); }

  // Iteration over the values: `for (auto& v : *array)`.
  auto begin() noexcept { return _values.begin(); }
  auto end() noexcept { return _values.end(); }
  auto begin() const noexcept { return _values.begin(); }
  auto end() const noexcept { return _values.end(); }

 protected:
  std::vector<element_type> _values;
};

namespace Detail {
// libquill's share of every enumeration array, with FormatEnum and DiffWhole
// (quill/Any.h).
Type* ArrayTypeOf(Type* element);
std::string FormatEnumArray(EnumType const* type, Array<int> const& view);
bool SameEnumValues(Array<int> const& view, Any const* other) noexcept;
Any* CloneEnumArray(Array<int> const& view, Any* (*create)());
// Appends `count` values of an int-sized enumeration, stored from `values`
// on, to `to`'s vector.
void AppendEnumValues(Array<int>& to, void const* values, std::size_t count);
void AppendEnumValue(Array<int>& to, int value);
}  // namespace Detail

// Enumeration values are held as ints in the inherited vector and read
// through `view`, which every enumeration array points at itself.
template <class E>
requires std::is_enum_v<E>
class Array<E> : public Array<int> {
 public:
  using value_type = E;

  Array() noexcept : view(this) {}
  Array(std::initializer_list<E> values) : view(this) {
    if constexpr (sizeof(E) == sizeof(int)) {
      Detail::AppendEnumValues(*this, values.begin(), values.size());
    } else {
      for (E e : values) Detail::AppendEnumValue(*this, static_cast<int>(e));
    }
  }
  // Holds the values of `other`, read through its view, once each.
  Array(Array const& other) : Array<int>(*other.view), view(this) {}
  // Assignment copies (or takes) the values; the view stays on this array,
  // which must never read another array's storage.
  Array& operator=(Array const& other) {
    if (this != &other) this->_values = other.view->GetValues();
    view = this;
    return *this;
  }
  Array& operator=(Array&& other) noexcept {
    if (this != &other) {
      this->_values = std::move(other.view->GetValues());
      other.view->GetValues().clear();
    }
    view = this;
    return *this;
  }
  ~Array() override = default;

  // Defined here rather than beside Array<V>'s in quill/ValueImpl.h: members of
  // a partial specialization that differs from the primary template only by
  // its constraint cannot be defined out of class for clang 14. The work is
  // libquill's; what is E's own is its type object and CreateEmpty.
  std::string ToString() const override { return Detail::FormatEnumArray(GetEnumType<E>(), *view); }
  Type* _GetType() const override { return Detail::ArrayTypeOf(GetEnumType<E>()); }
  Array* _Clone() const override { return static_cast<Array*>(Detail::CloneEnumArray(*view, &CreateEmpty)); }
  // Accepts any Array<int> as `other`, including arrays of other enumerations.
  bool _IsEqual(Any const* other, bool) const override { return Detail::SameEnumValues(*view, other); }
  void _DiffProperties(Any const* other, std::string const& prefix, PropertyDiffSet& diffs) const override {
    Detail::DiffWhole(this, other, prefix, diffs);
  }
  std::uint32_t GetCollectionLength() const override { return static_cast<std::uint32_t>(view->GetValues().size()); }
  // A new empty array of E (count 0): what a clone or a conversion from tags fills.
  static Any* CreateEmpty() { return new Array(); }

  // i >= size() throws Quill::Fault::InvalidArgument::Exception.
  E Get(std::size_t i) const {
    auto const& v = view->GetValues();
    if (i >= v.size()) Detail::ThrowIndexOutOfRange(i, v.size());
    return static_cast<E>(v[i]);
  }
  void Append(E e) { Detail::AppendEnumValue(*view, static_cast<int>(e)); }

  // Typed iteration: `for (E e : *array)`; values, read through the view.
  // Appending to the array invalidates the iterators.
  struct ToEnum {
    E operator()(int v) const noexcept { return static_cast<E>(v); }
  };
  using const_iterator = Detail::ConvertingIterator<std::vector<int>::const_iterator, ToEnum>;
  using iterator = const_iterator;
  const_iterator begin() const noexcept { return const_iterator(view->GetValues().cbegin()); }
  const_iterator end() const noexcept { return const_iterator(view->GetValues().cend()); }

  Array<int>* view;
};

// Instances whose bodies libquill provides.
extern template class Array<std::string>;
extern template class Array<std::vector<unsigned char>>;
extern template class Array<bool>;
extern template class Array<signed char>;
extern template class Array<short>;
extern template class Array<int>;
extern template class Array<long>;
extern template class Array<float>;
extern template class Array<double>;
extern template class Array<TypeName>;
extern template class Array<MethodName>;
extern template class Array<PropertyPath>;
extern template class Array<Uri>;
extern template class DataArray<Any>;
extern template class DataArray<MoRef>;

}  // namespace Quill
