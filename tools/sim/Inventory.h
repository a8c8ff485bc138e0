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
struct ModelSize {
  unsigned datacenters = 1;
  unsigned clusters = 2;
  unsigned hosts = 3;
  unsigned vms = 4;
  unsigned datastores = 2;  // per cluster
  unsigned networks = 2;    // per datacenter
};

enum class Kind : std::uint8_t { Folder, Datacenter, Cluster, Host, ResourcePool, Datastore, Network, Vm };

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
  ClusterEntity* cluster = nullptr;
  bool inMaintenance = false;
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

struct DatastoreEntity : Entity {
  using Entity::Entity;
  std::int64_t capacity = 0;  // bytes
  std::int64_t used = 0;      // bytes: the disks of the machines on it
  std::vector<HostEntity*> hosts;
  std::vector<VmEntity*> vms;
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
  std::uint8_t guest = 0;             // index into Inventory::GuestIds()
  Basalt::System::DateTime bootTime;  // while powered on
  HostEntity* host = nullptr;
  PoolEntity* pool = nullptr;
  DatastoreEntity* datastore = nullptr;
  NetworkEntity* network = nullptr;
  std::vector<Device> devices;
  Basalt::Ref<Quill::MoRef> busyTask;  // power operation under way
  std::vector<SnapshotState*> rootSnapshots;
  SnapshotState* currentSnapshot = nullptr;
};

class Inventory {
 public:
  // Called after every change, under the inventory's lock, with the changed
  // entity's reference and the property paths that changed. Keep it short.
  using ChangeListener = std::function<void(Quill::MoRef const& ref, std::vector<std::string_view> const& paths)>;

  // Builds the whole model, deterministic for a given size and seed.
  Inventory(ModelSize const& size, std::uint64_t seed);
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

  // The one place that reports a change (callers hold the lock).
  void Changed(Entity const* e, std::vector<std::string_view> paths);
  void SetChangeListener(ChangeListener listener);
  std::uint64_t GetChangeCount() const { return _changes; }

  static std::vector<char const*> const& GuestIds();

 private:
  template <class T>
  T* Make(Kind kind, char const* type, char const* prefix, std::string name, Entity* parent);
  void Attach(Entity* parent, Entity* child);

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
