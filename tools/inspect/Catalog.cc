#include "Catalog.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "basalt/Exception.h"
#include "basalt/Object.h"
#include "quill/Any.h"
#include "quill/MethodFault.h"

namespace Inspect {

namespace {

constexpr Quill::TypeKind kDescribed[] = {Quill::KIND_ENUM, Quill::KIND_DATA, Quill::KIND_FAULT, Quill::KIND_MANAGED};

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view LastComponent(std::string_view name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

bool ByName(Quill::Type const* a, Quill::Type const* b) { return std::strcmp(a->GetName(), b->GetName()) < 0; }

bool IsDataLike(Quill::Type const* t) { return t->GetKind() == Quill::KIND_DATA || t->GetKind() == Quill::KIND_FAULT; }

}  // namespace

char const* KindName(Quill::TypeKind kind) {
  switch (kind) {
    case Quill::KIND_PRIMITIVE:
      return "primitive";
    case Quill::KIND_ANY:
      return "any";
    case Quill::KIND_ARRAY:
      return "array";
    case Quill::KIND_ENUM:
      return "enum";
    case Quill::KIND_DATA:
      return "data";
    case Quill::KIND_FAULT:
      return "fault";
    case Quill::KIND_MANAGED:
      return "managed";
  }
  return "unknown";
}

std::optional<Quill::TypeKind> ParseKind(std::string_view name) {
  for (Quill::TypeKind k : kDescribed) {
    if (name == KindName(k)) return k;
  }
  return std::nullopt;
}

std::string ModuleOf(Quill::Type const* type) {
  std::string_view name = type->GetName();
  std::size_t dot = name.rfind('.');
  while (dot != std::string_view::npos) {
    std::string_view prefix = name.substr(0, dot);
    if (!Quill::FindType(prefix)) return std::string(prefix);
    dot = prefix.rfind('.');
  }
  return {};
}

std::vector<Quill::Type*> DescribedTypes() {
  std::vector<Quill::Type*> all;
  for (Quill::TypeKind k : kDescribed) {
    std::vector<Quill::Type*> some = Quill::GetTypesOfKind(k);
    all.insert(all.end(), some.begin(), some.end());
  }
  std::sort(all.begin(), all.end(), ByName);
  return all;
}

std::string FlagNames(std::uint32_t flags) {
  static constexpr struct {
    std::uint32_t bit;
    char const* name;
  } kNames[] = {
      {Quill::F_ARRAY, "array"},       {Quill::F_OPTIONAL, "optional"}, {Quill::F_MANAGED, "managed"},
      {Quill::F_LINKABLE, "linkable"}, {Quill::F_LINK, "link"},         {Quill::F_FLAG40, "flag40"},
      {Quill::F_SECRET, "secret"},     {Quill::F_FLAG400, "flag400"},
  };
  std::string out;
  std::uint32_t rest = flags;
  for (auto const& f : kNames) {
    if (!(flags & f.bit)) continue;
    if (!out.empty()) out += ',';
    out += f.name;
    rest &= ~f.bit;
  }
  if (rest) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%x", rest);
    if (!out.empty()) out += ',';
    out += buf;
  }
  return out.empty() ? "-" : out;
}

std::string TypeRef(Quill::PropertyInfo const& p) {
  if (!p.type) return "void";
  std::string out = p.type->name;
  if (p.flags & Quill::F_ARRAY) out += "[]";
  return out;
}

std::vector<Quill::PropertyInfo const*> OwnProperties(Quill::Type const* type) {
  std::vector<Quill::PropertyInfo const*> out;
  if (IsDataLike(type)) {
    auto const* d = static_cast<Quill::DataObjectType const*>(type);
    for (std::uint32_t i = 0, n = d->GetOwnPropertyCount(); i < n; ++i) out.push_back(&d->GetOwnProperty(i));
  } else if (type->GetKind() == Quill::KIND_MANAGED) {
    // The method-object array holds the own methods, then one reader per own
    // property; the readers point at the descriptor's property rows.
    auto const* m = static_cast<Quill::ManagedObjectType const*>(type);
    std::uint32_t first = m->GetOwnMethodCount();
    for (std::uint32_t i = 0, n = m->GetOwnPropertyCount(); i < n; ++i) {
      out.push_back(m->GetMethodObject(first + i)->GetPropertyInfo());
    }
  }
  return out;
}

std::vector<Quill::MethodInfo const*> OwnMethods(Quill::Type const* type) {
  std::vector<Quill::MethodInfo const*> out;
  if (type->GetKind() != Quill::KIND_MANAGED) return out;
  auto const* m = static_cast<Quill::ManagedObjectType const*>(type);
  for (std::uint32_t i = 0, n = m->GetOwnMethodCount(); i < n; ++i) {
    out.push_back(m->GetMethodObject(i)->GetMethodInfo());
  }
  return out;
}

std::vector<InheritedProperty> InheritedProperties(Quill::Type const* type) {
  std::vector<InheritedProperty> out;
  if (IsDataLike(type)) {
    auto const* d = static_cast<Quill::DataObjectType const*>(type);
    for (std::uint32_t i = 0, n = d->GetPropertyCount(); i < n; ++i) {
      Quill::DataProperty const& p = d->GetProperty(i);
      if (p.owner == d->GetDescriptor()) continue;
      out.push_back({p.owner->type->name, p.info});
    }
  } else if (type->GetKind() == Quill::KIND_MANAGED) {
    auto const* m = static_cast<Quill::ManagedObjectType const*>(type);
    for (std::uint32_t i = 0, n = m->GetPropertyCount(); i < n; ++i) {
      Quill::ManagedProperty const& p = m->GetProperty(i);
      Quill::ManagedObjectType const* owner = p.reader ? p.reader->GetDeclaringType() : nullptr;
      if (owner == m) continue;
      out.push_back({owner ? owner->GetName() : "?", p.info});
    }
  }
  return out;
}

char const* BaseName(Quill::Type const* type) {
  Quill::TypeInfo const* base = nullptr;
  if (IsDataLike(type)) {
    base = static_cast<Quill::DataObjectType const*>(type)->GetDescriptor()->base;
  } else if (type->GetKind() == Quill::KIND_MANAGED) {
    base = static_cast<Quill::ManagedObjectType const*>(type)->GetDescriptor()->base;
  }
  return base ? base->name : nullptr;
}

std::vector<Quill::Type*> BaseChain(Quill::Type const* type) {
  std::vector<Quill::Type*> out;
  if (IsDataLike(type)) {
    for (auto* t = static_cast<Quill::DataObjectType const*>(type)->GetBaseType(); t; t = t->GetBaseType()) {
      out.push_back(t);
    }
  } else if (type->GetKind() == Quill::KIND_MANAGED) {
    for (auto* t = static_cast<Quill::ManagedObjectType const*>(type)->GetBaseType(); t; t = t->GetBaseType()) {
      out.push_back(t);
    }
  }
  return out;
}

std::optional<std::string> ExceptionClass(Quill::Type const* type) {
  if (type->GetKind() != Quill::KIND_FAULT) return std::nullopt;
  Basalt::Ref<Quill::DynamicData> obj(static_cast<Quill::DataObjectType const*>(type)->Create());
  auto* fault = dynamic_cast<Quill::MethodFault*>(obj.get());
  if (!fault) return std::nullopt;
  std::unique_ptr<Quill::MethodFault::Exception> e(fault->CreateException());
  if (!e) return std::nullopt;
  Quill::MethodFault::Exception const& made = *e;
  return Basalt::Demangle(typeid(made));
}

Quill::Type* ResolveType(std::string_view name) {
  if (Quill::Type* t = Quill::FindType(name)) return t;
  if (Quill::Type* t = Quill::FindTypeByWsdlName(name)) return t;
  if (Quill::Type* t = Quill::FindType("tarn." + std::string(name))) return t;
  return nullptr;
}

std::vector<Quill::Type*> NearTypes(std::string_view name, std::size_t limit) {
  std::string lower = Lower(name);
  std::string last = Lower(LastComponent(name));
  std::vector<Quill::Type*> out;
  for (Quill::Type* t : DescribedTypes()) {
    std::string tn = Lower(t->GetName());
    bool near = tn == lower || Lower(t->GetWsdlName() ? t->GetWsdlName() : "") == lower || tn == "tarn." + lower ||
                Lower(LastComponent(t->GetName())) == last;
    if (near) out.push_back(t);
  }
  if (out.size() > limit) out.resize(limit);
  return out;
}

namespace {

struct BuiltIn {
  char const* name;
  char const* cpp;
  char const* header;
};
// The runtime's value types as a property of that type holds them.
constexpr BuiltIn kPrimitives[] = {
    {"string", "std::string", ""},
    {"boolean", "bool", ""},
    {"byte", "signed char", ""},
    {"short", "short", ""},
    {"int", "int", ""},
    {"long", "long", ""},
    {"float", "float", ""},
    {"double", "double", ""},
    {"dateTime", "Basalt::System::DateTime", "basalt/DateTime.h"},
    {"binary", "std::vector<unsigned char>", ""},
    {"typeName", "Quill::TypeName", "quill/Values.h"},
    {"methodName", "Quill::MethodName", "quill/Values.h"},
    {"propertyPath", "Quill::PropertyPath", "quill/Values.h"},
    {"uri", "Quill::Uri", "quill/Values.h"},
    {"any", "Quill::Any", "quill/Any.h"},
};

// The runtime declares its own described types in a few headers of its own.
constexpr BuiltIn kRuntimeTypes[] = {
    {"sedge.DynamicData", "Quill::DynamicData", "quill/Any.h"},
    {"sedge.ManagedObject", "Quill::ManagedObject", "quill/ManagedObject.h"},
    {"sedge.MethodFault", "Quill::MethodFault", "quill/MethodFault.h"},
    {"sedge.RuntimeFault", "Quill::RuntimeFault", "quill/MethodFault.h"},
    {"sedge.KeyAnyValue", "Quill::KeyAnyValue", "quill/DataTypes.h"},
    {"sedge.LocalizableMessage", "Quill::LocalizableMessage", "quill/DataTypes.h"},
    {"sedge.DynamicProperty", "Quill::DynamicProperty", "quill/DataTypes.h"},
};

BuiltIn const* FindBuiltIn(Quill::Type const* type) {
  char const* name = type->GetName();
  if (type->GetKind() == Quill::KIND_PRIMITIVE || type->GetKind() == Quill::KIND_ANY) {
    for (BuiltIn const& b : kPrimitives) {
      if (std::strcmp(b.name, name) == 0) return &b;
    }
    return nullptr;
  }
  for (BuiltIn const& b : kRuntimeTypes) {
    if (std::strcmp(b.name, name) == 0) return &b;
  }
  return nullptr;
}

std::vector<std::string_view> Split(std::string_view s) {
  std::vector<std::string_view> out;
  for (std::size_t start = 0;;) {
    std::size_t dot = s.find('.', start);
    out.push_back(s.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
    if (dot == std::string_view::npos) return out;
    start = dot + 1;
  }
}

std::string Capitalised(std::string_view s) {
  std::string out(s);
  if (!out.empty()) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  return out;
}

}  // namespace

std::string CppClass(Quill::Type const* type) {
  if (BuiltIn const* b = FindBuiltIn(type)) return b->cpp;
  std::string module = ModuleOf(type);
  if (module.empty()) return {};
  // Of the runtime's own types, the table above and its faults have classes;
  // the others (the property collector, ...) are served without one.
  std::string out;
  if (module == "sedge.fault") {
    out = "Quill::Fault";
  } else if (Split(module)[0] == "sedge") {
    return {};
  } else {
    // The module's components capitalised, the type's components as spelled.
    for (std::string_view c : Split(module)) {
      if (!out.empty()) out += "::";
      out += Capitalised(c);
    }
  }
  for (std::string_view c : Split(std::string_view(type->GetName()).substr(module.size() + 1))) {
    out += "::";
    out += c;
  }
  return out;
}

std::string CppHeader(Quill::Type const* type) {
  if (BuiltIn const* b = FindBuiltIn(type)) return b->header;
  std::string module = ModuleOf(type);
  std::vector<std::string_view> ns = Split(module);
  if (ns.empty() || module.empty()) return {};
  if (ns[0] == "sedge") return ns.size() == 2 && ns[1] == "fault" ? "quill/Faults.h" : "";
  // One header per outermost type: nested types live in their family's.
  std::string out(ns[0]);
  for (std::size_t i = 1; i < ns.size(); ++i) {
    out += '/';
    out += ns[i];
  }
  out += '/';
  out += Split(std::string_view(type->GetName()).substr(module.size() + 1))[0];
  out += ".h";
  return out;
}

std::vector<Quill::Type*> Candidates(std::string_view name) {
  std::vector<Quill::Type*> out;
  if (Quill::Type* t = Quill::FindType(name); t && t->GetKind() >= Quill::KIND_ENUM) {
    out.push_back(t);
    return out;
  }
  std::string suffix = "." + std::string(name);
  std::string qualified = "tarn" + suffix;
  for (Quill::Type* t : DescribedTypes()) {
    std::string_view tn = t->GetName();
    char const* wsdl = t->GetWsdlName();
    bool match = (wsdl && name == wsdl) || tn == qualified ||
                 (tn.size() > suffix.size() && tn.substr(tn.size() - suffix.size()) == suffix);
    if (match) out.push_back(t);
  }
  return out;
}

std::optional<MethodMatch> ResolveMethod(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return std::nullopt;
  Quill::Type* type = ResolveType(name.substr(0, dot));
  if (!type || type->GetKind() != Quill::KIND_MANAGED) return std::nullopt;
  std::string_view method = name.substr(dot + 1);
  for (auto const* m = static_cast<Quill::ManagedObjectType const*>(type); m; m = m->GetBaseType()) {
    for (Quill::MethodInfo const* info : OwnMethods(m)) {
      if (method == info->name || (info->wsdlName && method == info->wsdlName)) return MethodMatch{m, info};
    }
  }
  return std::nullopt;
}

Quill::Version const* ResolveVersion(std::string_view name) {
  if (Quill::Version const* v = Quill::FindVersion(name)) return v;
  return Quill::FindVersion("tarn.version." + std::string(name));
}

std::vector<Quill::Version const*> NearVersions(std::string_view name, std::size_t limit) {
  std::string lower = Lower(name);
  std::string last = Lower(LastComponent(name));
  std::vector<Quill::Version const*> out;
  for (Quill::Version const* v : Quill::GetVersions()) {
    if (Lower(v->GetName()) == lower || Lower(LastComponent(v->GetName())) == last) out.push_back(v);
    if (out.size() == limit) break;
  }
  return out;
}

char const* VersionKindName(Quill::VersionKind kind) {
  switch (kind) {
    case Quill::VERSION_RELEASE:
      return "release";
    case Quill::VERSION_UNSTABLE:
      return "unstable";
    case Quill::VERSION_FEATURE:
      return "feature";
    case Quill::VERSION_DISABLED:
      return "disabled";
  }
  return "unknown";
}

std::vector<char const*> DirectParents(Quill::Version const* v) {
  std::vector<char const*> out;
  Quill::SedgeVersions const* table = v->GetNamespace();
  for (std::uint32_t i = 0; i < table->parentCount; ++i) {
    if (std::strcmp(table->parents[i].name, v->GetName()) == 0) out.push_back(table->parents[i].parent);
  }
  return out;
}

std::vector<Quill::Version const*> Ancestors(Quill::Version const* v) {
  std::vector<Quill::Version const*> out;
  for (Quill::Version const* other : Quill::GetVersions()) {
    if (v->Succeeds(other)) out.push_back(other);
  }
  return out;
}

}  // namespace Inspect
