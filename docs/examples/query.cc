// Reading the inventory in bulk and waiting for changes through the query service, as
// docs/query.md describes it: in process here; over HTTP only the adapter differs.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "check.h"
#include "quill/Quill.h"
#include "quill/query/Client.h"
#include "quill/query/FolderTree.h"
#include "quill/query/QueryService.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/VirtualMachineSkeleton.h"
#include "tarn/vm/RuntimeInfo.h"

namespace {

class Folder : public Tarn::FolderSkeleton {
 public:
  Folder(Quill::MoRef* ref, std::string name) : FolderSkeleton(ref), _name(std::move(name)) {}
  std::string GetName() override { return _name; }
  void GetChildEntity(Basalt::Ref<Quill::DataArray<Quill::MoRef>>& result) override {
    std::lock_guard lock(_mutex);
    result = new Quill::DataArray<Quill::MoRef>();
    for (auto const& c : _children) result->Append(c.get());
  }
  void Add(Quill::MoRef* child) {
    std::lock_guard lock(_mutex);
    _children.emplace_back(child);
  }

 private:
  std::mutex _mutex;
  std::string _name;
  std::vector<Basalt::Ref<Quill::MoRef>> _children;
};

// [server-vm]
// An implementation reports what it changed, after changing it: the query service re-reads
// only the notified paths, and only for the watches that read them.
class Vm : public Tarn::VirtualMachineSkeleton {
 public:
  Vm(Quill::MoRef* ref, std::string name) : VirtualMachineSkeleton(ref), _name(std::move(name)) {}
  std::string GetName() override { return _name; }
  Tarn::ManagedEntity::Status GetOverallStatus() override { return Tarn::ManagedEntity::Status::green; }
  void GetRuntime(Basalt::Ref<Tarn::Vm::RuntimeInfo>& result) override {
    result = new Tarn::Vm::RuntimeInfo();
    result->maxMemoryUsage = _memory.load();
  }
  void SetMemory(Quill::LocalAdapter* adapter, int mb) {
    _memory = mb;
    adapter->NotifyChanged(_GetRef(), {"runtime"});
  }

 private:
  std::string _name;
  std::atomic<int> _memory{1024};
};
// [/server-vm]

}  // namespace

int main() {
  using namespace std::chrono_literals;
  // [serve]
  Basalt::Ref<Quill::LocalAdapter> adapter(new Quill::LocalAdapter());
  Quill::Query::QueryService service(adapter.get());  // registers the root collector
  // service.GetRootRef() is what the service content names as its `propertyCollector`.
  // [/serve]
  CHECK(service.GetRootRef()->GetId() == Quill::Query::RootCollector()->GetId());

  Basalt::Ref<Folder> root(new Folder(adapter->MakeRef("tarn.Folder").get(), "root"));
  adapter->Register(nullptr, root.get());
  std::vector<Basalt::Ref<Vm>> vms;
  for (int i = 0; i < 3; ++i) {
    Basalt::Ref<Folder> folder(new Folder(adapter->MakeRef("tarn.Folder").get(), "f" + std::to_string(i)));
    adapter->Register(nullptr, folder.get());
    root->Add(folder->_GetRef());
    for (int k = 0; k < 4; ++k) {
      vms.emplace_back(new Vm(adapter->MakeRef("tarn.VirtualMachine").get(), "vm-" + std::to_string(vms.size())));
      adapter->Register(nullptr, vms.back().get());
      folder->Add(vms.back()->_GetRef());
    }
  }
  Quill::MoRef* rootRef = root->_GetRef();

  {
    // [retrieve]
    auto objects = Quill::Query::Retrieve(adapter.get(), "tarn.VirtualMachine",
                                          {"name", "runtime.maxMemoryUsage", "overallStatus"}, rootRef);
    for (auto const& vm : objects) {
      std::string name = vm.Get<std::string>("name");
      long memory = vm.Get<long>("runtime.maxMemoryUsage");  // an int, widened
      auto status = vm.Get<Tarn::ManagedEntity::Status>("overallStatus");
      CHECK(name.rfind("vm-", 0) == 0 && memory == 1024 && status == Tarn::ManagedEntity::Status::green);
    }
    // [/retrieve]
    CHECK(objects.size() == 12);
  }

  {
    // [results]
    auto objects = Quill::Query::Retrieve(adapter.get(), "tarn.VirtualMachine", {"name", "parent"}, rootRef);
    Quill::Query::ObjectProperties const& vm = objects.front();
    // Our VMs do not implement `parent`: the path has a fault instead of a value, and Get
    // throws that fault as its own class. The rest of the object is there.
    CHECK(vm.Find("parent") == nullptr && vm.FindFault("parent") != nullptr);
    CHECK_THROWS(Quill::MethodFault::Exception, vm.Get<Basalt::Ref<Quill::MoRef>>("parent"));
    CHECK(vm.Get<std::string>("name").rfind("vm-", 0) == 0);
    CHECK(!vm.Get<Basalt::Optional<int>>("runtime.maxMemoryUsage").IsSet());  // not asked for
    CHECK_THROWS(Basalt::TypeMismatchException, vm.Get<long>("name"));     // not an integer
    // [/results]
  }

  {
    // [spec]
    // The same query spelled out: start at the root, follow folders' children, read the names
    // of folders and VMs.
    namespace Q = Quill::Query;
    auto spec = Q::MakeSpec({Q::MakeStart(rootRef, {"children"}, /*skip=*/true)},
                            {Q::MakeHop("children", "tarn.Folder", "childEntity", {"children"})},
                            {Q::MakeSelection("tarn.Folder", {"name"}), Q::MakeSelection("tarn.VirtualMachine", {"name"})});
    Q::RetrieveSettings settings;
    settings.pageObjects = 5;  // answers of 5 objects; RetrieveAll follows every page
    auto objects = Q::RetrieveAll(adapter.get(), spec.get(), settings);
    // [/spec]
    CHECK(objects.size() == 15);
  }

  {
    // [watch]
    namespace Q = Quill::Query;
    Basalt::Ref<Q::PropertyCollectorStub> collector(
        new Q::PropertyCollectorStub(Q::RootCollector().get(), adapter.get(), nullptr));
    Basalt::Ref<Quill::MoRef> watch;
    collector->CreateWatch(
        Q::FolderTreeSpec(rootRef, {Q::MakeSelection("tarn.VirtualMachine", {"runtime.maxMemoryUsage"})}).get(),
        /*partialUpdates=*/true, watch);

    std::mutex mutex;
    std::condition_variable changed;
    int entered = 0, lastMemory = 0;
    Q::Watcher watcher(adapter.get(), [&](Q::UpdateBatch* batch) {  // on the watcher's thread, in order
      std::lock_guard lock(mutex);
      for (std::size_t w = 0; batch->watches && w < batch->watches->size(); ++w) {
        for (std::size_t i = 0; i < (*batch->watches)[w]->objects->size(); ++i) {
          Q::ObjectChange* change = (*(*batch->watches)[w]->objects)[i];
          if (change->kind == Q::ChangeKind::enter) ++entered;  // the first answer: everything
          if (change->kind == Q::ChangeKind::modify) {
            lastMemory = Quill::Unbox<int>((*change->changes)[0]->value.get());
          }
        }
      }
      changed.notify_all();
    });
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 10s, [&] { return entered == 12; });
    lock.unlock();
    vms[5]->SetMemory(adapter.get(), 4096);  // on the server: one modify reaches the callback
    lock.lock();
    changed.wait_for(lock, 10s, [&] { return lastMemory == 4096; });
    lock.unlock();
    watcher.Stop();  // cancels the outstanding wait and joins the thread
    // [/watch]
    CHECK(entered == 12);
    CHECK(lastMemory == 4096);
  }
  service.Stop();
  adapter->Shutdown();
  return guide::Finish("query");
}
