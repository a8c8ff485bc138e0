#include "Objects.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "quill/Faults.h"
#include "quill/Primitive.h"
#include "quill/Type.h"
#include "tarn/AboutInfo.h"
#include "tarn/ClusterComputeResourceSkeleton.h"
#include "tarn/ComputeResourceSkeleton.h"
#include "tarn/CustomFieldsManager.h"
#include "tarn/DatacenterSkeleton.h"
#include "tarn/Datastore.h"
#include "tarn/DatastoreSkeleton.h"
#include "tarn/FolderSkeleton.h"
#include "tarn/HostSystemSkeleton.h"
#include "tarn/NetworkSkeleton.h"
#include "tarn/ResourcePoolSkeleton.h"
#include "tarn/ServiceInstanceContent.h"
#include "tarn/ServiceInstanceSkeleton.h"
#include "tarn/SessionManagerSkeleton.h"
#include "tarn/UserSession.h"
#include "tarn/VirtualMachineSkeleton.h"
#include "tarn/fault/AlreadyExists.h"
#include "tarn/fault/CpuHotPlugNotSupported.h"
#include "tarn/fault/DuplicateName.h"
#include "tarn/fault/InvalidDatastore.h"
#include "tarn/fault/InvalidFolder.h"
#include "tarn/fault/InvalidHostConnectionState.h"
#include "tarn/fault/InvalidLogin.h"
#include "tarn/fault/InvalidName.h"
#include "tarn/fault/InvalidPowerState.h"
#include "tarn/fault/InvalidState.h"
#include "tarn/fault/MemoryHotPlugNotSupported.h"
#include "tarn/fault/NoPermission.h"
#include "tarn/fault/NotAuthenticated.h"
#include "tarn/fault/NotFound.h"
#include "tarn/fault/TaskInProgress.h"
#include "tarn/fault/ToolsUnavailable.h"
#include "tarn/host/RuntimeInfo.h"
#include "tarn/host/Summary.h"
#include "tarn/vm/CloneSpec.h"
#include "tarn/vm/ConfigInfo.h"
#include "tarn/vm/ConfigSpec.h"
#include "tarn/vm/GuestInfo.h"
#include "tarn/vm/RelocateSpec.h"
#include "tarn/vm/RuntimeInfo.h"
#include "tarn/vm/SnapshotSkeleton.h"
#include "tarn/vm/Summary.h"

namespace Tarn::Sim {

using Basalt::Ref;
using Quill::MoRef;
using PowerState = Tarn::VirtualMachine::PowerState;
using Status = Tarn::ManagedEntity::Status;

namespace {

template <class F>
[[noreturn]] void Raise(Ref<F> fault) {
  fault->Throw();
  __builtin_unreachable();
}

[[noreturn]] void ThrowGone(MoRef* ref) {
  Ref<Quill::Fault::ManagedObjectNotFound> fault(new Quill::Fault::ManagedObjectNotFound());
  fault->obj = ref;
  Raise(fault);
}

[[noreturn]] void ThrowInvalidArgument(char const* property) {
  Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
  fault->invalidProperty = Quill::PropertyPath(property);
  Raise(fault);
}

Ref<Quill::MethodFault> TaskInProgress(MoRef* task) {
  Ref<Tarn::Fault::TaskInProgress> fault(new Tarn::Fault::TaskInProgress());
  fault->task = task;
  return fault;
}

Ref<Quill::MethodFault> InvalidPowerState(PowerState requested, PowerState existing) {
  Ref<Tarn::Fault::InvalidPowerState> fault(new Tarn::Fault::InvalidPowerState());
  fault->requestedState = requested;
  fault->existingState = existing;
  return fault;
}

// A host that is not connected refuses its own operations and its machines'.
Ref<Quill::MethodFault> HostNotConnected(HostEntity const* host) {
  Ref<Tarn::Fault::InvalidHostConnectionState> fault(new Tarn::Fault::InvalidHostConnectionState());
  fault->host = host->ref;
  return fault;
}

bool Reachable(VmEntity const* vm) { return !vm->host || vm->host->connected; }

// Every guest the simulator knows runs tools but the generic one ("otherLinux64Guest"),
// which stands for a machine without them.
bool ToolsRunning(VmEntity const* vm) { return vm->power == PowerState::poweredOn && vm->guest != 0 && Reachable(vm); }

[[noreturn]] void ThrowInvalidState() { Raise(Ref<Tarn::Fault::InvalidState>(new Tarn::Fault::InvalidState())); }

// The datacenter an entity lies in; null for the root folder.
DatacenterEntity* DatacenterOf(Entity* e) {
  for (; e; e = e->parent) {
    if (e->kind == Kind::Datacenter) return static_cast<DatacenterEntity*>(e);
  }
  return nullptr;
}

// The name a folder's childType gives an entity's kind; null: no folder holds it.
char const* FolderTypeOf(Kind kind) {
  switch (kind) {
    case Kind::Folder:
      return "Folder";
    case Kind::Datacenter:
      return "Datacenter";
    case Kind::Cluster:
    case Kind::Standalone:
      return "ComputeResource";
    case Kind::Datastore:
      return "Datastore";
    case Kind::Network:
      return "Network";
    case Kind::Vm:
      return "VirtualMachine";
    case Kind::Host:
    case Kind::ResourcePool:
      break;
  }
  return nullptr;
}

bool Holds(FolderEntity const* folder, char const* type) {
  return type && std::any_of(folder->childTypes.begin(), folder->childTypes.end(),
                             [type](char const* t) { return std::string_view(t) == type; });
}

std::string VmPath(DatastoreEntity const* ds, std::string const& directory) {
  return "[" + (ds ? ds->name : std::string()) + "] " + directory + "/" + directory + ".vmx";
}

bool Sees(HostEntity const* host, DatastoreEntity const* ds) {
  return std::find(ds->hosts.begin(), ds->hosts.end(), host) != ds->hosts.end();
}

Ref<Quill::MethodFault> InvalidDatastore(DatastoreEntity const* ds) {
  Ref<Tarn::Fault::InvalidDatastore> fault(new Tarn::Fault::InvalidDatastore());
  fault->datastore = ds->ref;
  fault->name = ds->name;
  return fault;
}

// The live entity `ref` names, which must be a T; else InvalidArgument naming `property`.
template <class T>
T* FindAs(World* w, MoRef const* ref, char const* property) {  // under the lock
  Entity* e = ref ? w->inventory->Find(ref->GetId()) : nullptr;
  if (!e || e->destroyed || !IsA<T>(e)) ThrowInvalidArgument(property);
  return static_cast<T*>(e);
}

// The connected host of `cr` not in maintenance that sees `ds` (any, when null) and
// runs fewest machines; null when there is none.
HostEntity* PickHost(ClusterEntity const* cr, DatastoreEntity const* ds) {
  HostEntity* best = nullptr;
  for (HostEntity* h : cr->hosts) {
    if (!h->connected || h->inMaintenance || (ds && !Sees(h, ds))) continue;
    if (!best || h->vms.size() < best->vms.size()) best = h;
  }
  return best;
}

// Names are what a user types: not empty, at most 80 characters, no '/'.
void CheckName(std::string const& name, MoRef* entity) {
  if (!name.empty() && name.size() <= 80 && name.find('/') == std::string::npos) return;
  Ref<Tarn::Fault::InvalidName> fault(new Tarn::Fault::InvalidName());
  fault->name = name;
  fault->entity = entity;
  Raise(fault);
}

// A sibling of the same name under `parent`, other than `self`.
void CheckUnique(Entity const* parent, std::string const& name, Entity const* self) {
  if (!parent) return;
  for (Entity const* child : parent->children) {
    if (child != self && !child->destroyed && child->name == name) {
      Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
      fault->name = name;
      fault->object = child->ref;
      Raise(fault);
    }
  }
}

template <class T>
Ref<Quill::DataArray<MoRef>> Refs(std::vector<T*> const& list) {
  Ref<Quill::DataArray<MoRef>> out(new Quill::DataArray<MoRef>());
  for (T* e : list) {
    if (!e->destroyed) out->Append(e->ref.get());
  }
  return out;
}

// A task of the shared manager whose fate its caller decides right after
// creating it, under the inventory's lock, where the state machine is checked:
// Fail ends it with a fault, Run gives it its work (after the task delay) and a
// cleanup that follows the work. The manager's worker waits for the decision,
// which never takes longer than the caller's check; a task dropped undecided
// ends in error.
class SimTask {
 public:
  SimTask() = default;
  // Under the inventory's lock (the entity's name is read), on the thread of the call
  // that starts it (its session's user is the task's).
  SimTask(World* w, char const* method, Entity const* entity) : _d(std::make_shared<Decision>()) {
    // "tarn.VirtualMachine.powerOn" is described as "VirtualMachine.powerOn".
    std::string_view id(method);
    if (id.starts_with("tarn.")) id.remove_prefix(5);
    std::chrono::milliseconds delay = w->taskDelay;
    Quill::Tasks::Origin origin;
    origin.entityName = entity->name;
    Quill::CallInfo const* call = Quill::LocalAdapter::CurrentCall();
    Ref<Quill::Any> user = call && call->context ? call->context->Get(kUserKey) : nullptr;
    if (user) origin.userName = Quill::Unbox<std::string>(user.get());
    _ref = w->tasks->Start(
        entity->ref.get(), std::string(id),
        [d = _d, delay](Quill::Tasks::Progress& progress) -> Ref<Quill::Any> { return d->Await(delay, progress); },
        origin);
  }
  SimTask(SimTask&&) = default;
  SimTask& operator=(SimTask&& other) {
    Abandon();
    _d = std::move(other._d);
    _ref = std::move(other._ref);
    return *this;
  }
  ~SimTask() { Abandon(); }

  MoRef* _GetRef() const { return _ref.get(); }
  void Fail(Quill::MethodFault* fault) { Decide(fault, {}, {}); }
  void Run(std::function<Ref<Quill::Any>()> work, std::function<void()> cleanup = {}) {
    Decide(nullptr, std::move(work), std::move(cleanup));
  }

 private:
  struct Decision {
    std::mutex mutex;
    std::condition_variable cv;
    bool decided = false;
    Ref<Quill::MethodFault> fault;
    std::function<Ref<Quill::Any>()> work;
    std::function<void()> cleanup;

    Ref<Quill::Any> Await(std::chrono::milliseconds delay, Quill::Tasks::Progress& progress) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return decided; });
      }
      if (fault) fault->Throw();
      // Halfway through, as a client following the task sees it move.
      if (delay.count() > 0) {
        std::this_thread::sleep_for(delay / 2);
        progress.Report(50);
        std::this_thread::sleep_for(delay - delay / 2);
      }
      struct After {
        std::function<void()>& f;
        ~After() {
          if (f) f();
        }
      } after{cleanup};
      return work();
    }
  };

  void Decide(Quill::MethodFault* fault, std::function<Ref<Quill::Any>()> work, std::function<void()> cleanup) {
    if (!_d) return;
    {
      std::lock_guard<std::mutex> lock(_d->mutex);
      if (_d->decided) return;
      _d->decided = true;
      _d->fault = fault;
      _d->work = std::move(work);
      _d->cleanup = std::move(cleanup);
    }
    _d->cv.notify_all();
  }
  void Abandon() {
    if (!_d) return;
    Ref<Quill::Fault::SystemError> fault(new Quill::Fault::SystemError());
    fault->reason = "the operation did not start";
    Fail(fault.get());
  }

  std::shared_ptr<Decision> _d;
  Ref<MoRef> _ref;
};

// Called without the inventory's lock, which it takes to read the name.
Ref<MoRef> Submit(World* w, char const* method, Entity* e, std::function<Ref<Quill::Any>()> work) {
  SimTask task;
  {
    std::lock_guard<std::mutex> lock(w->inventory->Mutex());
    task = SimTask(w, method, e);
  }
  task.Run(std::move(work));
  return task._GetRef();
}

Ref<Quill::ManagedObject> MakeObject(World* w, Entity* e);

// The index of a guest id the simulator knows, or -1.
int GuestIndex(std::string const& id) {
  auto const& ids = Inventory::GuestIds();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (id == ids[i]) return int(i);
  }
  return -1;
}

// What every entity answers: name, parent, status, rename.
template <class Skeleton, class E>
class EntityObject : public Skeleton {
 public:
  EntityObject(World* w, E* e) : Skeleton(e->ref.get()), _w(w), _e(e) {}

  std::string GetName() override {
    auto lock = Lock();
    return _e->name;
  }
  void GetParent(Ref<MoRef>& result) override {
    auto lock = Lock();
    if (_e->parent) result = _e->parent->ref;
  }
  Status GetOverallStatus() override { return Status::green; }
  Status GetConfigStatus() override { return Status::green; }

  void Rename(std::string const& newName, Ref<MoRef>& result) override {
    Lock();  // a destroyed entity is refused at once
    World* w = _w;
    E* e = _e;
    result = Submit(w, "tarn.ManagedEntity.rename", e, [w, e, newName]() -> Ref<Quill::Any> {
      std::lock_guard<std::mutex> lock(w->inventory->Mutex());
      if (e->destroyed) ThrowGone(e->ref.get());
      CheckName(newName, e->ref.get());
      CheckUnique(e->parent, newName, e);
      w->inventory->Rename(e, newName);
      return nullptr;
    });
  }

 protected:
  // The inventory's lock; a call that finds its entity destroyed meanwhile
  // answers as if the object were not registered any more.
  std::unique_lock<std::mutex> Lock() {
    std::unique_lock<std::mutex> lock(_w->inventory->Mutex());
    if (_e->destroyed) ThrowGone(_e->ref.get());
    return lock;
  }

  World* _w;
  E* _e;
};

// The work of Folder.registerVm, under the lock.
VmEntity* RegisterFiles(World* w, FolderEntity* f, std::string const& path, std::string const& wanted, bool asTemplate,
                        MoRef* poolRef, MoRef* hostRef) {
  if (!Holds(f, "VirtualMachine")) ThrowInvalidState();
  DatacenterEntity* dc = DatacenterOf(f);
  std::size_t close = path.find("] ");
  if (path.empty() || path.front() != '[' || close == std::string::npos || !dc) ThrowInvalidArgument("path");
  std::string dsName = path.substr(1, close - 1), rest = path.substr(close + 2);
  DatastoreEntity* ds = nullptr;
  for (DatastoreEntity* d : dc->datastores) {
    if (!d->destroyed && d->name == dsName) ds = d;
  }
  if (!ds) {
    Ref<Tarn::Fault::InvalidDatastore> fault(new Tarn::Fault::InvalidDatastore());
    fault->name = dsName;
    Raise(fault);
  }
  std::string directory = rest.substr(0, rest.find('/'));
  auto files = std::find_if(ds->files.begin(), ds->files.end(), [&](VmFiles const& x) {
    return x.directory == directory && rest == directory + "/" + directory + ".vmx";
  });
  if (files == ds->files.end()) {
    for (VmEntity* vm : ds->vms) {
      if (VmPath(ds, vm->directory) == path) {
        Ref<Tarn::Fault::AlreadyExists> fault(new Tarn::Fault::AlreadyExists());
        fault->name = path;
        Raise(fault);
      }
    }
    Raise(Ref<Tarn::Fault::NotFound>(new Tarn::Fault::NotFound()));
  }
  std::string vmName = wanted.empty() ? directory : wanted;
  CheckName(vmName, nullptr);
  CheckUnique(f, vmName, nullptr);
  PoolEntity* p = poolRef ? FindAs<PoolEntity>(w, poolRef, "pool") : nullptr;
  HostEntity* h = hostRef ? FindAs<HostEntity>(w, hostRef, "host") : nullptr;
  if (!p && !asTemplate) ThrowInvalidArgument("pool");
  if (!p) p = h ? h->cluster->rootPool : ds->hosts.empty() ? nullptr : ds->hosts.front()->cluster->rootPool;
  if (!p) ThrowInvalidState();
  if (!h) h = PickHost(p->owner, ds);
  if (!h) ThrowInvalidState();
  if (h->cluster != p->owner || DatacenterOf(h) != dc) ThrowInvalidArgument(hostRef ? "host" : "pool");
  if (!h->connected) Raise(HostNotConnected(h));
  if (!Sees(h, ds)) Raise(InvalidDatastore(ds));
  VmEntity* vm = w->inventory->Register(ds, std::size_t(files - ds->files.begin()), f, vmName, p, h);
  if (vm->isTemplate != asTemplate) w->inventory->SetTemplate(vm, asTemplate);
  return vm;
}

// --- folders ----------------------------------------------------------------

class FolderImpl final : public EntityObject<Tarn::FolderSkeleton, FolderEntity> {
 public:
  using EntityObject::EntityObject;

  void GetChildType(Ref<Quill::Array<Quill::TypeName>>& result) override {
    auto lock = Lock();
    result = new Quill::Array<Quill::TypeName>();
    for (char const* t : _e->childTypes) result->Append(Quill::TypeName(t));
  }
  void GetChildEntity(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(_e->children);
  }

  void CreateFolder(std::string const& name, Ref<MoRef>& result) override {
    Ref<Quill::ManagedObject> object;
    {
      auto lock = Lock();
      CheckName(name, nullptr);
      CheckUnique(_e, name, nullptr);
      FolderEntity* folder = _w->inventory->AddFolder(_e, name, _e->childTypes);
      object = MakeObject(_w, folder);
      result = folder->ref;
    }
    _w->adapter->Register(nullptr, object.get());
  }

  // A powered-off machine with the configuration spec's name, CPUs, memory and
  // guest OS, one 16 GB disk on the cluster's emptiest datastore and a NIC on
  // its first network; on `host`, or on the pool's host with fewest machines.
  void CreateVm(Tarn::Vm::ConfigSpec* config, MoRef* pool, MoRef* host, Ref<MoRef>& result) override {
    if (config->deviceChange && config->deviceChange->size() > 0)
      Quill::ThrowNotImplemented("tarn.vm.ConfigSpec.deviceChange");
    World* w = _w;
    FolderEntity* e = _e;
    Ref<Tarn::Vm::ConfigSpec> spec = Quill::Clone(config);
    Ref<MoRef> poolRef(pool), hostRef(host);
    {
      auto lock = Lock();
      if (std::find(e->childTypes.begin(), e->childTypes.end(), std::string_view("VirtualMachine")) ==
          e->childTypes.end()) {
        Raise(Ref<Tarn::Fault::InvalidState>(new Tarn::Fault::InvalidState()));  // not a folder of machines
      }
    }
    result = Submit(w, "tarn.Folder.createVm", e, [w, e, spec, poolRef, hostRef]() -> Ref<Quill::Any> {
      VmEntity* vm;
      {
        std::lock_guard<std::mutex> lock(w->inventory->Mutex());
        if (e->destroyed) ThrowGone(e->ref.get());
        if (!spec->name.IsSet()) ThrowInvalidArgument("config.name");
        CheckName(*spec->name, nullptr);
        CheckUnique(e, *spec->name, nullptr);
        Entity* p = w->inventory->Find(poolRef->GetId());
        if (!p || p->kind != Kind::ResourcePool) ThrowInvalidArgument("pool");
        auto* rp = static_cast<PoolEntity*>(p);
        HostEntity* target = nullptr;
        if (hostRef) {
          Entity* h = w->inventory->Find(hostRef->GetId());
          if (!h || h->kind != Kind::Host || static_cast<HostEntity*>(h)->cluster != rp->owner)
            ThrowInvalidArgument("host");
          target = static_cast<HostEntity*>(h);
        } else {
          for (HostEntity* h : rp->owner->hosts) {
            if (!h->inMaintenance && (!target || h->vms.size() < target->vms.size())) target = h;
          }
        }
        if (!target || target->inMaintenance) Raise(Ref<Tarn::Fault::InvalidState>(new Tarn::Fault::InvalidState()));
        DatastoreEntity* ds = nullptr;
        for (DatastoreEntity* d : rp->owner->datastores) {
          if (!ds || d->capacity - d->used > ds->capacity - ds->used) ds = d;
        }
        if (!ds) Raise(Ref<Tarn::Fault::InvalidState>(new Tarn::Fault::InvalidState()));
        int numCPU = spec->numCPUs.IsSet() ? *spec->numCPUs : 1;
        long memoryMB = spec->memoryMB.IsSet() ? *spec->memoryMB : 1024;
        int guest = spec->guestId.IsSet() ? GuestIndex(*spec->guestId) : 0;
        if (numCPU < 1 || numCPU > 128) ThrowInvalidArgument("config.numCPUs");
        if (memoryMB < 4 || memoryMB > (1 << 22) || memoryMB % 4) ThrowInvalidArgument("config.memoryMB");
        if (guest < 0) ThrowInvalidArgument("config.guestId");
        NetworkEntity* net = rp->owner->networks.empty() ? nullptr : rp->owner->networks.front();
        vm = w->inventory->AddVm(e, *spec->name, rp, target, ds, net, std::int16_t(numCPU), std::int32_t(memoryMB),
                                 std::uint8_t(guest), std::int64_t(16) << 20);
      }
      w->adapter->Register(nullptr, MakeObject(w, vm).get());
      return vm->ref;
    });
  }

  // Moves entities of the kinds the folder holds, within their datacenter (a
  // datacenter: among the folders above datacenters). Refused: a kind the folder does
  // not hold, another datacenter, a folder into itself or below it (InvalidFolder
  // naming the entity); the root and a datacenter's own folders (InvalidState); a name
  // the folder holds already (DuplicateName). All or nothing.
  void MoveInto(Quill::DataArray<MoRef>* list, Ref<MoRef>& result) override {
    World* w = _w;
    FolderEntity* f = _e;
    std::vector<Ref<MoRef>> refs;
    for (std::size_t i = 0; list && i < list->size(); ++i) refs.emplace_back(list->Get(i));
    Lock();
    result = Submit(w, "tarn.Folder.moveInto", f, [w, f, refs]() -> Ref<Quill::Any> {
      std::lock_guard<std::mutex> lock(w->inventory->Mutex());
      if (f->destroyed) ThrowGone(f->ref.get());
      auto invalidFolder = [](Entity* e) {
        Ref<Tarn::Fault::InvalidFolder> fault(new Tarn::Fault::InvalidFolder());
        fault->target = e->ref;
        Raise(fault);
      };
      std::vector<Entity*> moving;
      for (Ref<MoRef> const& ref : refs) {
        Entity* e = ref ? w->inventory->Find(ref->GetId()) : nullptr;
        if (!e) ThrowInvalidArgument("list");
        if (!e->parent || e->parent->kind != Kind::Folder) ThrowInvalidState();
        if (!Holds(f, FolderTypeOf(e->kind))) invalidFolder(e);
        DatacenterEntity* home = e->kind == Kind::Datacenter ? nullptr : DatacenterOf(e);
        if (home != DatacenterOf(f)) invalidFolder(e);
        for (Entity* a = f; a; a = a->parent) {
          if (a == e) invalidFolder(e);
        }
        if (e->parent != f) CheckUnique(f, e->name, e);
        for (Entity* other : moving) {
          if (other == e || other->name != e->name) continue;
          Ref<Tarn::Fault::DuplicateName> fault(new Tarn::Fault::DuplicateName());
          fault->name = e->name;
          fault->object = other->ref;
          Raise(fault);
        }
        moving.push_back(e);
      }
      for (Entity* e : moving) {
        if (e->parent != f) w->inventory->Move(e, f);
      }
      return nullptr;
    });
  }

  // Brings back a machine whose files an unregister left on a datastore of the
  // folder's datacenter: `path` is its vmPathName ("[DS] dir/dir.vmx"). It gets a new
  // id, `name` (else its directory's) and a place in `pool` (a template may leave it
  // out: its host's pool), on `host` or the pool's least busy host that sees the
  // datastore. InvalidDatastore for an unknown datastore, NotFound for no such files,
  // AlreadyExists for the files of a machine that is registered.
  void RegisterVm(std::string const& path, Basalt::Optional<std::string> const& name, bool asTemplate, MoRef* pool,
                  MoRef* host, Ref<MoRef>& result) override {
    World* w = _w;
    FolderEntity* f = _e;
    Ref<MoRef> poolRef(pool), hostRef(host);
    std::string wanted = name.IsSet() ? *name : std::string();
    Lock();
    result =
        Submit(w, "tarn.Folder.registerVm", f, [w, f, path, wanted, asTemplate, poolRef, hostRef]() -> Ref<Quill::Any> {
          VmEntity* vm;
          {
            std::lock_guard<std::mutex> lock(w->inventory->Mutex());
            if (f->destroyed) ThrowGone(f->ref.get());
            vm = RegisterFiles(w, f, path, wanted, asTemplate, poolRef.get(), hostRef.get());
          }
          w->adapter->Register(nullptr, MakeObject(w, vm).get());
          return vm->ref;
        });
  }

  // Only folders that hold nothing but folders go; the root and a
  // datacenter's own folders stay.
  void Destroy(Ref<MoRef>& result) override {
    Lock();
    World* w = _w;
    FolderEntity* e = _e;
    result = Submit(w, "tarn.ManagedEntity.destroy", e, [w, e]() -> Ref<Quill::Any> {
      std::vector<Entity*> gone;
      {
        std::lock_guard<std::mutex> lock(w->inventory->Mutex());
        if (e->destroyed) ThrowGone(e->ref.get());
        if (!e->parent || e->parent->kind != Kind::Folder)
          Raise(Ref<Tarn::Fault::InvalidState>(new Tarn::Fault::InvalidState()));
        std::vector<Entity*> pending{e};
        while (!pending.empty()) {
          Entity* f = pending.back();
          pending.pop_back();
          gone.push_back(f);
          for (Entity* child : f->children) {
            if (child->kind != Kind::Folder) Raise(Ref<Tarn::Fault::InvalidState>(new Tarn::Fault::InvalidState()));
            pending.push_back(child);
          }
        }
        // Innermost first, so that every parent is still there to be told.
        for (auto it = gone.rbegin(); it != gone.rend(); ++it) w->inventory->Remove(*it);
      }
      for (Entity* f : gone) w->adapter->Unregister(f->ref.get());
      return nullptr;
    });
  }
};

// --- datacenters, clusters, pools, datastores, networks ---------------------

class DatacenterImpl final : public EntityObject<Tarn::DatacenterSkeleton, DatacenterEntity> {
 public:
  using EntityObject::EntityObject;
  void GetVmFolder(Ref<MoRef>& result) override { result = Folder(_e->vmFolder); }
  void GetHostFolder(Ref<MoRef>& result) override { result = Folder(_e->hostFolder); }
  void GetDatastoreFolder(Ref<MoRef>& result) override { result = Folder(_e->datastoreFolder); }
  void GetNetworkFolder(Ref<MoRef>& result) override { result = Folder(_e->networkFolder); }
  void GetDatastore(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(_e->datastores);
  }
  void GetNetwork(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(_e->networks);
  }

 private:
  Ref<MoRef> Folder(FolderEntity* f) {
    auto lock = Lock();
    return f->ref;
  }
};

// A cluster, or the compute resource of a standalone host: the same properties.
template <class Skeleton>
class ComputeImpl final : public EntityObject<Skeleton, ClusterEntity> {
 public:
  using EntityObject<Skeleton, ClusterEntity>::EntityObject;
  void GetResourcePool(Ref<MoRef>& result) override {
    auto lock = this->Lock();
    result = this->_e->rootPool->ref;
  }
  void GetHost(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = this->Lock();
    result = Refs(this->_e->hosts);
  }
  void GetDatastore(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = this->Lock();
    result = Refs(this->_e->datastores);
  }
  void GetNetwork(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = this->Lock();
    result = Refs(this->_e->networks);
  }
};

class PoolImpl final : public EntityObject<Tarn::ResourcePoolSkeleton, PoolEntity> {
 public:
  using EntityObject::EntityObject;
  void GetOwner(Ref<MoRef>& result) override {
    auto lock = Lock();
    result = _e->owner->ref;
  }
  void GetResourcePool(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(_e->children);
  }
  void GetVm(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(_e->vms);
  }
};

class DatastoreImpl final : public EntityObject<Tarn::DatastoreSkeleton, DatastoreEntity> {
 public:
  using EntityObject::EntityObject;
  void GetSummary(Ref<Tarn::Datastore::Summary>& result) override {
    auto lock = Lock();
    result = new Tarn::Datastore::Summary();
    result->datastore = _e->ref;
    result->name = _e->name;
    result->url = "ds:///vmfs/volumes/" + _e->ref->GetId() + "/";
    result->capacity = _e->capacity;
    result->freeSpace = _e->capacity - _e->used;
    result->accessible = true;
    result->multipleHostAccess = _e->hosts.size() > 1;
    result->type = "VMFS";
  }
  void GetVm(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(_e->vms);
  }
};

class NetworkImpl final : public EntityObject<Tarn::NetworkSkeleton, NetworkEntity> {
 public:
  using EntityObject::EntityObject;
  void GetHost(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(_e->hosts);
  }
  void GetVm(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(_e->vms);
  }
};

// --- hosts ------------------------------------------------------------------

class HostImpl final : public EntityObject<Tarn::HostSystemSkeleton, HostEntity> {
 public:
  using EntityObject::EntityObject;

  void GetRuntime(Ref<Tarn::Host::RuntimeInfo>& result) override {
    auto lock = Lock();
    result = Runtime();
  }
  void GetSummary(Ref<Tarn::Host::Summary>& result) override {
    auto lock = Lock();
    result = new Tarn::Host::Summary();
    result->host = _e->ref;
    result->runtime = Runtime();
    result->config = new Tarn::Host::Summary::ConfigSummary();
    result->quickStats = new Tarn::Host::Summary::QuickStats();
    result->overallStatus = Status::green;
    result->rebootRequired = false;
  }
  void GetVm(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(_e->vms);
  }
  void GetDatastore(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = _e->cluster ? Refs(_e->cluster->datastores) : new Quill::DataArray<MoRef>();
  }
  void GetNetwork(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = _e->cluster ? Refs(_e->cluster->networks) : new Quill::DataArray<MoRef>();
  }

  // Refused (InvalidState) while a machine runs on the host: the simulator
  // does not move machines away.
  void EnterMaintenanceMode(int, Basalt::Optional<bool> const&, Tarn::Host::MaintenanceSpec*,
                            Ref<MoRef>& result) override {
    Maintenance("tarn.HostSystem.enterMaintenanceMode", true, result);
  }
  void ExitMaintenanceMode(int, Ref<MoRef>& result) override {
    Maintenance("tarn.HostSystem.exitMaintenanceMode", false, result);
  }

  // The host's machines stay where they are, in the state they were, unreachable
  // until it is back. Disconnecting a disconnected host, or reconnecting a connected
  // one, succeeds without a change.
  void Disconnect(Ref<MoRef>& result) override { Connection("tarn.HostSystem.disconnect", false, result); }
  void Reconnect(Tarn::Host::ConnectSpec*, Tarn::HostSystem::ReconnectSpec*, Ref<MoRef>& result) override {
    Connection("tarn.HostSystem.reconnect", true, result);
  }

 private:
  Ref<Tarn::Host::RuntimeInfo> Runtime() {  // under the lock
    Ref<Tarn::Host::RuntimeInfo> r(new Tarn::Host::RuntimeInfo());
    r->connectionState =
        _e->connected ? Tarn::HostSystem::ConnectionState::connected : Tarn::HostSystem::ConnectionState::disconnected;
    r->powerState = Tarn::HostSystem::PowerState::poweredOn;
    r->inMaintenanceMode = _e->inMaintenance;
    r->bootTime = _e->bootTime;
    return r;
  }

  static bool Running(HostEntity const* host) {
    return std::any_of(host->vms.begin(), host->vms.end(),
                       [](VmEntity const* vm) { return vm->power == Tarn::VirtualMachine::PowerState::poweredOn; });
  }

  void Connection(char const* method, bool connect, Ref<MoRef>& result) {
    HostEntity* e = _e;
    World* w = _w;
    HostTask(
        method, nullptr,
        [w, e, connect] {
          if (e->connected != connect) w->inventory->SetConnected(e, connect);
        },
        result);
  }

  void Maintenance(char const* method, bool enter, Ref<MoRef>& result) {
    HostEntity* e = _e;
    World* w = _w;
    auto refuse = [e, enter]() -> Ref<Quill::MethodFault> {
      if (!e->connected) return HostNotConnected(e);
      if (e->inMaintenance == enter || (enter && Running(e))) return new Tarn::Fault::InvalidState();
      return nullptr;
    };
    // Power-on refuses a host that is entering maintenance, so none can have started since.
    HostTask(
        method, refuse, [w, e, enter] { w->inventory->SetMaintenance(e, enter); }, result);
  }

  // A task that holds the host busy: refused at once while another one runs, or with what
  // `refuse` finds under the inventory's lock; else `work` runs under that lock.
  void HostTask(char const* method, std::function<Ref<Quill::MethodFault>()> const& refuse, std::function<void()> work,
                Ref<MoRef>& result) {
    World* w = _w;
    HostEntity* e = _e;
    SimTask task;
    Ref<Quill::MethodFault> fault;
    {
      auto lock = Lock();
      task = SimTask(w, method, e);
      if (e->busyTask) {
        fault = TaskInProgress(e->busyTask.get());
      } else if (refuse) {
        fault = refuse();
      }
      if (!fault) e->busyTask = task._GetRef();
    }
    result = task._GetRef();
    if (fault) {
      task.Fail(fault.get());
      return;
    }
    MoRef* self = task._GetRef();
    task.Run(
        [w, work = std::move(work)]() -> Ref<Quill::Any> {
          std::lock_guard<std::mutex> lock(w->inventory->Mutex());
          work();
          return nullptr;
        },
        [w, e, self]() {
          std::lock_guard<std::mutex> lock(w->inventory->Mutex());
          if (e->busyTask.get() == self) e->busyTask = nullptr;
        });
  }
};

// --- virtual machines -------------------------------------------------------

std::vector<SnapshotState*> SnapshotsOf(VmEntity const* vm);
Ref<Quill::ManagedObject> MakeSnapshotObject(World* w, SnapshotState* s);
Ref<MoRef> VmTask(World* w, VmEntity* vm, char const* method, std::function<Ref<Quill::Any>()> check,
                  std::function<Ref<Quill::Any>()> work);

// Where a relocate spec puts `vm`: the parts it leaves unset stay as they are, except
// that a host of another compute resource takes that resource's root pool, and a pool
// of another one its least busy host. Refused: a host outside the pool's compute
// resource or the machine's datacenter (InvalidArgument), a host that is not connected,
// a datastore the host does not see (InvalidDatastore).
struct Placement {
  HostEntity* host;
  PoolEntity* pool;
  DatastoreEntity* datastore;
};

Placement Place(World* w, VmEntity* vm, Tarn::Vm::RelocateSpec const* spec, std::string const& at) {  // under the lock
  Placement p{vm->host, vm->pool, vm->datastore};
  if (!spec) return p;
  auto path = [&at](char const* name) { return at.empty() ? std::string(name) : at + "." + name; };
  std::string const poolPath = path("pool"), hostPath = path("host"), dsPath = path("datastore");
  if (spec->pool) p.pool = FindAs<PoolEntity>(w, spec->pool.get(), poolPath.c_str());
  if (spec->host) p.host = FindAs<HostEntity>(w, spec->host.get(), hostPath.c_str());
  if (spec->datastore) p.datastore = FindAs<DatastoreEntity>(w, spec->datastore.get(), dsPath.c_str());
  if (spec->host && !spec->pool && p.host->cluster != p.pool->owner) p.pool = p.host->cluster->rootPool;
  if (spec->pool && !spec->host && p.host->cluster != p.pool->owner) {
    p.host = PickHost(p.pool->owner, p.datastore);
    if (!p.host) ThrowInvalidState();
  }
  if (p.host->cluster != p.pool->owner) ThrowInvalidArgument(poolPath.c_str());
  if (DatacenterOf(p.host) != DatacenterOf(vm)) ThrowInvalidArgument(hostPath.c_str());
  if (!p.host->connected) Raise(HostNotConnected(p.host));
  if (!Sees(p.host, p.datastore)) Raise(InvalidDatastore(p.datastore));
  return p;
}

class VmImpl final : public EntityObject<Tarn::VirtualMachineSkeleton, VmEntity> {
 public:
  using EntityObject::EntityObject;

  void GetConfig(Ref<Tarn::Vm::ConfigInfo>& result) override {
    auto lock = Lock();
    result = new Tarn::Vm::ConfigInfo();
  }
  void GetRuntime(Ref<Tarn::Vm::RuntimeInfo>& result) override {
    auto lock = Lock();
    result = new Tarn::Vm::RuntimeInfo();
    result->maxCpuUsage = _e->numCPU * (_e->host ? _e->host->cpuMhz : 0);
    result->maxMemoryUsage = _e->memoryMB;
  }
  void GetSummary(Ref<Tarn::Vm::Summary>& result) override {
    auto lock = Lock();
    result = new Tarn::Vm::Summary();
    result->quickStats = new Tarn::Vm::Summary::QuickStats();
  }
  void GetGuest(Ref<Tarn::Vm::GuestInfo>& result) override {
    auto lock = Lock();
    result = new Tarn::Vm::GuestInfo();
  }
  Status GetGuestHeartbeatStatus() override {
    auto lock = Lock();
    return _e->power == PowerState::poweredOn ? Status::green : Status::gray;
  }
  void GetResourcePool(Ref<MoRef>& result) override {
    auto lock = Lock();
    if (_e->pool) result = _e->pool->ref;
  }
  void GetDatastore(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = Refs(std::vector<DatastoreEntity*>{_e->datastore});
  }
  void GetNetwork(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = _e->network ? Refs(std::vector<NetworkEntity*>{_e->network}) : new Quill::DataArray<MoRef>();
  }
  void GetAvailableField(Ref<Quill::DataArray<Tarn::CustomFieldsManager::FieldDef>>& result) override {
    Lock();
    result = new Quill::DataArray<Tarn::CustomFieldsManager::FieldDef>();
    int key = 1;
    for (char const* name : VmFieldNames()) {
      Ref<Tarn::CustomFieldsManager::FieldDef> def(new Tarn::CustomFieldsManager::FieldDef());
      def->key = key++;
      def->name = name;
      def->type = Quill::TypeName("string");
      def->managedObjectType = Quill::TypeName("VirtualMachine");
      result->Append(def.get());
    }
  }
  void GetCustomValue(Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>>& result) override {
    auto lock = Lock();
    result = Fields();
  }
  void GetValue(Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>>& result) override {
    auto lock = Lock();
    result = Fields();
  }

  void PowerOn(MoRef*, Ref<MoRef>& result) override {
    Power("tarn.VirtualMachine.powerOn", PowerState::poweredOn, result);
  }
  void PowerOff(Ref<MoRef>& result) override { Power("tarn.VirtualMachine.powerOff", PowerState::poweredOff, result); }
  void Suspend(Ref<MoRef>& result) override { Power("tarn.VirtualMachine.suspend", PowerState::suspended, result); }
  void Reset(Ref<MoRef>& result) override { Power("tarn.VirtualMachine.reset", PowerState::poweredOn, result, true); }

  void GetRootSnapshot(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = new Quill::DataArray<MoRef>();
    for (SnapshotState* s : _e->rootSnapshots) result->Append(s->ref.get());
  }

  void CreateSnapshot(std::string const& name, Basalt::Optional<std::string> const& description, bool memory, bool,
                      Ref<MoRef>& result) override {
    World* w = _w;
    VmEntity* e = _e;
    std::string text = description.IsSet() ? *description : std::string();
    result = VmTask(
        w, e, "tarn.VirtualMachine.createSnapshot",
        [name, e]() -> Ref<Quill::Any> {
          CheckName(name, nullptr);
          if (e->isTemplate) ThrowInvalidState();
          return nullptr;
        },
        [w, e, name, text, memory]() -> Ref<Quill::Any> {
          SnapshotState* s = w->inventory->AddSnapshot(e, name, text, memory, Basalt::System::DateTime::Now());
          w->adapter->Register(nullptr, MakeSnapshotObject(w, s).get());
          return s->ref;
        });
  }

  void RevertToCurrentSnapshot(MoRef*, Basalt::Optional<bool> const&, Ref<MoRef>& result) override {
    World* w = _w;
    VmEntity* e = _e;
    result = VmTask(
        w, e, "tarn.VirtualMachine.revertToCurrentSnapshot",
        [e]() -> Ref<Quill::Any> {
          if (!e->currentSnapshot) Raise(Ref<Tarn::Fault::NotFound>(new Tarn::Fault::NotFound()));
          return nullptr;
        },
        [w, e]() -> Ref<Quill::Any> {
          w->inventory->Revert(e->currentSnapshot, Basalt::System::DateTime::Now());
          return nullptr;
        });
  }

  void RemoveAllSnapshots(Basalt::Optional<bool> const&, Ref<MoRef>& result) override {
    World* w = _w;
    VmEntity* e = _e;
    result = VmTask(w, e, "tarn.VirtualMachine.removeAllSnapshots", nullptr, [w, e]() -> Ref<Quill::Any> {
      std::vector<SnapshotState*> removed;
      while (!e->rootSnapshots.empty()) w->inventory->RemoveSnapshot(e->rootSnapshots.front(), true, removed);
      for (SnapshotState* x : removed) w->adapter->Unregister(x->ref.get());
      return nullptr;
    });
  }

  // Name, CPUs, memory and guest OS; CPUs and memory only while powered off.
  void Reconfigure(Tarn::Vm::ConfigSpec* spec, Ref<MoRef>& result) override {
    if (spec->deviceChange && spec->deviceChange->size() > 0)
      Quill::ThrowNotImplemented("tarn.vm.ConfigSpec.deviceChange");
    World* w = _w;
    VmEntity* e = _e;
    Ref<Tarn::Vm::ConfigSpec> change = Quill::Clone(spec);
    SimTask task;
    Ref<Quill::MethodFault> fault;
    {
      auto lock = Lock();
      task = SimTask(w, "tarn.VirtualMachine.reconfigure", e);
      try {
        if (e->busyTask) Raise(TaskInProgress(e->busyTask.get()));
        Check(change.get());
        e->busyTask = task._GetRef();
      } catch (Quill::MethodFault::Exception& x) {
        fault = x.GetFault();
      }
    }
    result = task._GetRef();
    if (fault) {
      task.Fail(fault.get());
      return;
    }
    MoRef* self = task._GetRef();
    task.Run(
        [w, e, change]() -> Ref<Quill::Any> {
          std::lock_guard<std::mutex> lock(w->inventory->Mutex());
          Apply(w->inventory, e, change.get());
          return nullptr;
        },
        [w, e, self]() {
          std::lock_guard<std::mutex> lock(w->inventory->Mutex());
          if (e->busyTask.get() == self) e->busyTask = nullptr;
        });
  }

  void Destroy(Ref<MoRef>& result) override {
    World* w = _w;
    VmEntity* e = _e;
    SimTask task;
    Ref<Quill::MethodFault> fault;
    {
      auto lock = Lock();
      task = SimTask(w, "tarn.ManagedEntity.destroy", e);
      if (e->busyTask) {
        fault = TaskInProgress(e->busyTask.get());
      } else if (!Reachable(e)) {
        fault = HostNotConnected(e->host);
      } else if (e->power != PowerState::poweredOff) {
        fault = InvalidPowerState(PowerState::poweredOff, e->power);
      } else {
        e->busyTask = task._GetRef();
      }
    }
    result = task._GetRef();
    if (fault) {
      task.Fail(fault.get());
      return;
    }
    task.Run([w, e]() -> Ref<Quill::Any> {
      std::vector<SnapshotState*> snapshots;
      {
        std::lock_guard<std::mutex> lock(w->inventory->Mutex());
        e->busyTask = nullptr;
        snapshots = SnapshotsOf(e);
        w->inventory->Remove(e);
      }
      for (SnapshotState* s : snapshots) w->adapter->Unregister(s->ref.get());
      w->adapter->Unregister(e->ref.get());
      return nullptr;
    });
  }

  // Not a task: a powered-off machine becomes a template at once.
  void MarkAsTemplate() override {
    auto lock = Lock();
    if (_e->busyTask || _e->isTemplate) ThrowInvalidState();
    if (!Reachable(_e)) Raise(HostNotConnected(_e->host));
    if (_e->power != PowerState::poweredOff) Raise(InvalidPowerState(PowerState::poweredOff, _e->power));
    _w->inventory->SetTemplate(_e, true);
  }

  // A template becomes a machine again, in `pool` (on `host`, else the pool's least
  // busy host that sees its datastore).
  void MarkAsVirtualMachine(MoRef* pool, MoRef* host) override {
    auto lock = Lock();
    if (!_e->isTemplate || _e->busyTask) ThrowInvalidState();
    if (!Reachable(_e)) Raise(HostNotConnected(_e->host));
    Ref<Tarn::Vm::RelocateSpec> spec(new Tarn::Vm::RelocateSpec());
    spec->pool = pool;
    spec->host = host;
    if (!pool) ThrowInvalidArgument("pool");
    Placement p = Place(_w, _e, spec.get(), "");
    _w->inventory->Relocate(_e, p.host, p.pool, p.datastore);
    _w->inventory->SetTemplate(_e, false);
  }

  // Asks the guest to shut down and answers at once; the guest powers the machine off
  // a task's delay later. Needs the machine powered on with its tools running.
  void ShutdownGuest() override {
    World* w = _w;
    VmEntity* e = _e;
    {
      auto lock = Lock();
      if (e->busyTask) Raise(TaskInProgress(e->busyTask.get()));
      if (!Reachable(e)) Raise(HostNotConnected(e->host));
      if (e->power != PowerState::poweredOn) Raise(InvalidPowerState(PowerState::poweredOff, e->power));
      if (!ToolsRunning(e)) Raise(Ref<Tarn::Fault::ToolsUnavailable>(new Tarn::Fault::ToolsUnavailable()));
    }
    std::chrono::milliseconds delay = w->taskDelay;
    w->adapter->Post([w, e, delay](bool canceled) {
      if (canceled) return;
      if (delay.count() > 0) std::this_thread::sleep_for(delay);
      std::lock_guard<std::mutex> lock(w->inventory->Mutex());
      // Whatever happened to the machine meanwhile wins over the guest.
      if (!e->destroyed && !e->busyTask && e->power == PowerState::poweredOn && Reachable(e))
        w->inventory->SetPower(e, PowerState::poweredOff, Basalt::System::DateTime::Now());
    });
  }

  // Not a task: the machine leaves the inventory, its files stay for registerVm.
  void Unregister() override {
    std::vector<SnapshotState*> snapshots;
    {
      auto lock = Lock();
      if (_e->busyTask) Raise(TaskInProgress(_e->busyTask.get()));
      if (_e->power != PowerState::poweredOff) Raise(InvalidPowerState(PowerState::poweredOff, _e->power));
      snapshots = SnapshotsOf(_e);
      _w->inventory->Unregister(_e);
    }
    for (SnapshotState* x : snapshots) _w->adapter->Unregister(x->ref.get());
    _w->adapter->Unregister(_e->ref.get());
  }

  // A copy with a new id, powered off unless the clone request says powerOn; placed by
  // spec.location as relocate places, in `folder` (a folder of machines of the same
  // datacenter); spec.config's CPUs, memory and guest OS apply to the copy. A machine
  // that is being cloned counts as busy (TaskInProgress for its other operations).
  void Clone(MoRef* folder, std::string const& name, Tarn::Vm::CloneSpec* spec, Ref<MoRef>& result) override {
    if (!spec) ThrowInvalidArgument("spec");
    if (spec->customization) Quill::ThrowNotImplemented("tarn.vm.CloneSpec.customization");
    if (spec->config && spec->config->deviceChange && spec->config->deviceChange->size() > 0)
      Quill::ThrowNotImplemented("tarn.vm.ConfigSpec.deviceChange");
    World* w = _w;
    VmEntity* e = _e;
    Ref<MoRef> folderRef(folder);
    Ref<Tarn::Vm::CloneSpec> copy = Quill::Clone(spec);
    Lock();
    result = VmTask(w, e, "tarn.VirtualMachine.clone", nullptr, [w, e, folderRef, name, copy]() -> Ref<Quill::Any> {
      auto* f = FindAs<FolderEntity>(w, folderRef.get(), "folder");
      if (!Holds(f, "VirtualMachine") || DatacenterOf(f) != DatacenterOf(e)) ThrowInvalidArgument("folder");
      CheckName(name, nullptr);
      CheckUnique(f, name, nullptr);
      Placement p = Place(w, e, copy->location.get(), "spec.location");
      Tarn::Vm::ConfigSpec const* config = copy->config.get();
      if (config) CheckConfig(config, "spec.config.");
      VmEntity* vm = w->inventory->Clone(e, f, name, p.pool, p.host, p.datastore, copy->template_);
      if (config && (config->numCPUs.IsSet() || config->memoryMB.IsSet() || config->guestId.IsSet())) {
        w->inventory->Reconfigure(vm, config->numCPUs.IsSet() ? *config->numCPUs : vm->numCPU,
                                  config->memoryMB.IsSet() ? std::int32_t(*config->memoryMB) : vm->memoryMB,
                                  config->guestId.IsSet() ? GuestIndex(*config->guestId) : vm->guest);
      }
      if (copy->powerOn && !copy->template_) {
        if (p.host->inMaintenance) ThrowInvalidState();
        w->inventory->SetPower(vm, PowerState::poweredOn, Basalt::System::DateTime::Now());
      }
      w->adapter->Register(nullptr, MakeObject(w, vm).get());
      return vm->ref;
    });
  }

  // To another host, pool or datastore of its datacenter (spec.folder: and into that
  // folder), powered on or not; a running machine does not go to a host in maintenance.
  void Relocate(Tarn::Vm::RelocateSpec* spec, Basalt::Optional<Tarn::VirtualMachine::MovePriority> const&,
                Ref<MoRef>& result) override {
    if (!spec) ThrowInvalidArgument("spec");
    if (spec->disk && spec->disk->size() > 0) Quill::ThrowNotImplemented("tarn.vm.RelocateSpec.disk");
    if (spec->deviceChange && spec->deviceChange->size() > 0)
      Quill::ThrowNotImplemented("tarn.vm.RelocateSpec.deviceChange");
    World* w = _w;
    VmEntity* e = _e;
    Ref<Tarn::Vm::RelocateSpec> copy = Quill::Clone(spec);
    Lock();
    result = VmTask(w, e, "tarn.VirtualMachine.relocate", nullptr, [w, e, copy]() -> Ref<Quill::Any> {
      Placement p = Place(w, e, copy.get(), "spec");
      if (e->power != PowerState::poweredOff && p.host != e->host && p.host->inMaintenance) ThrowInvalidState();
      FolderEntity* f = copy->folder ? FindAs<FolderEntity>(w, copy->folder.get(), "spec.folder") : nullptr;
      if (f && (!Holds(f, "VirtualMachine") || DatacenterOf(f) != DatacenterOf(e))) ThrowInvalidArgument("spec.folder");
      if (f && f != e->parent) CheckUnique(f, e->name, e);
      w->inventory->Relocate(e, p.host, p.pool, p.datastore);
      if (f && f != e->parent) w->inventory->Move(e, f);
      return nullptr;
    });
  }

  // The ranges reconfigure and createVm accept.
  static void CheckConfig(Tarn::Vm::ConfigSpec const* spec, std::string const& prefix) {
    if (spec->numCPUs.IsSet() && (*spec->numCPUs < 1 || *spec->numCPUs > 128))
      ThrowInvalidArgument((prefix + "numCPUs").c_str());
    if (spec->memoryMB.IsSet() && (*spec->memoryMB < 4 || *spec->memoryMB > (1 << 22) || *spec->memoryMB % 4))
      ThrowInvalidArgument((prefix + "memoryMB").c_str());
    if (spec->guestId.IsSet() && GuestIndex(*spec->guestId) < 0) ThrowInvalidArgument((prefix + "guestId").c_str());
  }

 private:
  // The state machine: which states each operation leaves from.
  static bool Allowed(PowerState requested, bool reset, PowerState from) {
    if (reset) return from == PowerState::poweredOn;
    switch (requested) {
      case PowerState::poweredOn:
        return from != PowerState::poweredOn;
      case PowerState::poweredOff:
        return from != PowerState::poweredOff;
      case PowerState::suspended:
        return from == PowerState::poweredOn;
    }
    return false;
  }

  void Power(char const* method, PowerState requested, Ref<MoRef>& result, bool reset = false) {
    World* w = _w;
    VmEntity* e = _e;
    SimTask task;
    Ref<Quill::MethodFault> fault;
    {
      auto lock = Lock();
      task = SimTask(w, method, e);
      if (e->busyTask) {
        fault = TaskInProgress(e->busyTask.get());
      } else if (!Reachable(e)) {
        fault = HostNotConnected(e->host);
      } else if (e->isTemplate) {
        fault = new Tarn::Fault::InvalidState();  // a template never runs
      } else if (!Allowed(requested, reset, e->power)) {
        fault = InvalidPowerState(requested, e->power);
      } else if (requested == PowerState::poweredOn && !reset && e->host &&
                 (e->host->inMaintenance || e->host->busyTask)) {
        fault = new Tarn::Fault::InvalidState();  // the host is (entering) maintenance
      } else {
        e->busyTask = task._GetRef();
      }
    }
    result = task._GetRef();
    if (fault) {
      task.Fail(fault.get());
      return;
    }
    MoRef* self = task._GetRef();
    task.Run(
        [w, e, requested, reset]() -> Ref<Quill::Any> {
          std::lock_guard<std::mutex> lock(w->inventory->Mutex());
          Basalt::System::DateTime now = Basalt::System::DateTime::Now();
          w->inventory->SetPower(e, requested, now, reset);
          return nullptr;
        },
        [w, e, self]() {
          std::lock_guard<std::mutex> lock(w->inventory->Mutex());
          if (e->busyTask.get() == self) e->busyTask = nullptr;
        });
  }

  void Check(Tarn::Vm::ConfigSpec const* spec) {  // under the lock
    if (!Reachable(_e)) Raise(HostNotConnected(_e->host));
    if (spec->name.IsSet()) {
      CheckName(*spec->name, _e->ref.get());
      CheckUnique(_e->parent, *spec->name, _e);
    }
    if (spec->numCPUs.IsSet() && (*spec->numCPUs < 1 || *spec->numCPUs > 128)) ThrowInvalidArgument("spec.numCPUs");
    if (spec->memoryMB.IsSet() && (*spec->memoryMB < 4 || *spec->memoryMB > (1 << 22) || *spec->memoryMB % 4)) {
      ThrowInvalidArgument("spec.memoryMB");
    }
    if (spec->guestId.IsSet() && GuestIndex(*spec->guestId) < 0) ThrowInvalidArgument("spec.guestId");
    if (_e->power != PowerState::poweredOff) {
      if (spec->numCPUs.IsSet() && *spec->numCPUs != _e->numCPU) {
        Raise(Ref<Tarn::Fault::CpuHotPlugNotSupported>(new Tarn::Fault::CpuHotPlugNotSupported()));
      }
      if (spec->memoryMB.IsSet() && *spec->memoryMB != _e->memoryMB) {
        Raise(Ref<Tarn::Fault::MemoryHotPlugNotSupported>(new Tarn::Fault::MemoryHotPlugNotSupported()));
      }
    }
  }

  static void Apply(Inventory* inventory, VmEntity* e, Tarn::Vm::ConfigSpec const* spec) {  // under the lock
    inventory->Reconfigure(e, spec->numCPUs.IsSet() ? *spec->numCPUs : e->numCPU,
                           spec->memoryMB.IsSet() ? std::int32_t(*spec->memoryMB) : e->memoryMB,
                           spec->guestId.IsSet() ? GuestIndex(*spec->guestId) : e->guest);
    if (spec->name.IsSet()) inventory->Rename(e, *spec->name);
  }

  Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>> Fields() {  // under the lock
    Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>> out(
        new Quill::DataArray<Tarn::CustomFieldsManager::Value>());
    auto add = [&out](int key, std::string value) {
      Ref<Tarn::CustomFieldsManager::StringValue> v(new Tarn::CustomFieldsManager::StringValue());
      v->key = key;
      v->value = std::move(value);
      out->Append(v.get());
    };
    bool on = _e->power == PowerState::poweredOn;
    add(kFieldPowerState, Quill::TagOf(_e->power));
    add(kFieldBootTime, _e->power == PowerState::poweredOff ? "" : _e->bootTime.ToIso8601());
    add(kFieldHost, _e->host ? _e->host->ref->GetId() : "");
    add(kFieldMemoryMB, std::to_string(_e->memoryMB));
    add(kFieldNumCPU, std::to_string(_e->numCPU));
    add(kFieldGuestId, Inventory::GuestIds()[_e->guest]);
    add(kFieldGuestState, on ? "running" : "notRunning");
    // An address derived from the machine's id, as a guest would report it.
    std::string const& id = _e->ref->GetId();
    unsigned long n = std::strtoul(id.c_str() + id.find('-') + 1, nullptr, 10);
    add(kFieldIpAddress, on ? "10." + std::to_string((n >> 16) & 255) + "." + std::to_string((n >> 8) & 255) + "." +
                                  std::to_string(n & 255)
                            : "");
    std::string devices;
    for (Device const& d : _e->devices) {
      if (!devices.empty()) devices += ",";
      if (d.type == Device::Type::Disk) {
        devices += "disk:" + std::to_string(d.key) + ":" + std::to_string(d.capacityKB) + "KB";
        if (_e->datastore) devices += ":" + _e->datastore->ref->GetId();
      } else {
        devices += "nic:" + std::to_string(d.key);
        if (_e->network) devices += ":" + _e->network->ref->GetId();
      }
    }
    add(kFieldDevices, devices);
    add(kFieldConnectionState, Quill::TagOf(Reachable(_e) ? Tarn::VirtualMachine::ConnectionState::connected
                                                          : Tarn::VirtualMachine::ConnectionState::disconnected));
    add(kFieldTemplate, _e->isTemplate ? "true" : "false");
    add(kFieldToolsStatus, ToolsRunning(_e) ? "guestToolsRunning" : "guestToolsNotRunning");
    add(kFieldPath, VmPath(_e->datastore, _e->directory));
    return out;
  }
};

// --- snapshots --------------------------------------------------------------

// Every snapshot of `vm`, depth first.
std::vector<SnapshotState*> SnapshotsOf(VmEntity const* vm) {
  std::vector<SnapshotState*> out, pending(vm->rootSnapshots.rbegin(), vm->rootSnapshots.rend());
  while (!pending.empty()) {
    SnapshotState* s = pending.back();
    pending.pop_back();
    out.push_back(s);
    pending.insert(pending.end(), s->children.rbegin(), s->children.rend());
  }
  return out;
}

// Starts a snapshot operation of `vm` as a task, refused with TaskInProgress
// while another runs on the machine; `work` runs under the inventory's lock.
Ref<MoRef> VmTask(World* w, VmEntity* vm, char const* method, std::function<Ref<Quill::Any>()> check,
                  std::function<Ref<Quill::Any>()> work) {
  SimTask task;
  Ref<Quill::MethodFault> fault;
  {
    std::lock_guard<std::mutex> lock(w->inventory->Mutex());
    if (vm->destroyed) ThrowGone(vm->ref.get());
    task = SimTask(w, method, vm);
    try {
      if (vm->busyTask) Raise(TaskInProgress(vm->busyTask.get()));
      if (!Reachable(vm)) Raise(HostNotConnected(vm->host));
      if (check) check();
      vm->busyTask = task._GetRef();
    } catch (Quill::MethodFault::Exception& x) {
      fault = x.GetFault();
    }
  }
  if (fault) {
    task.Fail(fault.get());
    return task._GetRef();
  }
  MoRef* self = task._GetRef();
  task.Run(
      [w, work]() -> Ref<Quill::Any> {
        std::lock_guard<std::mutex> lock(w->inventory->Mutex());
        return work();
      },
      [w, vm, self]() {
        std::lock_guard<std::mutex> lock(w->inventory->Mutex());
        if (vm->busyTask.get() == self) vm->busyTask = nullptr;
      });
  return task._GetRef();
}

// Snapshots have no name property of their own: like machines, they publish
// name, description, creation time and power state as custom values.
std::vector<char const*> const& SnapshotFieldNames() {
  static std::vector<char const*> const names = {"name", "description", "createTime", "powerState"};
  return names;
}

Ref<Quill::DataArray<Tarn::CustomFieldsManager::FieldDef>> FieldDefs(std::vector<char const*> const& names,
                                                                     char const* type) {
  Ref<Quill::DataArray<Tarn::CustomFieldsManager::FieldDef>> out(
      new Quill::DataArray<Tarn::CustomFieldsManager::FieldDef>());
  int key = 1;
  for (char const* name : names) {
    Ref<Tarn::CustomFieldsManager::FieldDef> def(new Tarn::CustomFieldsManager::FieldDef());
    def->key = key++;
    def->name = name;
    def->type = Quill::TypeName("string");
    def->managedObjectType = Quill::TypeName(type);
    out->Append(def.get());
  }
  return out;
}

Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>> Values(std::vector<std::string> values) {
  Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>> out(new Quill::DataArray<Tarn::CustomFieldsManager::Value>());
  int key = 1;
  for (std::string& value : values) {
    Ref<Tarn::CustomFieldsManager::StringValue> v(new Tarn::CustomFieldsManager::StringValue());
    v->key = key++;
    v->value = std::move(value);
    out->Append(v.get());
  }
  return out;
}

class SnapshotImpl final : public Tarn::Vm::SnapshotSkeleton {
 public:
  SnapshotImpl(World* w, SnapshotState* s) : SnapshotSkeleton(s->ref.get()), _w(w), _s(s) {}

  void GetConfig(Ref<Tarn::Vm::ConfigInfo>& result) override {
    auto lock = Lock();
    result = new Tarn::Vm::ConfigInfo();
  }
  void GetChildSnapshot(Ref<Quill::DataArray<MoRef>>& result) override {
    auto lock = Lock();
    result = new Quill::DataArray<MoRef>();
    for (SnapshotState* c : _s->children) result->Append(c->ref.get());
  }
  void GetVm(Ref<MoRef>& result) override {
    auto lock = Lock();
    result = _s->vm->ref;
  }
  void GetAvailableField(Ref<Quill::DataArray<Tarn::CustomFieldsManager::FieldDef>>& result) override {
    auto lock = Lock();
    result = FieldDefs(SnapshotFieldNames(), "vm.Snapshot");
  }
  void GetValue(Ref<Quill::DataArray<Tarn::CustomFieldsManager::Value>>& result) override {
    auto lock = Lock();
    result = Values({_s->name, _s->description, _s->createTime.ToIso8601(), Quill::TagOf(_s->power)});
  }

  void Rename(Basalt::Optional<std::string> const& name, Basalt::Optional<std::string> const& description) override {
    auto lock = Lock();
    if (name.IsSet()) CheckName(*name, nullptr);
    _w->inventory->RenameSnapshot(_s, name.IsSet() ? *name : _s->name,
                                  description.IsSet() ? *description : _s->description);
  }

  void Revert(MoRef*, Basalt::Optional<bool> const&, Ref<MoRef>& result) override {
    World* w = _w;
    SnapshotState* s = _s;
    Lock();
    result = VmTask(w, s->vm, "tarn.vm.Snapshot.revert", nullptr, [w, s]() -> Ref<Quill::Any> {
      if (s->removed) ThrowGone(s->ref.get());
      w->inventory->Revert(s, Basalt::System::DateTime::Now());
      return nullptr;
    });
  }

  void Remove(bool removeChildren, Basalt::Optional<bool> const&, Ref<MoRef>& result) override {
    World* w = _w;
    SnapshotState* s = _s;
    Lock();
    result = VmTask(w, s->vm, "tarn.vm.Snapshot.remove", nullptr, [w, s, removeChildren]() -> Ref<Quill::Any> {
      if (s->removed) ThrowGone(s->ref.get());
      std::vector<SnapshotState*> removed;
      w->inventory->RemoveSnapshot(s, removeChildren, removed);
      for (SnapshotState* x : removed) w->adapter->Unregister(x->ref.get());
      return nullptr;
    });
  }

 private:
  std::unique_lock<std::mutex> Lock() {
    std::unique_lock<std::mutex> lock(_w->inventory->Mutex());
    if (_s->removed) ThrowGone(_s->ref.get());
    return lock;
  }

  World* _w;
  SnapshotState* _s;
};

Ref<Quill::ManagedObject> MakeSnapshotObject(World* w, SnapshotState* s) { return new SnapshotImpl(w, s); }

Ref<Quill::ManagedObject> MakeObject(World* w, Entity* e) {
  switch (e->kind) {
    case Kind::Folder:
      return new FolderImpl(w, static_cast<FolderEntity*>(e));
    case Kind::Datacenter:
      return new DatacenterImpl(w, static_cast<DatacenterEntity*>(e));
    case Kind::Cluster:
      return new ComputeImpl<Tarn::ClusterComputeResourceSkeleton>(w, static_cast<ClusterEntity*>(e));
    case Kind::Standalone:
      return new ComputeImpl<Tarn::ComputeResourceSkeleton>(w, static_cast<ClusterEntity*>(e));
    case Kind::Host:
      return new HostImpl(w, static_cast<HostEntity*>(e));
    case Kind::ResourcePool:
      return new PoolImpl(w, static_cast<PoolEntity*>(e));
    case Kind::Datastore:
      return new DatastoreImpl(w, static_cast<DatastoreEntity*>(e));
    case Kind::Network:
      return new NetworkImpl(w, static_cast<NetworkEntity*>(e));
    case Kind::Vm:
      return new VmImpl(w, static_cast<VmEntity*>(e));
  }
  return nullptr;
}

// --- service instance -------------------------------------------------------

class ServiceInstanceImpl final : public Tarn::ServiceInstanceSkeleton {
 public:
  ServiceInstanceImpl(MoRef* ref, Ref<Tarn::ServiceInstanceContent> content)
      : ServiceInstanceSkeleton(ref), _content(std::move(content)) {}
  Basalt::System::DateTime CurrentTime() override { return Basalt::System::DateTime::Now(); }
  Basalt::System::DateTime GetServerClock() override { return Basalt::System::DateTime::Now(); }
  void RetrieveContent(Ref<Tarn::ServiceInstanceContent>& result) override { result = Quill::Clone(_content.get()); }
  void GetContent(Ref<Tarn::ServiceInstanceContent>& result) override { result = Quill::Clone(_content.get()); }

 private:
  Ref<Tarn::ServiceInstanceContent> _content;
};

}  // namespace

// --- sessions ---------------------------------------------------------------

// Sessions live in the request contexts the HTTP server keeps per cookie; the
// manager lists them and can end one by clearing its context.
class SessionManagerImpl final : public Tarn::SessionManagerSkeleton {
 public:
  SessionManagerImpl(MoRef* ref, World* w) : SessionManagerSkeleton(ref), _w(w), _keys(std::random_device{}()) {}

  void Login(std::string const& userName, std::string const& password, Basalt::Optional<std::string> const& locale,
             Ref<Tarn::UserSession>& result) override {
    auto user = std::find_if(_w->users.begin(), _w->users.end(), [&](User const& u) { return u.name == userName; });
    if (user == _w->users.end() || user->password != password) {
      Raise(Ref<Tarn::Fault::InvalidLogin>(new Tarn::Fault::InvalidLogin()));
    }
    Quill::RequestContext* context = Quill::LocalAdapter::CurrentCall()->context;
    if (!context) ThrowInvalidArgument("context");
    Drop(context);  // a second login replaces the first
    Ref<Tarn::UserSession> info(new Tarn::UserSession());
    Basalt::System::DateTime now = Basalt::System::DateTime::Now();
    info->userName = user->name;
    info->fullName = user->fullName;
    info->loginTime = now;
    info->lastActiveTime = now;
    info->locale = locale.IsSet() ? locale.GetValue() : "en";
    info->messageLocale = info->locale;
    info->extensionSession = false;
    info->callCount = 0;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      char key[40];
      std::snprintf(key, sizeof key, "%016llx%016llx", static_cast<unsigned long long>(_keys()),
                    static_cast<unsigned long long>(_keys()));
      info->key = key;
      _sessions[info->key] = Session{info, context};
    }
    context->Set(kSessionKey, new Quill::Primitive<std::string>(info->key));
    context->Set(kReadOnlyKey,
                 user->readOnly ? Quill::Primitive<bool>::Factory::sTrue : Quill::Primitive<bool>::Factory::sFalse);
    context->Set(kUserKey, new Quill::Primitive<std::string>(user->name));  // last: the checker looks for it
    result = Quill::Clone(info.get());
  }

  void Logout() override { Drop(Quill::LocalAdapter::CurrentCall()->context); }

  void GetCurrentSession(Ref<Tarn::UserSession>& result) override {
    Quill::RequestContext* context = Quill::LocalAdapter::CurrentCall()->context;
    Ref<Quill::Any> key = context ? context->Get(kSessionKey) : nullptr;
    if (!key) return;
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = _sessions.find(Quill::Unbox<std::string>(key.get()));
    if (it != _sessions.end()) result = Quill::Clone(it->second.info.get());
  }

  void GetSessionList(Ref<Quill::DataArray<Tarn::UserSession>>& result) override {
    std::lock_guard<std::mutex> lock(_mutex);
    result = new Quill::DataArray<Tarn::UserSession>();
    for (auto const& [key, session] : _sessions) result->Append(Quill::Clone(session.info.get()).get());
  }

  std::string GetDefaultLocale() override { return "en"; }

  // Ends other sessions; the caller's own is ended by logout.
  void Terminate(Quill::Array<std::string>* sessionId) override {
    Quill::RequestContext* own = Quill::LocalAdapter::CurrentCall()->context;
    std::vector<Ref<Quill::RequestContext>> ended;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      std::vector<std::string> ids = sessionId ? sessionId->GetValues() : std::vector<std::string>();
      for (std::string const& id : ids) {
        auto it = _sessions.find(id);
        if (it == _sessions.end()) Raise(Ref<Tarn::Fault::NotFound>(new Tarn::Fault::NotFound()));
        if (it->second.context.get() == own) ThrowInvalidArgument("sessionId");
      }
      for (std::string const& id : ids) {
        auto it = _sessions.find(id);
        if (it == _sessions.end()) continue;  // named twice
        ended.push_back(it->second.context);
        _sessions.erase(it);
      }
    }
    for (auto& context : ended) Clear(context.get());
  }

 private:
  struct Session {
    Ref<Tarn::UserSession> info;
    Ref<Quill::RequestContext> context;
  };

  static void Clear(Quill::RequestContext* context) {
    context->Remove(kUserKey);  // first: from here on the checker refuses the session
    context->Remove(kReadOnlyKey);
    context->Remove(kSessionKey);
  }

  void Drop(Quill::RequestContext* context) {
    if (!context) return;
    Ref<Quill::Any> key = context->Get(kSessionKey);
    if (key) {
      std::lock_guard<std::mutex> lock(_mutex);
      _sessions.erase(Quill::Unbox<std::string>(key.get()));
    }
    Clear(context);
  }

  World* _w;
  std::mutex _mutex;
  std::map<std::string, Session> _sessions;
  std::mt19937_64 _keys;
};

std::vector<char const*> const& VmFieldNames() {
  static std::vector<char const*> const names = {"powerState", "bootTime",        "host",       "memoryMB",
                                                 "numCPU",     "guestId",         "guestState", "ipAddress",
                                                 "devices",    "connectionState", "template",   "toolsRunningStatus",
                                                 "vmPathName"};
  return names;
}

void CheckPrivilege(Quill::CallInfo const& call) {
  std::string_view privilege = call.privilege ? call.privilege : "";
  if (privilege == "System.Anonymous") return;
  Ref<Quill::Any> user = call.context ? call.context->Get(kUserKey) : nullptr;
  if (!user) {
    Ref<Tarn::Fault::NotAuthenticated> fault(new Tarn::Fault::NotAuthenticated());
    fault->object = call.target;
    if (call.privilege) fault->privilegeId = std::string(privilege);
    Raise(fault);
  }
  Ref<Quill::Any> readOnly = call.context->Get(kReadOnlyKey);
  if (!readOnly || !Quill::Unbox<bool>(readOnly.get())) return;
  // Reads pass; so do the calls that need no more than viewing or reading.
  // A history collector's own methods name no privilege: its reader made it.
  bool reading = privilege == "System.View" || privilege == "System.Read" ||
                 (privilege.empty() && call.method && call.method->IsProperty()) ||
                 (privilege.empty() && call.target && call.target->GetTypeName() == "tarn.TaskHistoryCollector");
  if (reading) return;
  Ref<Tarn::Fault::NoPermission> fault(new Tarn::Fault::NoPermission());
  fault->object = call.target;
  if (call.privilege) fault->privilegeId = std::string(privilege);
  Raise(fault);
}

bool Contains(Inventory& inventory, MoRef const& root, MoRef const& entity, bool recursive) {
  std::lock_guard<std::mutex> lock(inventory.Mutex());
  Entity* e = inventory.Find(entity.GetId());
  for (Entity* up = e ? e->parent : nullptr; up; up = recursive ? up->parent : nullptr) {
    if (*up->ref == root) return true;
  }
  return false;
}

void RegisterAll(World& world) {
  World* w = &world;
  Ref<MoRef> si(new MoRef("tarn.ServiceInstance", "ServiceInstance"));
  Ref<MoRef> sm(new MoRef("tarn.SessionManager", "SessionManager"));
  Ref<Tarn::ServiceInstanceContent> content(new Tarn::ServiceInstanceContent());
  content->rootFolder = w->inventory->Root()->ref;
  content->propertyCollector = w->propertyCollector;
  content->taskManager = w->taskManager;
  content->eventManager = w->eventManager;
  content->viewManager = w->viewManager;
  content->sessionManager = sm;
  content->about = new Tarn::AboutInfo();
  content->about->name = "tarn-sim";
  content->about->fullName = "tarn-sim " + w->aboutVersion + " (simulated inventory)";
  content->about->vendor = "libtarn-types";
  content->about->version = w->aboutVersion;
  content->about->build = "0";
  content->about->osType = "linux-x64";
  content->about->productLineId = "tarn-sim";
  content->about->apiType = "Simulator";
  content->about->apiVersion = "8.0.3.0";
  w->adapter->Register(nullptr, new ServiceInstanceImpl(si.get(), content));
  Ref<SessionManagerImpl> sessions(new SessionManagerImpl(sm.get(), w));
  w->sessions = sessions.get();
  w->adapter->Register(nullptr, sessions.get());
  for (auto const& e : w->inventory->All()) {
    if (!e->destroyed) w->adapter->Register(nullptr, MakeObject(w, e.get()).get());
  }
}

}  // namespace Tarn::Sim
