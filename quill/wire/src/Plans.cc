// The per-type plans the readers and writers walk, and which version a
// message speaks.
#include <cstring>
#include <memory>
#include <mutex>

#include "Common.h"
#include "quill/DataTypes.h"
#include "quill/Identity.h"
#include "quill/ManagedObject.h"

namespace Quill::Wire {

Version const* DefaultVersion() { return GetDefaultVersion(); }

namespace Detail {

Slot MakeSlot(PropertyInfo const* info, char const* name) {
  Slot s;
  s.info = info;
  s.name = name;
  s.array = info->flags & F_ARRAY;
  s.optional = info->flags & F_OPTIONAL;
  if (info->flags & F_LINK) {
    s.vk = VK::String;  // a link holds the key of the object it names
  } else {
    s.vk = KindOf(info->type);
  }
  if (IsScalar(s.vk) || s.vk == VK::Any) {
    s.type = ScalarType(s.vk);
  } else {
    s.type = FindTypeByInfo(info->type);
    if (!s.type) {
      ThrowEncode(std::string("type ") + (info->type->name ? info->type->name : "?") + " of '" + name +
                  "' is not bound");
    }
  }
  s.typed = s.vk == VK::Data || s.vk == VK::Enum || s.vk == VK::Ref;
  s.version = info->version ? FindVersion(info->version) : nullptr;
  // Appended piecewise: GCC 12 warns (-Wrestrict) on "<" + std::string(...).
  s.open.append("<").append(name).append(">");
  s.close.append("</").append(name).append(">");
  s.jsonKey.append("\"").append(name).append("\":");
  return s;
}

namespace {

struct PlanCache {
  std::mutex mutex;
  std::unordered_map<void const*, std::unique_ptr<Plan>> plans;
};
PlanCache& Cache() {
  static PlanCache* c = new PlanCache();  // lives as long as the type objects
  return *c;
}

void Index(Plan& p) {
  p.byName.reserve(p.slots.size());
  for (std::uint32_t i = 0; i < p.slots.size(); ++i) {
    p.slots[i].index = i;
    p.byName.emplace(p.slots[i].name, i);
  }
}

template <class Make>
Plan const& Cached(void const* key, std::uint32_t kind, Make make) {
  // Each thread keeps its own index of the shared plans: no lock on the
  // path every object of every message takes. In front of it, the plans
  // found last by their key's address: a message's objects are of a few
  // types, many times over.
  struct Recent {
    void const* key;
    Plan const* plan;
  };
  thread_local Recent recent[3][64] = {};
  Recent& r = recent[kind][(reinterpret_cast<std::uintptr_t>(key) >> 4) % 64];
  if (r.key == key) return *r.plan;
  thread_local std::unordered_map<void const*, Plan const*> local[3];
  auto it = local[kind].find(key);
  if (it != local[kind].end()) {
    r = {key, it->second};
    return *it->second;
  }
  PlanCache& c = Cache();
  Plan const* plan;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    void const* shared = static_cast<char const*>(key) + kind;  // one map for the three kinds
    auto& slot = c.plans[shared];
    if (!slot) slot = make();
    plan = slot.get();
  }
  local[kind].emplace(key, plan);
  r = {key, plan};
  return *plan;
}

}  // namespace

Plan const& PlanOf(DataObjectType const* type) {
  return Cached(type, 0, [type] {
    auto p = std::make_unique<Plan>();
    p->type = type;
    std::uint32_t n = type->GetPropertyCount();
    p->slots.reserve(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      DataProperty const& dp = type->GetProperty(i);
      Slot s = MakeSlot(dp.info, dp.info->name);
      s.owner = dp.owner;
      s.ownIndex = dp.ownIndex;
      p->slots.push_back(std::move(s));
    }
    Index(*p);
    return p;
  });
}

Plan const& ParamPlanOf(ManagedMethod const* method) {
  return Cached(method, 1, [method] {
    auto p = std::make_unique<Plan>();
    for (std::uint32_t i = 0; i < method->GetParameterCount(); ++i) {
      PropertyInfo const& info = method->GetParameter(i);
      p->slots.push_back(MakeSlot(&info, info.name));
    }
    Index(*p);
    return p;
  });
}

namespace {
// A task's result on the wire is the reference to the task.
PropertyInfo const* TaskResultInfo(ManagedMethod const* method) {
  static std::mutex m;
  static std::unordered_map<ManagedMethod const*, std::unique_ptr<PropertyInfo>> infos;
  std::lock_guard<std::mutex> lock(m);
  auto& slot = infos[method];
  if (!slot) {
    TypeInfo const* task = &gSedgeManagedObjectTypeInfo;
    char const* version = method->GetVersionName();
    if (Version const* v = version ? FindVersion(version) : nullptr) {
      if (v->GetInfo()->taskType) {
        if (Type* t = FindType(v->GetInfo()->taskType)) task = t->GetTypeInfo();
      }
    }
    slot = std::make_unique<PropertyInfo>(PropertyInfo{task, 0, "result", nullptr, nullptr});
  }
  return slot.get();
}
}  // namespace

Plan const& ResultPlanOf(ManagedMethod const* method) {
  return Cached(method, 2, [method] {
    auto p = std::make_unique<Plan>();
    PropertyInfo const* info = nullptr;
    if (method->IsProperty()) {
      info = method->GetPropertyInfo();
    } else if (method->IsTask()) {
      info = TaskResultInfo(method);
    } else if (method->GetMethodInfo()->result.type) {
      info = &method->GetMethodInfo()->result;
    }
    if (info) p->slots.push_back(MakeSlot(info, "result"));
    Index(*p);
    return p;
  });
}

VersionFilter::VersionFilter(Version const* v) : _v(v) {
  // A handful of versions per thread at most; freed when the thread ends.
  thread_local std::vector<std::pair<Version const*, std::unique_ptr<Cache>>> caches;
  for (auto const& c : caches) {
    if (c.first == v) {
      _c = c.second.get();
      return;
    }
  }
  auto fresh = std::make_unique<Cache>();
  std::memset(fresh->known, -1, sizeof fresh->known);
  std::memset(fresh->types, 0, sizeof fresh->types);
  std::memset(fresh->typeHas, 0, sizeof fresh->typeHas);
  _c = fresh.get();
  caches.emplace_back(v, std::move(fresh));
}

DataObjectType const* TypeForVersion(DataObjectType const* actual, VersionFilter& vf) {
  DataObjectType const* t = actual;
  while (t && !vf.Has(t)) t = t->GetBaseType();
  return t;
}

DataObjectType const* WritableType(DataObjectType const* actual, DataObjectType const* declared, VersionFilter& vf,
                                   WritePath const& path) {
  DataObjectType const* t = TypeForVersion(actual, vf);
  if (t && (!declared || t->IsSubtypeOf(declared)) && t->GetDescriptor()->create) return t;
  std::string text = PathText(path, {});
  std::string where;
  if (!text.empty()) where.append(" at '").append(text).append("'");  // piecewise: GCC 12 warns (-Wrestrict) on + here
  if (t && (!declared || t->IsSubtypeOf(declared))) {
    // Only the abstract root is left: the reader could make nothing of it.
    ThrowNotSupported(std::string("class ") + actual->GetName() + where + " does not exist in version " +
                      vf.version()->GetName() + ", nor does any of its base classes but the abstract root");
  }
  ThrowNotSupported(std::string("class ") + (declared ? declared->GetName() : actual->GetName()) + where +
                    " does not exist in version " + vf.version()->GetName());
}

Version const* VersionOrDefault(Version const* v) { return v ? v : DefaultVersion(); }

}  // namespace Detail
}  // namespace Quill::Wire
