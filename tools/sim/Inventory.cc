#include "Inventory.h"

#include <algorithm>
#include <random>

namespace Tarn::Sim {

namespace {

template <class T>
void Erase(std::vector<T*>& list, T const* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}

std::int64_t DiskBytes(VmEntity const* vm) {
  std::int64_t kb = 0;
  for (Device const& d : vm->devices) {
    if (d.type == Device::Type::Disk) kb += d.capacityKB;
  }
  return kb * 1024;
}

// The inventory's clock for generated boot times: fixed, so that a seed
// gives the same model on every run.
Basalt::System::DateTime const kModelEpoch = Basalt::System::DateTime::FromCivil(2026, 12, 1);

}  // namespace

std::vector<char const*> const& Inventory::GuestIds() {
  static std::vector<char const*> const ids = {"otherLinux64Guest", "debian12_64Guest",           "ubuntu64Guest",
                                               "rhel9_64Guest",     "windows2022srvNext_64Guest", "freebsd14_64Guest"};
  return ids;
}

template <class T>
T* Inventory::Make(Kind kind, char const* type, char const* prefix, std::string name, Entity* parent) {
  Basalt::Ref<Quill::MoRef> ref(new Quill::MoRef(type, std::string(prefix) + "-" + std::to_string(_nextId++)));
  auto owned = std::make_unique<T>(kind, ref, std::move(name));
  T* e = owned.get();
  _all.push_back(std::move(owned));
  _byId.emplace(std::string_view(e->ref->GetId()), e);
  if (parent) Attach(parent, e);
  return e;
}

void Inventory::Attach(Entity* parent, Entity* child) {
  child->parent = parent;
  parent->children.push_back(child);
}

Model Model::FromSize(ModelSize const& size) {
  Model model;
  for (unsigned d = 0; d < size.datacenters; ++d) {
    Datacenter dc;
    dc.name = "DC" + std::to_string(d);
    for (unsigned n = 0; n < size.networks; ++n) dc.networks.push_back(dc.name + "_Net" + std::to_string(n));
    for (unsigned c = 0; c < size.clusters; ++c) {
      dc.clusters.push_back({dc.name + "_C" + std::to_string(c), size.hosts, size.vms, size.datastores});
    }
    for (unsigned h = 0; h < size.standalone; ++h)
      dc.standalone.push_back({dc.name + "_H" + std::to_string(h), size.vms});
    model.datacenters.push_back(std::move(dc));
  }
  return model;
}

Inventory::Inventory(ModelSize const& size, std::uint64_t seed) { Build(Model::FromSize(size), seed); }

Inventory::Inventory(Model const& model, std::uint64_t seed) { Build(model, seed); }

Inventory::Inventory(std::string_view savedState) { Load(savedState); }

void Inventory::Build(Model const& model, std::uint64_t seed) {
  // std::mt19937_64 is specified bit for bit; the modulo keeps the draws
  // independent of the standard library's distributions, which are not.
  std::mt19937_64 rng(seed);
  auto draw = [&rng](std::uint64_t n) { return rng() % n; };

  _root = Make<FolderEntity>(Kind::Folder, "tarn.Folder", "group-d", "Datacenters", nullptr);
  _root->childTypes = {"Folder", "Datacenter"};

  auto folder = [this](Entity* parent, std::string name, std::vector<char const*> types) {
    FolderEntity* f = Make<FolderEntity>(Kind::Folder, "tarn.Folder", "group", std::move(name), parent);
    f->childTypes = std::move(types);
    return f;
  };

  std::size_t vmCount = 0;
  for (Model::Datacenter const& dc : model.datacenters) {
    for (Model::Cluster const& c : dc.clusters) vmCount += std::size_t(c.hosts) * c.vms;
    for (Model::Standalone const& h : dc.standalone) vmCount += h.vms;
  }
  _all.reserve(vmCount + 64);
  _byId.reserve(vmCount + 64);

  // A host of `cl` with its machines; the cluster's datastores and networks are
  // shared round robin.
  auto addHost = [&](ClusterEntity* cl, PoolEntity* pool, FolderEntity* vmFolder, std::string name, unsigned vms,
                     unsigned h) {
    auto* host = Make<HostEntity>(Kind::Host, "tarn.HostSystem", "host", std::move(name), cl);
    host->cluster = cl;
    host->bootTime = Basalt::System::DateTime(kModelEpoch.GetUtcTime() - std::int64_t(draw(30 * 86400)) * 1000000);
    cl->hosts.push_back(host);
    for (DatastoreEntity* ds : cl->datastores) ds->hosts.push_back(host);
    for (NetworkEntity* net : cl->networks) net->hosts.push_back(host);

    for (unsigned v = 0; v < vms; ++v) {
      auto* vm =
          Make<VmEntity>(Kind::Vm, "tarn.VirtualMachine", "vm", host->name + "_VM" + std::to_string(v), vmFolder);
      vm->directory = vm->name;
      vm->numCPU = std::int16_t(1 << draw(3));
      vm->memoryMB = std::int32_t(512) << draw(5);
      vm->guest = std::uint8_t(draw(GuestIds().size()));
      vm->host = host;
      vm->pool = pool;
      vm->datastore = cl->datastores.empty() ? nullptr : cl->datastores[(h + v) % cl->datastores.size()];
      vm->network = cl->networks.empty() ? nullptr : cl->networks[v % cl->networks.size()];
      vm->devices.reserve(2);
      vm->devices.push_back({Device::Type::Disk, 2000, std::int64_t(8 + draw(57)) << 20});  // 8-64 GiB
      if (vm->network) vm->devices.push_back({Device::Type::Nic, 4000, 0});
      if (draw(10) < 6) {
        vm->power = Tarn::VirtualMachine::PowerState::poweredOn;
        vm->bootTime = Basalt::System::DateTime(kModelEpoch.GetUtcTime() + std::int64_t(draw(86400)) * 1000000);
      }
      host->vms.push_back(vm);
      pool->vms.push_back(vm);
      if (vm->datastore) {
        vm->datastore->vms.push_back(vm);
        vm->datastore->used += DiskBytes(vm);
      }
      if (vm->network) vm->network->vms.push_back(vm);
      ++_vmCount;
    }
  };

  for (Model::Datacenter const& dcModel : model.datacenters) {
    auto* dc = Make<DatacenterEntity>(Kind::Datacenter, "tarn.Datacenter", "datacenter", dcModel.name, _root);
    // A datacenter's folders name it as parent but are not its children:
    // they are reached through its four folder properties.
    auto own = [&](std::string name, std::vector<char const*> types) {
      FolderEntity* f = folder(nullptr, std::move(name), std::move(types));
      f->parent = dc;
      return f;
    };
    dc->vmFolder = own("vm", {"Folder", "VirtualMachine"});
    dc->hostFolder = own("host", {"Folder", "ComputeResource"});
    dc->datastoreFolder = own("datastore", {"Folder", "Datastore"});
    dc->networkFolder = own("network", {"Folder", "Network"});

    for (std::string const& name : dcModel.networks) {
      dc->networks.push_back(Make<NetworkEntity>(Kind::Network, "tarn.Network", "network", name, dc->networkFolder));
    }

    auto addDatastore = [&](ClusterEntity* cl, std::string name) {
      auto* ds =
          Make<DatastoreEntity>(Kind::Datastore, "tarn.Datastore", "datastore", std::move(name), dc->datastoreFolder);
      ds->capacity = std::int64_t(2 + draw(7)) << 40;  // 2 to 8 TiB
      cl->datastores.push_back(ds);
      dc->datastores.push_back(ds);
    };

    for (Model::Cluster const& c : dcModel.clusters) {
      auto* cl = Make<ClusterEntity>(Kind::Cluster, "tarn.ClusterComputeResource", "domain-c", c.name, dc->hostFolder);
      auto* pool = Make<PoolEntity>(Kind::ResourcePool, "tarn.ResourcePool", "resgroup", "Resources", cl);
      pool->owner = cl;
      cl->rootPool = pool;
      cl->networks = dc->networks;
      for (unsigned s = 0; s < c.datastores; ++s) addDatastore(cl, c.name + "_DS" + std::to_string(s));
      for (unsigned h = 0; h < c.hosts; ++h)
        addHost(cl, pool, dc->vmFolder, c.name + "_H" + std::to_string(h), c.vms, h);
    }

    for (Model::Standalone const& h : dcModel.standalone) {
      auto* cr = Make<ClusterEntity>(Kind::Standalone, "tarn.ComputeResource", "domain-s", h.name, dc->hostFolder);
      auto* pool = Make<PoolEntity>(Kind::ResourcePool, "tarn.ResourcePool", "resgroup", "Resources", cr);
      pool->owner = cr;
      cr->rootPool = pool;
      cr->networks = dc->networks;
      addDatastore(cr, h.name + "_local");
      addHost(cr, pool, dc->vmFolder, h.name, h.vms, 0);
    }
  }
}

Entity* Inventory::Find(std::string_view id) const {
  auto it = _byId.find(id);
  return it == _byId.end() ? nullptr : it->second;
}

FolderEntity* Inventory::AddFolder(FolderEntity* parent, std::string name, std::vector<char const*> childTypes) {
  auto* f = Make<FolderEntity>(Kind::Folder, "tarn.Folder", "group", std::move(name), parent);
  f->childTypes = std::move(childTypes);
  Changed(f, {});  // a new object: all its properties
  Changed(parent, {"childEntity"});
  return f;
}

VmEntity* Inventory::AddVm(FolderEntity* folder, std::string name, PoolEntity* pool, HostEntity* host,
                           DatastoreEntity* datastore, NetworkEntity* network, std::int16_t numCPU,
                           std::int32_t memoryMB, std::uint8_t guest, std::int64_t diskKB) {
  auto* vm = Make<VmEntity>(Kind::Vm, "tarn.VirtualMachine", "vm", std::move(name), folder);
  vm->directory = vm->name;
  vm->numCPU = numCPU;
  vm->memoryMB = memoryMB;
  vm->guest = guest;
  vm->host = host;
  vm->pool = pool;
  vm->datastore = datastore;
  vm->network = network;
  vm->devices.push_back({Device::Type::Disk, 2000, diskKB});
  if (network) vm->devices.push_back({Device::Type::Nic, 4000, 0});
  host->vms.push_back(vm);
  pool->vms.push_back(vm);
  datastore->vms.push_back(vm);
  datastore->used += DiskBytes(vm);
  if (network) network->vms.push_back(vm);
  ++_vmCount;
  Changed(vm, {});
  Changed(folder, {"childEntity"});
  Changed(host, {"vm"});
  Changed(pool, {"vm"});
  Changed(datastore, {"vm", "summary.freeSpace"});
  if (network) Changed(network, {"vm"});
  return vm;
}

void Inventory::Rename(Entity* e, std::string name) {
  e->name = std::move(name);
  Changed(e, {"name"});
}

void Inventory::Remove(Entity* e) {
  if (e->parent) {
    Erase(e->parent->children, e);
    Changed(e->parent, {"childEntity"});
  }
  if (e->kind == Kind::Vm) {
    auto* vm = static_cast<VmEntity*>(e);
    if (vm->host) {
      Erase(vm->host->vms, vm);
      Changed(vm->host, {"vm"});
    }
    if (vm->pool) {
      Erase(vm->pool->vms, vm);
      Changed(vm->pool, {"vm"});
    }
    if (vm->datastore) {
      Erase(vm->datastore->vms, vm);
      vm->datastore->used -= DiskBytes(vm);
      Changed(vm->datastore, {"vm", "summary.freeSpace"});
    }
    if (vm->network) {
      Erase(vm->network->vms, vm);
      Changed(vm->network, {"vm"});
    }
    std::vector<SnapshotState*> removed;
    while (!vm->rootSnapshots.empty()) RemoveSnapshot(vm->rootSnapshots.front(), true, removed);
    --_vmCount;
  }
  e->destroyed = true;
  _byId.erase(std::string_view(e->ref->GetId()));
  Changed(e, {});  // gone
}

void Inventory::Reconfigure(VmEntity* vm, int numCPU, std::int32_t memoryMB, int guest) {
  vm->numCPU = std::int16_t(numCPU);
  vm->memoryMB = memoryMB;
  vm->guest = std::uint8_t(guest);
  Changed(vm, {"customValue", "value", "runtime.maxCpuUsage", "runtime.maxMemoryUsage"});
}

void Inventory::RenameSnapshot(SnapshotState* s, std::string name, std::string description) {
  s->name = std::move(name);
  s->description = std::move(description);
  Changed(s->vm, {"snapshot"});
}

SnapshotState* Inventory::AddSnapshot(VmEntity* vm, std::string name, std::string description, bool memory,
                                      Basalt::System::DateTime now) {
  auto owned = std::make_unique<SnapshotState>();
  SnapshotState* s = owned.get();
  s->ref = new Quill::MoRef("tarn.vm.Snapshot", "snapshot-" + std::to_string(_nextId++));
  s->name = std::move(name);
  s->description = std::move(description);
  s->createTime = now;
  s->vm = vm;
  s->parent = vm->currentSnapshot;
  s->power = memory ? vm->power : Tarn::VirtualMachine::PowerState::poweredOff;
  s->numCPU = vm->numCPU;
  s->memoryMB = vm->memoryMB;
  s->guest = vm->guest;
  if (s->parent) {
    s->parent->children.push_back(s);
    Changed(vm, {"snapshot"});
  } else {
    vm->rootSnapshots.push_back(s);
    Changed(vm, {"snapshot", "rootSnapshot"});
  }
  vm->currentSnapshot = s;
  _snapshots.push_back(std::move(owned));
  return s;
}

void Inventory::Revert(SnapshotState* s, Basalt::System::DateTime now) {
  VmEntity* vm = s->vm;
  vm->numCPU = s->numCPU;
  vm->memoryMB = s->memoryMB;
  vm->guest = s->guest;
  vm->currentSnapshot = s;
  // A machine that comes back running has just started again.
  if (s->power != Tarn::VirtualMachine::PowerState::poweredOff) vm->bootTime = now;
  vm->power = s->power;
  if (s->power == Tarn::VirtualMachine::PowerState::poweredOff) vm->bootTime = Basalt::System::DateTime();
  Changed(vm, {"snapshot", "customValue", "value", "guestHeartbeatStatus", "runtime.maxCpuUsage",
               "runtime.maxMemoryUsage"});
}

void Inventory::RemoveSnapshot(SnapshotState* s, bool children, std::vector<SnapshotState*>& removed) {
  VmEntity* vm = s->vm;
  std::vector<SnapshotState*>& siblings = s->parent ? s->parent->children : vm->rootSnapshots;
  auto at = std::find(siblings.begin(), siblings.end(), s);
  if (at != siblings.end()) at = siblings.erase(at);
  if (children) {
    std::vector<SnapshotState*> pending{s};
    while (!pending.empty()) {
      SnapshotState* x = pending.back();
      pending.pop_back();
      x->removed = true;
      removed.push_back(x);
      if (vm->currentSnapshot == x) vm->currentSnapshot = s->parent;
      pending.insert(pending.end(), x->children.begin(), x->children.end());
    }
  } else {
    for (SnapshotState* child : s->children) child->parent = s->parent;
    siblings.insert(at, s->children.begin(), s->children.end());
    s->removed = true;
    removed.push_back(s);
    if (vm->currentSnapshot == s) vm->currentSnapshot = s->parent;
  }
  s->children.clear();
  Changed(vm, {"snapshot", "rootSnapshot"});
}

void Inventory::SetPower(VmEntity* vm, Tarn::VirtualMachine::PowerState state, Basalt::System::DateTime now,
                         bool restart) {
  using PowerState = Tarn::VirtualMachine::PowerState;
  // A machine that was suspended resumes where it stopped: it keeps its boot time.
  if (state == PowerState::poweredOn && (restart || vm->power == PowerState::poweredOff)) vm->bootTime = now;
  if (state == PowerState::poweredOff) vm->bootTime = Basalt::System::DateTime();
  vm->power = state;
  Changed(vm, {"customValue", "value", "guestHeartbeatStatus"});
}

void Inventory::SetMaintenance(HostEntity* host, bool on) {
  host->inMaintenance = on;
  Changed(host, {"runtime.inMaintenanceMode", "summary.runtime.inMaintenanceMode"});
}

void Inventory::SetConnected(HostEntity* host, bool connected) {
  host->connected = connected;
  Changed(host, {"runtime.connectionState", "summary.runtime.connectionState"});
  for (VmEntity* vm : host->vms) Changed(vm, {"customValue", "value"});
}

void Inventory::SetTemplate(VmEntity* vm, bool isTemplate) {
  vm->isTemplate = isTemplate;
  Changed(vm, {"customValue", "value"});
}

void Inventory::Move(Entity* e, FolderEntity* folder) {
  if (e->parent) {
    Erase(e->parent->children, e);
    Changed(e->parent, {"childEntity"});
  }
  Attach(folder, e);
  Changed(folder, {"childEntity"});
  Changed(e, {"parent"});
}

void Inventory::Relocate(VmEntity* vm, HostEntity* host, PoolEntity* pool, DatastoreEntity* datastore) {
  if (host != vm->host) {
    Erase(vm->host->vms, vm);
    Changed(vm->host, {"vm"});
    vm->host = host;
    host->vms.push_back(vm);
    Changed(host, {"vm"});
  }
  if (pool != vm->pool) {
    Erase(vm->pool->vms, vm);
    Changed(vm->pool, {"vm"});
    vm->pool = pool;
    pool->vms.push_back(vm);
    Changed(pool, {"vm"});
  }
  if (datastore != vm->datastore) {
    std::int64_t bytes = DiskBytes(vm);
    Erase(vm->datastore->vms, vm);
    vm->datastore->used -= bytes;
    Changed(vm->datastore, {"vm", "summary.freeSpace"});
    vm->datastore = datastore;
    datastore->vms.push_back(vm);
    datastore->used += bytes;
    Changed(datastore, {"vm", "summary.freeSpace"});
  }
  Changed(vm, {"customValue", "value", "resourcePool", "datastore", "runtime.maxCpuUsage"});
}

VmEntity* Inventory::Clone(VmEntity const* source, FolderEntity* folder, std::string name, PoolEntity* pool,
                           HostEntity* host, DatastoreEntity* datastore, bool isTemplate) {
  // The copy's NICs stay on its source's network, which its cluster shares.
  VmEntity* vm = AddVm(folder, std::move(name), pool, host, datastore, source->network, source->numCPU,
                       source->memoryMB, source->guest, 0);
  datastore->used -= DiskBytes(vm);
  vm->devices = source->devices;
  datastore->used += DiskBytes(vm);
  vm->isTemplate = isTemplate;
  Changed(vm, {});
  return vm;
}

void Inventory::Unregister(VmEntity* vm) {
  VmFiles files{vm->directory, vm->numCPU, vm->memoryMB, vm->guest, vm->isTemplate, DiskBytes(vm) / 1024};
  DatastoreEntity* ds = vm->datastore;
  Remove(vm);
  // The files stay, and so does the space they take.
  ds->used += files.diskKB * 1024;
  ds->files.push_back(std::move(files));
  Changed(ds, {"summary.freeSpace"});
}

VmEntity* Inventory::Register(DatastoreEntity* datastore, std::size_t index, FolderEntity* folder, std::string name,
                              PoolEntity* pool, HostEntity* host) {
  VmFiles files = datastore->files[index];
  datastore->files.erase(datastore->files.begin() + std::ptrdiff_t(index));
  datastore->used -= files.diskKB * 1024;
  NetworkEntity* net = pool->owner->networks.empty() ? nullptr : pool->owner->networks.front();
  VmEntity* vm = AddVm(folder, std::move(name), pool, host, datastore, net, files.numCPU, files.memoryMB, files.guest,
                       files.diskKB);
  vm->directory = files.directory;
  vm->isTemplate = files.isTemplate;
  return vm;
}

void Inventory::Changed(Entity const* e, std::vector<std::string_view> paths) {
  ++_changes;
  if (_listener) _listener(*e->ref, paths);
}

void Inventory::SetChangeListener(ChangeListener listener) {
  std::lock_guard<std::mutex> lock(_mutex);
  _listener = std::move(listener);
}

}  // namespace Tarn::Sim
