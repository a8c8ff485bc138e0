// A tour of libtarn-types. A small in-memory server (a service instance, folders, virtual
// machines and their tasks) is registered with a Quill::LocalAdapter and served over HTTP by
// a Quill::HttpServer on a loopback port of this process; the client half reaches it only
// through generated stubs and a Quill::HttpAdapter, exactly as it would reach a server on
// another machine. Each step prints one line; any surprise ends the program with a non-zero
// status.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "quill/Array.h"
#include "quill/FaultText.h"
#include "quill/Faults.h"
#include "quill/LocalAdapter.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/http/HttpAdapter.h"
#include "quill/http/HttpServer.h"
#include "quill/query/FolderTree.h"
#include "quill/query/QueryService.h"
#include "quill/tasks/Tasks.h"
#include "tarn/AboutInfo.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/FolderStub.h"
#include "tarn/ServiceInstanceContent.h"
#include "tarn/ServiceInstanceSkeleton.h"
#include "tarn/ServiceInstanceStub.h"
#include "tarn/VirtualMachineSkeleton.h"
#include "tarn/VirtualMachineStub.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidPowerState.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/device/VirtualDeviceSpec.h"
#include "tarn/vm/device/VirtualDisk.h"

using Basalt::Ref;
using Quill::MoRef;

namespace {

void Check(bool ok, char const* what) {
  if (!ok) {
    std::fprintf(stderr, "tour: unexpected: %s\n", what);
    std::exit(1);
  }
}

// ============================ the server end ============================

// Task methods answer a task's reference at once; the manager runs the work on the
// adapter's workers, keeps the task's info for clients, and forgets it some time after.
class VirtualMachineImpl : public Tarn::VirtualMachineSkeleton {
 public:
  VirtualMachineImpl(MoRef* ref, std::string name, Quill::Tasks::Manager& tasks)
      : VirtualMachineSkeleton(ref), _name(std::move(name)), _tasks(tasks) {}

  std::string GetName() override { return _name; }

  void PowerOn(MoRef*, Ref<MoRef>& result) override {
    Ref<VirtualMachineImpl> self(this);
    result = _tasks.Start(_GetRef(), METHOD_POWERON, [self](Quill::Tasks::Progress&) -> Ref<Quill::Any> {
      std::lock_guard<std::mutex> lock(self->_mutex);
      if (self->_state == Tarn::VirtualMachine::PowerState::poweredOn) {
        Ref<Tarn::Fault::InvalidPowerState> fault(new Tarn::Fault::InvalidPowerState());
        fault->existingState = self->_state;
        fault->requestedState = Tarn::VirtualMachine::PowerState::poweredOn;
        fault->Throw();
      }
      self->_state = Tarn::VirtualMachine::PowerState::poweredOn;
      return nullptr;
    });
  }

 private:
  std::mutex _mutex;
  std::string _name;
  Quill::Tasks::Manager& _tasks;
  Tarn::VirtualMachine::PowerState _state = Tarn::VirtualMachine::PowerState::poweredOff;
};

class FolderImpl : public Tarn::FolderSkeleton {
 public:
  FolderImpl(MoRef* ref, std::string name, Quill::Tasks::Manager& tasks)
      : FolderSkeleton(ref), _name(std::move(name)), _tasks(tasks) {}

  std::string GetName() override { return _name; }

  void GetChildEntity(Ref<Quill::DataArray<MoRef>>& result) override {
    std::lock_guard<std::mutex> lock(_mutex);
    result = Ref<Quill::DataArray<MoRef>>(new Quill::DataArray<MoRef>());
    for (auto const& child : _children) result->Append(child.second.get());
  }

  void CreateFolder(std::string const& name, Ref<MoRef>& result) override {
    Quill::LocalAdapter* adapter = Quill::LocalAdapter::CurrentCall()->adapter;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      CheckFreeName(name);
      Ref<MoRef> ref = adapter->MakeRef("tarn.Folder");
      adapter->Register(nullptr, new FolderImpl(ref.get(), name, _tasks));
      _children[name] = result = ref;
    }
    // After the change and outside the lock: the query service reads the children again.
    adapter->NotifyChanged(_GetRef(), {"childEntity"});
  }

  void CreateVm(Tarn::Vm::ConfigSpec* config, MoRef*, MoRef*, Ref<MoRef>& result) override {
    if (!config || !config->name.IsSet()) {
      Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
      fault->invalidProperty = std::string("config.name");
      fault->Throw();
    }
    Ref<FolderImpl> self(this);
    Ref<Tarn::Vm::ConfigSpec> spec(static_cast<Tarn::Vm::ConfigSpec*>(config->_Clone()));
    Quill::LocalAdapter* adapter = Quill::LocalAdapter::CurrentCall()->adapter;
    result =
        _tasks.Start(_GetRef(), METHOD_CREATEVM, [self, spec, adapter](Quill::Tasks::Progress&) -> Ref<Quill::Any> {
          std::string const& name = spec->name.GetValue();
          Ref<MoRef> ref = adapter->MakeRef("tarn.VirtualMachine");
          {
            std::lock_guard<std::mutex> lock(self->_mutex);
            self->CheckFreeName(name);
            adapter->Register(nullptr, new VirtualMachineImpl(ref.get(), name, self->_tasks));
            self->_children[name] = ref;
          }
          adapter->NotifyChanged(self->_GetRef(), {"childEntity"});
          return ref;
        });
  }

 private:
  void CheckFreeName(std::string const& name) {  // under _mutex
    auto found = _children.find(name);
    if (found == _children.end()) return;
    Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
    fault->name = name;
    fault->object = found->second;
    fault->Throw();
  }

  std::mutex _mutex;
  std::string _name;
  Quill::Tasks::Manager& _tasks;
  std::map<std::string, Ref<MoRef>> _children;
};

class ServiceInstanceImpl : public Tarn::ServiceInstanceSkeleton {
 public:
  ServiceInstanceImpl(MoRef* ref, MoRef* rootFolder, MoRef* propertyCollector)
      : ServiceInstanceSkeleton(ref), _content(new Tarn::ServiceInstanceContent()) {
    _content->rootFolder = rootFolder;
    _content->propertyCollector = propertyCollector;  // what clients read the inventory through
    _content->about = new Tarn::AboutInfo();
    _content->about->name = "Tour server";
    _content->about->fullName = "Tour server 1.0 (over HTTP)";
    _content->about->apiVersion = "8.0.3.0";
  }

  Basalt::System::DateTime CurrentTime() override { return Basalt::System::DateTime::FromCivil(2026, 12, 6, 12); }
  void RetrieveContent(Ref<Tarn::ServiceInstanceContent>& result) override { result = _content; }

 private:
  Ref<Tarn::ServiceInstanceContent> _content;
};

// ============================ the client end ============================

Ref<Tarn::Vm::ConfigSpec> WebServerSpec() {
  Ref<Tarn::Vm::ConfigSpec> spec(new Tarn::Vm::ConfigSpec());
  spec->name = std::string("web-01");
  spec->numCPUs = 2;
  spec->memoryMB = 4096L;
  spec->guestId = std::string("otherLinux64Guest");
  Ref<Tarn::Vm::Device::VirtualDisk> disk(new Tarn::Vm::Device::VirtualDisk());
  disk->key = -100;
  disk->capacityInKB = 16L * 1024 * 1024;
  Ref<Tarn::Vm::Device::VirtualDeviceSpec> change(new Tarn::Vm::Device::VirtualDeviceSpec());
  change->operation = Tarn::Vm::Device::VirtualDeviceSpec::Operation::add;
  change->fileOperation = Tarn::Vm::Device::VirtualDeviceSpec::FileOperation::create;
  change->device = disk;
  spec->GetDeviceChange()->Append(change.get());
  return spec;
}

}  // namespace

// A fault nobody expected ends the tour with its whole story (class, messages, causes,
// fields) instead of what() alone, which names only the fault's class.
int main() try {
  // --- a server: the objects, and HTTP in front of them ---------------------------
  Ref<Quill::LocalAdapter> server(new Quill::LocalAdapter());
  Ref<MoRef> rootRef(new MoRef("tarn.Folder", "group-d1"));
  Ref<MoRef> siRef(new MoRef("tarn.ServiceInstance", "ServiceInstance"));
  Quill::Tasks::Manager tasks(server.get());       // starts the tasks, forgets old finished ones
  Quill::Query::QueryService query(server.get());  // the property collector, over all of them
  server->Register(nullptr, new FolderImpl(rootRef.get(), "Datacenters", tasks));
  server->Register(nullptr, new ServiceInstanceImpl(siRef.get(), rootRef.get(), query.GetRootRef()));
  Quill::HttpServer::Options listen;
  listen.address = "127.0.0.1";
  listen.port = 0;  // any free port
  Quill::HttpServer http(server.get(), listen);

  // --- the client: every call below is an HTTP POST to that server -----------------
  Quill::HttpAdapter::Settings settings;
  settings.url = http.GetUrl();  // "http://127.0.0.1:<port>/sdk"
  Ref<Quill::HttpAdapter> adapter(new Quill::HttpAdapter(settings));

  // --- service content and the inventory -----------------------------------------
  Ref<Tarn::ServiceInstanceStub> si = Quill::CreateStub<Tarn::ServiceInstanceStub>(siRef.get(), adapter.get());
  Ref<Tarn::ServiceInstanceContent> content;
  si->RetrieveContent(content);
  std::printf("connected to \"%s\", api %s\n", content->about->fullName.c_str(), content->about->apiVersion.c_str());

  Ref<Tarn::FolderStub> root = Quill::CreateStub<Tarn::FolderStub>(content->rootFolder.get(), adapter.get());
  Ref<MoRef> prodRef;
  root->CreateFolder("Production", prodRef);
  Ref<Tarn::FolderStub> production = Quill::CreateStub<Tarn::FolderStub>(prodRef.get(), adapter.get());
  std::printf("root folder \"%s\" (%s), new folder \"%s\" (%s)\n", root->GetName().c_str(),
              root->_GetRef()->GetId().c_str(), production->GetName().c_str(), prodRef->GetId().c_str());

  // --- a virtual machine, created and powered on through task methods -----------
  Ref<Tarn::Vm::ConfigSpec> spec = WebServerSpec();
  Ref<MoRef> pool(new MoRef("tarn.ResourcePool", "resgroup-8"));
  Ref<MoRef> taskRef;
  production->CreateVm(spec.get(), pool.get(), nullptr, taskRef);
  // Follows the task to its end and answers its result as the type asked for.
  Ref<MoRef> vmRef = Quill::WaitForTask<Ref<MoRef>>(adapter.get(), taskRef.get(), std::chrono::seconds(10));
  Check(vmRef != nullptr, "CreateVm's task has no VirtualMachine as its result");
  std::printf("task %s: success, created %s\n", taskRef->GetId().c_str(), vmRef->GetId().c_str());

  Ref<Tarn::VirtualMachineStub> vm = Quill::CreateStub<Tarn::VirtualMachineStub>(vmRef.get(), adapter.get());
  vm->PowerOn(nullptr, taskRef);
  Quill::WaitForTask(adapter.get(), taskRef.get(), std::chrono::seconds(10));
  std::printf("power on \"%s\": success\n", vm->GetName().c_str());
  vm->PowerOn(nullptr, taskRef);
  try {
    // A task that ends in error throws its fault as the fault's own class.
    Quill::WaitForTask(adapter.get(), taskRef.get(), std::chrono::seconds(10));
    Check(false, "a second power-on did not fail with InvalidPowerState");
  } catch (Tarn::Fault::InvalidPowerState::Exception& e) {
    auto* already = static_cast<Tarn::Fault::InvalidPowerState*>(e.GetFault());
    std::printf("power on again: error, %s (the machine is %s)\n", already->_GetType()->GetName(),
                Quill::TagOf(already->existingState));
  }

  // --- the inventory in one call, and a change arriving -----------------------------
  Quill::Query::RetrieveSettings through;
  through.collector = content->propertyCollector.get();
  auto entities = Quill::Query::Retrieve(adapter.get(), "tarn.ManagedEntity", {"name"}, root->_GetRef(), through);
  std::map<std::string, std::string> names;  // by name, for a stable order
  for (auto const& e : entities) names[e.Get<std::string>("name")] = e.GetRef()->GetTypeName();
  std::printf("query: %zu entities under %s:", names.size(), root->_GetRef()->GetId().c_str());
  for (auto const& [name, type] : names) std::printf(" %s (%s)", name.c_str(), type.c_str());
  std::printf("\n");

  namespace Q = Quill::Query;
  Ref<Q::PropertyCollectorStub> collector =
      Quill::CreateStub<Q::PropertyCollectorStub>(content->propertyCollector.get(), adapter.get());
  Ref<MoRef> watch;
  collector->CreateWatch(Q::FolderTreeSpec(root->_GetRef(), {Q::MakeSelection("tarn.Folder", {"name"})}).get(),
                         /*partialUpdates=*/true, watch);
  std::mutex seenMutex;
  std::condition_variable seenChanged;
  std::vector<std::string> seen;  // one line per object change
  Q::Watcher::Settings watching;
  watching.collector = content->propertyCollector.get();
  Q::Watcher watcher(
      adapter.get(),
      [&](Q::UpdateBatch* batch) {
        std::lock_guard<std::mutex> lock(seenMutex);
        for (std::size_t i = 0; i < (*batch->watches)[0]->objects->size(); ++i) {
          Q::ObjectChange* change = (*(*batch->watches)[0]->objects)[i];
          std::string line = std::string(Quill::TagOf(change->kind)) + " " + change->obj->GetId();
          for (std::size_t c = 0; change->changes && c < change->changes->size(); ++c) {
            Q::PropertyChange* value = (*change->changes)[c];
            line += " " + value->path.GetString() + "=" + Quill::Unbox<std::string>(value->value.get());
          }
          seen.push_back(line);
        }
        seenChanged.notify_all();
      },
      watching);
  {
    std::unique_lock<std::mutex> lock(seenMutex);
    seenChanged.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() == 2; });  // the two folders
    Check(seen.size() == 2, "the watch's first answer does not hold both folders");
  }
  root->CreateFolder("Staging", prodRef);
  {
    std::unique_lock<std::mutex> lock(seenMutex);
    seenChanged.wait_for(lock, std::chrono::seconds(10), [&] { return seen.size() == 3; });
    Check(seen.size() == 3, "the new folder did not reach the watcher");
    std::printf("watch: %s\n", seen[2].c_str());
  }
  watcher.Stop();

  // --- copy, compare, diff --------------------------------------------------------
  Ref<Tarn::Vm::ConfigSpec> bigger(new Tarn::Vm::ConfigSpec(*spec));  // a deep copy
  bigger->memoryMB = 8192L;
  // A copy shares the elements of object arrays: replace an element before changing it.
  Basalt::Ref<Quill::Any>& first = bigger->deviceChange->GetItems()[0];
  first = first->_Clone();
  auto* disk = static_cast<Tarn::Vm::Device::VirtualDisk*>(bigger->deviceChange->Get(0)->device.get());
  disk->capacityInKB *= 2;
  bigger->guestId.Unset();
  Quill::PropertyDiffSet diffs;
  spec->_DiffProperties(bigger.get(), "", diffs);
  std::printf("copy equal: strict %s, lenient %s; differs at", spec->_IsEqual(bigger.get(), false) ? "yes" : "no",
              spec->_IsEqual(bigger.get(), true) ? "yes" : "no");
  for (auto const& path : diffs.GetPaths()) std::printf(" %s", path.c_str());
  std::printf("\n");
  Ref<Tarn::Vm::ConfigSpec> same(new Tarn::Vm::ConfigSpec(*spec));
  same->guestId.Unset();  // unset on one side: a lenient comparison lets it pass
  std::printf("with guestId unset in the copy: strict %s, lenient %s\n",
              spec->_IsEqual(same.get(), false) ? "yes" : "no", spec->_IsEqual(same.get(), true) ? "yes" : "no");

  // --- enumerations ---------------------------------------------------------------
  using PowerState = Tarn::VirtualMachine::PowerState;
  PowerState parsed{};
  bool known = Quill::FindEnumValue("hibernated", parsed);
  std::printf("enum: %d is \"%s\", \"suspended\" is %d, \"hibernated\" %s\n", static_cast<int>(PowerState::poweredOn),
              Quill::TagOf(PowerState::poweredOn), static_cast<int>(Quill::EnumValueOf<PowerState>("suspended")),
              known ? "is known" : "is not a tag");

  // --- a fault, caught as its own class and as its base ---------------------------
  try {
    root->CreateFolder("Production", prodRef);
    Check(false, "a duplicate folder was created");
  } catch (Tarn::Fault::DuplicateName::Exception& e) {
    auto* fault = static_cast<Tarn::Fault::DuplicateName*>(e.GetFault());
    std::printf("caught Tarn::Fault::DuplicateName: \"%s\" is taken by %s\n", fault->name.c_str(),
                fault->object->GetId().c_str());
  }
  try {
    root->CreateFolder("Production", prodRef);
  } catch (Tarn::Fault::TarnFault::Exception& e) {
    std::printf("caught again as Tarn::Fault::TarnFault (%s)\n", e.GetFault()->_GetType()->GetName());
  }

  // --- an asynchronous call -------------------------------------------------------
  Ref<Basalt::System::ScheduledItem> pending;
  std::string answer;
  si->CurrentTime(
      [&answer](Basalt::System::ScheduledItem*, Basalt::Exception* error, Quill::Any* result) {
        answer = error ? "failed" : Quill::Unbox<Basalt::System::DateTime>(result).ToIso8601();
      },
      pending);
  pending->Wait();  // the callback has returned once the handle is done
  std::printf("async CurrentTime: %s\n", answer.c_str());

  // --- lookups by name and version --------------------------------------------------
  Quill::Type* byName = Quill::FindType("tarn.vm.ConfigSpec");
  Quill::Type* byWsdl = Quill::FindTypeByWsdlName("VirtualMachineConfigSpec");
  Check(byName != nullptr && byName == byWsdl, "ConfigSpec not found by both names");
  auto* specType = static_cast<Quill::DataObjectType*>(byName);
  Quill::DataProperty const* memory = specType->FindProperty("memoryMB");
  Check(memory != nullptr, "no property memoryMB");
  Quill::Type* delta = Quill::FindType("tarn.DeltaMigrationManager");
  Quill::Version const* older = Quill::FindVersion("tarn.version.version5");
  Quill::Version const* newer = Quill::FindVersion("tarn.version.v8_0_0_1");
  Check(delta && older && newer, "a type or version is missing");
  std::printf("lookup: %s is WSDL %s with %u properties; memoryMB since %s\n", byName->GetName(), byName->GetWsdlName(),
              specType->GetPropertyCount(), memory->info->version);
  std::printf("lookup: %s (since %s) is %s version5 and %s v8_0_0_1\n", delta->GetName(), delta->GetVersionName(),
              Quill::ExistsInVersion(delta, older) ? "in" : "not in",
              Quill::ExistsInVersion(delta, newer) ? "in" : "not in");

  adapter->Shutdown();
  http.Stop();
  query.Stop();
  server->Shutdown();
  std::printf("done\n");
  return 0;
} catch (std::exception& e) {
  std::fprintf(stderr, "tour: %s", Quill::FaultText(e).c_str());
  return 1;
}
