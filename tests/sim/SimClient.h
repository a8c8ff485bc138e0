// What the simulator's scenario tests share: a client with its own session over HTTP,
// reads through the query service, and a watch that waits (bounded) for a change.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Objects.h"
#include "Simulator.h"
#include "quill/Query.h"
#include "quill/http/HttpAdapter.h"
#include "tarn/CustomFieldsManager.h"
#include "tarn/DatacenterStub.h"
#include "tarn/FolderStub.h"
#include "tarn/ServiceInstanceContent.h"
#include "tarn/ServiceInstanceStub.h"
#include "tarn/SessionManagerStub.h"
#include "tarn/TaskInfo.h"
#include "tarn/TaskStub.h"
#include "tarn/UserSession.h"
#include "tarn/event/EventManagerStub.h"

namespace SimTest {

using Basalt::Ref;
using Quill::MoRef;
using TaskState = Tarn::TaskInfo::State;

// The ids of a list of references, in order.
inline std::vector<std::string> Ids(Quill::DataArray<MoRef> const* list) {
  std::vector<std::string> out;
  for (std::size_t i = 0; list && i < list->size(); ++i) out.push_back((*list)[i]->GetId());
  return out;
}
inline bool Has(std::vector<std::string> const& ids, MoRef const* ref) {
  return std::find(ids.begin(), ids.end(), ref->GetId()) != ids.end();
}

inline Tarn::Sim::Options Model(unsigned clusters, unsigned hosts, unsigned vms, unsigned standalone,
                                std::chrono::milliseconds taskDelay = std::chrono::milliseconds(0)) {
  Tarn::Sim::Options o;
  o.model = {1, clusters, hosts, vms, 1, 1, standalone};
  o.taskDelay = taskDelay;
  return o;
}

// Paths of one object, as a query of the query service.
inline Ref<Quill::Query::QuerySpec> ObjectQuery(MoRef* obj, std::initializer_list<std::string> paths) {
  Ref<Quill::Query::QuerySpec> spec(new Quill::Query::QuerySpec());
  Ref<Quill::Query::ObjectSelection> start(new Quill::Query::ObjectSelection());
  start->obj = obj;
  spec->GetObjects()->Append(start.get());
  Ref<Quill::Query::PropertySelection> select(new Quill::Query::PropertySelection());
  select->type = Quill::TypeName(obj->GetTypeName());
  for (auto const& p : paths) select->GetPaths()->Append(Quill::PropertyPath(p));
  spec->GetProperties()->Append(select.get());
  return spec;
}

class Client {
 public:
  // `user`: logged in as (nullptr: no session yet).
  explicit Client(std::string const& url, char const* user = "admin",
                  std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    Quill::HttpAdapter::Settings settings;
    settings.url = url;
    settings.callTimeout = timeout;
    adapter = new Quill::HttpAdapter(settings);
    Ref<MoRef> si(new MoRef("tarn.ServiceInstance", "ServiceInstance"));
    Stub<Tarn::ServiceInstanceStub>(si.get())->RetrieveContent(content);
    if (user) Login(user);
  }

  Ref<Tarn::SessionManagerStub> Sessions() { return Stub<Tarn::SessionManagerStub>(content->sessionManager.get()); }
  Ref<Tarn::UserSession> Login(std::string const& user, std::string const& password = "tarn-sim") {
    Ref<Tarn::UserSession> session;
    Sessions()->Login(user, password, Basalt::Optional<std::string>(), session);
    return session;
  }

  template <class S>
  Ref<S> Stub(MoRef* ref) {
    return Quill::CreateStub<S>(ref, adapter.get());
  }

  // The task's last info once it ended (bounded wait).
  Ref<Tarn::TaskInfo> Wait(MoRef* task) {
    auto stub = Stub<Tarn::TaskStub>(task);
    Ref<Tarn::TaskInfo> info;
    for (int i = 0; i < 4000; ++i) {
      stub->GetInfo(info);
      if (info->state == TaskState::success || info->state == TaskState::error) return info;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "task " << task->GetId() << " did not finish";
    return info;
  }
  // Starts a task (`start` sets its reference) and waits for its end.
  Ref<Tarn::TaskInfo> Do(std::function<void(Ref<MoRef>&)> const& start) { return Wait(Started(start).get()); }
  // The same for a task that `start` starts (setting its reference).
  using Start = std::function<void(Ref<MoRef>&)>;
  Ref<Quill::Any> Succeed(Start const& start) { return Succeed(Started(start).get()); }
  Ref<MoRef> SucceedRef(Start const& start) { return SucceedRef(Started(start).get()); }
  template <class F>
  F* Fails(Start const& start) {
    return Fails<F>(Started(start).get());
  }
  static Ref<MoRef> Started(Start const& start) {
    Ref<MoRef> task;
    start(task);
    return task;
  }

  // The task's result, failing the test when it ended in error.
  Ref<Quill::Any> Succeed(MoRef* task) {
    Ref<Tarn::TaskInfo> info = Wait(task);
    EXPECT_EQ(info->state, TaskState::success) << (info->error ? info->error->_GetType()->GetName() : "");
    return info->result;
  }
  Ref<MoRef> SucceedRef(MoRef* task) {
    Ref<Quill::Any> result = Succeed(task);
    return Ref<MoRef>(dynamic_cast<MoRef*>(result.get()));
  }
  // The task's fault as F, null (and a failure) when it is not one.
  template <class F>
  F* Fails(MoRef* task) {
    Ref<Tarn::TaskInfo> info = Wait(task);
    auto* fault = dynamic_cast<F*>(info->error.get());
    EXPECT_NE(fault, nullptr) << "task " << task->GetId() << " ended "
                              << (info->error ? info->error->_GetType()->GetName() : "without a fault");
    _kept.push_back(info);
    return fault;
  }

  // The first machine whose power state is `power`, else null (and a failure).
  Ref<MoRef> FindVm(char const* power) {
    for (auto& vm : Vms()) {
      if (Field(vm.get(), Tarn::Sim::kFieldPowerState) == power) return vm;
    }
    ADD_FAILURE() << "the model has no machine " << power;
    return nullptr;
  }

  Ref<MoRef> Datacenter() { return Children(content->rootFolder.get()).front(); }
  Ref<MoRef> VmFolder() {
    Ref<MoRef> folder;
    Stub<Tarn::DatacenterStub>(Datacenter().get())->GetVmFolder(folder);
    return folder;
  }
  Ref<MoRef> HostFolder() {
    Ref<MoRef> folder;
    Stub<Tarn::DatacenterStub>(Datacenter().get())->GetHostFolder(folder);
    return folder;
  }
  std::vector<Ref<MoRef>> Children(MoRef* folder) {
    Ref<Quill::DataArray<MoRef>> children;
    Stub<Tarn::FolderStub>(folder)->GetChildEntity(children);
    std::vector<Ref<MoRef>> out;
    for (std::size_t i = 0; i < children->size(); ++i) out.push_back(children->Get(i));
    return out;
  }
  std::vector<Ref<MoRef>> Vms() { return Children(VmFolder().get()); }

  // One property of one object, read through the query service.
  Ref<Quill::Any> Read(MoRef* obj, std::string const& path) {
    Ref<Quill::Query::QuerySpec> spec = ObjectQuery(obj, {path});
    Ref<Quill::DataArray<Quill::Query::QuerySpec>> specs(new Quill::DataArray<Quill::Query::QuerySpec>());
    specs->Append(spec.get());
    Ref<Quill::Query::ResultPage> page;
    Collector()->Retrieve(specs.get(), nullptr, page);
    if (!page || !page->objects || page->objects->size() != 1) return nullptr;
    auto* values = page->objects->Get(0)->values.get();
    for (std::size_t i = 0; values && i < values->size(); ++i) {
      if (values->Get(i)->name == path) return values->Get(i)->val;
    }
    return nullptr;
  }
  std::vector<std::string> ReadIds(MoRef* obj, std::string const& path) {
    Ref<Quill::Any> held = Read(obj, path);
    return Ids(dynamic_cast<Quill::DataArray<MoRef>*>(held.get()));
  }
  std::string ReadString(MoRef* obj, std::string const& path) {
    Ref<Quill::Any> v = Read(obj, path);
    return v ? Quill::Unbox<std::string>(v.get()) : "";
  }
  // A machine's published field (Tarn::Sim::VmField), read through the query service.
  std::string Field(MoRef* vm, int key) {
    Ref<Quill::Any> held = Read(vm, "customValue");
    auto* values = dynamic_cast<Quill::DataArray<Tarn::CustomFieldsManager::Value>*>(held.get());
    for (std::size_t i = 0; values && i < values->size(); ++i) {
      auto* text = dynamic_cast<Tarn::CustomFieldsManager::StringValue*>(values->Get(i));
      if (text && text->key == key) return text->value;
    }
    ADD_FAILURE() << "no field " << key << " on " << vm->GetId();
    return "";
  }

  Ref<Tarn::Event::EventManagerStub> Events() {
    return Stub<Tarn::Event::EventManagerStub>(content->eventManager.get());
  }
  Ref<Quill::Query::PropertyCollectorStub> Collector() {
    return Stub<Quill::Query::PropertyCollectorStub>(content->propertyCollector.get());
  }

  Ref<Quill::HttpAdapter> adapter;
  Ref<Tarn::ServiceInstanceContent> content;

 private:
  std::vector<Ref<Tarn::TaskInfo>> _kept;  // the faults handed out stay alive
};

// A watch on one object's properties (or on what a spec selects); Until waits (at most
// `rounds` answers of at most two seconds each) for a change that `seen` accepts.
class Watch {
 public:
  Watch(Client& c, MoRef* obj, std::initializer_list<std::string> paths) : Watch(c, ObjectQuery(obj, paths)) {}
  Watch(Client& c, Ref<Quill::Query::QuerySpec> const& spec) : _pc(c.Collector()) {
    Ref<MoRef> watch;
    _pc->CreateWatch(spec.get(), true, watch);
    _options = new Quill::Query::WaitOptions();
    _options->maxWaitSeconds = 2;
    first = Next();  // the objects entering
  }

  // The next answer (null when the wait ran out).
  Ref<Quill::Query::UpdateBatch> Next() {
    Ref<Quill::Query::UpdateBatch> batch;
    _pc->WaitForUpdates(_version, _options.get(), batch);
    if (batch) _version = batch->version;
    return batch;
  }

  bool Until(std::function<bool(Quill::Query::PropertyChange const&)> seen, int rounds = 20) {
    return Until([&](Quill::Query::ObjectChange const&, Quill::Query::PropertyChange const& ch) { return seen(ch); },
                 rounds);
  }
  bool Until(std::function<bool(Quill::Query::ObjectChange const&, Quill::Query::PropertyChange const&)> seen,
             int rounds = 20) {
    for (int i = 0; i < rounds; ++i) {
      Ref<Quill::Query::UpdateBatch> batch = Next();
      for (std::size_t w = 0; batch && batch->watches && w < batch->watches->size(); ++w) {
        auto* update = (*batch->watches)[w];
        for (std::size_t k = 0; update->objects && k < update->objects->size(); ++k) {
          auto* ch = (*update->objects)[k];
          for (std::size_t j = 0; ch->changes && j < ch->changes->size(); ++j) {
            if (seen(*ch, *(*ch->changes)[j])) return true;
          }
        }
      }
    }
    return false;
  }

  Ref<Quill::Query::UpdateBatch> first;

 private:
  Ref<Quill::Query::PropertyCollectorStub> _pc;
  Ref<Quill::Query::WaitOptions> _options;
  Basalt::Optional<std::string> _version;
};

}  // namespace SimTest
