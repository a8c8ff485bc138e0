// An in-memory inventory of the catalogue's managed types for the query service's tests:
// folders, datacenters, hosts and virtual machines whose properties are plain fields under
// a lock, changed by the tests and reported to the adapter as an implementation would.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "quill/Faults.h"
#include "quill/Query.h"
#include "quill/Quill.h"
#include "quill/query/QueryService.h"
#include "tarn/DatacenterSkeleton.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/HostSystemSkeleton.h"
#include "tarn/VirtualMachineSkeleton.h"
#include "tarn/vm/RuntimeInfo.h"

namespace tarn_query_test {

using Basalt::Ref;
using Quill::MoRef;

inline Ref<Quill::DataArray<MoRef>> RefArray(std::vector<Ref<MoRef>> const& refs) {
  Ref<Quill::DataArray<MoRef>> out(new Quill::DataArray<MoRef>());
  for (auto const& r : refs) out->Append(r.get());
  return out;
}

class FolderImpl : public Tarn::FolderSkeleton {
 public:
  FolderImpl(MoRef* ref, std::string name) : FolderSkeleton(ref), _name(std::move(name)) {}
  std::string GetName() override {
    std::lock_guard lock(_mu);
    return _name;
  }
  void GetChildEntity(Ref<Quill::DataArray<MoRef>>& result) override {
    std::lock_guard lock(_mu);
    result = RefArray(_children);
  }
  void Add(Ref<MoRef> child) {
    std::lock_guard lock(_mu);
    _children.push_back(std::move(child));
  }
  void Remove(MoRef const* child) {
    std::lock_guard lock(_mu);
    std::erase_if(_children, [&](auto const& c) { return *c == *child; });
  }

 private:
  std::mutex _mu;
  std::string _name;
  std::vector<Ref<MoRef>> _children;
};

class DatacenterImpl : public Tarn::DatacenterSkeleton {
 public:
  DatacenterImpl(MoRef* ref, std::string name, MoRef* vmFolder, MoRef* hostFolder)
      : DatacenterSkeleton(ref), _name(std::move(name)), _vmFolder(vmFolder), _hostFolder(hostFolder) {}
  std::string GetName() override { return _name; }
  void GetVmFolder(Ref<MoRef>& result) override { result = _vmFolder; }
  void GetHostFolder(Ref<MoRef>& result) override { result = _hostFolder; }

 private:
  std::string _name;
  Ref<MoRef> _vmFolder, _hostFolder;
};

class HostImpl : public Tarn::HostSystemSkeleton {
 public:
  HostImpl(MoRef* ref, std::string name) : HostSystemSkeleton(ref), _name(std::move(name)) {}
  std::string GetName() override { return _name; }
  void GetVm(Ref<Quill::DataArray<MoRef>>& result) override {
    std::lock_guard lock(_mu);
    result = RefArray(_vms);
  }
  void Add(Ref<MoRef> vm) {
    std::lock_guard lock(_mu);
    _vms.push_back(std::move(vm));
  }

 private:
  std::mutex _mu;
  std::string _name;
  std::vector<Ref<MoRef>> _vms;
};

class VmImpl : public Tarn::VirtualMachineSkeleton {
 public:
  VmImpl(MoRef* ref, std::string name, int memory)
      : VirtualMachineSkeleton(ref), _name(std::move(name)), _memory(memory) {}
  std::string GetName() override {
    std::lock_guard lock(_mu);
    return _name;
  }
  void GetRuntime(Ref<Tarn::Vm::RuntimeInfo>& result) override {
    std::lock_guard lock(_mu);
    ++runtimeReads;
    result = new Tarn::Vm::RuntimeInfo();
    result->maxMemoryUsage = _memory;
    result->maxCpuUsage = _cpu;
  }
  int Memory() {
    std::lock_guard lock(_mu);
    return _memory;
  }
  void SetMemory(int m) {
    std::lock_guard lock(_mu);
    _memory = m;
  }
  void SetName(std::string n) {
    std::lock_guard lock(_mu);
    _name = std::move(n);
  }
  std::atomic<int> runtimeReads{0};

 private:
  std::mutex _mu;
  std::string _name;
  int _memory;
  int _cpu = 100;
};

// root folder -> datacenters -> (vm folder -> sub-folders -> VMs; host folder -> hosts -> VMs)
struct Inventory {
  explicit Inventory(Quill::LocalAdapter* adapter) : adapter(adapter) {}

  template <class T, class... A>
  Ref<T> Make(char const* type, A&&... args) {
    Ref<MoRef> ref = adapter->MakeRef(type);
    Ref<T> obj(new T(ref.get(), std::forward<A>(args)...));
    adapter->Register(nullptr, obj.get());
    return obj;
  }

  Ref<FolderImpl> Folder(std::string name, FolderImpl* parent) {
    auto f = Make<FolderImpl>("tarn.Folder", std::move(name));
    if (parent) parent->Add(f->_GetRef());
    folders.push_back(f);
    return f;
  }

  Ref<VmImpl> Vm(FolderImpl* folder, int memory) {
    auto vm = Make<VmImpl>("tarn.VirtualMachine", "vm-" + std::to_string(vms.size()), memory);
    folder->Add(vm->_GetRef());
    vms.push_back(vm);
    return vm;
  }

  // `dcs` datacenters, each with `subfolders` VM folders of `perFolder` VMs and `hosts` hosts
  // that each hold every tenth VM of the datacenter (so VMs are reached twice).
  void Build(int dcs, int subfolders, int perFolder, int hosts) {
    root = Folder("root", nullptr);
    for (int d = 0; d < dcs; ++d) {
      auto vmFolder = Folder("vm", nullptr);
      auto hostFolder = Folder("host", nullptr);
      auto dc = Make<DatacenterImpl>("tarn.Datacenter", "dc-" + std::to_string(d), vmFolder->_GetRef(),
                                     hostFolder->_GetRef());
      root->Add(dc->_GetRef());
      datacenters.push_back(dc);
      std::vector<Ref<VmImpl>> mine;
      for (int s = 0; s < subfolders; ++s) {
        auto sub = Folder("f-" + std::to_string(d) + "-" + std::to_string(s), vmFolder.get());
        for (int i = 0; i < perFolder; ++i) mine.push_back(Vm(sub.get(), 1024 + i));
      }
      for (int h = 0; h < hosts; ++h) {
        auto host = Make<HostImpl>("tarn.HostSystem", "host-" + std::to_string(d) + "-" + std::to_string(h));
        hostFolder->Add(host->_GetRef());
        for (std::size_t i = h; i < mine.size(); i += 10 * hosts) host->Add(mine[i]->_GetRef());
        hostsList.push_back(host);
      }
    }
  }

  Quill::LocalAdapter* adapter;
  Ref<FolderImpl> root;
  std::vector<Ref<FolderImpl>> folders;
  std::vector<Ref<DatacenterImpl>> datacenters;
  std::vector<Ref<HostImpl>> hostsList;
  std::vector<Ref<VmImpl>> vms;
};

// --- building specs -----------------------------------------------------------------------

inline Ref<Quill::Array<std::string>> Names(std::initializer_list<std::string> n) {
  return new Quill::Array<std::string>(n);
}

inline Ref<Quill::Query::Hop> MakeHop(std::string name, std::string type, std::string path,
                                      std::initializer_list<std::string> follow, bool skip = false) {
  Ref<Quill::Query::Hop> h(new Quill::Query::Hop());
  h->name = std::move(name);
  h->type = Quill::TypeName(std::move(type));
  h->path = Quill::PropertyPath(std::move(path));
  h->follow = Names(follow);
  if (skip) h->skip = true;
  return h;
}

inline Ref<Quill::Query::PropertySelection> Select(std::string type, std::initializer_list<std::string> paths) {
  Ref<Quill::Query::PropertySelection> s(new Quill::Query::PropertySelection());
  s->type = Quill::TypeName(std::move(type));
  for (auto const& p : paths) s->GetPaths()->Append(Quill::PropertyPath(p));
  return s;
}

// The ready-made rule set of a folder tree: every folder's children, datacenters' VM and host
// folders, hosts' VMs; the start object itself is included unless `skipRoot`.
inline Ref<Quill::Query::QuerySpec> TreeSpec(MoRef* root, std::vector<Ref<Quill::Query::PropertySelection>> props,
                                             bool skipRoot = false) {
  Ref<Quill::Query::QuerySpec> spec(new Quill::Query::QuerySpec());
  Ref<Quill::Query::ObjectSelection> start(new Quill::Query::ObjectSelection());
  start->obj = root;
  if (skipRoot) start->skip = true;
  start->follow = Names({"children"});
  spec->GetObjects()->Append(start.get());
  spec->GetHops()->Append(
      MakeHop("children", "tarn.Folder", "childEntity", {"children", "dcVm", "dcHost", "hostVm"}).get());
  spec->GetHops()->Append(MakeHop("dcVm", "tarn.Datacenter", "vmFolder", {"children"}).get());
  spec->GetHops()->Append(MakeHop("dcHost", "tarn.Datacenter", "hostFolder", {"children"}).get());
  spec->GetHops()->Append(MakeHop("hostVm", "tarn.HostSystem", "vm", {}).get());
  for (auto const& p : props) spec->GetProperties()->Append(p.get());
  return spec;
}

inline Ref<Quill::DataArray<Quill::Query::QuerySpec>> Specs(Quill::Query::QuerySpec* spec) {
  Ref<Quill::DataArray<Quill::Query::QuerySpec>> a(new Quill::DataArray<Quill::Query::QuerySpec>());
  a->Append(spec);
  return a;
}

inline std::string Key(MoRef const* r) { return r->GetTypeName() + ":" + r->GetId(); }

// path -> value as text, for comparing results with what the objects hold.
inline std::map<std::string, std::string> Values(Quill::Query::ObjectResult const* r) {
  std::map<std::string, std::string> out;
  if (r->values) {
    for (std::size_t i = 0; i < r->values->size(); ++i) {
      auto* p = (*r->values)[i];
      out[p->name] = p->val ? p->val->ToString() : "";
    }
  }
  return out;
}

// A LocalAdapter with a query service and an inventory on it.
struct Served {
  explicit Served(Quill::PrivilegeChecker checker = {}, unsigned workers = 2) {
    Quill::LocalAdapter::Options o;
    o.checkPrivilege = std::move(checker);
    o.workers = workers;
    adapter = new Quill::LocalAdapter(o);
    service = std::make_unique<Quill::Query::QueryService>(adapter.get());
    inventory = std::make_unique<Inventory>(adapter.get());
  }
  ~Served() { service.reset(); }

  // The root collector as a session sees it (`context` null: the shared in-process session).
  Ref<Quill::Query::PropertyCollectorStub> Collector(Quill::RequestContext* context = nullptr) {
    return new Quill::Query::PropertyCollectorStub(service->GetRootRef(), adapter.get(), context);
  }

  Ref<Quill::LocalAdapter> adapter;
  std::unique_ptr<Quill::Query::QueryService> service;
  std::unique_ptr<Inventory> inventory;
};

// Sessions whose context holds "restricted" may not read `runtime` of the objects `hidden`
// accepts; Restricted() makes such a context.
inline Quill::PrivilegeChecker RefuseRuntime(std::function<bool(MoRef const*)> hidden) {
  return [hidden = std::move(hidden)](Quill::CallInfo const& call) {
    if (!call.context || !call.context->Contains("restricted") || !call.method->IsProperty() ||
        std::string_view(call.method->GetName()) != "runtime" || !hidden(call.target)) {
      return;
    }
    Ref<Quill::Fault::SecurityError>(new Quill::Fault::SecurityError())->Throw();
  };
}

inline Ref<Quill::RequestContext> Restricted() {
  Ref<Quill::RequestContext> context(new Quill::RequestContext());
  context->Set("restricted", new Quill::Primitive<bool>(true));
  return context;
}

// Every page of a retrieve, continued to the end: key -> values.
inline std::map<std::string, std::map<std::string, std::string>> RetrieveAll(Quill::Query::PropertyCollectorStub* pc,
                                                                             Quill::Query::QuerySpec* spec, int page,
                                                                             int* pages = nullptr) {
  Ref<Quill::Query::RetrieveOptions> options(new Quill::Query::RetrieveOptions());
  options->maxObjects = page;
  Ref<Quill::Query::ResultPage> result;
  pc->Retrieve(Specs(spec).get(), options.get(), result);
  std::map<std::string, std::map<std::string, std::string>> out;
  for (int n = 1; n <= 100000; ++n) {
    for (std::size_t i = 0; result->objects && i < result->objects->size(); ++i) {
      auto* r = (*result->objects)[i];
      EXPECT_TRUE(out.emplace(Key(r->obj.get()), Values(r)).second) << "twice: " << Key(r->obj.get());
    }
    EXPECT_LE(result->objects ? result->objects->size() : 0, static_cast<std::size_t>(page));
    if (pages) *pages = n;
    if (!result->token.IsSet()) return out;
    std::string token = *result->token;
    pc->ContinueRetrieve(token, result);
  }
  ADD_FAILURE() << "no end of pages";
  return out;
}

inline std::string Text(Quill::Any* a) { return Ref<Quill::Any>(a)->ToString(); }

// What RetrieveAll gives for every VM of `inv` with `name` and `runtime.maxMemoryUsage`.
inline std::map<std::string, std::map<std::string, std::string>> VmValues(Inventory const& inv) {
  std::map<std::string, std::map<std::string, std::string>> want;
  for (auto const& vm : inv.vms) {
    want[Key(vm->_GetRef())] = {{"name", Text(new Quill::Primitive<std::string>(vm->GetName()))},
                                {"runtime.maxMemoryUsage", Text(new Quill::Primitive<int>(vm->Memory()))}};
  }
  return want;
}

// Waits until an answer comes (bounded); null on timeout.
inline Ref<Quill::Query::UpdateBatch> Wait(Quill::Query::PropertyCollectorStub* pc, std::string const& version,
                                           int maxUpdates = 0, int seconds = 10) {
  Ref<Quill::Query::WaitOptions> o(new Quill::Query::WaitOptions());
  o->maxWaitSeconds = seconds;
  if (maxUpdates) o->maxObjectUpdates = maxUpdates;
  Ref<Quill::Query::UpdateBatch> batch;
  pc->WaitForUpdates(version.empty() ? Basalt::Optional<std::string>() : Basalt::Optional<std::string>(version),
                     o.get(), batch);
  return batch;
}

// The memory value a batch reports for its one changed object, or -1.
inline int ChangedMemory(Quill::Query::UpdateBatch const* batch) {
  if (!batch || !batch->watches || batch->watches->size() != 1) return -1;
  auto* objects = (*batch->watches)[0]->objects.get();
  if (!objects || objects->size() != 1 || !(*objects)[0]->changes || (*objects)[0]->changes->size() != 1) return -1;
  auto* value = dynamic_cast<Quill::Primitive<int>*>((*(*objects)[0]->changes)[0]->value.get());
  return value ? value->GetValue() : -1;
}

// How a wait ended: "canceled" (RequestCanceled), "answered <memory>", or the
// failure's text.
inline std::string WaitEnd(Quill::Query::PropertyCollectorStub* pc, std::string const& version) {
  try {
    return "answered " + std::to_string(ChangedMemory(Wait(pc, version, 0, 60).get()));
  } catch (Quill::Fault::RequestCanceled::Exception&) {
    return "canceled";
  } catch (std::exception& e) {
    return e.what();
  }
}

// Until `n` waits are held by the service (bounded: false after 20 s).
inline bool AwaitWaiting(Quill::Query::QueryService& service, std::size_t n) {
  for (int i = 0; i < 4000; ++i) {
    if (service.GetStats().waiting == n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// What a watcher's callback saw, per VM: the values of runtime.maxMemoryUsage in the order
// they arrived (entering, then modified), and how often the VM entered.
struct Seen {
  std::mutex mutex;
  std::map<std::string, std::vector<int>> values;
  std::map<std::string, int> entered;
  std::set<std::string> versions, watches, paths;
  int batches = 0, truncated = 0, duplicates = 0, leaves = 0;
  std::thread::id thread;
  bool oneThread = true;

  void Take(Quill::Query::UpdateBatch* batch) {
    std::lock_guard lock(mutex);
    if (thread == std::thread::id()) thread = std::this_thread::get_id();
    oneThread = oneThread && thread == std::this_thread::get_id();
    ++batches;
    if (batch->truncated.IsSet() && *batch->truncated) ++truncated;
    if (!versions.insert(batch->version).second) ++duplicates;
    for (std::size_t w = 0; batch->watches && w < batch->watches->size(); ++w) {
      auto* update = (*batch->watches)[w];
      watches.insert(Key(update->watch.get()));
      for (std::size_t i = 0; update->objects && i < update->objects->size(); ++i) {
        auto* change = (*update->objects)[i];
        std::string key = Key(change->obj.get());
        if (change->kind == Quill::Query::ChangeKind::enter) ++entered[key];
        if (change->kind == Quill::Query::ChangeKind::leave) {
          ++leaves;
          continue;
        }
        for (std::size_t c = 0; change->changes && c < change->changes->size(); ++c) {
          auto* pc = (*change->changes)[c];
          paths.insert(std::string(pc->path));
          if (std::string(pc->path) != "runtime.maxMemoryUsage" || !pc->value) continue;
          values[key].push_back(Quill::Unbox<int>(pc->value.get()));
        }
      }
    }
  }

  // Waits (bounded) until the first answer has come: changes then race the rest of the
  // (truncated) content.
  void WaitForFirst() {
    for (int i = 0; i < 1000; ++i) {
      {
        std::lock_guard lock(mutex);
        if (batches > 0) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Waits (bounded; `tries` looks, 10 ms apart) until every VM's last value is `last`.
  bool WaitForLast(std::vector<Ref<VmImpl>> const& vms, int last, int tries = 3000) {
    for (int i = 0; i <= tries; ++i) {
      {
        std::lock_guard lock(mutex);
        bool all = true;
        for (auto const& vm : vms) {
          auto it = values.find(Key(vm->_GetRef()));
          all = all && it != values.end() && it->second.back() == last;
        }
        if (all) return true;
      }
      if (i < tries) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

// Several threads each raise the memory of their own VMs from 1 to `rounds`, notifying each
// change as an implementation would.
inline void Modify(Inventory& inv, int threads, int rounds) {
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&inv, t, threads, rounds] {
      for (int r = 1; r <= rounds; ++r) {
        for (std::size_t i = t; i < inv.vms.size(); i += threads) {
          inv.vms[i]->SetMemory(r);
          inv.adapter->NotifyChanged(inv.vms[i]->_GetRef(), {"runtime"});
        }
      }
    });
  }
  for (auto& w : writers) w.join();
}

// Every VM entered once; its values only ever rise (changes in order, none twice) and end
// at `rounds`.
inline void ExpectComplete(Seen& seen, Inventory& inv, int rounds) {
  ASSERT_TRUE(seen.WaitForLast(inv.vms, rounds));
  std::lock_guard lock(seen.mutex);
  EXPECT_TRUE(seen.oneThread);
  EXPECT_EQ(seen.duplicates, 0);
  EXPECT_EQ(seen.leaves, 0);
  EXPECT_EQ(seen.entered.size(), inv.vms.size());
  for (auto const& [key, n] : seen.entered) EXPECT_EQ(n, 1) << key;
  for (auto const& [key, v] : seen.values) {
    for (std::size_t i = 1; i < v.size(); ++i) EXPECT_LT(v[i - 1], v[i]) << key << " at " << i;
  }
}

}  // namespace tarn_query_test
