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
#include "quill/StubSupport.h"
#include "quill/Type.h"
#include "quill/Values.h"
#include "quill/wire/Wire.h"
#include "tarn/AboutInfo.h"
#include "tarn/Folder.h"
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
  Bench::AllocationMeter m;
  for (auto _ : state) {
    out.clear();
    Encode(form, out, src.get(), type);
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["allocs/op"] = benchmark::Counter(static_cast<double>(m.Elapsed()) / state.iterations());
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

// --- hostile markup ------------------------------------------------------------------
// The worst requests of each kind the default limits let through, from 1 to
// 16 MiB: markup in an ignored header entry before a valid call. The time per
// byte (bytes_per_second) stays flat as the size grows: the parser's work on a
// start tag grows with the square of its attributes and declarations, and the
// limits keep that square small.
enum class Markup {
  Attributes,  // every element with the most attributes it may have, the document with the most in all
  Namespaces,  // every element with the most namespace declarations, the document with the most in all
  Scoped,      // the most declarations in scope (every level of the deepest nesting), then prefixed names
  OneTag,      // 120,000 attributes on one element: refused before it is parsed
};

std::string HostileRequest(Markup kind, std::size_t bytes) {
  Quill::Wire::Limits const lim;
  auto* create = Quill::GetMoType<Tarn::Folder>()->FindMethod("createFolder");
  Basalt::Ref<Quill::MoRef> target(new Quill::MoRef("tarn.Folder", "group-d1"));
  std::string call = Quill::Wire::EncodeRequest(target.get(), create, Quill::Args(std::string("Production")));
  std::string const header = "<soapenv:Header>";
  std::size_t at = call.find(header) + header.size();
  std::string junk;
  junk.reserve(bytes + 4096);
  // Attribute or declaration `i` padded to `size` bytes in all.
  auto item = [](std::string& out, char const* name, std::size_t i, std::size_t size) {
    std::size_t start = out.size();
    out += ' ';
    out += name;
    out += std::to_string(i);
    out += "=\"urn:";
    if (out.size() - start + 1 < size) out.append(size - (out.size() - start + 1), 'x');
    out += '"';
  };
  std::size_t budget = bytes > call.size() ? bytes - call.size() : 0;
  switch (kind) {
    case Markup::Attributes: {
      std::size_t size = std::max<std::size_t>(16, budget / (lim.maxAttributes - 16) + 1);
      while (junk.size() + 8 + lim.maxAttributesPerElement * size < budget) {
        junk += "<e";
        for (std::size_t i = 0; i < lim.maxAttributesPerElement; ++i) item(junk, "a", i, size);
        junk += "/>";
      }
      break;
    }
    case Markup::Namespaces: {
      std::size_t size = std::max<std::size_t>(24, budget / (lim.maxNamespaces - 16) + 1);
      while (junk.size() + 8 + lim.maxNamespacesPerElement * size < budget) {
        junk += "<e";
        for (std::size_t i = 0; i < lim.maxNamespacesPerElement; ++i) item(junk, "xmlns:p", i, size);
        junk += "/>";
      }
      break;
    }
    case Markup::Scoped: {
      // The Envelope declares three (soapenv, xsi, xsd).
      std::size_t left = lim.maxNamespacesInScope - 3;
      std::size_t levels = (left + lim.maxNamespacesPerElement - 1) / lim.maxNamespacesPerElement;
      for (std::size_t l = 0; l < levels; ++l) {
        junk += "<n";
        for (std::size_t i = 0; i < lim.maxNamespacesPerElement && left; ++i, --left) {
          item(junk, ("xmlns:p" + std::to_string(l) + "_").c_str(), i, 24);
        }
        junk += '>';
      }
      // Names whose prefix was declared at the outermost level: each is
      // looked up past every declaration in scope.
      std::size_t size = std::max<std::size_t>(16, budget / (lim.maxAttributes - 16) + 1);
      while (junk.size() + 16 + lim.maxAttributesPerElement * size + levels * 5 < budget) {
        junk += "<p0_0:e";
        for (std::size_t i = 0; i < lim.maxAttributesPerElement; ++i) item(junk, "p0_0:a", i, size);
        junk += "/>";
      }
      for (std::size_t l = 0; l < levels; ++l) junk += "</n>";
      break;
    }
    case Markup::OneTag:
      junk += "<e";
      for (std::size_t i = 0; i < 120000; ++i) item(junk, "a", i, 8);
      junk += "/>";
      break;
  }
  call.insert(at, junk);
  return call;
}

void BM_DecodeHostile(benchmark::State& state, Markup kind) {
  std::size_t bytes = static_cast<std::size_t>(state.range(0)) << 20;
  std::string xml = HostileRequest(kind, bytes);
  Quill::Wire::DecodeOptions options;
  options.limits.maxBytes = std::max(options.limits.maxBytes, xml.size());
  bool refused = false;
  for (auto _ : state) {
    try {
      Quill::Wire::Request req = Quill::Wire::DecodeRequest(xml, options);
      benchmark::DoNotOptimize(req.method);
    } catch (Quill::Wire::DecodeError const&) {
      refused = true;
    }
  }
  if (refused != (kind == Markup::OneTag)) {
    state.SkipWithError(refused ? "a request within the limits was refused" : "the huge tag was read");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * xml.size()));
  state.counters["bytes"] = static_cast<double>(xml.size());
}

BENCHMARK_CAPTURE(BM_DecodeHostile, attributes, Markup::Attributes)
    ->RangeMultiplier(2)
    ->Range(1, 16)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeHostile, namespaces, Markup::Namespaces)
    ->RangeMultiplier(2)
    ->Range(1, 16)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeHostile, scoped, Markup::Scoped)
    ->RangeMultiplier(2)
    ->Range(1, 16)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeHostile, one_tag, Markup::OneTag)->Arg(1)->Unit(benchmark::kMillisecond);

// --- nesting far past the depth limit ---------------------------------------------------
// 100,000 levels of arrays in an any-typed position: refused at the depth limit, so the time
// is that of reading up to it, not of the whole document.
void BM_DecodeTooDeep(benchmark::State& state, Form form) {
  constexpr int kLevels = 100000;
  std::string text;
  if (form == Form::Xml) {
    text =
        "<v xmlns=\"urn:tarn25\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
        " xsi:type=\"ArrayOfAnyType\">";
    for (int i = 0; i < kLevels; ++i) text += "<anyType xsi:type=\"ArrayOfAnyType\">";
  } else {
    for (int i = 0; i < kLevels; ++i) text += "{\"_type\":\"ArrayOfAnyType\",\"_value\":[";
    for (int i = 0; i < kLevels; ++i) text += "]}";
  }
  Quill::Type* any = Quill::GetNoType<Quill::Any>();
  bool refused = true;
  for (auto _ : state) {
    try {
      if (form == Form::Xml) {
        benchmark::DoNotOptimize(Quill::Wire::DecodeXml(text, any));
      } else {
        benchmark::DoNotOptimize(Quill::Wire::DecodeJson(text, any));
      }
      refused = false;
    } catch (Quill::Wire::DecodeError const&) {
    }
  }
  if (!refused) state.SkipWithError("nesting past the depth limit was read");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_DecodeTooDeep, xml, Form::Xml)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DecodeTooDeep, json, Form::Json)->Unit(benchmark::kMillisecond);

}  // namespace
