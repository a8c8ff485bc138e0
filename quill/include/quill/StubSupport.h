// Helpers for generated stubs and dispatch functions, so that the code per
// operation stays one or two lines. Include in generated sources.
//
// Client end (stub operation, one line each):
//
//   void CounterStub::Reset() { Quill::Invoke(this, gM[1], Quill::Args()); }
//   long CounterStub::Add(int amount, Basalt::Optional<std::string> const& note) {
//     return Quill::InvokeValue<long>(this, gM[0], Quill::Args(amount, note));
//   }
//   void CounterStub::Resize(int size, Basalt::Ref<Quill::MoRef>& result) {
//     Quill::InvokeInto(this, gM[2], Quill::Args(size), result);
//   }
//   void CounterStub::Add(int amount, Basalt::Optional<std::string> const& note,
//                         Quill::InvokeCallback const& callback,
//                         Basalt::Ref<Basalt::System::ScheduledItem>& item) {
//     Quill::StartInvoke(this, gM[0], Quill::Args(amount, note), callback, item);
//   }
//
// Server end (dispatch), one case per entry:
//
//   result->reset();
//   auto* self = Quill::DispatchTarget<Counter>(object);
//   switch (index) {
//     case 0: *result = Quill::Box(self->Add(Quill::ArgValue<int>(args, 0),
//                                            Quill::ArgOptional<std::string>(args, 1))); break;
//     case 1: self->Reset(); break;
//     case 2: { Basalt::Ref<Quill::MoRef> r; self->Resize(Quill::ArgValue<int>(args, 0), r); *result = r; } break;
//     default: Quill::ThrowNoDispatchEntry(self->_GetType(), index);
//   }
//
// The templates are instantiated once per value type: libquill carries the
// instances for the runtime's value types (declared extern below); a type
// library instantiates those of its enumerations wherever it first uses them.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "basalt/DateTime.h"
#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "basalt/Optional.h"
#include "quill/Array.h"
#include "quill/ManagedObject.h"
#include "quill/Primitive.h"
#include "quill/Stub.h"
#include "quill/Values.h"

namespace Quill {

namespace Detail {
// Quill::Fault::InvalidArgument::Exception: argument slot `index` is empty
// but its parameter is a required value.
[[noreturn]] void ThrowMissingArgument(std::uint32_t index);
// Quill::Fault::SystemError::Exception: the call delivered no result where a
// required value (`expected`, the box class) was declared. `method` may be null.
[[noreturn]] void ThrowEmptyResult(std::type_info const& expected, ManagedMethod const* method);
// Quill::Fault::InvalidArgument::Exception: dispatch was given no object.
[[noreturn]] void ThrowNullDispatchTarget(std::type_info const& expected);
}  // namespace Detail

// Quill::Fault::NotSupported::Exception for a dispatch index that has no
// entry (beyond the last one, or a method of the disabled version).
[[noreturn]] void ThrowNoDispatchEntry(ManagedObjectType const* type, std::uint32_t index);

// The body of a stub operation of the disabled version, which has no
// invocation code: throws Quill::Fault::NotSupported::Exception naming the
// method (its METHOD_ constant).
[[noreturn]] void ThrowDisabledOperation(char const* method);
// What a server-side skeleton answers for an operation its implementation does
// not override: Fault::NotSupported naming the method ("tarn.Folder.createFolder").
[[noreturn]] void ThrowNotImplemented(char const* qualifiedName);

// --- boxing -----------------------------------------------------------------------
// One overload per parameter form. Values go into new boxes (count 0, owned
// by the returned reference); booleans use the two shared boxes; objects,
// arrays and references are passed as they are; an unset optional and a null
// pointer give an empty reference. The same overloads box what an
// implementation returns on the server end.
Basalt::Ref<Any> Box(std::string const& v);
Basalt::Ref<Any> Box(char const* v);  // a string, not a bool
Basalt::Ref<Any> Box(bool v);
Basalt::Ref<Any> Box(Basalt::Optional<bool> const& v);
Basalt::Ref<Any> Box(signed char v);
Basalt::Ref<Any> Box(short v);
Basalt::Ref<Any> Box(int v);
Basalt::Ref<Any> Box(long v);
Basalt::Ref<Any> Box(float v);
Basalt::Ref<Any> Box(double v);
Basalt::Ref<Any> Box(std::vector<unsigned char> const& v);
Basalt::Ref<Any> Box(Basalt::System::DateTime const& v);
Basalt::Ref<Any> Box(TypeName const& v);
Basalt::Ref<Any> Box(MethodName const& v);
Basalt::Ref<Any> Box(PropertyPath const& v);
Basalt::Ref<Any> Box(Uri const& v);
inline Basalt::Ref<Any> Box(std::nullptr_t) noexcept { return {}; }

template <class E>
requires std::is_enum_v<E> Basalt::Ref<Any> Box(E v) { return Basalt::Ref<Any>(new Primitive<E>(v)); }

template <class V>
Basalt::Ref<Any> Box(Basalt::Optional<V> const& v) {
  return v.IsSet() ? Box(v.GetValue()) : Basalt::Ref<Any>();
}

template <class T>
requires std::is_base_of_v<Any, T> Basalt::Ref<Any> Box(T* p)
noexcept { return Basalt::Ref<Any>(static_cast<Any*>(p)); }

// An out-parameter of an implementation (data object, array, reference, any).
template <class T>
requires std::is_base_of_v<Any, T> Basalt::Ref<Any> Box(Basalt::Ref<T> const& r)
noexcept { return Basalt::Ref<Any>(static_cast<Any*>(r.get())); }

// The argument vector of a call: exactly one slot per argument, boxed in
// order. One allocation for the vector (none without arguments) plus one per
// new box. Should a box fail to allocate, the slots filled so far are released.
template <class... A>
ArgVector Args(A const&... a) {
  ArgVector v(sizeof...(A));
  [[maybe_unused]] std::size_t i = 0;
  ((v[i++] = Box(a)), ...);
  return v;
}

// --- result conversion (client end) -------------------------------------------------
// Data object, fault, reference, array or any result into its out-parameter.
// Objects: an empty result empties the out-parameter, another class throws
// Basalt::TypeMismatchException (expected T, actual class) and leaves the
// out-parameter as it was. Arrays: the same, except that an empty result
// becomes a new empty array. Any: taken unchanged.
template <class T>
void ResultInto(Any* raw, Basalt::Ref<T>& out) {
  if constexpr (std::is_same_v<T, Any>) {
    out = raw;
  } else {
    if (!raw) {
      if constexpr (std::is_base_of_v<Collection, T>) {
        out = new T();
      } else {
        out = nullptr;
      }
      return;
    }
    T* t = dynamic_cast<T*>(raw);
    if (!t) Basalt::ThrowTypeMismatchException(typeid(T), typeid(*raw));
    out = t;
  }
}

// A required value result: a copy of the box's value. Another class throws
// Basalt::TypeMismatchException (expected Primitive<V>); an empty result
// throws Quill::Fault::SystemError::Exception naming the method, never reads
// through null.
template <class V>
V ResultValue(Any* raw, ManagedMethod const* method = nullptr) {
  if (!raw) Detail::ThrowEmptyResult(typeid(Primitive<V>), method);
  return Unbox<V>(raw);
}

// An optional value result: unset when empty.
template <class V>
Basalt::Optional<V> ResultOptional(Any* raw) {
  if (!raw) return Basalt::Optional<V>();
  return Basalt::Optional<V>(Unbox<V>(raw));
}

// --- invocation (client end) -----------------------------------------------------------
// Sync call without result: the two-argument _Invoke_Task.
void Invoke(StubImpl* stub, ManagedMethod* method, ArgVector&& args);

// Sync calls with a result: the virtual three-argument _Invoke_Task, then the
// conversion above. Exceptions pass through unchanged; the out-parameter
// keeps its value when the call or the conversion throws.
template <class T>
void InvokeInto(StubImpl* stub, ManagedMethod* method, ArgVector&& args, Basalt::Ref<T>& result) {
  Basalt::Ref<Any> raw;
  stub->_Invoke_Task(method, args, raw);
  ResultInto(raw.get(), result);
}

template <class V>
V InvokeValue(StubImpl* stub, ManagedMethod* method, ArgVector&& args) {
  Basalt::Ref<Any> raw;
  stub->_Invoke_Task(method, args, raw);
  return ResultValue<V>(raw.get(), method);
}

template <class V>
Basalt::Optional<V> InvokeOptional(StubImpl* stub, ManagedMethod* method, ArgVector&& args) {
  Basalt::Ref<Any> raw;
  stub->_Invoke_Task(method, args, raw);
  return ResultOptional<V>(raw.get());
}

// Async overload: _StartInvoke_Task with the caller's callback and handle.
// The result reaches the callback raw (not converted).
void StartInvoke(StubImpl* stub, ManagedMethod* method, ArgVector&& args, InvokeCallback const& callback,
                 Basalt::Ref<Basalt::System::ScheduledItem>& item);

// --- unboxing (server end) -----------------------------------------------------------
// The interface I of the object being dispatched to. Another class throws
// Basalt::TypeMismatchException (expected I, actual class); null throws
// Quill::Fault::InvalidArgument::Exception.
template <class I>
I* DispatchTarget(ManagedObject* object) {
  if (!object) Detail::ThrowNullDispatchTarget(typeid(I));
  I* i = dynamic_cast<I*>(object);
  if (!i) Basalt::ThrowTypeMismatchException(typeid(I), typeid(*object));
  return i;
}

// The Arg* readers below take the `args` pointer a dispatch function was
// given. A null pointer is refused like an empty slot; that it points at one
// slot per parameter is the caller's precondition (the raw dispatch function
// has no count to check against): call Quill::Dispatch to have it checked.
//
// Scalars and enumerations by value, everything else by reference into the
// box (which the argument array keeps alive for the call).
template <class V>
using ArgType = std::conditional_t<std::is_scalar_v<V>, V, V const&>;

// A required value argument. A box of another class throws
// Basalt::TypeMismatchException naming Primitive<V> first; an empty slot
// throws Quill::Fault::InvalidArgument::Exception.
template <class V>
ArgType<V> ArgValue(Basalt::Ref<Any> const* args, std::uint32_t i) {
  if (!args) Detail::ThrowMissingArgument(i);
  Any const* box = args[i].get();
  if (!box) Detail::ThrowMissingArgument(i);
  return Unbox<V>(box);
}

// An optional value argument: unset when the slot is empty.
template <class V>
Basalt::Optional<V> ArgOptional(Basalt::Ref<Any> const* args, std::uint32_t i) {
  if (!args) Detail::ThrowMissingArgument(i);
  Any const* box = args[i].get();
  if (!box) return Basalt::Optional<V>();
  return Basalt::Optional<V>(Unbox<V>(box));
}

// A data object, fault, reference or array argument (null when the slot is
// empty), or any value unchanged. Another class throws
// Basalt::TypeMismatchException (expected T, actual class).
template <class T>
T* ArgObject(Basalt::Ref<Any> const* args, std::uint32_t i) {
  if (!args) Detail::ThrowMissingArgument(i);
  Any* a = args[i].get();
  if constexpr (std::is_same_v<T, Any>) {
    return a;
  } else {
    if (!a) return nullptr;
    T* t = dynamic_cast<T*>(a);
    if (!t) Basalt::ThrowTypeMismatchException(typeid(T), typeid(*a));
    return t;
  }
}

// The checked entry to a type's dispatch function, for code that drives an
// implementation by hand (LocalAdapter checks the same before it dispatches):
// Quill::Fault::InvalidArgument::Exception for a null object or method, an
// object whose type does not derive from the method's declaring type, or a
// number of arguments other than method->GetParameterCount();
// Quill::Fault::NotSupported::Exception when the type has no dispatch.
// `result` is cleared, then receives the boxed result.
void Dispatch(ManagedObject* object, ManagedMethod const* method, ArgVector const& args, Basalt::Ref<Any>& result);

// --- instances in libquill ------------------------------------------------------------------
#define QUILL_STUB_SUPPORT_VALUE(V, EXTERN)                                                       \
  EXTERN template V ResultValue<V>(Any*, ManagedMethod const*);                                   \
  EXTERN template Basalt::Optional<V> ResultOptional<V>(Any*);                                    \
  EXTERN template V InvokeValue<V>(StubImpl*, ManagedMethod*, ArgVector &&);                      \
  EXTERN template Basalt::Optional<V> InvokeOptional<V>(StubImpl*, ManagedMethod*, ArgVector &&); \
  EXTERN template ArgType<V> ArgValue<V>(Basalt::Ref<Any> const*, std::uint32_t);                 \
  EXTERN template Basalt::Optional<V> ArgOptional<V>(Basalt::Ref<Any> const*, std::uint32_t);
#define QUILL_STUB_SUPPORT_VALUES(EXTERN)                      \
  QUILL_STUB_SUPPORT_VALUE(std::string, EXTERN)                \
  QUILL_STUB_SUPPORT_VALUE(bool, EXTERN)                       \
  QUILL_STUB_SUPPORT_VALUE(signed char, EXTERN)                \
  QUILL_STUB_SUPPORT_VALUE(short, EXTERN)                      \
  QUILL_STUB_SUPPORT_VALUE(int, EXTERN)                        \
  QUILL_STUB_SUPPORT_VALUE(long, EXTERN)                       \
  QUILL_STUB_SUPPORT_VALUE(float, EXTERN)                      \
  QUILL_STUB_SUPPORT_VALUE(double, EXTERN)                     \
  QUILL_STUB_SUPPORT_VALUE(std::vector<unsigned char>, EXTERN) \
  QUILL_STUB_SUPPORT_VALUE(Basalt::System::DateTime, EXTERN)   \
  QUILL_STUB_SUPPORT_VALUE(TypeName, EXTERN)                   \
  QUILL_STUB_SUPPORT_VALUE(MethodName, EXTERN)                 \
  QUILL_STUB_SUPPORT_VALUE(PropertyPath, EXTERN)               \
  QUILL_STUB_SUPPORT_VALUE(Uri, EXTERN)

QUILL_STUB_SUPPORT_VALUES(extern)

}  // namespace Quill
