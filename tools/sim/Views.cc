#include "Views.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "quill/Faults.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "tarn/view/ContainerViewSkeleton.h"
#include "tarn/view/ViewManagerSkeleton.h"

namespace Tarn::Sim {

using Basalt::Ref;
using Quill::MoRef;

namespace {

[[noreturn]] void ThrowInvalidArgument(char const* property) {
  Ref<Quill::Fault::InvalidArgument> fault(new Quill::Fault::InvalidArgument());
  fault->invalidProperty = Quill::PropertyPath(property);
  fault->Throw();
  __builtin_unreachable();
}

// A managed type by its sedge name, with or without "tarn.", or its WSDL name.
Quill::ManagedObjectType* FindManagedType(std::string const& name) {
  Quill::Type* t = Quill::FindType(name);
  if (!t) t = Quill::FindType("tarn." + name);
  if (!t) t = Quill::FindTypeByWsdlName(name);
  return t && t->GetKind() == Quill::KIND_MANAGED ? static_cast<Quill::ManagedObjectType*>(t) : nullptr;
}

// The paths whose change may move entities in or out of a container.
bool ChangesShape(std::vector<std::string> const& paths) {
  if (paths.empty()) return true;  // made or gone
  for (std::string const& p : paths) {
    if (p == "childEntity" || p == "vm" || p == "resourcePool" || p == "host" || p == "parent") return true;
  }
  return false;
}

bool IsEntityType(std::string const& type) {
  return type != "tarn.Task" && !type.starts_with("tarn.view.") && !type.starts_with("tarn.event.") &&
         !type.starts_with("sedge.");
}

}  // namespace

class ContainerViewImpl;

struct Views::Impl : std::enable_shared_from_this<Views::Impl> {
  Quill::LocalAdapter* adapter;
  Inventory* inventory;
  Ref<MoRef> managerRef{new MoRef("tarn.view.ViewManager", "ViewManager")};
  std::mutex mutex;
  std::vector<Ref<ContainerViewImpl>> views;
  std::atomic<bool> scheduled{false};

  Impl(Quill::LocalAdapter* a, Inventory* i) : adapter(a), inventory(i) {}

  void Schedule() {
    if (scheduled.exchange(true)) return;
    try {
      adapter->Post([self = shared_from_this()](bool canceled) {
        self->scheduled = false;
        if (!canceled) self->Refresh();
      });
    } catch (...) {  // shut down
      scheduled = false;
    }
  }
  void Refresh();
  void Drop(ContainerViewImpl* view);
};

class ContainerViewImpl final : public Tarn::View::ContainerViewSkeleton {
 public:
  ContainerViewImpl(MoRef* ref, std::shared_ptr<Views::Impl> views, Entity* container,
                    std::vector<Quill::ManagedObjectType*> types, Ref<Quill::Array<Quill::TypeName>> typeNames,
                    bool recursive)
      : ContainerViewSkeleton(ref),
        _views(views),
        _inventory(views->inventory),
        _container(container),
        _types(std::move(types)),
        _typeNames(std::move(typeNames)),
        _recursive(recursive) {
    _members = Members();
  }

  void GetView(Ref<Quill::DataArray<MoRef>>& result) override {
    result = new Quill::DataArray<MoRef>();
    for (auto const& ref : Members()) result->Append(ref.get());
  }
  void GetContainer(Ref<MoRef>& result) override { result = _container->ref; }
  void GetType(Ref<Quill::Array<Quill::TypeName>>& result) override {
    if (_typeNames) result = Quill::Clone(_typeNames.get());
  }
  bool IsRecursive() override { return _recursive; }
  void Destroy() override {
    if (auto views = _views.lock()) views->Drop(this);
  }

  // Works the members out again; true when they changed since the last time.
  bool Refresh() {
    auto now = Members();
    std::lock_guard<std::mutex> lock(_mutex);
    bool same =
        now.size() == _members.size() && std::equal(now.begin(), now.end(), _members.begin(),
                                                    [](Ref<MoRef> const& a, Ref<MoRef> const& b) { return *a == *b; });
    if (!same) _members = std::move(now);
    return !same;
  }

 private:
  // The entities inside the container, depth first in the order each level
  // lists them, each once.
  std::vector<Ref<MoRef>> Members() {
    std::vector<Ref<MoRef>> out;
    std::lock_guard<std::mutex> lock(_inventory->Mutex());
    if (_container->destroyed) return out;
    std::unordered_set<Entity const*> seen;
    std::vector<Entity*> pending;
    auto contents = [&pending](Entity* e) {
      std::vector<Entity*> in(e->children.begin(), e->children.end());
      if (e->kind == Kind::Datacenter) {
        auto* dc = static_cast<DatacenterEntity*>(e);
        for (Entity* f : {static_cast<Entity*>(dc->vmFolder), static_cast<Entity*>(dc->hostFolder),
                          static_cast<Entity*>(dc->datastoreFolder), static_cast<Entity*>(dc->networkFolder)}) {
          if (f) in.push_back(f);
        }
      } else if (e->kind == Kind::ResourcePool) {
        auto* pool = static_cast<PoolEntity*>(e);
        in.insert(in.end(), pool->vms.begin(), pool->vms.end());
      }
      pending.insert(pending.end(), in.rbegin(), in.rend());
    };
    contents(_container);
    while (!pending.empty()) {
      Entity* e = pending.back();
      pending.pop_back();
      if (e->destroyed || !seen.insert(e).second) continue;
      if (Matches(e)) out.push_back(e->ref);
      if (_recursive) contents(e);
    }
    return out;
  }

  bool Matches(Entity const* e) const {
    if (_types.empty()) return true;
    auto* type = static_cast<Quill::ManagedObjectType*>(Quill::FindType(e->ref->GetTypeName()));
    if (!type) return false;
    return std::any_of(_types.begin(), _types.end(),
                       [type](Quill::ManagedObjectType* t) { return type->IsSubtypeOf(t); });
  }

  std::weak_ptr<Views::Impl> _views;  // which holds the view
  Inventory* _inventory;
  Entity* _container;
  std::vector<Quill::ManagedObjectType*> _types;
  Ref<Quill::Array<Quill::TypeName>> _typeNames;
  bool _recursive;
  std::mutex _mutex;
  std::vector<Ref<MoRef>> _members;  // as last reported
};

void Views::Impl::Refresh() {
  std::vector<Ref<ContainerViewImpl>> all;
  {
    std::lock_guard<std::mutex> lock(mutex);
    all = views;
  }
  for (auto const& view : all) {
    if (view->Refresh()) adapter->NotifyChanged(view->_GetRef(), {"view"});
  }
}

void Views::Impl::Drop(ContainerViewImpl* view) {
  Ref<ContainerViewImpl> keep(view);
  {
    std::lock_guard<std::mutex> lock(mutex);
    views.erase(std::remove_if(views.begin(), views.end(), [view](auto const& v) { return v.get() == view; }),
                views.end());
  }
  adapter->Unregister(view->_GetRef());
  adapter->NotifyChanged(managerRef.get(), {"viewList"});
}

namespace {

class ViewManagerImpl final : public Tarn::View::ViewManagerSkeleton {
 public:
  explicit ViewManagerImpl(std::shared_ptr<Views::Impl> views)
      : ViewManagerSkeleton(views->managerRef.get()), _views(std::move(views)) {}

  void GetViewList(Ref<Quill::DataArray<MoRef>>& result) override {
    result = new Quill::DataArray<MoRef>();
    std::lock_guard<std::mutex> lock(_views->mutex);
    for (auto const& v : _views->views) result->Append(v->_GetRef());
  }

  void CreateContainerView(MoRef* container, Quill::Array<Quill::TypeName>* type, bool recursive,
                           Ref<MoRef>& result) override {
    if (!container) ThrowInvalidArgument("container");
    std::vector<Quill::ManagedObjectType*> types;
    if (type) {
      for (auto const& name : type->GetValues()) {
        Quill::ManagedObjectType* t = FindManagedType(std::string(name.GetString()));
        if (!t) ThrowInvalidArgument("type");
        types.push_back(t);
      }
    }
    Entity* entity;
    {
      std::lock_guard<std::mutex> lock(_views->inventory->Mutex());
      entity = _views->inventory->Find(container->GetId());
      if (!entity || entity->ref->GetTypeName() != container->GetTypeName()) {
        Ref<Quill::Fault::ManagedObjectNotFound> fault(new Quill::Fault::ManagedObjectNotFound());
        fault->obj = container;
        fault->Throw();
      }
    }
    Ref<MoRef> ref = _views->adapter->MakeRef("tarn.view.ContainerView");
    Ref<Quill::Array<Quill::TypeName>> names;
    if (type) names = Quill::Clone(type);
    Ref<ContainerViewImpl> view(new ContainerViewImpl(ref.get(), _views, entity, std::move(types), names, recursive));
    _views->adapter->Register(nullptr, view.get());
    {
      std::lock_guard<std::mutex> lock(_views->mutex);
      _views->views.push_back(view);
    }
    _views->adapter->NotifyChanged(_views->managerRef.get(), {"viewList"});
    result = ref;
  }

 private:
  std::shared_ptr<Views::Impl> _views;
};

class ShapeWatcher final : public Quill::AdapterObserver {
 public:
  explicit ShapeWatcher(std::weak_ptr<Views::Impl> views) : _views(std::move(views)) {}
  void OnRegistered(MoRef const& ref) override { Note(ref, {}); }
  void OnUnregistered(MoRef const& ref) override { Note(ref, {}); }
  void OnChanged(MoRef const& ref, std::vector<std::string> const& paths) override { Note(ref, paths); }
  void OnShutdown() override {}

 private:
  void Note(MoRef const& ref, std::vector<std::string> const& paths) {
    if (!IsEntityType(ref.GetTypeName()) || !ChangesShape(paths)) return;
    auto views = _views.lock();
    if (!views) return;
    {
      std::lock_guard<std::mutex> lock(views->mutex);
      if (views->views.empty()) return;
    }
    views->Schedule();
  }
  std::weak_ptr<Views::Impl> _views;
};

}  // namespace

Views::Views(Quill::LocalAdapter* adapter, Inventory* inventory) : _impl(std::make_shared<Impl>(adapter, inventory)) {}

Views::~Views() {
  std::lock_guard<std::mutex> lock(_impl->mutex);
  _impl->views.clear();
}

void Views::Start() {
  _impl->adapter->AddObserver(std::make_shared<ShapeWatcher>(_impl));
  _impl->adapter->Register(nullptr, new ViewManagerImpl(_impl));
}

Ref<MoRef> Views::GetManagerRef() const { return _impl->managerRef; }

}  // namespace Tarn::Sim
