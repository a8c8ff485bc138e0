// Exception roots, the type-mismatch error, message formatting and the
// process stop. Kept free of <iostream> and friends: every generated class
// that can throw includes it.
#pragma once

#include <exception>
#include <initializer_list>
#include <string>
#include <string_view>
#include <typeinfo>

namespace Basalt {

class Throwable : public std::exception {
 public:
  explicit Throwable(std::string message);
  Throwable(Throwable const&) = default;
  Throwable& operator=(Throwable const&) = default;
  ~Throwable() override;

  char const* what() const noexcept override;
  virtual std::string const& GetMessage() const noexcept;
  // Class name, message and, when known, where it was raised; for logs.
  virtual std::string Dump() const;
  // "file:line" when the raiser recorded it with SetWhere, else empty.
  virtual std::string Where() const;
  // A heap copy with the same most-derived class; owned by the caller.
  virtual Throwable* Clone() const;
  // Throws a copy of this exception as its most-derived class.
  [[noreturn]] virtual void Throw() const;

  void SetWhere(char const* file, int line);

 private:
  std::string _message;
  char const* _file = nullptr;
  int _line = 0;
};

class Exception : public Throwable {
 public:
  using Throwable::Throwable;
  Exception(Exception const&) = default;
  ~Exception() override;
  Exception* Clone() const override;
  [[noreturn]] void Throw() const override;
};

// A boxed value or object was not of the class the code expected.
class TypeMismatchException : public Exception {
 public:
  TypeMismatchException(std::type_info const& expected, std::type_info const& actual);
  TypeMismatchException(TypeMismatchException const&) = default;
  ~TypeMismatchException() override;
  TypeMismatchException* Clone() const override;
  [[noreturn]] void Throw() const override;

  std::type_info const& GetExpected() const noexcept { return *_expected; }
  std::type_info const& GetActual() const noexcept { return *_actual; }

 private:
  std::type_info const* _expected;
  std::type_info const* _actual;
};

// Throws TypeMismatchException; message "Type mismatch: expected <E>, got <A>"
// with both class names demangled.
[[noreturn]] void ThrowTypeMismatchException(std::type_info const& expected, std::type_info const& actual);

// Readable class name of a type_info ("Quill::Primitive<int>").
std::string Demangle(std::type_info const& info);

// printf-style message to stderr, then abort(). For states the program cannot
// leave (a ThrowInternal that returned).
[[noreturn]] void Panic(char const* format, ...) __attribute__((format(printf, 1, 2)));

namespace Detail {
// Replaces %1, %2, ... (one or more digits) by the matching argument; "%%" is a
// literal percent sign. A placeholder without an argument is kept as written,
// so a bad format shows up in the text instead of crashing.
std::string ASPrintInternal(std::string_view format, std::initializer_list<std::string_view> args);
}  // namespace Detail

template <class... Args>
std::string ASPrint(std::string_view format, Args const&... args) {
  return Detail::ASPrintInternal(format, {std::string_view(args)...});
}

}  // namespace Basalt
