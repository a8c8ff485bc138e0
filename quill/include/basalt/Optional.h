// A value with a set flag; unset by default. Optional<bool> packs both into a
// single signed byte (-1 unset, 0 false, 1 true) because data objects hold
// thousands of them.
#pragma once

#include <type_traits>
#include <utility>

namespace Basalt {

template <class T>
class Optional {
 public:
  Optional() : _value(), _set(false) {}
  Optional(T const& v) : _value(v), _set(true) {}
  Optional(T&& v) : _value(std::move(v)), _set(true) {}

  Optional& operator=(T const& v) {
    _value = v;
    _set = true;
    return *this;
  }
  Optional& operator=(T&& v) {
    _value = std::move(v);
    _set = true;
    return *this;
  }

  bool IsSet() const noexcept { return _set; }
  explicit operator bool() const noexcept { return _set; }
  // Reading an unset optional yields the zeroed/empty default value.
  T const& GetValue() const noexcept { return _value; }
  T& GetValue() noexcept { return _value; }
  T const& operator*() const noexcept { return _value; }
  T& operator*() noexcept { return _value; }
  T const* operator->() const noexcept { return &_value; }
  T* operator->() noexcept { return &_value; }

  // Makes the optional set and returns the value for in-place filling.
  T& Emplace() {
    _set = true;
    return _value;
  }
  void Unset() {
    _value = T();
    _set = false;
  }

  friend void swap(Optional& a, Optional& b) noexcept {
    using std::swap;
    swap(a._value, b._value);
    swap(a._set, b._set);
  }

 private:
  T _value;
  bool _set;
};

template <>
class Optional<bool> {
 public:
  constexpr Optional() noexcept : _state(-1) {}
  constexpr Optional(bool v) noexcept : _state(v ? 1 : 0) {}
  Optional& operator=(bool v) noexcept {
    _state = v ? 1 : 0;
    return *this;
  }

  constexpr bool IsSet() const noexcept { return _state >= 0; }
  constexpr explicit operator bool() const noexcept { return IsSet(); }
  constexpr bool GetValue() const noexcept { return _state == 1; }
  constexpr bool operator*() const noexcept { return _state == 1; }
  void Unset() noexcept { _state = -1; }
  // -1, 0 or 1; compared as a whole by equality.
  constexpr signed char GetState() const noexcept { return _state; }
  // For descriptor accessors, which hand out the address of a value.
  signed char* GetStatePtr() noexcept { return &_state; }

  friend void swap(Optional& a, Optional& b) noexcept { std::swap(a._state, b._state); }

 private:
  signed char _state;
};

static_assert(sizeof(Optional<bool>) == 1, "Optional<bool> must be a single byte");

}  // namespace Basalt
