// Data objects of the generated library: construction, copy, equality, diff, enumeration
// tags and reflection, on the values the comparison figures were taken with: every property
// set recursively, arrays of 8 elements, strings "<property>-<i>", ints 1000+i, longs 2^40+i,
// booleans true, enumerations their last tag; a type already on the path is left unset.
#include <benchmark/benchmark.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "AllocCounter.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/Values.h"
#include "tarn/AboutInfo.h"
#include "tarn/Description.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/GuestOsDescriptor.h"
#include "tarn/vm/device/VirtualDevice.h"
#include "tarn/vm/device/VirtualDeviceSpec.h"

namespace {

using Quill::PropertyInfo;

template <class V>
Quill::Any* Values(int n, V (*make)(int)) {
  auto* a = new Quill::Array<V>();
  for (int i = 0; i < n; ++i) a->Append(make(i));
  return a;
}

void Fill(Quill::DynamicData* obj, std::set<Quill::Type const*>& path);

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
      if (path.count(dt) || !dt->Create()) return;
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

void Fill(Quill::DynamicData* obj, std::set<Quill::Type const*>& path) {
  auto* type = obj->_GetDataType();
  for (std::uint32_t i = 0; i < type->GetPropertyCount(); ++i) SetOne(obj, type->GetProperty(i), path);
}

template <class T>
Basalt::Ref<T> Filled() {
  Basalt::Ref<T> obj = new T();
  std::set<Quill::Type const*> path{obj->_GetType()};
  Fill(obj.get(), path);
  return obj;
}

// Changes the last property of `obj` through a value of the property's own
// type: a string gets "changed", a boolean is flipped. Returns its diff path.
std::string ChangeLast(Quill::DynamicData& obj) {
  auto* type = obj._GetDataType();
  auto const& dp = type->GetProperty(type->GetPropertyCount() - 1);
  if (dp.info->type == &Quill::gBoolTypeInfo) {
    bool v = !*static_cast<bool const*>(dp.owner->getPropertyPtr(&obj, dp.ownIndex));
    dp.owner->setProperty(&obj, dp.ownIndex, &v);
  } else if (dp.info->type == &Quill::gStringTypeInfo) {
    std::string v = "changed";
    dp.owner->setProperty(&obj, dp.ownIndex, &v);
  } else {
    std::abort();  // the measured types end in a boolean or a string
  }
  return dp.component;
}

// A copy that shares nothing with `src`: the copy constructor shares the
// elements of object arrays, so those are cloned one by one, recursively.
void Unshare(Quill::DynamicData* obj) {
  auto* type = obj->_GetDataType();
  for (std::uint32_t i = 0; i < type->GetPropertyCount(); ++i) {
    auto const& dp = type->GetProperty(i);
    auto kind = static_cast<Quill::TypeKind>(dp.info->type->kind);
    if (kind != Quill::KIND_DATA && kind != Quill::KIND_FAULT) continue;
    auto* value = static_cast<Quill::Any*>(dp.owner->getPropertyPtr(obj, dp.ownIndex));
    if (!value) continue;
    if (dp.info->flags & Quill::F_ARRAY) {
      auto* arr = static_cast<Quill::DataArrayBase*>(value);
      for (auto& item : arr->GetItems()) {
        Basalt::Ref<Quill::Any> own = item->_Clone();
        Unshare(static_cast<Quill::DynamicData*>(own.get()));
        item = own;
      }
    } else {
      Unshare(static_cast<Quill::DynamicData*>(value));
    }
  }
}

template <class T>
Basalt::Ref<T> DeepClone(T const& src) {
  Basalt::Ref<T> copy = new T(src);
  Unshare(copy.get());
  return copy;
}

void Report(benchmark::State& state, Bench::AllocationMeter const& m) {
  state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(m.Elapsed()) / state.iterations());
}

template <class T>
void BM_DefaultAndDestroy(benchmark::State& state) {
  Bench::AllocationMeter m;
  for (auto _ : state) {
    Basalt::Ref<T> obj = new T();
    benchmark::DoNotOptimize(obj.get());
  }
  Report(state, m);
}

template <class T>
void BM_Copy(benchmark::State& state) {
  auto src = Filled<T>();
  Bench::AllocationMeter m;
  for (auto _ : state) {
    Basalt::Ref<T> copy = new T(*src);
    benchmark::DoNotOptimize(copy.get());
  }
  Report(state, m);
}

template <class T>
void BM_DeepClone(benchmark::State& state) {
  auto src = Filled<T>();
  {
    auto check = DeepClone(*src);
    if (!check->_IsEqual(src.get(), false)) state.SkipWithError("deep clone differs from its source");
  }
  Bench::AllocationMeter m;
  for (auto _ : state) {
    Basalt::Ref<T> copy = DeepClone(*src);
    benchmark::DoNotOptimize(copy.get());
  }
  Report(state, m);
}

// Two separately filled objects: equality walks every subtree, none is shared.
template <class T>
void BM_Equal(benchmark::State& state, bool lenient, bool lastDiffers) {
  auto a = Filled<T>();
  auto b = Filled<T>();
  if (lastDiffers) ChangeLast(*b);
  if (a->_IsEqual(b.get(), lenient) == lastDiffers) state.SkipWithError("unexpected equality result");
  for (auto _ : state) benchmark::DoNotOptimize(a->_IsEqual(b.get(), lenient));
}

// Two separately filled objects that differ in exactly the listed paths.
template <class T>
void BM_Diff(benchmark::State& state) {
  auto a = Filled<T>();
  auto b = Filled<T>();
  std::vector<std::string> expected{".name"};
  b->name = "renamed";
  if constexpr (std::is_same_v<T, Tarn::Vm::ConfigSpec>) {
    auto* spec = static_cast<Tarn::Vm::Device::VirtualDeviceSpec*>(b->deviceChange->Get(5));
    spec->device->deviceInfo->summary = "changed";
    expected.push_back(".deviceChange[5].device.deviceInfo.summary");
  }
  expected.push_back(ChangeLast(*b));
  {
    Quill::PropertyDiffSet diffs;
    a->_DiffProperties(b.get(), "", diffs);
    if (diffs.GetPaths() != expected) state.SkipWithError("the diff did not find exactly the changed paths");
  }
  std::size_t n = 0;
  for (auto _ : state) {
    Quill::PropertyDiffSet diffs;
    a->_DiffProperties(b.get(), "", diffs);
    n = diffs.GetPaths().size();
    benchmark::DoNotOptimize(n);
  }
  state.counters["paths"] = static_cast<double>(n);
}

// BENCHMARK_CAPTURE (Google Benchmark 1.7) pastes the function's name into an
// identifier, so each template instance gets a plain name first.
void (*const BM_Equal_ConfigSpec)(benchmark::State&, bool, bool) = &BM_Equal<Tarn::Vm::ConfigSpec>;
void (*const BM_Equal_AboutInfo)(benchmark::State&, bool, bool) = &BM_Equal<Tarn::AboutInfo>;

BENCHMARK_TEMPLATE(BM_DefaultAndDestroy, Tarn::Vm::ConfigSpec);
BENCHMARK_TEMPLATE(BM_Copy, Tarn::Vm::ConfigSpec);
BENCHMARK_TEMPLATE(BM_DeepClone, Tarn::Vm::ConfigSpec);
BENCHMARK_CAPTURE(BM_Equal_ConfigSpec, ConfigSpec_strict_equal, false, false);
BENCHMARK_CAPTURE(BM_Equal_ConfigSpec, ConfigSpec_lenient_equal, true, false);
BENCHMARK_CAPTURE(BM_Equal_ConfigSpec, ConfigSpec_strict_last_differs, false, true);
BENCHMARK_CAPTURE(BM_Equal_ConfigSpec, ConfigSpec_lenient_last_differs, true, true);
BENCHMARK_TEMPLATE(BM_Diff, Tarn::Vm::ConfigSpec);
BENCHMARK_TEMPLATE(BM_DefaultAndDestroy, Tarn::AboutInfo);
BENCHMARK_TEMPLATE(BM_Copy, Tarn::AboutInfo);
BENCHMARK_TEMPLATE(BM_DeepClone, Tarn::AboutInfo);
BENCHMARK_CAPTURE(BM_Equal_AboutInfo, AboutInfo_strict_equal, false, false);
BENCHMARK_CAPTURE(BM_Equal_AboutInfo, AboutInfo_lenient_equal, true, false);
BENCHMARK_CAPTURE(BM_Equal_AboutInfo, AboutInfo_strict_last_differs, false, true);
BENCHMARK_CAPTURE(BM_Equal_AboutInfo, AboutInfo_lenient_last_differs, true, true);
BENCHMARK_TEMPLATE(BM_Diff, Tarn::AboutInfo);

// 1,000 conversions each way on the enumeration with the most tags.
void BM_EnumTags(benchmark::State& state, bool toName) {
  Quill::EnumType* e = Quill::GetEnumType<Tarn::Vm::GuestOsDescriptor::GuestOsIdentifier>();
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> pick(0, e->GetTagCount() - 1);
  std::vector<int> values(1000);
  std::vector<std::string> names(1000);
  for (int i = 0; i < 1000; ++i) {
    values[i] = pick(rng);
    names[i] = e->GetTag(values[i]);
  }
  for (auto _ : state) {
    if (toName) {
      for (int v : values) benchmark::DoNotOptimize(e->GetTag(v));
    } else {
      for (auto const& n : names) benchmark::DoNotOptimize(e->GetValue(n));
    }
  }
  state.counters["per conversion"] =
      benchmark::Counter(1000, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK_CAPTURE(BM_EnumTags, GuestOsIdentifier_value_to_tag_x1000, true);
BENCHMARK_CAPTURE(BM_EnumTags, GuestOsIdentifier_tag_to_value_x1000, false);

// Reflection: make an object by its type name and set one string property by name.
void BM_CreateByNameSetString(benchmark::State& state) {
  auto once = [] {
    auto* t = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.vm.ConfigSpec"));
    Basalt::Ref<Quill::DynamicData> obj = t->Create();
    auto const* prop = t->FindProperty("name");
    std::string v = "web-01";
    prop->owner->setProperty(obj.get(), prop->ownIndex, &v);
    return obj;
  };
  {
    Basalt::Ref<Quill::DynamicData> obj = once();
    auto* spec = dynamic_cast<Tarn::Vm::ConfigSpec*>(obj.get());
    if (!spec || !spec->name.IsSet() || *spec->name != "web-01") state.SkipWithError("name was not set");
  }
  for (auto _ : state) benchmark::DoNotOptimize(once().get());
}
BENCHMARK(BM_CreateByNameSetString);

}  // namespace
