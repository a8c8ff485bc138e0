#include "basalt/Exception.h"

#include <cxxabi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace Basalt {

Throwable::Throwable(std::string message) : _message(std::move(message)) {}
Throwable::~Throwable() = default;

char const* Throwable::what() const noexcept { return _message.c_str(); }
std::string const& Throwable::GetMessage() const noexcept { return _message; }

std::string Throwable::Where() const {
  if (!_file) return {};
  return std::string(_file) + ":" + std::to_string(_line);
}

std::string Throwable::Dump() const {
  std::string out = Demangle(typeid(*this));
  out += ": ";
  out += _message;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  std::string where = Where();
  if (!where.empty()) out += " (at " + where + ")";
  return out;
}

Throwable* Throwable::Clone() const { return new Throwable(*this); }
void Throwable::Throw() const { throw Throwable(*this); }

void Throwable::SetWhere(char const* file, int line) {
  _file = file;
  _line = line;
}

Exception::~Exception() = default;
Exception* Exception::Clone() const { return new Exception(*this); }
void Exception::Throw() const { throw Exception(*this); }

TypeMismatchException::TypeMismatchException(std::type_info const& expected, std::type_info const& actual)
    : Exception(ASPrint("Type mismatch: expected %1, got %2", Demangle(expected), Demangle(actual))),
      _expected(&expected),
      _actual(&actual) {}
TypeMismatchException::~TypeMismatchException() = default;
TypeMismatchException* TypeMismatchException::Clone() const { return new TypeMismatchException(*this); }
void TypeMismatchException::Throw() const { throw TypeMismatchException(*this); }

void ThrowTypeMismatchException(std::type_info const& expected, std::type_info const& actual) {
  throw TypeMismatchException(expected, actual);
}

std::string Demangle(std::type_info const& info) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(info.name(), nullptr, nullptr, &status), std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(info.name());
}

void Panic(char const* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fflush(stderr);
  std::abort();
}

namespace Detail {

std::string ASPrintInternal(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(format.size() + 32);
  for (std::size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      out += c;
      continue;
    }
    char next = format[i + 1];
    if (next == '%') {
      out += '%';
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    std::size_t n = 0;
    while (j < format.size() && format[j] >= '0' && format[j] <= '9') {
      n = n * 10 + static_cast<std::size_t>(format[j] - '0');
      ++j;
    }
    if (j == i + 1 || n == 0 || n > args.size()) {
      out.append(format.substr(i, j - i));  // kept as written
    } else {
      out.append(*(args.begin() + (n - 1)));
    }
    i = j - 1;
  }
  return out;
}

}  // namespace Detail
}  // namespace Basalt
