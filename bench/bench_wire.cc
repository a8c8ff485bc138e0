// The wire codec: the filled tarn.vm.ConfigSpec and tarn.AboutInfo encoded to
// and decoded from XML and JSON in full. The values follow the data-object
// benchmarks' fill rule (bench_data_objects.cc): every property set
// recursively, arrays of 8 elements, strings "<property>-<i>", ints 1000+i,
// longs 2^40+i, booleans true, enumerations their last tag; a type already on
// the path is left unset. Each decode builds a new object that shares nothing
// with the source; the decoded value is compared with the source once,
// outside the timed loop.
#include <benchmark/benchmark.h>

#include <set>
#include <string>

#include "AllocCounter.h"
#include "quill/Array.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/Values.h"
#include "quill/wire/Wire.h"
#include "tarn/AboutInfo.h"
#include "tarn/vm/ConfigSpec.h"

namespace {

using Quill::PropertyInfo;

template <class V>
Quill::Any* Values(int n, V (*make)(int)) {
  auto* a = new Quill::Array<V>();
  for (int i = 0; i < n; ++i) a->Append(make(i));
  return a;
}

void Fill(Quill::DynamicData* obj, std::set<Quill::Type const*>& path);

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

enum class Form { Xml, Json };

// The fill sets properties of every feature version too: the messages speak
// the version that includes all the others, so that each one is carried.
Quill::Version const* Everything() {
  static Quill::Version const* const v = [] {
    std::vector<Quill::Version const*> all = Quill::GetVersions();
    Quill::Version const* best = Quill::Wire::DefaultVersion();
    std::size_t most = 0;
    for (Quill::Version const* c : all) {
      std::size_t n = 0;
      for (Quill::Version const* u : all) n += c->Includes(u);
      if (n > most) {
        most = n;
        best = c;
      }
    }
    return best;
  }();
  return v;
}

void Encode(Form f, std::string& out, Quill::Any const* v, Quill::Type const* t) {
  if (f == Form::Xml)
    Quill::Wire::EncodeXml(out, v, t, "value", Everything());
  else
    Quill::Wire::EncodeJson(out, v, t, Everything());
}

Basalt::Ref<Quill::Any> Decode(Form f, std::string const& in, Quill::Type const* t) {
  return f == Form::Xml ? Quill::Wire::DecodeXml(in, t) : Quill::Wire::DecodeJson(in, t);
}

template <class T>
void BM_Encode(benchmark::State& state, Form form) {
  auto src = Filled<T>();
  Quill::Type* type = src->_GetType();
  std::string out;
  for (auto _ : state) {
    out.clear();
    Encode(form, out, src.get(), type);
    benchmark::DoNotOptimize(out.data());
  }
  // What the loop wrote must read back as the source.
  if (!src->_IsEqual(Decode(form, out, type).get(), false)) state.SkipWithError("the encoding did not read back");
  state.counters["bytes"] = static_cast<double>(out.size());
}

template <class T>
void BM_Decode(benchmark::State& state, Form form) {
  auto src = Filled<T>();
  Quill::Type* type = src->_GetType();
  std::string in;
  Encode(form, in, src.get(), type);
  Basalt::Ref<Quill::Any> back;
  Bench::AllocationMeter m;
  for (auto _ : state) {
    back = Decode(form, in, type);
    benchmark::DoNotOptimize(back.get());
  }
  state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(m.Elapsed()) / state.iterations());
  state.counters["bytes"] = static_cast<double>(in.size());
  if (!src->_IsEqual(back.get(), false)) state.SkipWithError("the decoded value differs from the source");
}

void (*const BM_Encode_ConfigSpec)(benchmark::State&, Form) = &BM_Encode<Tarn::Vm::ConfigSpec>;
void (*const BM_Decode_ConfigSpec)(benchmark::State&, Form) = &BM_Decode<Tarn::Vm::ConfigSpec>;
void (*const BM_Encode_AboutInfo)(benchmark::State&, Form) = &BM_Encode<Tarn::AboutInfo>;
void (*const BM_Decode_AboutInfo)(benchmark::State&, Form) = &BM_Decode<Tarn::AboutInfo>;

BENCHMARK_CAPTURE(BM_Encode_ConfigSpec, xml, Form::Xml);
BENCHMARK_CAPTURE(BM_Decode_ConfigSpec, xml, Form::Xml);
BENCHMARK_CAPTURE(BM_Encode_ConfigSpec, json, Form::Json);
BENCHMARK_CAPTURE(BM_Decode_ConfigSpec, json, Form::Json);
BENCHMARK_CAPTURE(BM_Encode_AboutInfo, xml, Form::Xml);
BENCHMARK_CAPTURE(BM_Decode_AboutInfo, xml, Form::Xml);
BENCHMARK_CAPTURE(BM_Encode_AboutInfo, json, Form::Json);
BENCHMARK_CAPTURE(BM_Decode_AboutInfo, json, Form::Json);

}  // namespace
