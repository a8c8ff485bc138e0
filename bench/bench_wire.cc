// The wire codec: the filled tarn.vm.ConfigSpec and tarn.AboutInfo encoded to
// and decoded from XML and JSON in full, with the data-object benchmarks'
// values (Filled.h). Each decode builds a new object that shares nothing
// with the source; the decoded value is compared with the source once,
// outside the timed loop.
#include <benchmark/benchmark.h>

#include <set>
#include <string>

#include "AllocCounter.h"
#include "Filled.h"
#include "quill/Array.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/Values.h"
#include "quill/wire/Wire.h"
#include "tarn/AboutInfo.h"
#include "tarn/vm/ConfigSpec.h"

namespace {

using Bench::Filled;

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
