// The simulator's inventory: every entity it serves, as compact records under
// one lock. The managed objects registered with the adapter (Objects.h) are
// thin views that read and change these records; nothing else keeps state.
//
// Every change is made by a method of Inventory, which reports it through
// Inventory::Changed: the one place from which watchers (a query service)
// can learn what moved.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "basalt/DateTime.h"
#include "basalt/Object.h"
#include "quill/Values.h"
#include "tarn/VirtualMachine.h"

namespace Tarn::Sim {

// How many of each kind the generated inventory holds, each count per parent:
// datacenters in the root folder, clusters per datacenter, hosts per cluster,
// machines per host; datastores and networks are shared by a cluster's hosts.
// Standalone hosts (each its own compute resource, with one datastore of its
// own) follow a datacenter's clusters and carry `vms` machines too.
struct ModelSize {
  unsigned datacenters = 1;
  unsigned clusters = 2;
  unsigned hosts = 3;
  unsigned vms = 4;
  unsigned datastores = 2;  // per cluster
  unsigned networks = 2;    // per datacenter
  unsigned standalone = 1;  // per datacenter
};

// An inventory described by names and counts (tarn-sim --model FILE).
struct Model {
  struct Cluster {
    std::string name;
    unsigned hosts = 0;
    unsigned vms = 0;  // per host
    unsigned datastores = 0;
  };
  struct Standalone {
    std::string name;  // the host's; its compute resource has the same
    unsigned vms = 0;
  };
  struct Datacenter {
    std::string name;
    std::vector<std::string> networks;
    std::vector<Cluster> clusters;
    std::vector<Standalone> standalone;
  };
  std::vector<Datacenter> datacenters;

  // The model a size stands for, with the generated names ("DC0", "DC0_C0", ...).
  static Model FromSize(ModelSize const& size);
  // Reads the JSON form (docs/simulator.md); throws Basalt::Exception naming what is wrong.
  static Model FromJson(std::string_view json);
};

enum class Kind : std::uint8_t { Folder, Datacenter, Cluster, Host, ResourcePool, Datastore, Network, Vm, Standalone };

struct Entity {
  Entity(Kind k, Basalt::Ref<Quill::MoRef> r, std::string n) : kind(k), ref(std::move(r)), name(std::move(n)) {}
  virtual ~Entity() = default;

  Kind kind;
  bool destroyed = false;  // kept as a record so that calls under way still find it
  Basalt::Ref<Quill::MoRef> ref;
  std::string name;
  Entity* parent = nullptr;
  std::vector<Entity*> children;  // folders: their entities; clusters: root pool; pools: child pools
};

struct FolderEntity : Entity {
  using Entity::Entity;
  std::vector<char const*> childTypes;  // what may be created in it
};

struct DatastoreEntity;
struct NetworkEntity;
struct HostEntity;
struct PoolEntity;

struct DatacenterEntity : Entity {
  using Entity::Entity;
  FolderEntity* vmFolder = nullptr;
  FolderEntity* hostFolder = nullptr;
  FolderEntity* datastoreFolder = nullptr;
  FolderEntity* networkFolder = nullptr;
  std::vector<DatastoreEntity*> datastores;
  std::vector<NetworkEntity*> networks;
};

// A cluster, or (Kind::Standalone) the compute resource of one standalone host.
struct ClusterEntity : Entity {
  using Entity::Entity;
  PoolEntity* rootPool = nullptr;
  std::vector<HostEntity*> hosts;
  std::vector<DatastoreEntity*> datastores;
  std::vector<NetworkEntity*> networks;
};

struct VmEntity;

struct HostEntity : Entity {
  using Entity::Entity;
  ClusterEntity* cluster = nullptr;  // its cluster or standalone compute resource
  bool inMaintenance = false;
  bool connected = true;
  Basalt::System::DateTime bootTime;
  std::int32_t cpuMhz = 2400;
  std::int16_t cpuCores = 16;
  std::int32_t memoryMB = 262144;
  std::vector<VmEntity*> vms;
  Basalt::Ref<Quill::MoRef> busyTask;  // maintenance-mode change under way
};

struct PoolEntity : Entity {
  using Entity::Entity;
  ClusterEntity* owner = nullptr;
  std::vector<VmEntity*> vms;
};

// What an unregistered machine leaves on its datastore, for a later register.
struct VmFiles {
  std::string directory;
  std::int16_t numCPU = 1;
  std::int32_t memoryMB = 1024;
  std::uint8_t guest = 0;
  bool isTemplate = false;
  std::int64_t diskKB = 0;
};

struct DatastoreEntity : Entity {
  using Entity::Entity;
  std::int64_t capacity = 0;  // bytes
  std::int64_t used = 0;      // bytes: the disks of the machines on it, registered or not
  std::vector<HostEntity*> hosts;
  std::vector<VmEntity*> vms;
  std::vector<VmFiles> files;  // of machines unregistered
};

struct NetworkEntity : Entity {
  using Entity::Entity;
  std::vector<HostEntity*> hosts;
  std::vector<VmEntity*> vms;
};

struct Device {
  enum class Type : std::uint8_t { Disk, Nic };
  Type type;
  std::int32_t key;
  std::int64_t capacityKB;  // disks
};

struct VmEntity;

// A machine's saved state; the tree hangs from the machine's roots.
struct SnapshotState {
  Basalt::Ref<Quill::MoRef> ref;
  std::string name;
  std::string description;
  Basalt::System::DateTime createTime;
  VmEntity* vm = nullptr;
  SnapshotState* parent = nullptr;
  std::vector<SnapshotState*> children;
  bool removed = false;
  // What a revert restores.
  Tarn::VirtualMachine::PowerState power = Tarn::VirtualMachine::PowerState::poweredOff;
  std::int16_t numCPU = 1;
  std::int32_t memoryMB = 1024;
  std::uint8_t guest = 0;
};

struct VmEntity : Entity {
  using Entity::Entity;
  Tarn::VirtualMachine::PowerState power = Tarn::VirtualMachine::PowerState::poweredOff;
  std::int16_t numCPU = 1;
  std::int32_t memoryMB = 1024;
  std::uint8_t guest = 0;  // index into Inventory::GuestIds()
  bool isTemplate = false;
  Basalt::System::DateTime bootTime;  // while powered on
  std::string directory;              // of its files on its datastore: its first name
  HostEntity* host = nullptr;
  PoolEntity* pool = nullptr;
  DatastoreEntity* datastore = nullptr;
  NetworkEntity* network = nullptr;
  std::vector<Device> devices;
  Basalt::Ref<Quill::MoRef> busyTask;  // power operation under way
  std::vector<SnapshotState*> rootSnapshots;
  SnapshotState* currentSnapshot = nullptr;
};

// Whether an entity is a T (ClusterEntity: a cluster or a standalone compute resource).
template <class T>
bool IsA(Entity const* e) {
  if constexpr (std::is_same_v<T, FolderEntity>) return e->kind == Kind::Folder;
  if constexpr (std::is_same_v<T, DatacenterEntity>) return e->kind == Kind::Datacenter;
  if constexpr (std::is_same_v<T, ClusterEntity>) return e->kind == Kind::Cluster || e->kind == Kind::Standalone;
  if constexpr (std::is_same_v<T, HostEntity>) return e->kind == Kind::Host;
  if constexpr (std::is_same_v<T, PoolEntity>) return e->kind == Kind::ResourcePool;
  if constexpr (std::is_same_v<T, DatastoreEntity>) return e->kind == Kind::Datastore;
  if constexpr (std::is_same_v<T, NetworkEntity>) return e->kind == Kind::Network;
  if constexpr (std::is_same_v<T, VmEntity>) return e->kind == Kind::Vm;
  return true;
}

class Inventory {
 public:
  // Called after every change, under the inventory's lock, with the changed
  // entity's reference and the property paths that changed. Keep it short.
  using ChangeListener = std::function<void(Quill::MoRef const& ref, std::vector<std::string_view> const& paths)>;

  // Builds the whole model, deterministic for a given model and seed.
  Inventory(ModelSize const& size, std::uint64_t seed);
  Inventory(Model const& model, std::uint64_t seed);
  // Loads a state saved by SaveState (the wire codec's JSON); throws Basalt::Exception or
  // the codec's DecodeError when it cannot.
  explicit Inventory(std::string_view savedState);
  Inventory(Inventory const&) = delete;
  Inventory& operator=(Inventory const&) = delete;

  std::mutex& Mutex() const { return _mutex; }

  FolderEntity* Root() const { return _root; }
  // Every entity ever made, destroyed ones included, in creation order.
  std::vector<std::unique_ptr<Entity>> const& All() const { return _all; }
  Entity* Find(std::string_view id) const;  // under the lock
  std::size_t VmCount() const { return _vmCount; }

  // New ids are "<prefix>-<n>" with n counting up from the model's last.
  FolderEntity* AddFolder(FolderEntity* parent, std::string name, std::vector<char const*> childTypes);
  // A powered-off machine in `folder` on `host` (of `pool`'s cluster), with
  // one disk on `datastore` and a NIC on `network` (may be null).
  VmEntity* AddVm(FolderEntity* folder, std::string name, PoolEntity* pool, HostEntity* host,
                  DatastoreEntity* datastore, NetworkEntity* network, std::int16_t numCPU, std::int32_t memoryMB,
                  std::uint8_t guest, std::int64_t diskKB);
  void Rename(Entity* e, std::string name);
  void Reconfigure(VmEntity* vm, int numCPU, std::int32_t memoryMB, int guest);
  // A snapshot of the machine's state as it is, child of the current one,
  // which it becomes; without memory it restores the machine powered off.
  SnapshotState* AddSnapshot(VmEntity* vm, std::string name, std::string description, bool memory,
                             Basalt::System::DateTime now);
  void RenameSnapshot(SnapshotState* snapshot, std::string name, std::string description);
  // Puts the snapshot's state back; it becomes the current one.
  void Revert(SnapshotState* snapshot, Basalt::System::DateTime now);
  // Removes the snapshot (its children move up to its parent) or, with
  // `children`, its whole subtree; appends what went to `removed`.
  void RemoveSnapshot(SnapshotState* snapshot, bool children, std::vector<SnapshotState*>& removed);
  // Detaches a machine or an empty folder from everything that lists it.
  void Remove(Entity* e);
  // `restart`: a reset, which boots the machine again without a change of state.
  void SetPower(VmEntity* vm, Tarn::VirtualMachine::PowerState state, Basalt::System::DateTime now,
                bool restart = false);
  void SetMaintenance(HostEntity* host, bool on);
  // The machines on a disconnected host report it in their connection state.
  void SetConnected(HostEntity* host, bool connected);
  void SetTemplate(VmEntity* vm, bool isTemplate);
  // Moves a folder, a machine or a compute resource into `folder`.
  void Move(Entity* e, FolderEntity* folder);
  // Moves a machine to another host, pool and datastore (each may be its own).
  void Relocate(VmEntity* vm, HostEntity* host, PoolEntity* pool, DatastoreEntity* datastore);
  // A copy of `source`'s configuration and devices as a new, powered-off machine.
  VmEntity* Clone(VmEntity const* source, FolderEntity* folder, std::string name, PoolEntity* pool, HostEntity* host,
                  DatastoreEntity* datastore, bool isTemplate);
  // Takes a powered-off machine out of the inventory, leaving its files on its datastore.
  void Unregister(VmEntity* vm);
  // Brings the files at `index` of `datastore->files` back as a new machine.
  VmEntity* Register(DatastoreEntity* datastore, std::size_t index, FolderEntity* folder, std::string name,
                     PoolEntity* pool, HostEntity* host);

  // The whole state as the wire codec's JSON: one record (an object's reference and its
  // fields) per live entity and snapshot, the first for the inventory itself. Under the
  // lock. Records() is the same as data, for comparing two inventories.
  std::string SaveState() const;
  std::vector<Basalt::Ref<Quill::Any>> Records() const;

  // The one place that reports a change (callers hold the lock).
  void Changed(Entity const* e, std::vector<std::string_view> paths);
  void SetChangeListener(ChangeListener listener);
  std::uint64_t GetChangeCount() const { return _changes; }

  static std::vector<char const*> const& GuestIds();

 private:
  template <class T>
  T* Make(Kind kind, char const* type, char const* prefix, std::string name, Entity* parent);
  void Attach(Entity* parent, Entity* child);
  void Build(Model const& model, std::uint64_t seed);
  void Load(std::string_view savedState);

  mutable std::mutex _mutex;
  std::vector<std::unique_ptr<Entity>> _all;
  std::vector<std::unique_ptr<SnapshotState>> _snapshots;
  std::unordered_map<std::string_view, Entity*> _byId;  // keys view the references' ids
  FolderEntity* _root = nullptr;
  std::uint64_t _nextId = 1;
  std::size_t _vmCount = 0;
  std::uint64_t _changes = 0;
  ChangeListener _listener;
};

}  // namespace Tarn::Sim
