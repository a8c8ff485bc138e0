// The fill rule shared by the benchmarks (see Filled.h).
#include "Filled.h"

#include <string>

#include "quill/Array.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Values.h"

namespace Bench {
namespace {

using Quill::PropertyInfo;

template <class V>
Quill::Any* Values(int n, V (*make)(int)) {
  auto* a = new Quill::Array<V>();
  for (int i = 0; i < n; ++i) a->Append(make(i));
  return a;
}

// One value (element i) of a property, as a Ref<Any> or through `store`.
void SetOne(Quill::DynamicData* obj, Quill::DataProperty const& dp, std::set<Quill::Type const*>& path) {
  PropertyInfo const& p = *dp.info;
  auto set = [&](void const* v) { dp.owner->setProperty(obj, dp.ownIndex, v); };
  std::string const n = p.name;
  auto kind = static_cast<Quill::TypeKind>(p.type->kind);
  std::string const t = p.type->name;
  bool const link = p.flags & Quill::F_LINK;
  constexpr int kN = 8;
  if (p.flags & Quill::F_ARRAY) {
    Basalt::Ref<Quill::Any> a;
    if (link || t == "string") {
      auto* s = new Quill::Array<std::string>();
      for (int i = 0; i < kN; ++i) s->Append(n + "-" + std::to_string(i));
      a = s;
    } else if (t == "int") {
      a = Values<int>(kN, [](int i) { return 1000 + i; });
    } else if (t == "long") {
      a = Values<long>(kN, [](int i) { return (1L << 40) + i; });
    } else if (t == "short") {
      a = Values<short>(kN, [](int i) { return static_cast<short>(1000 + i); });
    } else if (t == "byte") {
      a = Values<signed char>(kN, [](int i) { return static_cast<signed char>(i); });
    } else if (t == "double") {
      a = Values<double>(kN, [](int i) { return 1000.0 + i; });
    } else if (t == "typeName" || t == "methodName" || t == "uri") {
      return;  // not on the measured types
    } else if (kind == Quill::KIND_ENUM) {
      auto* e = static_cast<Quill::EnumType*>(Quill::FindTypeByInfo(p.type));
      a = e->GetFuncs().createArray();
      auto* ints = static_cast<Quill::Array<int>*>(a.get());
      for (int i = 0; i < kN; ++i) ints->GetValues().push_back(e->GetTagCount() - 1);
    } else if (kind == Quill::KIND_MANAGED) {
      auto* r = new Quill::DataArray<Quill::MoRef>();
      for (int i = 0; i < kN; ++i) r->Append(new Quill::MoRef(t, n + "-" + std::to_string(i)));
      a = r;
    } else if (kind == Quill::KIND_ANY) {
      return;
    } else {
      auto* dt = static_cast<Quill::DataObjectType*>(Quill::FindTypeByInfo(p.type));
      if (path.count(dt) || !Basalt::Ref<Quill::DynamicData>(dt->Create())) return;
      Basalt::Ref<Quill::DataArrayBase> arr = dt->CreateArray();
      for (int i = 0; i < kN; ++i) {
        Basalt::Ref<Quill::DynamicData> e = dt->Create();
        path.insert(dt);
        Fill(e.get(), path);
        path.erase(dt);
        arr->AppendAny(e.get());
      }
      a = arr.get();
    }
    set(&a);
    return;
  }
  if (link || t == "string") {
    std::string v = n + "-0";
    set(&v);
  } else if (t == "boolean") {
    bool v = true;
    set(&v);
  } else if (t == "int") {
    int v = 1000;
    set(&v);
  } else if (t == "long") {
    long v = 1L << 40;
    set(&v);
  } else if (t == "short") {
    short v = 1000;
    set(&v);
  } else if (t == "byte") {
    signed char v = 0;
    set(&v);
  } else if (t == "float") {
    float v = 1000;
    set(&v);
  } else if (t == "double") {
    double v = 1000;
    set(&v);
  } else if (t == "dateTime") {
    Basalt::System::DateTime v(1700000000000000);
    set(&v);
  } else if (kind == Quill::KIND_ENUM) {
    int v = static_cast<Quill::EnumType*>(Quill::FindTypeByInfo(p.type))->GetTagCount() - 1;
    set(&v);
  } else if (kind == Quill::KIND_MANAGED) {
    Basalt::Ref<Quill::Any> v = new Quill::MoRef(t, n + "-0");
    set(&v);
  } else if (kind == Quill::KIND_DATA || kind == Quill::KIND_FAULT) {
    auto* dt = static_cast<Quill::DataObjectType*>(Quill::FindTypeByInfo(p.type));
    if (path.count(dt)) return;
    Basalt::Ref<Quill::Any> v = dt->Create();
    if (!v) return;
    path.insert(dt);
    Fill(static_cast<Quill::DynamicData*>(v.get()), path);
    path.erase(dt);
    set(&v);
  }
}

}  // namespace

void Fill(Quill::DynamicData* obj, std::set<Quill::Type const*>& path) {
  auto* type = obj->_GetDataType();
  for (std::uint32_t i = 0; i < type->GetPropertyCount(); ++i) SetOne(obj, type->GetProperty(i), path);
}

}  // namespace Bench
