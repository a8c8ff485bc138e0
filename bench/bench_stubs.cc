// Calls through generated stubs, the local adapter and generated dispatch: a property read,
// a method with three primitive arguments, and a task method; sync and async.
#include <benchmark/benchmark.h>

#include "AllocCounter.h"
#include "quill/LocalAdapter.h"
#include "quill/StubSupport.h"
#include "tarn/host/CacheConfigurationManager.h"
#include "tarn/host/CacheConfigurationManagerStub.h"
#include "tarn/host/DiskBlockInfo.h"
#include "tarn/host/DiskManager.LeaseStub.h"
#include "tarn/host/DiskManager.h"

namespace {

using Tarn::Host::CacheConfigurationManager;
using Tarn::Host::DiskManager;

class Lease : public Quill::ServerObject<DiskManager::Lease> {
 public:
  using ServerObject::ServerObject;
  void Renew() override {}
  void Release() override {}
  void AllocateBlocks(long, long, bool, Basalt::Ref<Tarn::Host::DiskBlockInfo>& r) override { r = info; }
  void ClearLazyZero(long start, long n, bool fill) override { sink += start + n + fill; }
  void MapDiskRegion(long, long, Basalt::Ref<Tarn::Host::DiskBlockInfo>& r) override { r = info; }
  Basalt::Ref<Tarn::Host::DiskBlockInfo> info{new Tarn::Host::DiskBlockInfo()};
  long sink = 0;
};

class Cache : public Quill::ServerObject<CacheConfigurationManager> {
 public:
  using ServerObject::ServerObject;
  void GetCacheConfigurationInfo(
      Basalt::Ref<Quill::DataArray<CacheConfigurationManager::CacheConfigurationInfo>>& r) override {
    r = infos;
  }
  void ConfigureCache(CacheConfigurationManager::CacheConfigurationSpec*, Basalt::Ref<Quill::MoRef>& r) override {
    r = task;
  }
  Basalt::Ref<Quill::DataArray<CacheConfigurationManager::CacheConfigurationInfo>> infos{
      new Quill::DataArray<CacheConfigurationManager::CacheConfigurationInfo>()};
  Basalt::Ref<Quill::MoRef> task{new Quill::MoRef("tarn.Task", "task-1")};
};

struct Server {
  Server() {
    adapter->Register(nullptr, lease.get());
    adapter->Register(nullptr, cache.get());
    leaseStub = Quill::CreateStub<DiskManager::LeaseStub>(lease->_GetRef(), adapter.get());
    cacheStub = Quill::CreateStub<Tarn::Host::CacheConfigurationManagerStub>(cache->_GetRef(), adapter.get());
  }
  ~Server() { adapter->Shutdown(); }
  Basalt::Ref<Quill::LocalAdapter> adapter{new Quill::LocalAdapter()};
  Basalt::Ref<Lease> lease{new Lease(new Quill::MoRef("tarn.host.DiskManager.Lease", "lease-1"))};
  Basalt::Ref<Cache> cache{new Cache(new Quill::MoRef("tarn.host.CacheConfigurationManager", "cache-1"))};
  Basalt::Ref<DiskManager::LeaseStub> leaseStub;
  Basalt::Ref<Tarn::Host::CacheConfigurationManagerStub> cacheStub;
};

void Report(benchmark::State& state, Bench::AllocationMeter const& m) {
  state.counters["allocs/call"] = benchmark::Counter(static_cast<double>(m.Elapsed()) / state.iterations());
}

void BM_Stub_Getter(benchmark::State& state) {
  Server s;
  Basalt::Ref<Quill::DataArray<CacheConfigurationManager::CacheConfigurationInfo>> r;
  Bench::AllocationMeter m;
  for (auto _ : state) s.cacheStub->GetCacheConfigurationInfo(r);
  Report(state, m);
}
BENCHMARK(BM_Stub_Getter);

void BM_Stub_ThreePrimitives(benchmark::State& state) {
  Server s;
  Bench::AllocationMeter m;
  for (auto _ : state) s.leaseStub->ClearLazyZero(1, 2, true);
  Report(state, m);
}
BENCHMARK(BM_Stub_ThreePrimitives);

void BM_Stub_TaskMethod(benchmark::State& state) {
  Server s;
  Basalt::Ref<CacheConfigurationManager::CacheConfigurationSpec> spec(
      new CacheConfigurationManager::CacheConfigurationSpec());
  Basalt::Ref<Quill::MoRef> task;
  Bench::AllocationMeter m;
  for (auto _ : state) s.cacheStub->ConfigureCache(spec.get(), task);
  Report(state, m);
}
BENCHMARK(BM_Stub_TaskMethod);

// The async forms: start, then wait for the handle.
template <class Start>
void AsyncRoundTrip(benchmark::State& state, Start start) {
  Quill::InvokeCallback done = [](Basalt::System::ScheduledItem*, Basalt::Exception*, Quill::Any*) {};
  Bench::AllocationMeter m;
  for (auto _ : state) {
    Basalt::Ref<Basalt::System::ScheduledItem> item;
    start(done, item);
    item->Wait();
  }
  Report(state, m);
}

void BM_StubAsync_Getter(benchmark::State& state) {
  Server s;
  AsyncRoundTrip(state, [&](auto const& cb, auto& item) { s.cacheStub->GetCacheConfigurationInfo(cb, item); });
}
BENCHMARK(BM_StubAsync_Getter);

void BM_StubAsync_ThreePrimitives(benchmark::State& state) {
  Server s;
  AsyncRoundTrip(state, [&](auto const& cb, auto& item) { s.leaseStub->ClearLazyZero(1, 2, true, cb, item); });
}
BENCHMARK(BM_StubAsync_ThreePrimitives);

void BM_StubAsync_TaskMethod(benchmark::State& state) {
  Server s;
  Basalt::Ref<CacheConfigurationManager::CacheConfigurationSpec> spec(
      new CacheConfigurationManager::CacheConfigurationSpec());
  AsyncRoundTrip(state, [&](auto const& cb, auto& item) { s.cacheStub->ConfigureCache(spec.get(), cb, item); });
}
BENCHMARK(BM_StubAsync_TaskMethod);

}  // namespace
