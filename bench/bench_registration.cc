// Registration at the size of the real library: 3,800 data types in 40
// modules, every tenth deriving from a type of a module bound after it. Types
// are never unregistered, so every run registers fresh names.
#include <benchmark/benchmark.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "AllocCounter.h"
#include "quill/Accessors.h"
#include "quill/Loader.h"
#include "quill/Registry.h"
#include "quill/Type.h"

namespace {

using namespace Quill;

constexpr int kModules = 40;
constexpr int kPerModule = 95;

// The tables of one run. Type objects keep pointing at them, so runs are
// never freed.
struct Run {
  std::deque<std::string> strings;
  std::vector<TypeInfo> records = std::vector<TypeInfo>(kModules * kPerModule);
  std::vector<DataTypeInfo> descs = std::vector<DataTypeInfo>(kModules * kPerModule);
  std::vector<std::vector<Type*>> slots = std::vector<std::vector<Type*>>(kModules);
};
Run* gRun = nullptr;  // the run being bound
PropertyInfo const kNoProperties[] = {{}};

Run* MakeRun(int serial) {
  auto* run = new Run();
  auto keep = [&](std::string s) { return run->strings.emplace_back(std::move(s)).c_str(); };
  std::string prefix = "bench" + std::to_string(serial);
  for (int m = 0; m < kModules; ++m) {
    for (int i = 0; i < kPerModule; ++i) {
      int n = m * kPerModule + i;
      std::string tail = ".m" + std::to_string(m) + ".Type" + std::to_string(i);
      run->records[n] = {KIND_DATA, keep(prefix + tail), keep(prefix + "W" + tail), "sedge.version.version1"};
      TypeInfo const* base =
          i % 10 == 0 && m + 1 < kModules ? &run->records[(m + 1) * kPerModule + 1] : &gSedgeDynamicDataTypeInfo;
      run->descs[n] = {&run->records[n],   base,    kNoProperties, nullptr, nullptr, nullptr, nullptr,
                       &Access::AlwaysSet, nullptr, nullptr,       nullptr, 0};
    }
  }
  return run;
}

template <int M>
Type* const* Callback(int& count) {
  auto& slots = gRun->slots[M];
  for (int i = 0; i < kPerModule; ++i) slots.push_back(CreateDataObjectType(&gRun->descs[M * kPerModule + i]));
  count = kPerModule;
  return slots.data();
}

template <int... M>
void LoadAll(std::integer_sequence<int, M...>) {
  (TypeInfoLoader(nullptr, &Callback<M>), ...);
}

void BM_Register3800TypesIn40Modules(benchmark::State& state) {
  static int serial = 0;
  FindType("sedge.DynamicData");  // the runtime's own modules, bound before timing
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    state.PauseTiming();
    gRun = MakeRun(serial++);
    Bench::AllocationMeter meter;
    state.ResumeTiming();
    LoadAll(std::make_integer_sequence<int, kModules>());
    state.PauseTiming();
    allocations += meter.Elapsed();
    if (FindType(gRun->records.back().name) != gRun->slots.back().back()) state.SkipWithError("lookup failed");
    state.ResumeTiming();
  }
  state.counters["allocs/type"] = benchmark::Counter(static_cast<double>(allocations) / (kModules * kPerModule),
                                                     benchmark::Counter::kAvgIterations);
}
// Each run adds 3,800 types for good; a few runs are enough.
BENCHMARK(BM_Register3800TypesIn40Modules)->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

}  // namespace
