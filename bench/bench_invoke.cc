// Calls through a stub and the in-process adapter: time and heap allocations
// per call. Allocations are counted over the whole process, so an async call
// includes what its worker thread allocates.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "AllocCounter.h"
#include "RpcImpl.h"
#include "quill/LocalAdapter.h"
#include "quill/StubSupport.h"
#include "sample/Records.h"
#include "sample/ext.h"
#include "sample/rpc.h"
#include "sample/sample.h"

namespace {

using Basalt::System::ScheduledItem;

// One adapter with one registered counter and a stub for it, made once.
struct World {
  World() {
    Sample::BindSample();
    Sample::BindSampleExt();
    Sample::BindSampleRpc();
    adapter = new Quill::LocalAdapter();
    ref = new Quill::MoRef("sample.rpc.Counter", "c-1");
    impl = new SampleImpl::CounterImpl(ref.get());
    adapter->Register(nullptr, impl.get());
    stub = Quill::CreateStub<Sample::Rpc::CounterStub>(ref.get(), adapter.get());
  }
  static World& Get() {
    static World* world = new World();  // lives to the end of the process
    return *world;
  }

  Basalt::Ref<Quill::LocalAdapter> adapter;
  Basalt::Ref<Quill::MoRef> ref;
  Basalt::Ref<SampleImpl::CounterImpl> impl;
  Basalt::Ref<Sample::Rpc::CounterStub> stub;
};

void ReportAllocations(benchmark::State& state, Bench::AllocationMeter const& meter, double callsPerIteration) {
  state.counters["allocs/call"] =
      benchmark::Counter(static_cast<double>(meter.Elapsed()) / callsPerIteration, benchmark::Counter::kAvgIterations);
}

// No argument, no result: Reset().
void BM_SyncCall_0Args(benchmark::State& state) {
  auto& w = World::Get();
  Bench::AllocationMeter meter;
  for (auto _ : state) w.stub->Reset();
  ReportAllocations(state, meter, 1);
}
BENCHMARK(BM_SyncCall_0Args);

// No argument, a long result: the property getter GetValue().
void BM_SyncGetter_0Args(benchmark::State& state) {
  auto& w = World::Get();
  Bench::AllocationMeter meter;
  for (auto _ : state) benchmark::DoNotOptimize(w.stub->GetValue());
  ReportAllocations(state, meter, 1);
}
BENCHMARK(BM_SyncGetter_0Args);

// Three arguments (string, int, optional bool) and a string result:
// Label("abc", 7, true) -> "ABC#7".
void BM_SyncCall_3Args(benchmark::State& state) {
  auto& w = World::Get();
  std::string const prefix = "abc";
  Bench::AllocationMeter meter;
  for (auto _ : state) benchmark::DoNotOptimize(w.stub->Label(prefix, 7, true));
  ReportAllocations(state, meter, 1);
}
BENCHMARK(BM_SyncCall_3Args);

// Async round trip: start, then wait for the worker to finish the call and
// its callback. Mostly the cost of handing work to another thread and back.
void BM_AsyncCall_0Args_RoundTrip(benchmark::State& state) {
  auto& w = World::Get();
  Quill::InvokeCallback const callback = [](ScheduledItem*, Basalt::Exception*, Quill::Any*) {};
  Basalt::Ref<ScheduledItem> item;
  Bench::AllocationMeter meter;
  for (auto _ : state) {
    w.stub->Reset(callback, item);
    item->Wait();
  }
  ReportAllocations(state, meter, 1);
}
BENCHMARK(BM_AsyncCall_0Args_RoundTrip)->UseRealTime();

void BM_AsyncCall_3Args_RoundTrip(benchmark::State& state) {
  auto& w = World::Get();
  std::string const prefix = "abc";
  Quill::InvokeCallback const callback = [](ScheduledItem*, Basalt::Exception*, Quill::Any* r) {
    benchmark::DoNotOptimize(r);
  };
  Basalt::Ref<ScheduledItem> item;
  Bench::AllocationMeter meter;
  for (auto _ : state) {
    w.stub->Label(prefix, 7, true, callback, item);
    item->Wait();
  }
  ReportAllocations(state, meter, 1);
}
BENCHMARK(BM_AsyncCall_3Args_RoundTrip)->UseRealTime();

// Async throughput: 64 calls in flight, then wait for all; figures per call.
void BM_AsyncCall_0Args_Pipelined64(benchmark::State& state) {
  constexpr int kBatch = 64;
  auto& w = World::Get();
  Quill::InvokeCallback const callback = [](ScheduledItem*, Basalt::Exception*, Quill::Any*) {};
  std::vector<Basalt::Ref<ScheduledItem>> items(kBatch);
  Bench::AllocationMeter meter;
  for (auto _ : state) {
    for (auto& item : items) w.stub->Reset(callback, item);
    for (auto& item : items) item->Wait();
  }
  ReportAllocations(state, meter, kBatch);
  // Seconds per call (printed with an SI prefix: "1.5u" is 1.5 microseconds).
  state.counters["time/call"] = benchmark::Counter(static_cast<double>(state.iterations()) * kBatch,
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_AsyncCall_0Args_Pipelined64)->UseRealTime();

}  // namespace
