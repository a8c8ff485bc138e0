// Data objects of the generated library: construction, copy, equality, diff, enumeration
// tags and reflection, on the values the comparison figures were taken with (Filled.h).
#include <benchmark/benchmark.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "AllocCounter.h"
#include "Filled.h"
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

using Bench::Filled;

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
