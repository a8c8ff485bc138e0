// The inventory's whole state as data the wire codec writes and reads: one
// sedge.query.ObjectResult per object (its reference, and its fields as
// name/value pairs), the first for the inventory itself. References between
// records are the objects' own references, so ids survive a save and a load.
#include <algorithm>
#include <functional>
#include <map>
#include <type_traits>

#include "Inventory.h"
#include "basalt/Exception.h"
#include "quill/DataTypes.h"
#include "quill/Primitive.h"
#include "quill/Query.h"
#include "quill/StubSupport.h"
#include "quill/wire/Wire.h"

namespace Tarn::Sim {

namespace {

using Basalt::Ref;
using Quill::MoRef;
using PowerState = Tarn::VirtualMachine::PowerState;
using Record = Quill::Query::ObjectResult;

constexpr char kFormat[] = "tarn-sim state 1";

class Writer {
 public:
  explicit Writer(MoRef* ref) : _record(new Record()) {
    _record->obj = ref;
    _record->values = new Quill::DataArray<Quill::DynamicProperty>();
  }
  void Add(char const* name, Ref<Quill::Any> value) {
    Ref<Quill::DynamicProperty> p(new Quill::DynamicProperty());
    p->name = name;
    p->val = std::move(value);
    _record->values->Append(p.get());
  }
  void Ref_(char const* name, Entity const* e) {
    if (e) Add(name, e->ref);
  }
  template <class T>
  void Refs(char const* name, std::vector<T*> const& list) {
    Ref<Quill::DataArray<MoRef>> out(new Quill::DataArray<MoRef>());
    for (T* e : list) out->Append(e->ref.get());
    Add(name, out);
  }
  void Strings(char const* name, std::vector<std::string> list) {
    Add(name, Ref<Quill::Any>(new Quill::Array<std::string>(std::move(list))));
  }
  Ref<Record> Done() { return _record; }

 private:
  Ref<Record> _record;
};

std::string Join(std::vector<std::string> const& parts) {
  std::string out;
  for (std::string const& p : parts) {
    if (!out.empty()) out += ':';
    out += p;
  }
  return out;
}

std::vector<std::string> Split(std::string const& text) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (c == ':') {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

[[noreturn]] void Bad(std::string const& what) { throw Basalt::Exception("tarn-sim: saved state: " + what); }

long Number(std::string const& text) {
  std::size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used);
  } catch (std::exception const&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) Bad("'" + text + "' is not a number");
  return value;
}

PowerState PowerOf(std::string const& tag) {
  for (PowerState p : {PowerState::poweredOff, PowerState::poweredOn, PowerState::suspended}) {
    if (tag == Quill::TagOf(p)) return p;
  }
  Bad("unknown power state '" + tag + "'");
}

int GuestOf(std::string const& id) {
  auto const& ids = Inventory::GuestIds();
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (id == ids[i]) return int(i);
  }
  Bad("unknown guest id '" + id + "'");
}

Quill::Type* RecordsType() { return Quill::GetDoType<Record>()->GetArrayType(); }

using Resolver = std::function<Entity*(MoRef const*)>;
using SnapshotResolver = std::function<SnapshotState*(MoRef const*)>;

// One record's fields by name, read with the type each must have.
class Reader {
 public:
  Reader(Record const* record, Resolver resolve, SnapshotResolver snapshot)
      : _resolve(std::move(resolve)), _snapshot(std::move(snapshot)) {
    _id = record->obj ? record->obj->GetId() : "?";
    if (record->values) {
      for (std::size_t i = 0; i < record->values->size(); ++i) {
        Quill::DynamicProperty* p = record->values->Get(i);
        _fields[p->name] = p->val;
      }
    }
  }
  bool Has(char const* name) const { return _fields.count(name) != 0; }
  Quill::Any* Raw(char const* name) const {
    auto it = _fields.find(name);
    if (it == _fields.end() || !it->second) Bad(_id + " has no " + name);
    return it->second.get();
  }
  template <class V>
  V Value(char const* name) const {
    try {
      return Quill::Unbox<V>(Raw(name));
    } catch (Basalt::Exception const&) {
      Bad(_id + "." + name + " is of the wrong type");
    }
  }
  std::string String(char const* name) const { return Value<std::string>(name); }
  template <class T>
  T* Ref_(char const* name) const {
    if (!Has(name)) return nullptr;
    auto* ref = dynamic_cast<MoRef*>(Raw(name));
    if (!ref) Bad(_id + "." + name + " is not a reference");
    return Resolve<T>(name, ref);
  }
  template <class T>
  std::vector<T*> Refs(char const* name) const {
    std::vector<T*> out;
    if (!Has(name)) return out;
    auto* list = dynamic_cast<Quill::DataArray<MoRef>*>(Raw(name));
    if (!list) Bad(_id + "." + name + " is not a list of references");
    for (std::size_t i = 0; i < list->size(); ++i) out.push_back(Resolve<T>(name, list->Get(i)));
    return out;
  }
  std::vector<std::string> Strings(char const* name) const {
    if (!Has(name)) return {};
    auto* list = dynamic_cast<Quill::Array<std::string>*>(Raw(name));
    if (!list) Bad(_id + "." + name + " is not a list of strings");
    return list->GetValues();
  }
  std::string const& Id() const { return _id; }

 private:
  template <class T>
  T* Resolve(char const* name, MoRef const* ref) const {
    if constexpr (std::is_same_v<T, SnapshotState>) {
      if (SnapshotState* s = _snapshot(ref)) return s;
    } else {
      Entity* e = _resolve(ref);
      if (e && IsA<T>(e)) return static_cast<T*>(e);
    }
    Bad(_id + "." + name + " names " + ref->GetId() + ", which is not saved as what it must be");
  }

  std::string _id;
  std::map<std::string, Ref<Quill::Any>> _fields;
  Resolver _resolve;
  SnapshotResolver _snapshot;
};

// The kinds by the type of their reference.
struct KindOf {
  char const* type;
  Kind kind;
};
constexpr KindOf kKinds[] = {
    {"tarn.Folder", Kind::Folder},
    {"tarn.Datacenter", Kind::Datacenter},
    {"tarn.ClusterComputeResource", Kind::Cluster},
    {"tarn.ComputeResource", Kind::Standalone},
    {"tarn.HostSystem", Kind::Host},
    {"tarn.ResourcePool", Kind::ResourcePool},
    {"tarn.Datastore", Kind::Datastore},
    {"tarn.Network", Kind::Network},
    {"tarn.VirtualMachine", Kind::Vm},
};

}  // namespace

std::vector<Ref<Quill::Any>> Inventory::Records() const {
  std::vector<Ref<Quill::Any>> out;
  {
    Writer w(new MoRef("tarn.ServiceInstance", "ServiceInstance"));
    w.Add("format", Quill::Box(kFormat));
    w.Add("nextId", Quill::Box(long(_nextId)));
    w.Ref_("rootFolder", _root);
    out.push_back(w.Done());
  }
  std::vector<SnapshotState const*> snapshots;
  for (auto const& owned : _all) {
    Entity const* e = owned.get();
    if (e->destroyed) continue;
    Writer w(e->ref.get());
    w.Add("name", Quill::Box(e->name));
    w.Ref_("parent", e->parent);
    if (!e->children.empty()) w.Refs("children", e->children);
    switch (e->kind) {
      case Kind::Folder: {
        auto const* f = static_cast<FolderEntity const*>(e);
        w.Strings("childType", std::vector<std::string>(f->childTypes.begin(), f->childTypes.end()));
        break;
      }
      case Kind::Datacenter: {
        auto const* dc = static_cast<DatacenterEntity const*>(e);
        w.Ref_("vmFolder", dc->vmFolder);
        w.Ref_("hostFolder", dc->hostFolder);
        w.Ref_("datastoreFolder", dc->datastoreFolder);
        w.Ref_("networkFolder", dc->networkFolder);
        w.Refs("datastore", dc->datastores);
        w.Refs("network", dc->networks);
        break;
      }
      case Kind::Cluster:
      case Kind::Standalone: {
        auto const* cl = static_cast<ClusterEntity const*>(e);
        w.Ref_("resourcePool", cl->rootPool);
        w.Refs("host", cl->hosts);
        w.Refs("datastore", cl->datastores);
        w.Refs("network", cl->networks);
        break;
      }
      case Kind::Host: {
        auto const* h = static_cast<HostEntity const*>(e);
        w.Ref_("computeResource", h->cluster);
        w.Add("inMaintenanceMode", Quill::Box(h->inMaintenance));
        w.Add("connected", Quill::Box(h->connected));
        w.Add("bootTime", Quill::Box(h->bootTime));
        w.Add("cpuMhz", Quill::Box(int(h->cpuMhz)));
        w.Add("cpuCores", Quill::Box(int(h->cpuCores)));
        w.Add("memoryMB", Quill::Box(int(h->memoryMB)));
        w.Refs("vm", h->vms);
        break;
      }
      case Kind::ResourcePool: {
        auto const* p = static_cast<PoolEntity const*>(e);
        w.Ref_("owner", p->owner);
        w.Refs("vm", p->vms);
        break;
      }
      case Kind::Datastore: {
        auto const* ds = static_cast<DatastoreEntity const*>(e);
        w.Add("capacity", Quill::Box(long(ds->capacity)));
        w.Add("used", Quill::Box(long(ds->used)));
        w.Refs("host", ds->hosts);
        w.Refs("vm", ds->vms);
        std::vector<std::string> files;
        for (VmFiles const& f : ds->files) {
          files.push_back(Join({f.directory, std::to_string(f.numCPU), std::to_string(f.memoryMB), GuestIds()[f.guest],
                                f.isTemplate ? "template" : "vm", std::to_string(f.diskKB)}));
        }
        if (!files.empty()) w.Strings("files", std::move(files));
        break;
      }
      case Kind::Network: {
        auto const* n = static_cast<NetworkEntity const*>(e);
        w.Refs("host", n->hosts);
        w.Refs("vm", n->vms);
        break;
      }
      case Kind::Vm: {
        auto const* vm = static_cast<VmEntity const*>(e);
        w.Add("powerState", Quill::Box(Quill::TagOf(vm->power)));
        if (vm->power != PowerState::poweredOff) w.Add("bootTime", Quill::Box(vm->bootTime));
        w.Add("numCPU", Quill::Box(int(vm->numCPU)));
        w.Add("memoryMB", Quill::Box(int(vm->memoryMB)));
        w.Add("guestId", Quill::Box(GuestIds()[vm->guest]));
        w.Add("template", Quill::Box(vm->isTemplate));
        w.Add("directory", Quill::Box(vm->directory));
        w.Ref_("host", vm->host);
        w.Ref_("resourcePool", vm->pool);
        w.Ref_("datastore", vm->datastore);
        w.Ref_("network", vm->network);
        std::vector<std::string> devices;
        for (Device const& d : vm->devices) {
          devices.push_back(d.type == Device::Type::Disk
                                ? Join({"disk", std::to_string(d.key), std::to_string(d.capacityKB)})
                                : Join({"nic", std::to_string(d.key)}));
        }
        w.Strings("devices", std::move(devices));
        std::vector<SnapshotState*> roots = vm->rootSnapshots;
        w.Add("rootSnapshot", [&] {
          Ref<Quill::DataArray<MoRef>> list(new Quill::DataArray<MoRef>());
          for (SnapshotState* s : roots) list->Append(s->ref.get());
          return Ref<Quill::Any>(list);
        }());
        if (vm->currentSnapshot) w.Add("currentSnapshot", vm->currentSnapshot->ref);
        // Depth first, parents before children, so that a load meets each parent first.
        std::vector<SnapshotState*> pending(roots.rbegin(), roots.rend());
        while (!pending.empty()) {
          SnapshotState* s = pending.back();
          pending.pop_back();
          snapshots.push_back(s);
          pending.insert(pending.end(), s->children.rbegin(), s->children.rend());
        }
        break;
      }
    }
    out.push_back(w.Done());
  }
  for (SnapshotState const* s : snapshots) {
    Writer w(s->ref.get());
    w.Add("name", Quill::Box(s->name));
    w.Add("description", Quill::Box(s->description));
    w.Add("createTime", Quill::Box(s->createTime));
    w.Ref_("vm", s->vm);
    if (s->parent) w.Add("parent", s->parent->ref);
    Ref<Quill::DataArray<MoRef>> children(new Quill::DataArray<MoRef>());
    for (SnapshotState* c : s->children) children->Append(c->ref.get());
    w.Add("childSnapshot", children);
    w.Add("powerState", Quill::Box(Quill::TagOf(s->power)));
    w.Add("numCPU", Quill::Box(int(s->numCPU)));
    w.Add("memoryMB", Quill::Box(int(s->memoryMB)));
    w.Add("guestId", Quill::Box(GuestIds()[s->guest]));
    out.push_back(w.Done());
  }
  return out;
}

std::string Inventory::SaveState() const {
  Ref<Quill::DataArray<Record>> all(new Quill::DataArray<Record>());
  for (auto const& r : Records()) all->Append(static_cast<Record*>(r.get()));
  std::string out;
  Quill::Wire::EncodeJson(out, all.get(), RecordsType());
  return out;
}

void Inventory::Load(std::string_view savedState) {
  Quill::Wire::DecodeOptions options;
  options.limits.maxBytes = std::size_t(4) << 30;
  options.limits.maxElements = std::size_t(1) << 30;
  Ref<Quill::Any> decoded = Quill::Wire::DecodeJson(savedState, RecordsType(), options);
  auto* records = dynamic_cast<Quill::DataArray<Record>*>(decoded.get());
  if (!records || records->size() == 0) Bad("no records");

  // First every object, so that references may point forwards; then their fields.
  std::map<std::string, SnapshotState*, std::less<>> snapshots;
  std::vector<std::pair<Entity*, Record*>> entities;
  std::vector<std::pair<SnapshotState*, Record*>> snapshotRecords;
  for (std::size_t i = 1; i < records->size(); ++i) {
    Record* r = records->Get(i);
    if (!r->obj) Bad("a record without a reference");
    std::string const& type = r->obj->GetTypeName();
    std::string const& id = r->obj->GetId();
    if (_byId.count(id) || snapshots.count(id)) Bad("id " + id + " is saved twice");
    if (type == "tarn.vm.Snapshot") {
      auto owned = std::make_unique<SnapshotState>();
      owned->ref = new MoRef(*r->obj);
      snapshots[id] = owned.get();
      snapshotRecords.emplace_back(owned.get(), r);
      _snapshots.push_back(std::move(owned));
      continue;
    }
    auto kind = std::find_if(std::begin(kKinds), std::end(kKinds), [&](KindOf const& k) { return type == k.type; });
    if (kind == std::end(kKinds)) Bad("unknown type " + type + " of " + id);
    Ref<MoRef> ref(new MoRef(*r->obj));
    std::unique_ptr<Entity> owned;
    switch (kind->kind) {
      case Kind::Folder:
        owned = std::make_unique<FolderEntity>(kind->kind, ref, "");
        break;
      case Kind::Datacenter:
        owned = std::make_unique<DatacenterEntity>(kind->kind, ref, "");
        break;
      case Kind::Cluster:
      case Kind::Standalone:
        owned = std::make_unique<ClusterEntity>(kind->kind, ref, "");
        break;
      case Kind::Host:
        owned = std::make_unique<HostEntity>(kind->kind, ref, "");
        break;
      case Kind::ResourcePool:
        owned = std::make_unique<PoolEntity>(kind->kind, ref, "");
        break;
      case Kind::Datastore:
        owned = std::make_unique<DatastoreEntity>(kind->kind, ref, "");
        break;
      case Kind::Network:
        owned = std::make_unique<NetworkEntity>(kind->kind, ref, "");
        break;
      case Kind::Vm:
        owned = std::make_unique<VmEntity>(kind->kind, ref, "");
        ++_vmCount;
        break;
    }
    entities.emplace_back(owned.get(), r);
    _byId.emplace(std::string_view(owned->ref->GetId()), owned.get());
    _all.push_back(std::move(owned));
  }

  Resolver entity = [this](MoRef const* ref) -> Entity* { return ref ? Find(ref->GetId()) : nullptr; };
  SnapshotResolver snapshot = [&snapshots](MoRef const* ref) -> SnapshotState* {
    if (!ref || ref->GetTypeName() != "tarn.vm.Snapshot") return nullptr;
    auto it = snapshots.find(ref->GetId());
    return it == snapshots.end() ? nullptr : it->second;
  };

  {
    Reader head(records->Get(0), entity, snapshot);
    if (head.String("format") != kFormat) Bad("not a state this version writes");
    _nextId = std::uint64_t(head.Value<long>("nextId"));
    _root = head.Ref_<FolderEntity>("rootFolder");
    if (!_root) Bad("no root folder");
  }

  for (auto& [e, record] : entities) {
    Reader r(record, entity, snapshot);
    e->name = r.String("name");
    e->parent = r.Ref_<Entity>("parent");
    e->children = r.Refs<Entity>("children");
    switch (e->kind) {
      case Kind::Folder: {
        auto* f = static_cast<FolderEntity*>(e);
        // The names a folder may hold, as the static strings the objects compare with.
        static char const* const kChildTypes[] = {"Folder",          "Datacenter", "VirtualMachine",
                                                  "ComputeResource", "Datastore",  "Network"};
        for (std::string const& t : r.Strings("childType")) {
          auto it = std::find_if(std::begin(kChildTypes), std::end(kChildTypes),
                                 [&](char const* known) { return t == known; });
          if (it == std::end(kChildTypes)) Bad(r.Id() + " may hold '" + t + "', which no folder holds");
          f->childTypes.push_back(*it);
        }
        break;
      }
      case Kind::Datacenter: {
        auto* dc = static_cast<DatacenterEntity*>(e);
        dc->vmFolder = r.Ref_<FolderEntity>("vmFolder");
        dc->hostFolder = r.Ref_<FolderEntity>("hostFolder");
        dc->datastoreFolder = r.Ref_<FolderEntity>("datastoreFolder");
        dc->networkFolder = r.Ref_<FolderEntity>("networkFolder");
        if (!dc->vmFolder || !dc->hostFolder || !dc->datastoreFolder || !dc->networkFolder)
          Bad(r.Id() + " lacks one of its folders");
        dc->datastores = r.Refs<DatastoreEntity>("datastore");
        dc->networks = r.Refs<NetworkEntity>("network");
        break;
      }
      case Kind::Cluster:
      case Kind::Standalone: {
        auto* cl = static_cast<ClusterEntity*>(e);
        cl->rootPool = r.Ref_<PoolEntity>("resourcePool");
        if (!cl->rootPool) Bad(r.Id() + " has no resource pool");
        cl->hosts = r.Refs<HostEntity>("host");
        cl->datastores = r.Refs<DatastoreEntity>("datastore");
        cl->networks = r.Refs<NetworkEntity>("network");
        break;
      }
      case Kind::Host: {
        auto* h = static_cast<HostEntity*>(e);
        h->cluster = r.Ref_<ClusterEntity>("computeResource");
        if (!h->cluster) Bad(r.Id() + " belongs to no compute resource");
        h->inMaintenance = r.Value<bool>("inMaintenanceMode");
        h->connected = r.Value<bool>("connected");
        h->bootTime = r.Value<Basalt::System::DateTime>("bootTime");
        h->cpuMhz = r.Value<int>("cpuMhz");
        h->cpuCores = std::int16_t(r.Value<int>("cpuCores"));
        h->memoryMB = r.Value<int>("memoryMB");
        h->vms = r.Refs<VmEntity>("vm");
        break;
      }
      case Kind::ResourcePool: {
        auto* p = static_cast<PoolEntity*>(e);
        p->owner = r.Ref_<ClusterEntity>("owner");
        if (!p->owner) Bad(r.Id() + " has no owner");
        p->vms = r.Refs<VmEntity>("vm");
        break;
      }
      case Kind::Datastore: {
        auto* ds = static_cast<DatastoreEntity*>(e);
        ds->capacity = r.Value<long>("capacity");
        ds->used = r.Value<long>("used");
        ds->hosts = r.Refs<HostEntity>("host");
        ds->vms = r.Refs<VmEntity>("vm");
        for (std::string const& text : r.Strings("files")) {
          std::vector<std::string> p = Split(text);
          if (p.size() != 6) Bad(r.Id() + ": files '" + text + "'");
          ds->files.push_back({p[0], std::int16_t(Number(p[1])), std::int32_t(Number(p[2])),
                               std::uint8_t(GuestOf(p[3])), p[4] == "template", Number(p[5])});
        }
        break;
      }
      case Kind::Network: {
        auto* n = static_cast<NetworkEntity*>(e);
        n->hosts = r.Refs<HostEntity>("host");
        n->vms = r.Refs<VmEntity>("vm");
        break;
      }
      case Kind::Vm: {
        auto* vm = static_cast<VmEntity*>(e);
        vm->power = PowerOf(r.String("powerState"));
        if (vm->power != PowerState::poweredOff) vm->bootTime = r.Value<Basalt::System::DateTime>("bootTime");
        vm->numCPU = std::int16_t(r.Value<int>("numCPU"));
        vm->memoryMB = r.Value<int>("memoryMB");
        vm->guest = std::uint8_t(GuestOf(r.String("guestId")));
        vm->isTemplate = r.Value<bool>("template");
        vm->directory = r.String("directory");
        vm->host = r.Ref_<HostEntity>("host");
        vm->pool = r.Ref_<PoolEntity>("resourcePool");
        vm->datastore = r.Ref_<DatastoreEntity>("datastore");
        vm->network = r.Ref_<NetworkEntity>("network");
        if (!vm->host || !vm->pool || !vm->datastore) Bad(r.Id() + " lacks its host, pool or datastore");
        for (std::string const& text : r.Strings("devices")) {
          std::vector<std::string> p = Split(text);
          if (p.size() == 3 && p[0] == "disk") {
            vm->devices.push_back({Device::Type::Disk, std::int32_t(Number(p[1])), Number(p[2])});
          } else if (p.size() == 2 && p[0] == "nic") {
            vm->devices.push_back({Device::Type::Nic, std::int32_t(Number(p[1])), 0});
          } else {
            Bad(r.Id() + ": device '" + text + "'");
          }
        }
        vm->rootSnapshots = r.Refs<SnapshotState>("rootSnapshot");
        vm->currentSnapshot = r.Ref_<SnapshotState>("currentSnapshot");
        break;
      }
    }
  }

  for (auto& [s, record] : snapshotRecords) {
    Reader r(record, entity, snapshot);
    s->name = r.String("name");
    s->description = r.String("description");
    s->createTime = r.Value<Basalt::System::DateTime>("createTime");
    s->vm = r.Ref_<VmEntity>("vm");
    if (!s->vm) Bad(r.Id() + " belongs to no machine");
    s->parent = r.Ref_<SnapshotState>("parent");
    s->children = r.Refs<SnapshotState>("childSnapshot");
    s->power = PowerOf(r.String("powerState"));
    s->numCPU = std::int16_t(r.Value<int>("numCPU"));
    s->memoryMB = r.Value<int>("memoryMB");
    s->guest = std::uint8_t(GuestOf(r.String("guestId")));
  }
}

}  // namespace Tarn::Sim
