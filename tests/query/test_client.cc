// The query service's client end (quill-query-client, quill-query-tree) against an inventory
// served by a LocalAdapter with a QueryService, and over HTTP.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "Inventory.h"
#include "quill/query/Client.h"
#include "quill/query/FolderTree.h"
#include "tarn/ResourcePoolSkeleton.h"
#include "tarn/view/ContainerViewSkeleton.h"
#ifdef QUERY_CLIENT_OVER_HTTP
#include "OverHttp.h"
#endif

using namespace tarn_query_test;
using namespace std::chrono_literals;
namespace Q = Quill::Query;

namespace {

class PoolImpl : public Tarn::ResourcePoolSkeleton {
 public:
  PoolImpl(MoRef* ref, std::vector<Ref<MoRef>> pools, std::vector<Ref<MoRef>> vms)
      : ResourcePoolSkeleton(ref), _pools(std::move(pools)), _vms(std::move(vms)) {}
  std::string GetName() override { return "pool"; }
  void GetResourcePool(Ref<Quill::DataArray<MoRef>>& result) override { result = RefArray(_pools); }
  void GetVm(Ref<Quill::DataArray<MoRef>>& result) override { result = RefArray(_vms); }

 private:
  std::vector<Ref<MoRef>> _pools, _vms;
};

class ViewImpl : public Tarn::View::ContainerViewSkeleton {
 public:
  ViewImpl(MoRef* ref, std::vector<Ref<MoRef>> objects) : ContainerViewSkeleton(ref), _objects(std::move(objects)) {}
  void GetView(Ref<Quill::DataArray<MoRef>>& result) override { result = RefArray(_objects); }

 private:
  std::vector<Ref<MoRef>> _objects;
};

std::map<std::string, long> Memories(std::vector<Q::ObjectProperties> const& objects) {
  std::map<std::string, long> out;
  for (auto const& o : objects) {
    EXPECT_TRUE(out.emplace(Key(o.GetRef()), o.Get<long>("runtime.maxMemoryUsage")).second) << Key(o.GetRef());
  }
  return out;
}

}  // namespace

TEST(QueryClientRetrieve, EveryVmUnderTheRootOnceAcrossPages) {
  Served s;
  s.inventory->Build(3, 2, 120, 3);  // VMs reached through folders and again through hosts
  for (int page : {0, 1, 97, 5000}) {
    Q::RetrieveSettings settings;
    settings.pageObjects = page;
    auto objects = Q::Retrieve(s.adapter.get(), "tarn.VirtualMachine", {"name", "runtime.maxMemoryUsage"},
                               s.inventory->root->_GetRef(), settings);
    std::map<std::string, long> want;
    for (auto const& vm : s.inventory->vms) want[Key(vm->_GetRef())] = vm->Memory();
    EXPECT_EQ(Memories(objects), want) << "page " << page;
    for (auto const& o : objects) {
      EXPECT_EQ(o.Get<std::string>("name").rfind("vm-", 0), 0u);
      EXPECT_EQ(o.Get<int>("runtime.maxMemoryUsage"), o.Get<long>("runtime.maxMemoryUsage"));
    }
  }
}

TEST(QueryClientRetrieve, TheTreeGoesThroughPoolsAndViews) {
  Served s;
  auto& inv = *s.inventory;
  auto root = inv.Folder("root", nullptr);
  auto elsewhere = inv.Folder("elsewhere", nullptr);  // reached only through the view
  auto inPool = inv.Vm(elsewhere.get(), 1);
  auto inChildPool = inv.Vm(elsewhere.get(), 2);
  auto inView = inv.Vm(elsewhere.get(), 3);
  auto notReached = inv.Vm(elsewhere.get(), 4);
  auto child = inv.Make<PoolImpl>("tarn.ResourcePool", std::vector<Ref<MoRef>>{},
                                  std::vector<Ref<MoRef>>{inChildPool->_GetRef()});
  auto pool = inv.Make<PoolImpl>("tarn.ResourcePool", std::vector<Ref<MoRef>>{child->_GetRef()},
                                 std::vector<Ref<MoRef>>{inPool->_GetRef()});
  auto view = inv.Make<ViewImpl>("tarn.view.ContainerView", std::vector<Ref<MoRef>>{inView->_GetRef()});
  root->Add(pool->_GetRef());
  auto spec = Q::FolderTreeSpec(root->_GetRef(), {Q::MakeSelection("tarn.VirtualMachine", {"name"})});
  spec->GetObjects()->Append(Q::MakeStart(view->_GetRef(), Q::kFolderTreeHops, true).get());
  std::set<std::string> got;
  for (auto const& o : Q::RetrieveAll(s.adapter.get(), spec.get())) got.insert(Key(o.GetRef()));
  EXPECT_EQ(got, (std::set<std::string>{Key(inPool->_GetRef()), Key(inChildPool->_GetRef()), Key(inView->_GetRef())}));
  EXPECT_FALSE(got.count(Key(notReached->_GetRef())));
}

TEST(QueryClientRetrieve, ValuesByPathAsTheCallerAsks) {
  std::string hidden;  // the second VM's runtime, for the restricted session
  Served s(RefuseRuntime([&](MoRef const* vm) { return vm->GetId() == hidden; }));
  auto folder = s.inventory->Folder("f", nullptr);
  auto open = s.inventory->Vm(folder.get(), 512);
  hidden = s.inventory->Vm(folder.get(), 256)->_GetRef()->GetId();
  auto restricted = Restricted();
  Q::RetrieveSettings settings;
  settings.context = restricted.get();
  auto objects = Q::Retrieve(s.adapter.get(), "tarn.VirtualMachine", {"runtime.maxMemoryUsage", "name"},
                             folder->_GetRef(), settings);
  ASSERT_EQ(objects.size(), 2u);
  auto& a = objects[0].GetRef()->GetId() == hidden ? objects[1] : objects[0];
  auto& b = objects[0].GetRef()->GetId() == hidden ? objects[0] : objects[1];

  EXPECT_EQ(a.Get<long>("runtime.maxMemoryUsage"), 512);
  EXPECT_EQ(a.Get<Basalt::Optional<int>>("runtime.maxMemoryUsage").GetValue(), 512);
  // a path without a value (here: not asked for)
  EXPECT_FALSE(a.Get<Basalt::Optional<int>>("runtime.maxCpuUsage").IsSet());
  EXPECT_FALSE(a.Get<Ref<MoRef>>("parent"));
  EXPECT_EQ(a.Find("runtime.maxCpuUsage"), nullptr);
  EXPECT_EQ(a.FindFault("runtime.maxMemoryUsage"), nullptr);
  EXPECT_THROW(a.Get<std::string>("runtime.maxMemoryUsage"), Basalt::TypeMismatchException);
  EXPECT_THROW(a.Get<long>("runtime.maxCpuUsage"), Quill::Fault::SystemError::Exception);

  // refused: the fault per path, thrown as its own class; the rest of the object is there
  ASSERT_NE(b.FindFault("runtime.maxMemoryUsage"), nullptr);
  EXPECT_NE(dynamic_cast<Quill::Fault::SecurityError*>(b.FindFault("runtime.maxMemoryUsage")), nullptr);
  EXPECT_THROW(b.Get<long>("runtime.maxMemoryUsage"), Quill::Fault::SecurityError::Exception);
  EXPECT_THROW(b.Get<Basalt::Optional<int>>("runtime.maxMemoryUsage"), Quill::Fault::SecurityError::Exception);
  EXPECT_EQ(b.Get<std::string>("name"), "vm-1");
}

TEST(QueryClientRetrieve, RefusedSpecsAndFailuresBetweenPagesReachTheCaller) {
  Served s;
  s.inventory->Build(1, 1, 30, 1);
  EXPECT_THROW(Q::Retrieve(s.adapter.get(), "tarn.NoSuchType", {"name"}, s.inventory->root->_GetRef()),
               Quill::Fault::InvalidArgument::Exception);
  // the service stops between two pages: the second page's fault is thrown
  Q::RetrieveSettings settings;
  settings.pageObjects = 10;
  auto spec = Q::FolderTreeSpec(s.inventory->root->_GetRef(), {Q::MakeSelection("tarn.VirtualMachine", {"name"})});
  struct StopAfterFirst : Quill::StubAdapter {
    Quill::LocalAdapter* inner;
    Q::QueryService* service;
    int calls = 0;
    void Invoke(MoRef* target, Quill::ManagedMethod* method, Quill::ArgVector& args, Ref<Quill::Any>& result,
                Quill::RequestContext* context) override {
      if (calls++ == 1) service->Stop();
      inner->Invoke(target, method, args, result, context);
    }
    void StartInvoke(MoRef* target, Quill::ManagedMethod* method, Quill::ArgVector& args,
                     Quill::InvokeCallback const& callback, Ref<Basalt::System::ScheduledItem>& item,
                     Quill::RequestContext* context) override {
      inner->StartInvoke(target, method, args, callback, item, context);
    }
  };
  Ref<StopAfterFirst> stopping(new StopAfterFirst());
  stopping->inner = s.adapter.get();
  stopping->service = s.service.get();
  EXPECT_THROW(Q::RetrieveAll(stopping.get(), spec.get(), settings), Quill::Fault::RequestCanceled::Exception);
}

// --- Watcher ------------------------------------------------------------------------------

namespace {

// Every VM's memory starts at 0, below every value Modify writes.
Ref<MoRef> WatchVms(Quill::StubAdapter* adapter, Inventory& inv) {
  for (auto const& vm : inv.vms) vm->SetMemory(0);
  MoRef* root = inv.root->_GetRef();
  Ref<Q::PropertyCollectorStub> pc(new Q::PropertyCollectorStub(Q::RootCollector().get(), adapter, nullptr));
  Ref<MoRef> watch;
  pc->CreateWatch(
      Q::FolderTreeSpec(root, {Q::MakeSelection("tarn.VirtualMachine", {"name", "runtime.maxMemoryUsage"})}).get(),
      true, watch);
  return watch;
}

// Passes calls to a LocalAdapter; the answer of every `dropEvery`-th waitForUpdates is lost
// after the server gave it (the client gets a SystemError, as from a dropped connection).
struct DroppingAdapter : Quill::StubAdapter {
  Ref<Quill::LocalAdapter> inner;
  int dropEvery = 3;
  std::atomic<int> waits{0}, dropped{0};

  void Invoke(MoRef* target, Quill::ManagedMethod* method, Quill::ArgVector& args, Ref<Quill::Any>& result,
              Quill::RequestContext* context) override {
    inner->Invoke(target, method, args, result, context);
  }
  void StartInvoke(MoRef* target, Quill::ManagedMethod* method, Quill::ArgVector& args,
                   Quill::InvokeCallback const& callback, Ref<Basalt::System::ScheduledItem>& item,
                   Quill::RequestContext* context) override {
    bool drop = std::string_view(method->GetName()) == "waitForUpdates" && ++waits % dropEvery == 0;
    if (!drop) return inner->StartInvoke(target, method, args, callback, item, context);
    inner->StartInvoke(
        target, method, args,
        [this, callback](Basalt::System::ScheduledItem* it, Basalt::Exception* error, Quill::Any* raw) {
          if (error || !raw) return callback(it, error, raw);
          ++dropped;
          Ref<Quill::Fault::SystemError> fault(new Quill::Fault::SystemError());
          fault->reason = "connection dropped";
          std::unique_ptr<Quill::MethodFault::Exception> e(fault->CreateException());
          callback(it, e.get(), nullptr);
        },
        item, context);
  }
};

}  // namespace

TEST(QueryClientWatcher, EveryChangeInOrderAcrossTruncatedAnswers) {
  Served s;
  s.inventory->Build(2, 2, 40, 2);  // 160 VMs
  WatchVms(s.adapter.get(), *s.inventory);
  Seen seen;
  Q::Watcher::Settings settings;
  settings.maxObjectUpdates = 7;  // the first answer alone takes 23 calls
  Q::Watcher watcher(
      s.adapter.get(), [&](Q::UpdateBatch* b) { seen.Take(b); }, settings);
  seen.WaitForFirst();
  Modify(*s.inventory, 4, 30);
  ExpectComplete(seen, *s.inventory, 30);
  watcher.Stop();
  std::lock_guard lock(seen.mutex);
  EXPECT_GE(seen.truncated, 22);
  EXPECT_TRUE(seen.versions.count(watcher.GetVersion()));
}

TEST(QueryClientWatcher, AnswersLostOnTheWayAreAskedForAgain) {
  Served s;
  s.inventory->Build(1, 2, 30, 1);
  Ref<DroppingAdapter> dropping(new DroppingAdapter());
  dropping->inner = s.adapter;
  WatchVms(dropping.get(), *s.inventory);
  Seen seen;
  std::atomic<int> retried{0}, fatal{0};
  Q::Watcher::Settings settings;
  settings.maxObjectUpdates = 5;
  settings.minBackoff = 1ms;
  settings.maxBackoff = 4ms;
  settings.onError = [&](std::exception const&, bool retrying) { ++(retrying ? retried : fatal); };
  Q::Watcher watcher(
      dropping.get(), [&](Q::UpdateBatch* b) { seen.Take(b); }, settings);
  seen.WaitForFirst();
  Modify(*s.inventory, 3, 20);
  ExpectComplete(seen, *s.inventory, 20);
  watcher.Stop();
  EXPECT_GT(dropping->dropped.load(), 0);
  EXPECT_EQ(retried.load(), dropping->dropped.load());
  EXPECT_EQ(watcher.GetRetryCount(), static_cast<std::size_t>(dropping->dropped.load()));
  EXPECT_EQ(fatal.load(), 0);
}

TEST(QueryClientWatcher, StopEndsAWaitingCallAndAStoppedServiceEndsTheLoop) {
  Served s;
  s.inventory->Build(1, 1, 5, 1);
  WatchVms(s.adapter.get(), *s.inventory);
  {
    Seen seen;
    Q::Watcher::Settings settings;
    settings.maxWaitSeconds = 600;  // only cancelWait ends the wait
    Q::Watcher watcher(
        s.adapter.get(), [&](Q::UpdateBatch* b) { seen.Take(b); }, settings);
    for (int i = 0; i < 500 && watcher.GetVersion().empty(); ++i) std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(watcher.GetVersion().empty());
    watcher.Stop();
    EXPECT_FALSE(watcher.IsRunning());
  }
  std::atomic<int> fatal{0};
  Q::Watcher::Settings settings;
  settings.maxWaitSeconds = 600;
  settings.onError = [&](std::exception const& e, bool retrying) {
    if (!retrying && dynamic_cast<Quill::Fault::RequestCanceled::Exception const*>(&e)) ++fatal;
  };
  Q::Watcher watcher(
      s.adapter.get(), [](Q::UpdateBatch*) {}, settings);
  for (int i = 0; i < 500 && watcher.GetVersion().empty(); ++i) std::this_thread::sleep_for(10ms);
  s.service->Stop();
  for (int i = 0; i < 500 && watcher.IsRunning(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(watcher.IsRunning());
  EXPECT_EQ(fatal.load(), 1);
}

#ifdef QUERY_CLIENT_OVER_HTTP

TEST(QueryClientOverHttp, RetrieveAndWatchThroughCallsThatTimeOut) {
  ServedOverHttp s;
  s.inventory->Build(2, 2, 50, 2);

  Q::RetrieveSettings rs;
  rs.pageObjects = 33;
  auto client = HttpClient(s.Url());
  auto objects =
      Q::Retrieve(client.get(), "tarn.VirtualMachine", {"runtime.maxMemoryUsage"}, s.inventory->root->_GetRef(), rs);
  std::map<std::string, long> want;
  for (auto const& vm : s.inventory->vms) want[Key(vm->_GetRef())] = vm->Memory();
  EXPECT_EQ(Memories(objects), want);

  // Each wait outlasts the client's call timeout: the transport gives up on it and the
  // watcher asks again with the same version, on a new connection; the server replaces the
  // old wait with the new one.
  auto watching = HttpClient(s.Url(), 300ms);
  WatchVms(watching.get(), *s.inventory);
  Seen seen;
  std::atomic<int> fatal{0};
  Q::Watcher::Settings settings;
  settings.maxWaitSeconds = 5;
  settings.minBackoff = 1ms;
  settings.onError = [&](std::exception const&, bool retrying) { fatal += !retrying; };
  Q::Watcher watcher(
      watching.get(), [&](Q::UpdateBatch* b) { seen.Take(b); }, settings);
  for (int i = 0; i < 500 && watcher.GetRetryCount() < 2; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_GE(watcher.GetRetryCount(), 2u);
  Modify(*s.inventory, 2, 5);
  ExpectComplete(seen, *s.inventory, 5);
  watcher.Stop();
  EXPECT_EQ(fatal.load(), 0);
}

#endif
