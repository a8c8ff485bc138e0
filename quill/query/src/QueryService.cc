#include "quill/query/QueryService.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/FaultMessage.h"
#include "quill/Faults.h"
#include "quill/Primitive.h"
#include "quill/Reflection.h"
#include "quill/Registry.h"
#include "quill/Type.h"

namespace Quill::Query {

namespace {

constexpr char kRootId[] = "propertyCollector";
constexpr char kCollectorType[] = "sedge.query.PropertyCollector";
constexpr char kWatchType[] = "sedge.query.Watch";
constexpr char kSessionKey[] = "quill.query.session";

// --- faults ------------------------------------------------------------------------------

[[noreturn]] void Invalid(std::string const& where, std::string const& text) {
  auto fault = MakeFault<Fault::InvalidArgument>("quill.query.invalid", where + ": " + text);
  fault->invalidProperty = PropertyPath(where);
  fault->Throw();
  __builtin_unreachable();
}

[[noreturn]] void Canceled(std::string const& text) {
  MakeFault<Fault::RequestCanceled>("quill.query.canceled", text)->Throw();
  __builtin_unreachable();
}

[[noreturn]] void BadToken(std::string const& token, std::string const& text) {
  auto fault = MakeFault<InvalidToken>("quill.query.token", text);
  fault->token = token;
  fault->invalidProperty = PropertyPath("token");
  fault->Throw();
  __builtin_unreachable();
}

[[noreturn]] void Refused(std::string const& text) {
  MakeFault<Fault::SecurityError>("quill.query.foreignCollector", text)->Throw();
  __builtin_unreachable();
}

// The fault a failed read reports for its path.
Basalt::Ref<MethodFault> FaultOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (MethodFault::Exception const& e) {
    return Basalt::Ref<MethodFault>(e.GetFault());
  } catch (std::exception const& e) {
    auto fault = MakeFault<Fault::SystemError>("quill.query.readFailed", e.what());
    fault->reason = e.what();
    return fault;
  } catch (...) {
    auto fault = MakeFault<Fault::SystemError>("quill.query.readFailed", "an exception of unknown type");
    fault->reason = "an exception of unknown type";
    return fault;
  }
}

std::string KeyOf(MoRef const& ref) {
  std::string key = ref.GetTypeName();
  key += '\x1f';
  key += ref.GetId();
  return key;
}

std::vector<std::string> Split(std::string const& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t dot = path.find('.', start);
    parts.push_back(path.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) return parts;
    start = dot + 1;
  }
}

bool Related(std::string_view watched, std::string_view changed) {
  auto under = [](std::string_view a, std::string_view b) {  // a lies inside b
    return a.size() > b.size() && a.substr(0, b.size()) == b && a[b.size()] == '.';
  };
  return watched == changed || under(watched, changed) || under(changed, watched);
}

// A change that names no path ("" among the paths) may have changed anything.
bool AllChanged(std::vector<std::string> const& changed) {
  return changed.empty() || std::find(changed.begin(), changed.end(), std::string()) != changed.end();
}

bool Related(std::string_view watched, std::vector<std::string> const& changed) {
  if (AllChanged(changed)) return true;
  for (auto const& c : changed) {
    if (Related(watched, c)) return true;
  }
  return false;
}

std::string Join(std::vector<std::string> const& parts) {
  std::string out;
  for (auto const& p : parts) {
    if (!out.empty()) out += '.';
    out += p;
  }
  return out;
}

void Merge(std::vector<std::string>& into, std::vector<std::string> const& paths) {
  if (AllChanged(into)) return;
  if (AllChanged(paths)) {
    into.assign(1, std::string());
    return;
  }
  for (auto const& p : paths) {
    if (std::find(into.begin(), into.end(), p) == into.end()) into.push_back(p);
  }
}

bool SameValue(Any const* a, Any const* b) {
  if (!a || !b) return a == b;
  return a->_IsEqual(b, false);
}

bool SameFault(MethodFault const* a, MethodFault const* b) {
  if (!a || !b) return a == b;
  return a->_GetType() == b->_GetType();
}

// --- compiled specs ------------------------------------------------------------------------

struct Start {
  Basalt::Ref<MoRef> ref;
  bool skip = false;
  std::vector<std::size_t> follow;
};

struct Hop {
  std::string name;
  ManagedObjectType* type = nullptr;
  std::vector<std::string> path;
  bool skip = false;
  std::vector<std::size_t> follow;
};

struct Selection {
  ManagedObjectType* type = nullptr;
  bool all = false;
  std::vector<std::string> paths;
};

// A property read once per object, and the paths that go on into its value: one read of
// `runtime` serves both `runtime.maxMemoryUsage` and `runtime.maxCpuUsage`.
struct Read {
  ManagedProperty const* property = nullptr;
  struct Into {
    std::string path;               // as reported
    std::vector<std::string> rest;  // the components after the property's own name
    std::size_t slot = 0;           // the path's place in TypePlan::paths
  };
  std::vector<Into> into;
};

// What a spec does with objects of one type, worked out the first time an object of the type
// is met rather than for every object: whether they are reported, the paths read of them
// (each once) grouped by the property they start with, and the property each hop reads.
struct TypePlan {
  bool selected = false;
  std::vector<std::string> paths;
  std::vector<Read> reads;
  std::vector<ManagedProperty const*> hopReads;  // per hop; null where the hop does not apply
};

struct Compiled {
  std::vector<Start> starts;
  std::vector<Hop> hops;
  std::vector<Selection> selections;
  // Used by one thread at a time: the retrieve that made it, or a watch's processing under
  // its collector's process lock.
  std::unordered_map<ManagedObjectType const*, std::unique_ptr<TypePlan>> plans;
  TypePlan const& PlanFor(ManagedObjectType* type);
};

// An object of a result and what is read of it; `more` when several specs reach it.
struct Target {
  Basalt::Ref<MoRef> ref;
  Basalt::Ref<ManagedObject> object;
  TypePlan const* plan = nullptr;
  std::vector<TypePlan const*> more;
};

// Data types derived from `base` (itself included) that have a property `name`.
bool SomeSubtypeHas(DataObjectType* base, std::string const& name) {
  if (base->FindProperty(name)) return true;
  for (Type* t : GetTypesOfKind(KIND_DATA)) {
    auto* d = static_cast<DataObjectType*>(t);
    if (d->IsSubtypeOf(base) && d->FindProperty(name)) return true;
  }
  return false;
}

// Checks a path against the declared types as far as they are known (through `any` values
// the class is known only when read) and answers the declared record of its last step, or
// null when that is not known.
TypeInfo const* CheckPath(ServiceOptions const& o, ManagedObjectType* type, std::string const& path,
                          std::string const& where) {
  std::vector<std::string> parts = Split(path);
  if (parts.size() > o.maxPathComponents) {
    Invalid(where,
            "'" + path.substr(0, 200) + "' has more than " + std::to_string(o.maxPathComponents) + " components");
  }
  for (auto const& p : parts) {
    if (p.empty()) Invalid(where, "'" + path + "' is not a property path");
  }
  ManagedProperty const* mp = type->FindProperty(parts[0]);
  if (!mp) Invalid(where, std::string(type->GetName()) + " has no property '" + parts[0] + "'");
  PropertyInfo const* info = mp->info;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    if (info->flags & F_ARRAY) Invalid(where, "'" + path + "' continues through an array at '" + parts[i - 1] + "'");
    if (!info->type || info->type->kind == KIND_ANY) return nullptr;
    Type* t = FindTypeByInfo(info->type);
    if (!t || (t->GetKind() != KIND_DATA && t->GetKind() != KIND_FAULT)) {
      Invalid(where, "'" + path + "': '" + parts[i - 1] + "' holds no data object");
    }
    auto* dt = static_cast<DataObjectType*>(t);
    DataProperty const* dp = dt->FindProperty(parts[i]);
    if (!dp) {
      if (!SomeSubtypeHas(dt, parts[i])) {
        Invalid(where, std::string(dt->GetName()) + " and its subtypes have no property '" + parts[i] + "'");
      }
      return nullptr;  // a subtype's property: known when read
    }
    info = dp->info;
  }
  return info->type;
}

// Managed types by their name on the wire, for clients that only ever see references typed
// that way. Wire names are unique per wire namespace only, so one name may answer to several
// types; rebuilt when modules bring more types.
std::vector<ManagedObjectType*> ManagedTypesWired(std::string const& wireName) {
  static std::mutex mu;
  static std::size_t builtFor = 0;
  static std::unordered_map<std::string, std::vector<ManagedObjectType*>> byWire;
  std::lock_guard lock(mu);
  std::size_t count = GetTypeCount();
  if (count != builtFor) {
    byWire.clear();
    for (Type* t : GetTypesOfKind(KIND_MANAGED)) {
      if (char const* wire = t->GetWsdlName()) byWire[wire].push_back(static_cast<ManagedObjectType*>(t));
    }
    builtFor = count;
  }
  auto it = byWire.find(wireName);
  return it == byWire.end() ? std::vector<ManagedObjectType*>{} : it->second;
}

ManagedObjectType* ManagedTypeNamed(std::string const& name, std::string const& where) {
  Type* t = FindType(name);
  if (t && t->GetKind() == KIND_MANAGED) return static_cast<ManagedObjectType*>(t);
  std::vector<ManagedObjectType*> wired = ManagedTypesWired(name);
  if (wired.size() == 1) return wired[0];
  if (wired.size() > 1) {
    std::string names;
    for (auto* w : wired) names += std::string(names.empty() ? "" : ", ") + w->GetName();
    Invalid(where, "'" + name + "' is the wire name of several managed types (" + names + "): name one of them");
  }
  Invalid(where, "'" + name + "' is not a managed type");
}

Compiled Compile(ServiceOptions const& o, QuerySpec* spec, std::string const& at) {
  if (!spec) Invalid(at, "no query spec");
  Compiled c;
  std::unordered_map<std::string, std::size_t> hopIndex;
  auto* hops = spec->hops.get();
  std::size_t nh = hops ? hops->size() : 0;
  if (nh > o.maxHops) Invalid(at + ".hops", std::to_string(nh) + " hops, more than " + std::to_string(o.maxHops));
  for (std::size_t i = 0; i < nh; ++i) {
    auto* h = (*hops)[i];
    std::string where = at + ".hops[" + std::to_string(i) + "]";
    if (!h) Invalid(where, "no hop");
    if (h->name.empty()) Invalid(where + ".name", "a hop needs a name");
    if (!hopIndex.emplace(h->name, i).second) Invalid(where + ".name", "hop '" + h->name + "' is named twice");
  }
  auto names = [&](Array<std::string>* list, std::string const& where) {
    std::vector<std::size_t> out;
    if (!list) return out;
    for (std::size_t k = 0; k < list->size(); ++k) {
      std::string const& n = (*list)[k];
      auto it = hopIndex.find(n);
      if (it == hopIndex.end()) Invalid(where + "[" + std::to_string(k) + "]", "no hop is named '" + n + "'");
      if (std::find(out.begin(), out.end(), it->second) == out.end()) out.push_back(it->second);
    }
    return out;
  };
  for (std::size_t i = 0; i < nh; ++i) {
    auto* h = (*hops)[i];
    std::string where = at + ".hops[" + std::to_string(i) + "]";
    Hop hop;
    hop.name = h->name;
    hop.type = ManagedTypeNamed(h->type.GetString(), where + ".type");
    std::string path = h->path.GetString();
    TypeInfo const* target = CheckPath(o, hop.type, path, where + ".path");
    if (target && target->kind != KIND_MANAGED && target->kind != KIND_ANY) {
      Invalid(where + ".path", "'" + path + "' of " + hop.type->GetName() + " holds no managed object reference");
    }
    hop.path = Split(path);
    hop.skip = h->skip.IsSet() && *h->skip;
    hop.follow = names(h->follow.get(), where + ".follow");
    c.hops.push_back(std::move(hop));
  }
  auto* objects = spec->objects.get();
  std::size_t ns = objects ? objects->size() : 0;
  if (!ns) Invalid(at + ".objects", "no starting object");
  if (ns > o.maxStarts)
    Invalid(at + ".objects", std::to_string(ns) + " starting objects, more than " + std::to_string(o.maxStarts));
  for (std::size_t i = 0; i < ns; ++i) {
    auto* s = (*objects)[i];
    std::string where = at + ".objects[" + std::to_string(i) + "]";
    if (!s || !s->obj) Invalid(where + ".obj", "no object");
    Start start;
    start.ref = Basalt::Ref<MoRef>(s->obj->_Clone());
    start.skip = s->skip.IsSet() && *s->skip;
    start.follow = names(s->follow.get(), where + ".follow");
    c.starts.push_back(std::move(start));
  }
  auto* props = spec->properties.get();
  std::size_t np = props ? props->size() : 0;
  std::size_t paths = 0;
  for (std::size_t i = 0; i < np; ++i) {
    auto* p = (*props)[i];
    std::string where = at + ".properties[" + std::to_string(i) + "]";
    if (!p) Invalid(where, "no property selection");
    Selection sel;
    sel.type = ManagedTypeNamed(p->type.GetString(), where + ".type");
    sel.all = p->all.IsSet() && *p->all;
    auto* list = p->paths.get();
    std::size_t n = list ? list->size() : 0;
    paths += sel.all ? sel.type->GetPropertyCount() : n;
    if (paths > o.maxPaths) Invalid(where + ".paths", "more than " + std::to_string(o.maxPaths) + " property paths");
    for (std::size_t k = 0; k < n; ++k) {
      std::string path = (*list)[k].GetString();
      CheckPath(o, sel.type, path, where + ".paths[" + std::to_string(k) + "]");
      if (std::find(sel.paths.begin(), sel.paths.end(), path) == sel.paths.end()) sel.paths.push_back(path);
    }
    c.selections.push_back(std::move(sel));
  }
  return c;
}

// Whether some selection names the object's type (or a base): only such objects are reported.
bool Selected(std::vector<Selection> const& selections, ManagedObjectType* type) {
  for (auto const& s : selections) {
    if (type->IsSubtypeOf(s.type)) return true;
  }
  return false;
}

// The paths of `selections` that apply to an object of `type`, each once, in order.
std::vector<std::string> PathsFor(std::vector<Selection> const& selections, ManagedObjectType* type) {
  std::vector<std::string> out;
  auto add = [&](std::string const& p) {
    if (std::find(out.begin(), out.end(), p) == out.end()) out.push_back(p);
  };
  for (auto const& s : selections) {
    if (!type->IsSubtypeOf(s.type)) continue;
    if (s.all) {
      for (std::uint32_t i = 0, n = type->GetPropertyCount(); i < n; ++i) add(type->GetProperty(i).info->name);
    } else {
      for (auto const& p : s.paths) add(p);
    }
  }
  return out;
}

TypePlan const& Compiled::PlanFor(ManagedObjectType* type) {
  std::unique_ptr<TypePlan>& slot = plans[type];
  if (slot) return *slot;
  auto plan = std::make_unique<TypePlan>();
  plan->selected = Selected(selections, type);
  if (plan->selected) plan->paths = PathsFor(selections, type);
  for (std::size_t slotIndex = 0; slotIndex < plan->paths.size(); ++slotIndex) {
    std::vector<std::string> parts = Split(plan->paths[slotIndex]);
    ManagedProperty const* mp = type->FindProperty(parts[0]);
    if (!mp) continue;  // checked against the selection's type, which this one derives from
    auto read = std::find_if(plan->reads.begin(), plan->reads.end(), [&](Read const& r) { return r.property == mp; });
    if (read == plan->reads.end()) read = plan->reads.insert(plan->reads.end(), Read{mp, {}});
    parts.erase(parts.begin());
    read->into.push_back({plan->paths[slotIndex], std::move(parts), slotIndex});
  }
  plan->hopReads.resize(hops.size());
  for (std::size_t h = 0; h < hops.size(); ++h) {
    if (type->IsSubtypeOf(hops[h].type)) plan->hopReads[h] = type->FindProperty(hops[h].path[0]);
  }
  slot = std::move(plan);
  return *slot;
}

// --- reading ---------------------------------------------------------------------------------

// Reads one property of a registered object as a direct read would (its reader, the caller's
// context, the privilege checker). `found`: the object, when this request has just looked it
// up (the read spares a second lookup); null: looked up now. Null: unset. Throws what the read
// throws.
Basalt::Ref<Any> ReadProperty(LocalAdapter* adapter, MoRef* ref, ManagedObject* found, ManagedProperty const& property,
                              RequestContext* context) {
  ArgVector args;
  Basalt::Ref<Any> value;
  if (found)
    adapter->InvokeFound(found, ref, property.reader, args, value, context);
  else
    adapter->Invoke(ref, property.reader, args, value, context);
  return value;
}

// Follows `rest` into a property's value. Null: unset on the way.
Basalt::Ref<Any> Into(Basalt::Ref<Any> value, char const* property, std::vector<std::string> const& rest) {
  for (std::size_t i = 0; i < rest.size() && value; ++i) {
    auto* data = dynamic_cast<DynamicData*>(value.get());
    if (!data) Invalid("path", "'" + (i ? rest[i - 1] : std::string(property)) + "' holds no data object");
    value = Reflection::Get(data, rest[i]);
  }
  return value;
}

// Reads `read` of an object once and hands each path that goes into it to
// `each(into, value, fault)`: the value (null: unset) or why it could not be read.
template <class Each>
void ReadEach(LocalAdapter* adapter, MoRef* ref, ManagedObject* found, Read const& read, RequestContext* context,
              Each&& each) {
  Basalt::Ref<Any> value;
  Basalt::Ref<MethodFault> fault;
  try {
    value = ReadProperty(adapter, ref, found, *read.property, context);
  } catch (...) {
    fault = FaultOf(std::current_exception());
  }
  for (Read::Into const& into : read.into) {
    if (fault || into.rest.empty()) {
      each(into, value.get(), fault.get());
      continue;
    }
    Basalt::Ref<Any> inner;
    Basalt::Ref<MethodFault> innerFault;
    try {
      inner = Into(value, read.property->info->name, into.rest);
    } catch (...) {
      innerFault = FaultOf(std::current_exception());
    }
    each(into, inner.get(), innerFault.get());
  }
}

// The objects a compiled spec reaches, in the order it reaches them. Objects that are not
// registered are left out and not followed; an object is known by its registration, so
// reaching it again (a host's VM that its folder held too) costs one lookup.
std::vector<Target> Traverse(ServiceOptions const& o, LocalAdapter* adapter, Compiled& c, RequestContext* context) {
  struct Item {
    Basalt::Ref<MoRef> ref;
    bool skip;
    std::vector<std::size_t> const* follow;
    std::size_t depth;
  };
  struct PairHash {
    std::size_t operator()(std::pair<ManagedObject const*, std::size_t> const& p) const noexcept {
      return std::hash<ManagedObject const*>{}(p.first) ^ (p.second * 0x9E3779B97F4A7C15ull);
    }
  };
  std::vector<Target> out;
  std::unordered_set<ManagedObject const*> included;
  std::unordered_set<std::pair<ManagedObject const*, std::size_t>, PairHash> applied;
  std::deque<Item> work;
  for (auto const& s : c.starts) work.push_back({s.ref, s.skip, &s.follow, 0});
  std::size_t seen = 0;
  while (!work.empty()) {
    Item item = std::move(work.front());
    work.pop_front();
    if (++seen > o.maxObjects * 4 + 1024) Invalid("hops", "the traversal visits too many objects");
    Basalt::Ref<ManagedObject> object = adapter->Find(item.ref.get());
    if (!object) continue;
    TypePlan const& plan = c.PlanFor(object->_GetType());
    if (!item.skip && plan.selected && included.insert(object.get()).second) {
      if (out.size() >= o.maxObjects) {
        Invalid("objects", "the query reaches more than " + std::to_string(o.maxObjects) + " objects");
      }
      out.push_back({item.ref, object, &plan, {}});
    }
    for (std::size_t h : *item.follow) {
      ManagedProperty const* property = plan.hopReads[h];
      if (!property) continue;
      if (!applied.emplace(object.get(), h).second) continue;
      Hop const& hop = c.hops[h];
      if (item.depth + 1 > o.maxHopDepth) {
        Invalid("hops", "hops go deeper than " + std::to_string(o.maxHopDepth) + " steps");
      }
      Basalt::Ref<Any> value;
      try {
        value = ReadProperty(adapter, item.ref.get(), object.get(), *property, context);
        if (hop.path.size() > 1) {
          value = Into(value, property->info->name, std::vector<std::string>(hop.path.begin() + 1, hop.path.end()));
        }
      } catch (...) {
        continue;  // what the caller cannot read, it cannot follow
      }
      auto push = [&](Any* a) {
        if (auto* r = dynamic_cast<MoRef*>(a))
          work.push_back({Basalt::Ref<MoRef>(r), hop.skip, &hop.follow, item.depth + 1});
      };
      if (auto* arr = dynamic_cast<DataArrayBase*>(value.get())) {
        for (std::size_t k = 0; k < arr->size(); ++k) push(arr->GetAny(k));
      } else {
        push(value.get());
      }
    }
  }
  return out;
}

// Whether a read failed because its object is no longer registered (rather than for a
// reason of its own).
bool Gone(MethodFault const* fault, MoRef const& ref) {
  auto* missing = dynamic_cast<Fault::ManagedObjectNotFound const*>(fault);
  return missing && missing->obj && missing->obj->GetId() == ref.GetId() &&
         missing->obj->GetTypeName() == ref.GetTypeName();
}

// Null when the object is gone since the query ran: the reads say so (an object without reads
// is looked up), which spares a lookup per object.
Basalt::Ref<ObjectResult> ReadObject(LocalAdapter* adapter, Target const& t, RequestContext* context) {
  if (!t.object && t.plan->reads.empty() && t.more.empty() && !adapter->Find(t.ref.get())) return {};
  bool gone = false;
  Basalt::Ref<ObjectResult> r(new ObjectResult());
  r->obj = t.ref;
  DataArray<DynamicProperty>* values = r->GetValues();
  values->GetItems().reserve(t.plan->paths.size());
  std::vector<std::string const*> done;  // paths already read, when several plans apply
  auto readPlan = [&](TypePlan const& plan) {
    for (Read const& read : plan.reads) {
      if (!t.more.empty()) {
        bool needed = false;
        for (auto const& into : read.into) {
          needed = needed || std::none_of(done.begin(), done.end(), [&](auto* p) { return *p == into.path; });
        }
        if (!needed) continue;
      }
      ReadEach(adapter, t.ref.get(), t.object.get(), read, context,
               [&](Read::Into const& into, Any* value, MethodFault* fault) {
                 if (!t.more.empty()) {
                   if (std::any_of(done.begin(), done.end(), [&](auto* p) { return *p == into.path; })) return;
                   done.push_back(&into.path);
                 }
                 if (fault) {
                   gone = gone || Gone(fault, *t.ref);
                   Basalt::Ref<PathFault> f(new PathFault());
                   f->path = PropertyPath(into.path);
                   f->fault = fault;
                   r->GetFaults()->Append(f.get());
                 } else if (value) {
                   Basalt::Ref<DynamicProperty> p(new DynamicProperty());
                   p->name = into.path;
                   p->val = value;
                   values->Append(p.get());
                 }
               });
    }
  };
  readPlan(*t.plan);
  for (TypePlan const* more : t.more) readPlan(*more);
  if (gone) return {};
  return r;
}

}  // namespace

// --- state ----------------------------------------------------------------------------------

class WatchObject;
class CollectorObject;

namespace {

// The last value read of one (object, path), shared by every watch that holds the pair: a
// change is read once, by the first watch that looks, and the others compare versions.
struct PathCell {
  std::string path;
  Basalt::Ref<Any> value;          // what the object's reader answered (null: unset); never changed after
  Basalt::Ref<MethodFault> fault;  // what its read failed with
  std::uint64_t version = 0;       // bumped when value or fault differ from the last read; 0: never read
  std::uint64_t dirtyGen = 1;      // bumped by every notification that may touch the path
  std::uint64_t readGen = 0;       // the dirtyGen the value was read at: stale while they differ
  // The change a watch of changed paths reports when this path alone changed since its last
  // answer: one object for every such watch, built by the first.
  Basalt::Ref<ObjectChange> modify;
};

struct WatchState;
struct TypePlan;

// A watch that holds an object, with the plan it reads the object by.
struct Holder {
  WatchState* watch;
  TypePlan const* plan;
};

struct ObjectCells {
  explicit ObjectCells(std::string key) : key(std::move(key)) {}
  std::string const key;
  std::vector<Holder> holders;  // under the state's mutex: the watches a notification marks
  std::mutex mu;                // the rest
  std::vector<PathCell> paths;
  // Under mu: the cell of `path`, made when first asked for.
  std::uint32_t Slot(std::string const& path) {
    for (std::uint32_t i = 0; i < paths.size(); ++i) {
      if (paths[i].path == path) return i;
    }
    paths.emplace_back().path = path;
    return static_cast<std::uint32_t>(paths.size() - 1);
  }
  void Touch(std::vector<std::string> const& changed);  // under mu
};

// What a watch delivered of a path: the version of the shared cell (values are not copied),
// or, for a read the session's privileges refused, that fault (version kRefused).
constexpr std::uint64_t kRefused = ~std::uint64_t(0);
struct Tracked {
  Basalt::Ref<Any> value;
  Basalt::Ref<MethodFault> fault;
  std::uint64_t version = 0;
  std::uint32_t cell = 0;  // the path's cell in the member's cells
};

struct Member {
  Basalt::Ref<MoRef> ref;
  TypePlan const* plan = nullptr;
  std::shared_ptr<ObjectCells> cells;
  std::vector<Tracked> delivered;  // by the plan's path slots
  bool announced = false;
};

// A notification's object key and paths, made once and shared by every watch it marks.
using SharedKey = std::shared_ptr<std::string const>;
using SharedPaths = std::shared_ptr<std::vector<std::string> const>;

SharedPaths AllPaths() {
  static SharedPaths const all = std::make_shared<std::vector<std::string> const>(1, std::string());
  return all;
}

// The objects of a watch that changed, in the order they first changed, each once with every
// path that changed since ("" among them: anything may have).
class DirtySet {
 public:
  struct Entry {
    SharedKey key;
    SharedPaths paths;
    bool dropped = false;
  };
  void Add(SharedKey const& key, SharedPaths const& paths) {
    SharedPaths const& p = paths && !paths->empty() ? paths : AllPaths();
    // the view is of the entry's own key, which no one changes
    auto [it, fresh] = _at.try_emplace(std::string_view(*key), _entries.size());
    if (fresh) {
      _entries.push_back({key, p});
      return;
    }
    Entry& e = _entries[it->second];
    if (e.paths == p || AllChanged(*e.paths)) return;
    if (AllChanged(*p)) {
      e.paths = p;
      return;
    }
    auto merged = std::make_shared<std::vector<std::string>>(*e.paths);
    Merge(*merged, *p);
    e.paths = std::move(merged);
  }
  void Add(std::string const& key, SharedPaths const& paths) { Add(std::make_shared<std::string const>(key), paths); }
  void Drop(std::string_view key) {
    auto it = _at.find(key);
    if (it == _at.end()) return;
    _entries[it->second].dropped = true;
    _at.erase(it);
  }
  bool Empty() const noexcept { return _at.empty(); }
  std::deque<Entry>& Entries() noexcept { return _entries; }
  void Clear() {
    _entries.clear();
    _at.clear();
  }
  void Swap(DirtySet& other) noexcept {
    _entries.swap(other._entries);
    _at.swap(other._at);
  }

 private:
  std::deque<Entry> _entries;
  std::unordered_map<std::string_view, std::size_t> _at;
};

struct Collector;

struct WatchState {
  std::string id;
  Basalt::Ref<MoRef> ref;
  Basalt::Ref<QuerySpec> spec;
  Compiled compiled;
  bool partial = false;
  std::weak_ptr<Collector> owner;
  std::vector<std::string> startKeys;
  // Under the state's mutex: what the notifications mark, and what the service's indexes hold
  // of the watch.
  bool removed = false;  // out of the indexes for good
  std::unordered_map<ObjectCells*, std::pair<std::shared_ptr<ObjectCells>, TypePlan const*>> indexed;
  bool membershipDirty = true;
  DirtySet dirty;
  // Under the collector's process mutex: what was delivered.
  std::unordered_map<std::string, Member> members;
  std::deque<std::string> unannounced;
  std::deque<Basalt::Ref<MoRef>> pendingLeaves;
};

struct Continuation {
  std::vector<Compiled> specs;  // what the targets' plans belong to
  std::vector<Target> targets;
  std::size_t next = 0;
  std::size_t page = 0;
};

struct Collector {
  std::string id;
  std::uint64_t session = 0;
  Basalt::Ref<MoRef> ref;
  bool destroyed = false;
  std::vector<std::shared_ptr<WatchState>> watches;
  std::list<std::pair<std::string, std::shared_ptr<Continuation>>> continuations;
  std::uint64_t nextToken = 0;
  // waiting, under the state's mutex: the one wait answered later, if any
  struct Waiter {
    std::shared_ptr<DeferredCall> call;
    std::chrono::steady_clock::time_point deadline;
    std::size_t perAnswer;
    Basalt::Ref<RequestContext> context;
  };
  std::unique_ptr<Waiter> waiter;
  bool signaled = false;      // a watch changed since the last look
  bool resumeQueued = false;  // on the service thread's list
  std::uint64_t lastTicket = 0;
  // versions, under processMu
  std::mutex processMu;
  std::uint64_t version = 0;
  std::string issued;
  std::string previous;
  Basalt::Ref<UpdateBatch> lastBatch;
};

struct Session {
  std::vector<std::shared_ptr<Collector>> collectors;  // [0]: the default collector, when made
  std::shared_ptr<Collector> defaultCollector;
  std::size_t watches = 0;
};

}  // namespace

class QueryService::State : public AdapterObserver, public std::enable_shared_from_this<QueryService::State> {
 public:
  State(LocalAdapter* adapter, ServiceOptions options) : adapter(adapter), options(options) {}

  LocalAdapter* const adapter;
  ServiceOptions const options;
  Basalt::Ref<MoRef> rootRef;

  mutable std::mutex mu;
  bool stopped = false;
  std::uint64_t nextSession = 1;
  std::uint64_t nextCollector = 1;
  std::unordered_map<std::uint64_t, Session> sessions;
  std::unordered_map<std::string, std::shared_ptr<Collector>> collectors;  // by reference id
  // The service thread: looks at waiting collectors again, and ends waits at their deadline.
  std::condition_variable serviceCv;
  std::deque<std::shared_ptr<Collector>> resumeQueue;
  bool threadStop = false;
  std::thread thread;
  void Run();

  // Notifications wait here, coalesced by object, until the service thread or a wait takes
  // them: the caller of NotifyChanged only records what changed. Taken and applied in order
  // under drainMu (which comes before mu), so a wait sees every change notified before it.
  struct Note {
    enum Kind { changed, registered, unregistered } kind;
    std::string key;
    std::string type;
    std::vector<std::string> paths;
  };
  std::mutex inboxMu;
  std::vector<Note> inbox;
  std::unordered_map<std::string, std::size_t> inboxChanges;  // key -> its change in the inbox
  std::atomic<bool> inboxReady{false};
  // The shared cells of the objects that watches hold, by object key; an entry goes with the
  // last member that holds it. Nothing else is taken while cellsMu is held.
  std::mutex cellsMu;
  std::unordered_map<std::string_view, std::weak_ptr<ObjectCells>> cellIndex;  // views of ObjectCells::key
  std::shared_ptr<ObjectCells> CellsFor(std::string const& key);
  std::shared_ptr<ObjectCells> FindCells(std::string const& key);
  bool Refresh(Member& m, Read const& read, RequestContext* context);
  std::atomic<std::uint64_t> answers{0};
  std::atomic<std::uint64_t> objectChanges{0};
  std::mutex drainMu;
  void Enqueue(Note::Kind kind, MoRef const& ref, std::vector<std::string> const* paths);
  void Drain();

  // Under mu: which watches hold an object (ObjectCells::holders), start from one, or have a
  // hop that objects of a type answer to (with the hop's path; made when a type is first
  // seen, forgotten when watches come or go). A notification touches only these.
  std::unordered_map<std::string, std::vector<WatchState*>> byStart;
  std::unordered_map<ManagedObjectType const*, std::vector<std::pair<WatchState*, std::string>>> byHopType;
  void IndexSet(WatchState& w, std::shared_ptr<ObjectCells> const& cells, TypePlan const* plan);
  void IndexRemove(WatchState& w, ObjectCells* cells);
  void Unindex(WatchState& w, bool starts);
  std::vector<std::pair<WatchState*, std::string>> const& HopHolders(ManagedObjectType const* type);
  void KickOwner(WatchState& w);

  // AdapterObserver
  void OnRegistered(MoRef const& ref) override;
  void OnUnregistered(MoRef const& ref) override;
  void OnChanged(MoRef const& ref, std::vector<std::string> const& paths) override;
  void OnShutdown() override { StopAll(); }

  std::uint64_t SessionOfCaller();
  std::shared_ptr<Collector> Resolve(std::string const& collectorId, bool root);
  std::shared_ptr<Collector> NewCollector(std::uint64_t session, bool asDefault);
  void DropSession(std::uint64_t session);
  void DropCollector(std::shared_ptr<Collector> const& c);
  void StopAll();

  Basalt::Ref<ResultPage> Retrieve(Collector& c, DataArray<QuerySpec>* specs, RetrieveOptions* opts);
  Basalt::Ref<ResultPage> Continue(Collector& c, std::string const& token);
  void CancelRetrieve(Collector& c, std::string const& token);
  Basalt::Ref<MoRef> CreateWatch(std::shared_ptr<Collector> const& c, QuerySpec* spec, bool partial);
  void RemoveWatch(std::string const& watchId);
  Basalt::Ref<UpdateBatch> Wait(std::shared_ptr<Collector> const& c, Basalt::Optional<std::string> const& version,
                                WaitOptions* opts);
  void CancelWait(Collector& c);
  void Kick(std::shared_ptr<Collector> const& c);
  void Resume(std::shared_ptr<Collector> const& c);
  static void FailCanceled(DeferredCall& call, std::string const& text);

 private:
  Basalt::Ref<UpdateBatch> Collect(Collector& c, std::size_t perAnswer, RequestContext* context, bool first);
  Basalt::Ref<ResultPage> Page(Continuation& k, RequestContext* context);
  // Changes of one watch, at most `budget`; false when some are left.
  bool Process(WatchState& w, std::size_t& budget, WatchUpdate& out, RequestContext* context);
  Basalt::Ref<ObjectChange> Diff(WatchState& w, Member& m, std::vector<std::string> const* changed,
                                 RequestContext* context);
};

// A session's tie to the service: kept in the session's RequestContext, so that the
// session's collectors go when the context does.
class SessionHandle final : public KeyAnyValue {
 public:
  SessionHandle(std::weak_ptr<QueryService::State> state, std::uint64_t id) : _state(std::move(state)), _id(id) {
    key = kSessionKey;
    value = new Primitive<long>(static_cast<long>(id));
  }
  ~SessionHandle() override {
    if (auto s = _state.lock()) s->DropSession(_id);
  }
  std::uint64_t Id() const noexcept { return _id; }

 private:
  std::weak_ptr<QueryService::State> _state;
  std::uint64_t _id;
};

class CollectorObject final : public ServerObject<PropertyCollector> {
 public:
  CollectorObject(MoRef* ref, std::weak_ptr<QueryService::State> state, bool root)
      : ServerObject(ref), _state(std::move(state)), _root(root) {}

  void GetWatches(Basalt::Ref<DataArray<MoRef>>& result) override {
    auto [s, c] = Target();
    result = new DataArray<MoRef>();
    std::lock_guard lock(s->mu);
    for (auto const& w : c->watches) result->Append(w->ref.get());
  }
  void CreateWatch(QuerySpec* spec, bool partialUpdates, Basalt::Ref<MoRef>& result) override {
    auto [s, c] = Target();
    result = s->CreateWatch(c, spec, partialUpdates);
  }
  void Retrieve(DataArray<QuerySpec>* specs, RetrieveOptions* options, Basalt::Ref<ResultPage>& result) override {
    auto [s, c] = Target();
    result = s->Retrieve(*c, specs, options);
  }
  void ContinueRetrieve(std::string const& token, Basalt::Ref<ResultPage>& result) override {
    auto [s, c] = Target();
    result = s->Continue(*c, token);
  }
  void CancelRetrieve(std::string const& token) override {
    auto [s, c] = Target();
    s->CancelRetrieve(*c, token);
  }
  void WaitForUpdates(Basalt::Optional<std::string> const& version, WaitOptions* options,
                      Basalt::Ref<UpdateBatch>& result) override {
    auto [s, c] = Target();
    result = s->Wait(c, version, options);
  }
  void CancelWait() override {
    auto [s, c] = Target();
    s->CancelWait(*c);
  }
  void CreateCollector(Basalt::Ref<MoRef>& result) override {
    auto s = State();
    std::uint64_t session = s->SessionOfCaller();
    result = s->NewCollector(session, false)->ref;
  }
  void Destroy() override {
    auto [s, c] = Target();
    s->DropCollector(c);
  }

 private:
  std::shared_ptr<QueryService::State> State() {
    auto s = _state.lock();
    if (!s) Canceled("the query service is stopped");
    return s;
  }
  std::pair<std::shared_ptr<QueryService::State>, std::shared_ptr<Collector>> Target() {
    auto s = State();
    return {s, s->Resolve(_GetRef()->GetId(), _root)};
  }

  std::weak_ptr<QueryService::State> _state;
  bool _root;
};

class WatchObject final : public ServerObject<Watch> {
 public:
  WatchObject(MoRef* ref, std::weak_ptr<QueryService::State> state, Basalt::Ref<QuerySpec> spec, bool partial)
      : ServerObject(ref), _state(std::move(state)), _spec(std::move(spec)), _partial(partial) {}
  void GetSpec(Basalt::Ref<QuerySpec>& result) override { result = Quill::Clone(_spec); }
  bool IsPartialUpdates() override { return _partial; }
  void Remove() override {
    auto s = _state.lock();
    if (!s) Canceled("the query service is stopped");
    s->RemoveWatch(_GetRef()->GetId());
  }

 private:
  std::weak_ptr<QueryService::State> _state;
  Basalt::Ref<QuerySpec> _spec;
  bool _partial;
};

// --- sessions and collectors -----------------------------------------------------------------

std::uint64_t QueryService::State::SessionOfCaller() {
  CallInfo const* call = LocalAdapter::CurrentCall();
  RequestContext* context = call ? call->context : nullptr;
  std::lock_guard lock(mu);
  if (stopped) Canceled("the query service is stopped");
  if (!context) {
    sessions.try_emplace(0);
    return 0;  // in-process callers without a context share one session
  }
  Basalt::Ref<Any> held = context->Get(kSessionKey);
  if (auto* h = dynamic_cast<SessionHandle*>(held.get())) return h->Id();
  std::uint64_t id = nextSession++;
  sessions.try_emplace(id);
  context->Set(kSessionKey, new SessionHandle(weak_from_this(), id));
  return id;
}

std::shared_ptr<Collector> QueryService::State::Resolve(std::string const& collectorId, bool root) {
  std::uint64_t session = SessionOfCaller();
  if (root) {
    {
      std::lock_guard lock(mu);
      auto& s = sessions[session];
      if (s.defaultCollector && !s.defaultCollector->destroyed) return s.defaultCollector;
    }
    return NewCollector(session, true);
  }
  std::lock_guard lock(mu);
  auto it = collectors.find(collectorId);
  if (it == collectors.end() || it->second->destroyed) Canceled("the collector " + collectorId + " is destroyed");
  if (it->second->session != session) Refused("the collector " + collectorId + " belongs to another session");
  return it->second;
}

std::shared_ptr<Collector> QueryService::State::NewCollector(std::uint64_t session, bool asDefault) {
  auto c = std::make_shared<Collector>();
  c->session = session;
  Basalt::Ref<CollectorObject> object;
  {
    std::lock_guard lock(mu);
    if (stopped) Canceled("the query service is stopped");
    auto& s = sessions[session];
    if (asDefault && s.defaultCollector && !s.defaultCollector->destroyed) return s.defaultCollector;
    if (s.collectors.size() >= options.maxCollectorsPerSession) {
      Invalid("collector", "a session has at most " + std::to_string(options.maxCollectorsPerSession) + " collectors");
    }
    c->id = "propertycollector-q" + std::to_string(nextCollector++);
    c->ref = new MoRef(kCollectorType, c->id);
    object = new CollectorObject(c->ref.get(), weak_from_this(), false);
    s.collectors.push_back(c);
    if (asDefault) s.defaultCollector = c;
    collectors[c->id] = c;
  }
  adapter->Register(c->ref.get(), object.get());
  return c;
}

void QueryService::State::DropCollector(std::shared_ptr<Collector> const& c) {
  std::vector<Basalt::Ref<MoRef>> refs;
  std::shared_ptr<DeferredCall> pending;
  {
    std::lock_guard lock(mu);
    if (c->destroyed) return;
    c->destroyed = true;
    if (c->waiter) pending = std::move(c->waiter->call);
    c->waiter.reset();
    collectors.erase(c->id);
    auto it = sessions.find(c->session);
    if (it != sessions.end()) {
      auto& list = it->second.collectors;
      list.erase(std::remove(list.begin(), list.end(), c), list.end());
      if (it->second.defaultCollector == c) it->second.defaultCollector.reset();
      it->second.watches -= std::min(it->second.watches, c->watches.size());
    }
    refs.push_back(c->ref);
    for (auto const& w : c->watches) {
      refs.push_back(w->ref);
      Unindex(*w, true);
    }
    c->watches.clear();
    c->continuations.clear();
  }
  if (pending) FailCanceled(*pending, "the collector is destroyed");
  for (auto const& r : refs) adapter->Unregister(r.get());
}

void QueryService::State::DropSession(std::uint64_t session) {
  std::vector<std::shared_ptr<Collector>> list;
  {
    std::lock_guard lock(mu);
    auto it = sessions.find(session);
    if (it == sessions.end()) return;
    list = it->second.collectors;
  }
  for (auto const& c : list) DropCollector(c);
  std::lock_guard lock(mu);
  sessions.erase(session);
}

void QueryService::State::StopAll() {
  std::vector<std::shared_ptr<Collector>> list;
  {
    std::lock_guard lock(mu);
    if (stopped) return;
    stopped = true;
    for (auto const& [id, c] : collectors) list.push_back(c);
  }
  for (auto const& c : list) DropCollector(c);
}

// --- retrieve ------------------------------------------------------------------------------

Basalt::Ref<ResultPage> QueryService::State::Page(Continuation& k, RequestContext* context) {
  Basalt::Ref<ResultPage> page(new ResultPage());
  page->GetObjects()->GetItems().reserve(std::min(k.page, k.targets.size() - k.next));
  std::size_t taken = 0;
  while (k.next < k.targets.size() && taken < k.page) {
    Target const& t = k.targets[k.next++];
    Basalt::Ref<ObjectResult> r = ReadObject(adapter, t, context);
    if (!r) continue;  // gone since the query ran
    page->GetObjects()->Append(r.get());
    ++taken;
  }
  return page;
}

namespace {
RequestContext* CallerContext() {
  CallInfo const* call = LocalAdapter::CurrentCall();
  return call ? call->context : nullptr;
}
}  // namespace

Basalt::Ref<ResultPage> QueryService::State::Retrieve(Collector& c, DataArray<QuerySpec>* specs,
                                                      RetrieveOptions* opts) {
  std::size_t n = specs ? specs->size() : 0;
  if (!n) Invalid("specs", "no query spec");
  if (n > options.maxSpecs)
    Invalid("specs", std::to_string(n) + " specs, more than " + std::to_string(options.maxSpecs));
  auto k = std::make_shared<Continuation>();
  k->specs.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    k->specs.push_back(Compile(options, (*specs)[i], "specs[" + std::to_string(i) + "]"));
  RequestContext* context = CallerContext();
  std::unordered_map<ManagedObject const*, std::size_t> at;
  for (auto& spec : k->specs) {
    std::vector<Target> targets = Traverse(options, adapter, spec, context);
    if (k->targets.empty()) {
      k->targets = std::move(targets);  // one spec (the usual case): each object once already
      for (std::size_t i = 0; n > 1 && i < k->targets.size(); ++i) at.emplace(k->targets[i].object.get(), i);
      continue;
    }
    for (Target& t : targets) {
      auto [it, fresh] = at.emplace(t.object.get(), k->targets.size());
      if (fresh) {
        k->targets.push_back(std::move(t));
        if (k->targets.size() > options.maxObjects) {
          Invalid("specs", "the query reaches more than " + std::to_string(options.maxObjects) + " objects");
        }
        continue;
      }
      Target& first = k->targets[it->second];  // the same object through two specs: one result
      if (t.plan != first.plan) first.more.push_back(t.plan);
    }
  }
  k->page = options.pageObjects;
  if (opts && opts->maxObjects.IsSet() && *opts->maxObjects > 0) {
    k->page = std::min<std::size_t>(k->page, static_cast<std::size_t>(*opts->maxObjects));
  }
  // The first page reads the objects this call has just found; later pages look them up again
  // (one gone meanwhile is left out), and open results do not keep objects alive.
  Basalt::Ref<ResultPage> page = Page(*k, context);
  for (Target& t : k->targets) t.object.reset();
  if (k->next < k->targets.size()) {
    std::lock_guard lock(mu);
    std::string token = c.id + "-" + std::to_string(++c.nextToken);
    c.continuations.emplace_back(token, k);
    while (c.continuations.size() > options.maxContinuations) c.continuations.pop_front();
    page->token = token;
  }
  return page;
}

Basalt::Ref<ResultPage> QueryService::State::Continue(Collector& c, std::string const& token) {
  std::shared_ptr<Continuation> k;
  {
    std::lock_guard lock(mu);
    for (auto it = c.continuations.begin(); it != c.continuations.end(); ++it) {
      if (it->first == token) {
        k = it->second;
        c.continuations.erase(it);  // taken: one caller continues it at a time
        break;
      }
    }
  }
  if (!k) BadToken(token, "no open result has the token '" + token + "'");
  Basalt::Ref<ResultPage> page = Page(*k, CallerContext());
  if (k->next < k->targets.size()) {
    std::lock_guard lock(mu);
    c.continuations.emplace_back(token, k);
    page->token = token;
  }
  return page;
}

void QueryService::State::CancelRetrieve(Collector& c, std::string const& token) {
  std::lock_guard lock(mu);
  for (auto it = c.continuations.begin(); it != c.continuations.end(); ++it) {
    if (it->first == token) {
      c.continuations.erase(it);
      return;
    }
  }
  BadToken(token, "no open result has the token '" + token + "'");
}

// --- watches ---------------------------------------------------------------------------------

Basalt::Ref<MoRef> QueryService::State::CreateWatch(std::shared_ptr<Collector> const& c, QuerySpec* spec,
                                                    bool partial) {
  auto w = std::make_shared<WatchState>();
  w->compiled = Compile(options, spec, "spec");
  w->spec = Quill::Clone(static_cast<QuerySpec const*>(spec));
  w->partial = partial;
  for (auto const& s : w->compiled.starts) w->startKeys.push_back(KeyOf(*s.ref));
  w->owner = c;
  w->ref = adapter->MakeRef(kWatchType);
  w->id = w->ref->GetId();
  Basalt::Ref<WatchObject> object(new WatchObject(w->ref.get(), weak_from_this(), w->spec, partial));
  {
    std::lock_guard lock(mu);
    if (c->destroyed) Canceled("the collector is destroyed");
    auto& s = sessions[c->session];
    if (s.watches >= options.maxWatchesPerSession) {
      Invalid("spec", "a session has at most " + std::to_string(options.maxWatchesPerSession) + " watches");
    }
    ++s.watches;
    c->watches.push_back(w);
    for (auto const& key : w->startKeys) byStart[key].push_back(w.get());
    byHopType.clear();
    Kick(c);
  }
  adapter->Register(w->ref.get(), object.get());
  return w->ref;
}

void QueryService::State::RemoveWatch(std::string const& watchId) {
  Basalt::Ref<MoRef> ref;
  {
    std::lock_guard lock(mu);
    for (auto const& [id, c] : collectors) {
      auto it = std::find_if(c->watches.begin(), c->watches.end(), [&](auto const& w) { return w->id == watchId; });
      if (it == c->watches.end()) continue;
      ref = (*it)->ref;
      Unindex(**it, true);
      c->watches.erase(it);
      auto s = sessions.find(c->session);
      if (s != sessions.end() && s->second.watches) --s->second.watches;
      break;
    }
  }
  if (ref) adapter->Unregister(ref.get());
}

// --- notifications ---------------------------------------------------------------------------

void QueryService::State::OnChanged(MoRef const& ref, std::vector<std::string> const& paths) {
  Enqueue(Note::changed, ref, &paths);
}
void QueryService::State::OnRegistered(MoRef const& ref) { Enqueue(Note::registered, ref, nullptr); }
void QueryService::State::OnUnregistered(MoRef const& ref) { Enqueue(Note::unregistered, ref, nullptr); }

void QueryService::State::Enqueue(Note::Kind kind, MoRef const& ref, std::vector<std::string> const* paths) {
  std::string key = KeyOf(ref);
  bool wake;
  {
    std::lock_guard lock(inboxMu);
    wake = inbox.empty();
    if (kind == Note::changed) {
      auto [it, fresh] = inboxChanges.try_emplace(key, inbox.size());
      if (!fresh) {
        // changed again before anyone looked: one note with every path
        Merge(inbox[it->second].paths, paths->empty() ? std::vector<std::string>{std::string()} : *paths);
        return;
      }
    }
    inbox.push_back({kind, std::move(key), ref.GetTypeName(),
                     paths && !paths->empty() ? *paths : std::vector<std::string>{std::string()}});
  }
  if (wake) {
    // The service thread checks the flag under mu before it sleeps: taking mu here means the
    // wake-up cannot fall between its check and its sleep.
    std::lock_guard lock(mu);
    inboxReady.store(true, std::memory_order_relaxed);
    serviceCv.notify_one();
  }
}

void QueryService::State::Drain() {
  std::lock_guard drain(drainMu);
  std::vector<Note> notes;
  {
    std::lock_guard lock(inboxMu);
    notes.swap(inbox);
    inboxChanges.clear();
  }
  std::lock_guard lock(mu);
  inboxReady.store(false, std::memory_order_relaxed);
  for (Note const& note : notes) {
    // The shared values go stale first, so that whichever watch looks next reads again.
    std::shared_ptr<ObjectCells> cells = FindCells(note.key);
    if (cells) {
      std::lock_guard cellsLock(cells->mu);
      cells->Touch(note.kind == Note::changed ? note.paths : std::vector<std::string>{std::string()});
    }
    switch (note.kind) {
      case Note::changed: {
        if (cells) {
          SharedKey key;
          SharedPaths paths;
          for (Holder const& h : cells->holders) {
            bool relevant = false;
            for (auto const& p : h.plan->paths) relevant = relevant || Related(p, note.paths);
            if (!relevant) continue;
            if (!key) {
              key = std::make_shared<std::string const>(note.key);
              paths = std::make_shared<std::vector<std::string> const>(note.paths);
            }
            h.watch->dirty.Add(key, paths);
            KickOwner(*h.watch);
          }
        }
        Type* t = FindType(note.type);
        if (!t || t->GetKind() != KIND_MANAGED) break;
        for (auto const& [w, path] : HopHolders(static_cast<ManagedObjectType*>(t))) {
          if (w->membershipDirty || !Related(path, note.paths)) continue;
          w->membershipDirty = true;
          KickOwner(*w);
        }
        break;
      }
      case Note::unregistered:
        if (cells) {
          for (Holder const& h : cells->holders) {
            h.watch->membershipDirty = true;
            KickOwner(*h.watch);
          }
        }
        [[fallthrough]];
      case Note::registered:
        if (auto it = byStart.find(note.key); it != byStart.end()) {
          for (WatchState* w : it->second) {
            w->membershipDirty = true;
            KickOwner(*w);
          }
        }
        break;
    }
  }
}

void QueryService::State::KickOwner(WatchState& w) {
  if (auto c = w.owner.lock()) Kick(c);
}

void QueryService::State::IndexSet(WatchState& w, std::shared_ptr<ObjectCells> const& cells, TypePlan const* plan) {
  auto [it, fresh] = w.indexed.try_emplace(cells.get(), cells, plan);
  if (!fresh) {
    it->second.second = plan;
    for (Holder& h : cells->holders) {
      if (h.watch == &w) h.plan = plan;
    }
    return;
  }
  cells->holders.push_back({&w, plan});
}

void QueryService::State::IndexRemove(WatchState& w, ObjectCells* cells) {
  auto it = w.indexed.find(cells);
  if (it == w.indexed.end()) return;
  auto& holders = cells->holders;
  holders.erase(std::remove_if(holders.begin(), holders.end(), [&](Holder const& h) { return h.watch == &w; }),
                holders.end());
  w.indexed.erase(it);  // may be the last hold on the cells
}

// Takes the watch's objects (and with `starts` its starting objects and hops) out of the
// indexes.
void QueryService::State::Unindex(WatchState& w, bool starts) {
  while (!w.indexed.empty()) IndexRemove(w, w.indexed.begin()->first);
  if (!starts) return;
  w.removed = true;
  for (auto const& key : w.startKeys) {
    auto it = byStart.find(key);
    if (it == byStart.end()) continue;
    it->second.erase(std::remove(it->second.begin(), it->second.end(), &w), it->second.end());
    if (it->second.empty()) byStart.erase(it);
  }
  byHopType.clear();
}

std::vector<std::pair<WatchState*, std::string>> const& QueryService::State::HopHolders(ManagedObjectType const* type) {
  auto [it, fresh] = byHopType.try_emplace(type);
  if (!fresh) return it->second;
  for (auto const& [id, c] : collectors) {
    for (auto const& w : c->watches) {
      for (auto const& hop : w->compiled.hops) {
        if (type->IsSubtypeOf(hop.type)) it->second.emplace_back(w.get(), Join(hop.path));
      }
    }
  }
  return it->second;
}

namespace {
Basalt::Ref<PropertyChange> Assign(std::string const& path, Any* value) {
  Basalt::Ref<PropertyChange> ch(new PropertyChange());
  ch->path = PropertyPath(path);
  ch->op = ChangeOp::assign;
  ch->value = value;
  return ch;
}
// An array of references that changed by some elements: the elements it lost (op remove) and
// gained (op add), each as an array of references, rather than the whole array again. False
// when either value is not such an array (the change is then an assign).
// With `ch` null: only whether it is such a change.
bool ReferenceDelta(std::string const& path, Any const* before, Any const* after, ObjectChange* ch) {
  auto refs = [](Any const* v, std::unordered_map<std::string, int>& keys) {
    auto* arr = dynamic_cast<DataArrayBase const*>(v);
    if (!arr) return false;
    for (std::size_t i = 0; i < arr->size(); ++i) {
      auto* r = dynamic_cast<MoRef const*>(arr->GetAny(i));
      if (!r) return false;
      ++keys[KeyOf(*r)];
    }
    return true;
  };
  std::unordered_map<std::string, int> was, is;
  if (!before || !after || !refs(before, was) || !refs(after, is)) return false;
  if (!ch) return true;
  auto delta = [&](Any const* from, std::unordered_map<std::string, int> other, ChangeOp op) {
    Basalt::Ref<DataArray<MoRef>> elements(new DataArray<MoRef>());
    auto* arr = static_cast<DataArrayBase const*>(from);
    for (std::size_t i = 0; i < arr->size(); ++i) {
      auto* r = static_cast<MoRef*>(arr->GetAny(i));
      if (other[KeyOf(*r)]-- <= 0) elements->Append(r);  // beyond what the other side has
    }
    if (!elements->size()) return;
    Basalt::Ref<PropertyChange> c(new PropertyChange());
    c->path = PropertyPath(path);
    c->op = op;
    c->value = elements;
    ch->GetChanges()->Append(c.get());
  };
  delta(before, is, ChangeOp::remove);
  delta(after, was, ChangeOp::add);
  return true;
}

Basalt::Ref<PathFault> FaultAt(std::string const& path, MethodFault* fault) {
  Basalt::Ref<PathFault> f(new PathFault());
  f->path = PropertyPath(path);
  f->fault = fault;
  return f;
}
}  // namespace

void ObjectCells::Touch(std::vector<std::string> const& changed) {
  for (PathCell& c : paths) {
    if (!Related(c.path, changed)) continue;
    ++c.dirtyGen;
    c.modify.reset();
  }
}

std::shared_ptr<ObjectCells> QueryService::State::CellsFor(std::string const& key) {
  std::lock_guard lock(cellsMu);
  if (auto it = cellIndex.find(key); it != cellIndex.end()) {
    if (auto cells = it->second.lock()) return cells;
    cellIndex.erase(it);  // its key is a view of cells on their way out
  }
  std::weak_ptr<State> self = weak_from_this();
  std::shared_ptr<ObjectCells> cells(new ObjectCells(key), [self](ObjectCells* p) {
    if (auto state = self.lock()) {
      std::lock_guard lock(state->cellsMu);
      auto it = state->cellIndex.find(p->key);
      if (it != state->cellIndex.end() && it->first.data() == p->key.data()) state->cellIndex.erase(it);
    }
    delete p;
  });
  cellIndex.emplace(std::string_view(cells->key), cells);
  return cells;
}

std::shared_ptr<ObjectCells> QueryService::State::FindCells(std::string const& key) {
  std::lock_guard lock(cellsMu);
  auto it = cellIndex.find(key);
  return it == cellIndex.end() ? nullptr : it->second.lock();
}

// Brings the member's cells of one read up to date: read again (with this session's context)
// when a notification came since the last read, else taken as they are. The session's own
// privileges are asked either way; a refusal is this member's alone and goes to its slots
// (true: refused).
bool QueryService::State::Refresh(Member& m, Read const& read, RequestContext* context) {
  if (adapter->HasPrivilegeChecker()) {
    Basalt::Ref<MethodFault> refused;
    try {
      adapter->CheckPrivilege(m.ref.get(), read.property->reader, context);
    } catch (...) {
      refused = FaultOf(std::current_exception());
    }
    if (refused) {
      for (Read::Into const& into : read.into) {
        Tracked& t = m.delivered[into.slot];
        if (t.version == kRefused && SameFault(t.fault.get(), refused.get())) continue;
        t.value.reset();
        t.fault = refused;
        t.version = kRefused - 1;  // newly refused: reported once, by Diff
      }
      return true;
    }
  }
  ObjectCells& cells = *m.cells;
  std::vector<std::uint64_t> gens;
  {
    std::lock_guard lock(cells.mu);
    bool stale = false;
    for (std::size_t i = 0; i < read.into.size() && !stale; ++i) {
      PathCell const& c = cells.paths[m.delivered[read.into[i].slot].cell];
      stale = c.version == 0 || c.readGen != c.dirtyGen;
    }
    if (!stale) return false;  // the usual case for every watch but the first to look
    gens.reserve(read.into.size());
    for (Read::Into const& into : read.into) gens.push_back(cells.paths[m.delivered[into.slot].cell].dirtyGen);
  }
  struct Got {
    Basalt::Ref<Any> value;
    Basalt::Ref<MethodFault> fault;
  };
  std::vector<Got> got(read.into.size());
  std::size_t i = 0;
  ReadEach(adapter, m.ref.get(), nullptr, read, context, [&](Read::Into const&, Any* value, MethodFault* fault) {
    got[i].value = value;
    got[i].fault = fault;
    ++i;
  });
  std::lock_guard lock(cells.mu);
  for (i = 0; i < read.into.size(); ++i) {
    PathCell& c = cells.paths[m.delivered[read.into[i].slot].cell];
    if (gens[i] < c.readGen) continue;  // another watch's read is newer than this one
    c.readGen = gens[i];
    bool same = c.version != 0 && SameFault(c.fault.get(), got[i].fault.get()) &&
                (got[i].fault || SameValue(c.value.get(), got[i].value.get()));
    if (same) continue;
    c.value = std::move(got[i].value);
    c.fault = std::move(got[i].fault);
    ++c.version;
    c.modify.reset();
  }
  return false;
}

// Reads what `changed` names of a member (all its paths when null) and reports what differs
// from what was delivered; null when nothing does.
Basalt::Ref<ObjectChange> QueryService::State::Diff(WatchState& w, Member& m, std::vector<std::string> const* changed,
                                                    RequestContext* context) {
  bool enter = !m.announced;
  auto wanted = [&](std::string const& path) { return enter || !changed || Related(path, *changed); };
  struct Changed {
    Read::Into const* into;
    Basalt::Ref<Any> before;
  };
  std::vector<Changed> diffs;
  bool gone = false;
  for (Read const& read : m.plan->reads) {
    if (std::none_of(read.into.begin(), read.into.end(), [&](Read::Into const& i) { return wanted(i.path); })) {
      continue;
    }
    bool refused = Refresh(m, read, context);
    std::lock_guard lock(m.cells->mu);
    for (Read::Into const& into : read.into) {
      if (!wanted(into.path)) continue;
      Tracked& t = m.delivered[into.slot];
      if (refused) {
        if (t.version == kRefused - 1 || enter) {
          t.version = kRefused;
          diffs.push_back({&into, {}});
        }
        continue;
      }
      PathCell const& c = m.cells->paths[m.delivered[into.slot].cell];
      // a path refused before and allowed now is news whatever the cell holds
      if (!enter && t.version == c.version) continue;
      gone = gone || (c.fault && Gone(c.fault.get(), *m.ref));
      Basalt::Ref<Any> before = std::move(t.value);
      t.value = c.value;
      t.fault = c.fault;
      t.version = c.version;
      diffs.push_back({&into, std::move(before)});
    }
  }
  if (gone) return {};  // unregistered meanwhile: its leave follows from the membership
  m.announced = true;
  if (diffs.empty() && !enter) return {};
  Basalt::Ref<ObjectChange> ch;
  if (!enter && w.partial && diffs.size() == 1) {
    // The usual change: one path of an object. Every partial watch that delivered the
    // version before reports the same, so the first one's change serves them all.
    Tracked const& t = m.delivered[diffs[0].into->slot];
    if (!t.fault && !ReferenceDelta(diffs[0].into->path, diffs[0].before.get(), t.value.get(), nullptr)) {
      std::lock_guard lock(m.cells->mu);
      PathCell& c = m.cells->paths[m.delivered[diffs[0].into->slot].cell];
      if (c.version == t.version) {
        if (!c.modify) {
          c.modify = new ObjectChange();
          c.modify->kind = ChangeKind::modify;
          c.modify->obj = m.ref;
          c.modify->GetChanges()->Append(Assign(diffs[0].into->path, c.value.get()).get());
        }
        return c.modify;
      }
    }
  }
  ch = new ObjectChange();
  ch->kind = enter ? ChangeKind::enter : ChangeKind::modify;
  ch->obj = m.ref;
  for (Changed const& d : diffs) {
    Tracked const& t = m.delivered[d.into->slot];
    if (t.fault) {
      ch->GetFaults()->Append(FaultAt(d.into->path, t.fault.get()).get());
    } else if (!enter && w.partial && ReferenceDelta(d.into->path, d.before.get(), t.value.get(), ch.get())) {
      continue;
    } else if (t.value || !enter) {
      ch->GetChanges()->Append(Assign(d.into->path, t.value.get()).get());  // no value: unset now
    }
  }
  if (!enter && !w.partial) {
    // whole objects: every value the watch reads, not only those that changed
    Basalt::Ref<ObjectChange> whole(new ObjectChange());
    whole->kind = ChangeKind::modify;
    whole->obj = m.ref;
    for (std::size_t slot = 0; slot < m.plan->paths.size(); ++slot) {
      Tracked const& t = m.delivered[slot];
      if (t.fault) {
        whole->GetFaults()->Append(FaultAt(m.plan->paths[slot], t.fault.get()).get());
      } else if (t.value) {
        whole->GetChanges()->Append(Assign(m.plan->paths[slot], t.value.get()).get());
      }
    }
    return whole;
  }
  return ch;
}

bool QueryService::State::Process(WatchState& w, std::size_t& budget, WatchUpdate& out, RequestContext* context) {
  bool membership;
  DirtySet dirty;
  {
    std::lock_guard lock(mu);
    membership = w.membershipDirty;
    w.membershipDirty = false;
    dirty.Swap(w.dirty);
  }
  if (membership) {
    std::vector<Target> now;
    bool complete = true;
    try {
      now = Traverse(options, adapter, w.compiled, context);
    } catch (...) {
      complete = false;  // the content outgrew a limit: the watch keeps what it had
    }
    if (complete) {
      std::vector<std::pair<std::shared_ptr<ObjectCells>, TypePlan const*>> indexNow;
      std::vector<std::shared_ptr<ObjectCells>> gone;
      std::unordered_set<std::string> keep;
      keep.reserve(now.size());
      for (Target& t : now) {
        std::string key = KeyOf(*t.ref);
        auto [it, fresh] = w.members.try_emplace(key);
        Member& m = it->second;
        if (fresh) {
          m.ref = t.ref;
          w.unannounced.push_back(key);
        }
        if (m.plan != t.plan) {
          if (!fresh) dirty.Add(key, AllPaths());  // read by another plan now: every path again
          m.plan = t.plan;
          m.delivered.assign(t.plan->paths.size(), Tracked());
          if (!m.cells) m.cells = CellsFor(key);
          std::lock_guard cellsLock(m.cells->mu);
          for (std::size_t slot = 0; slot < t.plan->paths.size(); ++slot) {
            m.delivered[slot].cell = m.cells->Slot(t.plan->paths[slot]);
          }
          indexNow.emplace_back(m.cells, t.plan);
        }
        keep.insert(std::move(key));
      }
      for (auto it = w.members.begin(); it != w.members.end();) {
        if (keep.count(it->first)) {
          ++it;
          continue;
        }
        if (it->second.announced) w.pendingLeaves.push_back(it->second.ref);
        dirty.Drop(it->first);
        gone.push_back(std::move(it->second.cells));
        it = w.members.erase(it);
      }
      std::lock_guard lock(mu);
      if (!w.removed) {
        for (auto const& cells : gone) IndexRemove(w, cells.get());
        for (auto const& [cells, plan] : indexNow) IndexSet(w, cells, plan);
      }
    }
  }
  while (budget && !w.pendingLeaves.empty()) {
    Basalt::Ref<ObjectChange> ch(new ObjectChange());
    ch->kind = ChangeKind::leave;
    ch->obj = w.pendingLeaves.front();
    w.pendingLeaves.pop_front();
    out.GetObjects()->Append(ch.get());
    --budget;
  }
  while (budget && !w.unannounced.empty()) {
    std::string key = std::move(w.unannounced.front());
    w.unannounced.pop_front();
    dirty.Drop(key);
    auto it = w.members.find(key);
    if (it == w.members.end() || it->second.announced) continue;
    if (auto ch = Diff(w, it->second, nullptr, context)) {
      out.GetObjects()->Append(ch.get());
      --budget;
    }
  }
  auto& entries = dirty.Entries();
  while (budget && !entries.empty()) {
    DirtySet::Entry entry = std::move(entries.front());
    entries.pop_front();
    if (entry.dropped) continue;
    auto m = w.members.find(*entry.key);
    if (m == w.members.end() || !m->second.announced) continue;
    if (auto ch = Diff(w, m->second, entry.paths.get(), context)) {
      out.GetObjects()->Append(ch.get());
      --budget;
    }
  }
  bool leftDirty = std::any_of(entries.begin(), entries.end(), [](auto const& e) { return !e.dropped; });
  bool left = leftDirty || !w.pendingLeaves.empty() || !w.unannounced.empty();
  if (leftDirty) {
    // over budget: back for the next answer, ahead of what came meanwhile and merged with it
    DirtySet rest;
    for (auto const& e : entries) {
      if (!e.dropped) rest.Add(e.key, e.paths);
    }
    std::lock_guard lock(mu);
    for (auto const& e : w.dirty.Entries()) {
      if (!e.dropped) rest.Add(e.key, e.paths);
    }
    w.dirty.Swap(rest);
  }
  return !left;
}

void QueryService::State::FailCanceled(DeferredCall& call, std::string const& text) {
  std::unique_ptr<MethodFault::Exception> e(
      MakeFault<Fault::RequestCanceled>("quill.query.canceled", text)->CreateException());
  call.Fail(*e);
}

// With the state's mutex held: the collector's waiter, if any, is looked at again on the
// service thread.
void QueryService::State::Kick(std::shared_ptr<Collector> const& c) {
  c->signaled = true;
  if (c->waiter && !c->resumeQueued) {
    c->resumeQueued = true;
    resumeQueue.push_back(c);
    serviceCv.notify_one();
  }
}

// One look at every watch of the collector (its process mutex held): the answer, or null when
// nothing changed and `first` is false.
Basalt::Ref<UpdateBatch> QueryService::State::Collect(Collector& c, std::size_t perAnswer, RequestContext* context,
                                                      bool first) {
  Drain();  // every change notified before now is in this answer or marked for a later one
  std::vector<std::shared_ptr<WatchState>> watches;
  {
    std::lock_guard lock(mu);
    c.signaled = false;
    watches = c.watches;
  }
  Basalt::Ref<UpdateBatch> batch(new UpdateBatch());
  std::size_t budget = perAnswer;
  bool complete = true;
  for (auto const& w : watches) {
    Basalt::Ref<WatchUpdate> update(new WatchUpdate());
    update->watch = w->ref;
    complete = Process(*w, budget, *update, context) && complete;
    if (update->objects && update->objects->size()) batch->GetWatches()->Append(update.get());
  }
  bool changed = batch->watches && batch->watches->size();
  // a first answer always comes, empty or not, so that the caller has a version
  if (!changed && !first) return {};
  if (changed) {
    std::size_t objects = 0;
    for (std::size_t i = 0; i < batch->watches->size(); ++i) objects += (*batch->watches)[i]->objects->size();
    answers.fetch_add(1, std::memory_order_relaxed);
    objectChanges.fetch_add(objects, std::memory_order_relaxed);
  }
  if (!complete) batch->truncated = true;
  batch->version = c.id + ":" + std::to_string(++c.version);
  c.previous = c.issued;
  c.issued = batch->version;
  c.lastBatch = batch;
  return batch;
}

Basalt::Ref<UpdateBatch> QueryService::State::Wait(std::shared_ptr<Collector> const& c,
                                                   Basalt::Optional<std::string> const& version, WaitOptions* opts) {
  auto limit = options.maxWait;
  if (opts && opts->maxWaitSeconds.IsSet()) {
    limit = std::min<std::chrono::milliseconds>(limit, std::chrono::seconds(std::max(0, *opts->maxWaitSeconds)));
  }
  std::size_t perAnswer = options.updatesPerAnswer;
  if (opts && opts->maxObjectUpdates.IsSet() && *opts->maxObjectUpdates > 0) {
    perAnswer = std::min<std::size_t>(perAnswer, static_cast<std::size_t>(*opts->maxObjectUpdates));
  }
  auto deadline = std::chrono::steady_clock::now() + limit;
  std::shared_ptr<DeferredCall> replaced;
  std::uint64_t ticket;
  {
    std::lock_guard lock(mu);
    if (stopped || c->destroyed) Canceled("the collector is destroyed");
    if (c->waiter) replaced = std::move(c->waiter->call);  // a newer wait replaces an older one
    c->waiter.reset();
    ticket = ++c->lastTicket;
  }
  if (replaced) FailCanceled(*replaced, "a newer wait on the collector replaced this one");
  std::unique_lock process(c->processMu);
  RequestContext* context = CallerContext();
  bool first = !version.IsSet() || version->empty();
  if (first) {
    std::lock_guard lock(mu);
    for (auto const& w : c->watches) {
      w->members.clear();
      w->unannounced.clear();
      w->pendingLeaves.clear();
      w->dirty.Clear();
      w->membershipDirty = true;
      Unindex(*w, false);
    }
  } else if (*version == c->previous && c->lastBatch) {
    return c->lastBatch;  // the last answer did not arrive: the same again
  } else if (*version != c->issued) {
    BadToken(*version, "the version '" + *version + "' is not the collector's last");
  }
  if (auto batch = Collect(*c, perAnswer, context, first)) return batch;
  if (limit.count() == 0) return {};
  // Nothing yet: the call is answered later, by the service thread, and holds no thread.
  std::shared_ptr<DeferredCall> call = LocalAdapter::DeferCurrentCall();
  if (!call) return {};  // not called through the adapter: nothing can answer later
  std::lock_guard lock(mu);
  if (stopped || c->destroyed) Canceled("the collector is destroyed");
  if (c->lastTicket != ticket) Canceled("a newer wait on the collector replaced this one");
  c->waiter.reset(new Collector::Waiter{call, deadline, perAnswer, Basalt::Ref<RequestContext>(context)});
  if (c->signaled) Kick(c);
  serviceCv.notify_one();  // a new deadline
  return {};
}

// On the service thread: looks at a waiting collector's watches again and answers its waiter
// when something changed.
void QueryService::State::Resume(std::shared_ptr<Collector> const& c) {
  std::unique_lock process(c->processMu);
  std::size_t perAnswer;
  Basalt::Ref<RequestContext> context;
  Collector::Waiter const* waiter;
  {
    std::lock_guard lock(mu);
    c->resumeQueued = false;
    if (!c->waiter || c->destroyed) return;
    waiter = c->waiter.get();
    perAnswer = c->waiter->perAnswer;
    context = c->waiter->context;
  }
  Basalt::Ref<UpdateBatch> batch = Collect(*c, perAnswer, context.get(), false);
  if (!batch) return;
  std::shared_ptr<DeferredCall> call;
  {
    std::lock_guard lock(mu);
    // Replaced or cancelled meanwhile: the answer stays the collector's last, which the
    // caller gets again by asking with the version it has.
    if (c->waiter.get() != waiter) return;
    call = std::move(c->waiter->call);
    c->waiter.reset();
  }
  call->Complete(batch);
}

void QueryService::State::Run() {
  std::unique_lock lock(mu);
  while (!threadStop) {
    if (inboxReady.load(std::memory_order_relaxed)) {
      lock.unlock();
      try {
        Drain();
      } catch (...) {
        // out of memory while marking: the next notification or wait drains again
      }
      lock.lock();
      continue;
    }
    if (!resumeQueue.empty()) {
      std::shared_ptr<Collector> c = std::move(resumeQueue.front());
      resumeQueue.pop_front();
      lock.unlock();
      try {
        Resume(c);
      } catch (...) {
        // a look that failed (the adapter stopping, say) leaves the waiter for its deadline
      }
      lock.lock();
      continue;
    }
    auto now = std::chrono::steady_clock::now();
    auto next = std::chrono::steady_clock::time_point::max();
    std::vector<std::shared_ptr<DeferredCall>> expired;
    for (auto const& [id, c] : collectors) {
      if (!c->waiter) continue;
      if (c->waiter->deadline <= now) {
        expired.push_back(std::move(c->waiter->call));
        c->waiter.reset();
      } else {
        next = std::min(next, c->waiter->deadline);
      }
    }
    if (!expired.empty()) {
      lock.unlock();
      for (auto const& call : expired) call->Complete(nullptr);  // nothing changed in time
      lock.lock();
      continue;
    }
    if (next == std::chrono::steady_clock::time_point::max()) {
      serviceCv.wait(lock);
    } else {
      serviceCv.wait_until(lock, next);
    }
  }
}

void QueryService::State::CancelWait(Collector& c) {
  std::shared_ptr<DeferredCall> call;
  {
    std::lock_guard lock(mu);
    if (c.waiter) call = std::move(c.waiter->call);
    c.waiter.reset();
  }
  if (call) FailCanceled(*call, "the wait was cancelled");
}

// --- the service ---------------------------------------------------------------------------

QueryService::QueryService(LocalAdapter* adapter, ServiceOptions options)
    : _state(std::make_shared<State>(adapter, options)) {
  if (!adapter) Invalid("adapter", "no adapter to serve");
  _state->rootRef = new MoRef(kCollectorType, kRootId);
  Basalt::Ref<CollectorObject> root(new CollectorObject(_state->rootRef.get(), _state, true));
  adapter->Register(_state->rootRef.get(), root.get());
  adapter->AddObserver(_state);
  _state->thread = std::thread([state = _state] { state->Run(); });
}

QueryService::~QueryService() {
  Stop();
  _state->adapter->Unregister(_state->rootRef.get());
}

MoRef* QueryService::GetRootRef() const { return _state->rootRef.get(); }

void QueryService::Stop() {
  _state->StopAll();
  _state->adapter->RemoveObserver(_state.get());
  {
    std::lock_guard lock(_state->mu);
    _state->threadStop = true;
    _state->serviceCv.notify_all();
  }
  if (_state->thread.joinable()) {
    if (_state->thread.get_id() == std::this_thread::get_id()) {
      _state->thread.detach();  // stopped from an answer's callback: the thread ends by itself
    } else {
      _state->thread.join();
    }
  }
}

QueryService::Stats QueryService::GetStats() const {
  std::lock_guard lock(_state->mu);
  Stats s;
  s.sessions = _state->sessions.size();
  s.collectors = _state->collectors.size();
  s.answers = _state->answers.load(std::memory_order_relaxed);
  s.objectChanges = _state->objectChanges.load(std::memory_order_relaxed);
  for (auto const& [id, c] : _state->collectors) {
    if (c->waiter) ++s.waiting;
    s.watches += c->watches.size();
    for (auto const& w : c->watches) {
      for (auto const& [cells, held] : w->indexed) s.trackedPaths += held.second->paths.size();
    }
  }
  return s;
}

}  // namespace Quill::Query
