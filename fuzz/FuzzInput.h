// The shape of a fuzz input: two bytes (little-endian) choosing from a stable
// list, then the document. The choice is the declared type of a value, or the
// method a response answers, so that one target reaches every type and
// operation of the catalogue. The seed writer uses the same lists.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "quill/Registry.h"
#include "quill/Type.h"

namespace tarn_fuzz {

inline bool ByName(Quill::Type const* a, Quill::Type const* b) { return std::strcmp(a->GetName(), b->GetName()) < 0; }

// The any type first, then data, fault and enumeration types by name.
inline std::vector<Quill::Type*> const& ValueTypes() {
  static std::vector<Quill::Type*> const types = [] {
    std::vector<Quill::Type*> out;
    for (Quill::TypeKind kind : {Quill::KIND_DATA, Quill::KIND_FAULT, Quill::KIND_ENUM}) {
      std::vector<Quill::Type*> some = Quill::GetTypesOfKind(kind);
      out.insert(out.end(), some.begin(), some.end());
    }
    std::sort(out.begin(), out.end(), ByName);
    out.insert(out.begin(), Quill::FindType("any"));
    return out;
  }();
  return types;
}

// Every method and property read of every managed type, by type name then slot.
inline std::vector<Quill::ManagedMethod*> const& Methods() {
  static std::vector<Quill::ManagedMethod*> const methods = [] {
    std::vector<Quill::Type*> managed = Quill::GetTypesOfKind(Quill::KIND_MANAGED);
    std::sort(managed.begin(), managed.end(), ByName);
    std::vector<Quill::ManagedMethod*> out;
    for (Quill::Type* t : managed) {
      auto* mt = static_cast<Quill::ManagedObjectType*>(t);
      std::uint32_t n = mt->GetOwnMethodCount() + mt->GetOwnPropertyCount();
      for (std::uint32_t i = 0; i < n; ++i) out.push_back(mt->GetMethodObject(i));
    }
    return out;
  }();
  return methods;
}

struct Input {
  std::size_t choice = 0;
  std::string_view document;
};

inline bool Split(std::uint8_t const* data, std::size_t size, std::size_t count, Input& in) {
  if (size < 2 || count == 0) return false;
  in.choice = (static_cast<std::size_t>(data[0]) | static_cast<std::size_t>(data[1]) << 8) % count;
  in.document = std::string_view(reinterpret_cast<char const*>(data) + 2, size - 2);
  return true;
}

inline std::string Prefix(std::size_t choice) {
  return std::string{static_cast<char>(choice & 0xff), static_cast<char>((choice >> 8) & 0xff)};
}

}  // namespace tarn_fuzz
