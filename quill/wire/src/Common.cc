#include "Common.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "basalt/Optional.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/Identity.h"
#include "quill/ManagedObject.h"

namespace Quill::Wire {

DecodeError::DecodeError(Fault::InvalidRequest* fault, std::string text, Version const* version)
    : Fault::InvalidRequest::Exception(fault), _text(std::move(text)), _version(version) {}
DecodeError::DecodeError(DecodeError const& other) = default;
DecodeError::~DecodeError() = default;
char const* DecodeError::what() const noexcept { return _text.c_str(); }
std::string const& DecodeError::GetMessage() const noexcept { return _text; }
DecodeError* DecodeError::Clone() const { return new DecodeError(*this); }
void DecodeError::Throw() const { throw DecodeError(*this); }

Version const* DefaultVersion() { return GetDefaultVersion(); }

namespace Detail {

VK KindOf(TypeInfo const* t) noexcept {
  switch (t->kind) {
    case KIND_ENUM:
      return VK::Enum;
    case KIND_MANAGED:
      return VK::Ref;
    case KIND_DATA:
    case KIND_FAULT:
      return VK::Data;
    case KIND_ANY:
      return VK::Any;
    default:
      break;
  }
  if (t == &gStringTypeInfo) return VK::String;
  if (t == &gIntTypeInfo) return VK::Int;
  if (t == &gLongTypeInfo) return VK::Long;
  if (t == &gBoolTypeInfo) return VK::Bool;
  std::string_view n = t->name ? t->name : "";
  if (n == "string") return VK::String;
  if (n == "boolean") return VK::Bool;
  if (n == "byte") return VK::Byte;
  if (n == "short") return VK::Short;
  if (n == "int") return VK::Int;
  if (n == "long") return VK::Long;
  if (n == "float") return VK::Float;
  if (n == "double") return VK::Double;
  if (n == "dateTime") return VK::DateTime;
  if (n == "binary") return VK::Binary;
  if (n == "typeName") return VK::TypeName;
  if (n == "methodName") return VK::MethodName;
  if (n == "propertyPath") return VK::PropertyPath;
  if (n == "uri") return VK::Uri;
  return VK::Any;
}

VK KindOf(Type const* t) noexcept { return KindOf(t->GetTypeInfo()); }

Type* ScalarType(VK k) noexcept {
  switch (k) {
    case VK::Bool:
      return GetNoType<bool>();
    case VK::Byte:
      return GetNoType<signed char>();
    case VK::Short:
      return GetNoType<short>();
    case VK::Int:
      return GetNoType<int>();
    case VK::Long:
      return GetNoType<long>();
    case VK::Float:
      return GetNoType<float>();
    case VK::Double:
      return GetNoType<double>();
    case VK::String:
      return GetNoType<std::string>();
    case VK::DateTime:
      return GetNoType<Basalt::System::DateTime>();
    case VK::Binary:
      return GetNoType<std::vector<unsigned char>>();
    case VK::TypeName:
      return GetNoType<TypeName>();
    case VK::MethodName:
      return GetNoType<MethodName>();
    case VK::PropertyPath:
      return GetNoType<PropertyPath>();
    case VK::Uri:
      return GetNoType<Uri>();
    case VK::Any:
      return GetNoType<Any>();
    case VK::Ref:
      return GetMoType<ManagedObject>();
    default:
      return nullptr;
  }
}

bool IsXsdScalar(VK k) noexcept { return k != VK::TypeName && k != VK::MethodName && k != VK::PropertyPath; }

char const* WsdlNameOf(VK k, Type const* type) {
  if (k == VK::Ref) return "ManagedObjectReference";
  if (IsScalar(k) || k == VK::Any) return ScalarType(k)->GetWsdlName();
  return type->GetWsdlName();
}

std::string ArrayWsdlName(VK k, Type const* elementType) {
  std::string name = "ArrayOf";
  name += WsdlNameOf(k, elementType);
  name[7] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[7])));
  return name;
}

char const* ItemElementName(VK k, Type const* elementType) { return WsdlNameOf(k, elementType); }

Named ResolveWireType(std::string_view local) {
  Named n;
  if (local == "ManagedObjectReference") {
    n.known = true;
    n.vk = VK::Ref;
    n.type = ScalarType(VK::Ref);
    return n;
  }
  if (local == "ArrayOfManagedObjectReference") {
    n.known = n.array = true;
    n.vk = VK::Ref;
    n.type = ScalarType(VK::Ref);
    return n;
  }
  Type* t = FindTypeByWsdlName(local);
  if (!t) return n;
  if (t->IsArray()) {
    n.array = true;
    t = t->GetElementType();
  }
  n.vk = KindOf(t);
  // A managed type named as a value type is not a value.
  if (n.vk == VK::Ref) return Named{};
  if (n.vk == VK::Any && t->GetKind() != KIND_ANY) return Named{};
  n.known = true;
  n.type = t;
  return n;
}

std::string_view RefWireType(std::string const& sedgeName) {
  Type* t = FindType(sedgeName);
  if (t && t->GetKind() == KIND_MANAGED) return t->GetWsdlName();
  return sedgeName;
}

std::string RefSedgeType(std::string_view wireName) {
  Type* t = FindTypeByWsdlName(wireName);
  if (t && t->GetKind() == KIND_MANAGED) return t->GetName();
  // A sedge name, or a type of a newer peer: kept as written.
  return std::string(wireName);
}

// --- plans --------------------------------------------------------------------

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
  // path every object of every message takes.
  thread_local std::unordered_map<void const*, Plan const*> local[3];
  auto it = local[kind].find(key);
  if (it != local[kind].end()) return *it->second;
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
                                   std::string const& path) {
  DataObjectType const* t = TypeForVersion(actual, vf);
  if (t && (!declared || t->IsSubtypeOf(declared)) && t->GetDescriptor()->create) return t;
  std::string where = path.empty() ? std::string() : " at '" + path + "'";
  if (t && (!declared || t->IsSubtypeOf(declared))) {
    // Only the abstract root is left: the reader could make nothing of it.
    ThrowNotSupported(std::string("class ") + actual->GetName() + where + " does not exist in version " +
                      vf.version()->GetName() + ", nor does any of its base classes but the abstract root");
  }
  ThrowNotSupported(std::string("class ") + (declared ? declared->GetName() : actual->GetName()) + where +
                    " does not exist in version " + vf.version()->GetName());
}

Version const* VersionOrDefault(Version const* v) { return v ? v : DefaultVersion(); }

// --- values ---------------------------------------------------------------------

void* Scalar::Ptr(VK k) noexcept {
  switch (k) {
    case VK::Bool:
      return &b;
    case VK::Byte:
      return &c;
    case VK::Short:
      return &s;
    case VK::Int:
    case VK::Enum:
      return &i;
    case VK::Long:
      return &l;
    case VK::Float:
      return &f;
    case VK::Double:
      return &d;
    case VK::String:
      return &str;
    case VK::DateTime:
      return &dt;
    case VK::Binary:
      return &bin;
    case VK::TypeName:
      return &tn;
    case VK::MethodName:
      return &mn;
    case VK::PropertyPath:
      return &pp;
    case VK::Uri:
      return &uri;
    default:
      return nullptr;
  }
}

void StoreScalar(Slot const& s, DynamicData* obj, VK k, Scalar& v) {
  if (k == VK::String && s.owner->swapProperty) {
    if (s.optional) {
      Basalt::Optional<std::string> o;
      o.Emplace().swap(v.str);
      s.owner->swapProperty(obj, s.ownIndex, &o);
    } else {
      s.owner->swapProperty(obj, s.ownIndex, &v.str);
    }
    return;
  }
  s.owner->setProperty(obj, s.ownIndex, v.Ptr(k));
}

Basalt::Ref<Any> BoxScalar(VK k, Type const* type, Scalar& v) {
  switch (k) {
    case VK::Bool:
      return Basalt::Ref<Any>(Primitive<bool>::Get(v.b));
    case VK::Byte:
      return Basalt::Ref<Any>(new Primitive<signed char>(v.c));
    case VK::Short:
      return Basalt::Ref<Any>(new Primitive<short>(v.s));
    case VK::Int:
      return Basalt::Ref<Any>(new Primitive<int>(v.i));
    case VK::Long:
      return Basalt::Ref<Any>(new Primitive<long>(v.l));
    case VK::Float:
      return Basalt::Ref<Any>(new Primitive<float>(v.f));
    case VK::Double:
      return Basalt::Ref<Any>(new Primitive<double>(v.d));
    case VK::String:
      return Basalt::Ref<Any>(new Primitive<std::string>(std::move(v.str)));
    case VK::DateTime:
      return Basalt::Ref<Any>(new Primitive<Basalt::System::DateTime>(v.dt));
    case VK::Binary:
      return Basalt::Ref<Any>(new Primitive<std::vector<unsigned char>>(std::move(v.bin)));
    case VK::TypeName:
      return Basalt::Ref<Any>(new Primitive<TypeName>(std::move(v.tn)));
    case VK::MethodName:
      return Basalt::Ref<Any>(new Primitive<MethodName>(std::move(v.mn)));
    case VK::PropertyPath:
      return Basalt::Ref<Any>(new Primitive<PropertyPath>(std::move(v.pp)));
    case VK::Uri:
      return Basalt::Ref<Any>(new Primitive<Uri>(std::move(v.uri)));
    case VK::Enum:
      return Basalt::Ref<Any>(static_cast<EnumType const*>(type)->GetFuncs().box(v.i));
    default:
      return {};
  }
}

Basalt::Ref<Any> NewArray(VK k, Type const* elementType) {
  switch (k) {
    case VK::Bool:
      return Basalt::Ref<Any>(new Array<bool>());
    case VK::Byte:
      return Basalt::Ref<Any>(new Array<signed char>());
    case VK::Short:
      return Basalt::Ref<Any>(new Array<short>());
    case VK::Int:
      return Basalt::Ref<Any>(new Array<int>());
    case VK::Long:
      return Basalt::Ref<Any>(new Array<long>());
    case VK::Float:
      return Basalt::Ref<Any>(new Array<float>());
    case VK::Double:
      return Basalt::Ref<Any>(new Array<double>());
    case VK::String:
      return Basalt::Ref<Any>(new Array<std::string>());
    case VK::DateTime:
      return {};  // the runtime has no array of date-times
    case VK::Binary:
      return Basalt::Ref<Any>(new Array<std::vector<unsigned char>>());
    case VK::TypeName:
      return Basalt::Ref<Any>(new Array<TypeName>());
    case VK::MethodName:
      return Basalt::Ref<Any>(new Array<MethodName>());
    case VK::PropertyPath:
      return Basalt::Ref<Any>(new Array<PropertyPath>());
    case VK::Uri:
      return Basalt::Ref<Any>(new Array<Uri>());
    case VK::Enum:
      return Basalt::Ref<Any>(static_cast<EnumType const*>(elementType)->GetFuncs().createArray());
    case VK::Ref:
      return Basalt::Ref<Any>(new DataArray<MoRef>());
    case VK::Any:
      return Basalt::Ref<Any>(new DataArray<Any>());
    case VK::Data:
      return Basalt::Ref<Any>(static_cast<DataObjectType const*>(elementType)->CreateArray());
  }
  return {};
}

void AppendScalar(Any* array, VK k, Scalar& v) {
  switch (k) {
    case VK::Bool:
      static_cast<Array<bool>*>(array)->GetValues().push_back(v.b);
      break;
    case VK::Byte:
      static_cast<Array<signed char>*>(array)->GetValues().push_back(v.c);
      break;
    case VK::Short:
      static_cast<Array<short>*>(array)->GetValues().push_back(v.s);
      break;
    case VK::Int:
    case VK::Enum:
      static_cast<Array<int>*>(array)->GetValues().push_back(v.i);
      break;
    case VK::Long:
      static_cast<Array<long>*>(array)->GetValues().push_back(v.l);
      break;
    case VK::Float:
      static_cast<Array<float>*>(array)->GetValues().push_back(v.f);
      break;
    case VK::Double:
      static_cast<Array<double>*>(array)->GetValues().push_back(v.d);
      break;
    case VK::String:
      static_cast<Array<std::string>*>(array)->GetValues().push_back(std::move(v.str));
      break;
    case VK::Binary:
      static_cast<Array<std::vector<unsigned char>>*>(array)->GetValues().push_back(std::move(v.bin));
      break;
    case VK::TypeName:
      static_cast<Array<TypeName>*>(array)->GetValues().push_back(std::move(v.tn));
      break;
    case VK::MethodName:
      static_cast<Array<MethodName>*>(array)->GetValues().push_back(std::move(v.mn));
      break;
    case VK::PropertyPath:
      static_cast<Array<PropertyPath>*>(array)->GetValues().push_back(std::move(v.pp));
      break;
    case VK::Uri:
      static_cast<Array<Uri>*>(array)->GetValues().push_back(std::move(v.uri));
      break;
    default:
      break;
  }
}

std::size_t ArrayLength(Any const* a, VK k) noexcept {
  if (!a) return 0;
  if (k == VK::Ref || k == VK::Any || k == VK::Data) return static_cast<DataArrayBase const*>(a)->size();
  return static_cast<Collection const*>(a)->GetCollectionLength();
}

void const* ArrayItem(Any const* a, VK k, std::size_t i) noexcept {
  switch (k) {
    case VK::Bool:
      return &static_cast<Array<bool> const*>(a)->GetValues()[i];
    case VK::Byte:
      return &static_cast<Array<signed char> const*>(a)->GetValues()[i];
    case VK::Short:
      return &static_cast<Array<short> const*>(a)->GetValues()[i];
    case VK::Int:
    case VK::Enum:
      return &static_cast<Array<int> const*>(a)->GetValues()[i];
    case VK::Long:
      return &static_cast<Array<long> const*>(a)->GetValues()[i];
    case VK::Float:
      return &static_cast<Array<float> const*>(a)->GetValues()[i];
    case VK::Double:
      return &static_cast<Array<double> const*>(a)->GetValues()[i];
    case VK::String:
      return &static_cast<Array<std::string> const*>(a)->GetValues()[i];
    case VK::Binary:
      return &static_cast<Array<std::vector<unsigned char>> const*>(a)->GetValues()[i];
    case VK::TypeName:
      return &static_cast<Array<TypeName> const*>(a)->GetValues()[i];
    case VK::MethodName:
      return &static_cast<Array<MethodName> const*>(a)->GetValues()[i];
    case VK::PropertyPath:
      return &static_cast<Array<PropertyPath> const*>(a)->GetValues()[i];
    case VK::Uri:
      return &static_cast<Array<Uri> const*>(a)->GetValues()[i];
    default:
      return static_cast<DataArrayBase const*>(a)->GetAny(i);
  }
}

void const* BoxValue(Any const* box, VK k, Type const* type, int& tmp) {
  switch (k) {
    case VK::Bool:
      tmp = static_cast<Primitive<bool> const*>(box)->GetValue();
      return &tmp;
    case VK::Byte:
      return &static_cast<Primitive<signed char> const*>(box)->GetValue();
    case VK::Short:
      return &static_cast<Primitive<short> const*>(box)->GetValue();
    case VK::Int:
      return &static_cast<Primitive<int> const*>(box)->GetValue();
    case VK::Long:
      return &static_cast<Primitive<long> const*>(box)->GetValue();
    case VK::Float:
      return &static_cast<Primitive<float> const*>(box)->GetValue();
    case VK::Double:
      return &static_cast<Primitive<double> const*>(box)->GetValue();
    case VK::String:
      return &static_cast<Primitive<std::string> const*>(box)->GetValue();
    case VK::DateTime:
      return &static_cast<Primitive<Basalt::System::DateTime> const*>(box)->GetValue();
    case VK::Binary:
      return &static_cast<Primitive<std::vector<unsigned char>> const*>(box)->GetValue();
    case VK::TypeName:
      return &static_cast<Primitive<TypeName> const*>(box)->GetValue();
    case VK::MethodName:
      return &static_cast<Primitive<MethodName> const*>(box)->GetValue();
    case VK::PropertyPath:
      return &static_cast<Primitive<PropertyPath> const*>(box)->GetValue();
    case VK::Uri:
      return &static_cast<Primitive<Uri> const*>(box)->GetValue();
    case VK::Enum:
      tmp = static_cast<EnumType const*>(type)->GetFuncs().unbox(box);
      return &tmp;
    default:
      return box;
  }
}

std::string const& StringOf(VK k, void const* p) noexcept {
  switch (k) {
    case VK::TypeName:
      return static_cast<TypeName const*>(p)->GetString();
    case VK::MethodName:
      return static_cast<MethodName const*>(p)->GetString();
    case VK::PropertyPath:
      return static_cast<PropertyPath const*>(p)->GetString();
    case VK::Uri:
      return static_cast<Uri const*>(p)->GetString();
    default:
      return *static_cast<std::string const*>(p);
  }
}

void SetStringScalar(VK k, std::string&& text, Scalar& v) {
  switch (k) {
    case VK::TypeName:
      v.tn.GetString() = std::move(text);
      break;
    case VK::MethodName:
      v.mn.GetString() = std::move(text);
      break;
    case VK::PropertyPath:
      v.pp = PropertyPath(std::move(text));
      break;
    case VK::Uri:
      v.uri.GetString() = std::move(text);
      break;
    default:
      v.str = std::move(text);
      break;
  }
}

namespace {
template <class F>
void AppendFloating(std::string& out, F v) {
  if (std::isnan(v)) {
    out += "NaN";
  } else if (std::isinf(v)) {
    out += v < 0 ? "-INF" : "INF";
  } else {
    char buf[40];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
  }
}
template <class I>
void AppendInteger(std::string& out, I v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}
}  // namespace

void AppendNumberText(std::string& out, VK k, void const* p) {
  switch (k) {
    case VK::Bool:
      out += *static_cast<unsigned char const*>(p) ? "true" : "false";
      break;
    case VK::Byte:
      AppendInteger(out, static_cast<int>(*static_cast<signed char const*>(p)));
      break;
    case VK::Short:
      AppendInteger(out, *static_cast<short const*>(p));
      break;
    case VK::Int:
      AppendInteger(out, *static_cast<int const*>(p));
      break;
    case VK::Long:
      AppendInteger(out, *static_cast<long const*>(p));
      break;
    case VK::Float:
      AppendFloating(out, *static_cast<float const*>(p));
      break;
    case VK::Double:
      AppendFloating(out, *static_cast<double const*>(p));
      break;
    case VK::DateTime:
      AppendDateTime(out, *static_cast<Basalt::System::DateTime const*>(p));
      break;
    case VK::Binary:
      AppendBase64(out, *static_cast<std::vector<unsigned char> const*>(p));
      break;
    default:
      break;
  }
}

void AppendDateTime(std::string& out, Basalt::System::DateTime const& dt) {
  std::int64_t us = dt.GetUtcTime();
  std::int64_t secs = us >= 0 ? us / 1000000 : -((-us + 999999) / 1000000);
  std::int64_t frac = us - secs * 1000000;
  std::int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
  std::int64_t sod = secs - days * 86400;
  // Civil date from days since the epoch (proleptic Gregorian).
  std::int64_t z = days + 719468;
  std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  std::int64_t doe = z - era * 146097;
  std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t y = yoe + era * 400;
  std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  std::int64_t mp = (5 * doy + 2) / 153;
  std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char buf[48];
  auto two = [](char* p, std::int64_t v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
  };
  char* p = buf;
  if (y < 0 || y > 9999) {
    auto r = std::to_chars(p, buf + 20, y);
    p = r.ptr;
  } else {
    two(p, y / 100);
    two(p + 2, y % 100);
    p += 4;
  }
  *p++ = '-';
  two(p, m);
  p += 2;
  *p++ = '-';
  two(p, d);
  p += 2;
  *p++ = 'T';
  two(p, sod / 3600);
  p += 2;
  *p++ = ':';
  two(p, sod / 60 % 60);
  p += 2;
  *p++ = ':';
  two(p, sod % 60);
  p += 2;
  if (frac) {
    *p++ = '.';
    std::int64_t div = 100000;
    while (frac) {
      *p++ = static_cast<char>('0' + frac / div);
      frac %= div;
      div /= 10;
    }
  }
  *p++ = 'Z';
  out.append(buf, p);
}

namespace {
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

void AppendBase64(std::string& out, std::vector<unsigned char> const& bin) {
  std::size_t n = bin.size();
  std::size_t at = out.size();
  out.resize(at + (n + 2) / 3 * 4);
  char* p = out.data() + at;
  std::size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    unsigned v = (bin[i] << 16) | (bin[i + 1] << 8) | bin[i + 2];
    *p++ = kB64[v >> 18];
    *p++ = kB64[(v >> 12) & 63];
    *p++ = kB64[(v >> 6) & 63];
    *p++ = kB64[v & 63];
  }
  if (i < n) {
    unsigned v = bin[i] << 16;
    if (i + 1 < n) v |= bin[i + 1] << 8;
    *p++ = kB64[v >> 18];
    *p++ = kB64[(v >> 12) & 63];
    *p++ = i + 1 < n ? kB64[(v >> 6) & 63] : '=';
    *p++ = '=';
  }
}

bool DecodeBase64(std::string_view text, std::vector<unsigned char>& out) {
  static signed char const* const table = [] {
    static signed char t[256];
    std::memset(t, -1, sizeof t);
    for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kB64[i])] = static_cast<signed char>(i);
    return t;
  }();
  out.clear();
  out.reserve(text.size() / 4 * 3);
  unsigned acc = 0;
  int bits = 0, pad = 0;
  for (char ch : text) {
    if (ch == ' ' || ch == '\n' || ch == '\r' || ch == '\t') continue;  // line-wrapped base64
    if (ch == '=') {
      ++pad;
      continue;
    }
    signed char v = table[static_cast<unsigned char>(ch)];
    if (v < 0 || pad) return false;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<unsigned char>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  // Leftover bits must be zeros, and exactly the padding that completes the quantum.
  if (bits == 6 || acc != 0) return false;
  return pad == (bits == 4 ? 2 : bits == 2 ? 1 : 0);
}

namespace {
std::string_view Trim(std::string_view s) {
  auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && ws(s.front())) s.remove_prefix(1);
  while (!s.empty() && ws(s.back())) s.remove_suffix(1);
  return s;
}
template <class I>
bool ParseInt(std::string_view t, I& out, long lo, long hi, char const*& what) {
  long v = 0;
  char const* b = t.data();
  char const* e = b + t.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, v);
  if (r.ec == std::errc::result_out_of_range) {
    what = "out of range";
    return false;
  }
  if (r.ec != std::errc() || r.ptr != e || b == e) {
    what = "not an integer";
    return false;
  }
  if (v < lo || v > hi) {
    what = "out of range";
    return false;
  }
  out = static_cast<I>(v);
  return true;
}
template <class F>
bool ParseFloat(std::string_view t, F& out, char const*& what) {
  if (t == "NaN") {
    out = std::numeric_limits<F>::quiet_NaN();
    return true;
  }
  if (t == "INF" || t == "+INF") {
    out = std::numeric_limits<F>::infinity();
    return true;
  }
  if (t == "-INF") {
    out = -std::numeric_limits<F>::infinity();
    return true;
  }
  char const* b = t.data();
  char const* e = b + t.size();
  if (b != e && *b == '+') ++b;
  auto r = std::from_chars(b, e, out);
  if (r.ec == std::errc::result_out_of_range) {
    what = "out of range";
    return false;
  }
  if (r.ec != std::errc() || r.ptr != e || b == e) {
    what = "not a number";
    return false;
  }
  return true;
}
}  // namespace

bool ParseScalarText(VK k, std::string_view text, Scalar& v, char const*& what) {
  std::string_view t = Trim(text);
  switch (k) {
    case VK::Bool:
      if (t == "true" || t == "1") {
        v.b = true;
        return true;
      }
      if (t == "false" || t == "0") {
        v.b = false;
        return true;
      }
      what = "not a boolean";
      return false;
    case VK::Byte:
      return ParseInt(t, v.c, -128, 127, what);
    case VK::Short:
      return ParseInt(t, v.s, -32768, 32767, what);
    case VK::Int:
      return ParseInt(t, v.i, -2147483648L, 2147483647L, what);
    case VK::Long:
      return ParseInt(t, v.l, std::numeric_limits<long>::min(), std::numeric_limits<long>::max(), what);
    case VK::Float:
      return ParseFloat(t, v.f, what);
    case VK::Double:
      return ParseFloat(t, v.d, what);
    case VK::DateTime:
      if (!Basalt::System::DateTime::TryFromIso8601(t, v.dt)) {
        what = "not an ISO 8601 date-time";
        return false;
      }
      return true;
    case VK::Binary:
      if (!DecodeBase64(t, v.bin)) {
        what = "not base64";
        return false;
      }
      return true;
    default:
      what = "not a scalar";
      return false;
  }
}

std::size_t InvalidUtf8At(std::string_view s) noexcept {
  auto const* p = reinterpret_cast<unsigned char const*>(s.data());
  std::size_t n = s.size(), i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else
      return i;
    if (i + len > n) return i;
    for (std::size_t j = 1; j < len; ++j) {
      if ((p[i + j] & 0xC0) != 0x80) return i;
      cp = (cp << 6) | (p[i + j] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return i;
    }
    i += len;
  }
  return std::string_view::npos;
}

namespace {
constexpr char kNonCharacter[] = "a non-character (U+FFFE or U+FFFF)";
}

std::size_t BadCharAt(std::string_view s, char const*& why) noexcept {
  auto const* p = reinterpret_cast<unsigned char const*>(s.data());
  std::size_t n = s.size();
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x80) continue;
    if (c < 0x20) {
      if (c == '\t' || c == '\n' || c == '\r') continue;
      why = "a control character";
      return i;
    }
    // From the first byte past ASCII: validate the rest, then look for the
    // two non-characters (EF BF BE, EF BF BF) XML excludes.
    std::size_t bad = InvalidUtf8At(s.substr(i));
    for (std::size_t k = i; k < n && (bad == std::string_view::npos || k < i + bad); ++k) {
      unsigned char d = p[k];
      if (d < 0x20 && d != '\t' && d != '\n' && d != '\r') {
        why = "a control character";
        return k;
      }
      if (d == 0xEF && k + 2 < n && p[k + 1] == 0xBF && (p[k + 2] == 0xBE || p[k + 2] == 0xBF)) {
        why = kNonCharacter;
        return k;
      }
    }
    if (bad != std::string_view::npos) {
      why = "invalid UTF-8";
      return i + bad;
    }
    return std::string_view::npos;
  }
  return std::string_view::npos;
}

std::string Printable(std::string_view s, std::size_t max) {
  bool cut = s.size() > max;
  if (cut) s = s.substr(0, max);
  std::string out;
  out.reserve(s.size());
  while (!s.empty()) {
    char const* why = nullptr;
    std::size_t bad = BadCharAt(s, why);
    if (bad == std::string_view::npos) {
      out.append(s);
      break;
    }
    out.append(s.substr(0, bad));
    // A non-character is three bytes, all shown; otherwise the one bad byte.
    std::size_t len = why == kNonCharacter ? 3 : 1;
    for (std::size_t k = 0; k < len && bad + k < s.size(); ++k) {
      auto b = static_cast<unsigned char>(s[bad + k]);
      out += "\\x";
      out += "0123456789ABCDEF"[b >> 4];
      out += "0123456789ABCDEF"[b & 15];
    }
    s.remove_prefix(std::min(s.size(), bad + len));
  }
  if (cut) out += "...";
  return out;
}

std::string PathText(WritePath const& path, std::string_view leaf) {
  std::string out;
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (!out.empty()) out += '.';
    out.append(path[i]);
  }
  if (!leaf.empty()) {
    if (!out.empty()) out += '.';
    out.append(leaf);
  }
  return Printable(out);
}

void ThrowBadString(std::string_view s, std::size_t bad, std::string_view path) {
  char const* why = "invalid UTF-8";
  BadCharAt(s, why);
  ThrowEncode(std::string(why) + " at byte " + std::to_string(bad) + " of the string of '" + std::string(path) +
              "' cannot be carried (strings hold UTF-8 text of XML characters)");
}

bool TryAppendXmlEscaped(std::string& out, std::string_view s, std::size_t& bad) {
  char const* p = s.data();
  char const* e = p + s.size();
  char const* run = p;
  bool high = false;
  for (; p != e; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    char const* rep;
    if (c >= 0x3f) {  // past '>': nothing to escape
      high |= c >= 0x80;
      continue;
    }
    switch (c) {
      case '<':
        rep = "&lt;";
        break;
      case '>':
        rep = "&gt;";
        break;
      case '&':
        rep = "&amp;";
        break;
      case '"':
        rep = "&quot;";
        break;
      // Readers fold CR and, in attributes, tab and newline: carried as references.
      case '\r':
        rep = "&#13;";
        break;
      case '\t':
        rep = "&#9;";
        break;
      case '\n':
        rep = "&#10;";
        break;
      default:
        if (c < 0x20) {
          bad = static_cast<std::size_t>(p - s.data());
          return false;
        }
        continue;
    }
    out.append(run, p);
    out += rep;
    run = p + 1;
  }
  out.append(run, p);
  if (high) {
    char const* why = nullptr;
    bad = BadCharAt(s, why);
    if (bad != std::string_view::npos) return false;
  }
  return true;
}

void AppendXmlEscaped(std::string& out, std::string_view s, std::string_view where) {
  std::size_t bad = 0;
  if (!TryAppendXmlEscaped(out, s, bad)) ThrowBadString(s, bad, where);
}

void AppendJsonString(std::string& out, std::string_view s, std::string_view where, bool strict) {
  out += '"';
  char const* p = s.data();
  char const* e = p + s.size();
  char const* run = p;
  bool high = false;
  for (; p != e; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') {
      high |= c >= 0x80;
      continue;
    }
    out.append(run, p);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        if (strict) ThrowBadString(s, static_cast<std::size_t>(p - s.data()), where);
        char buf[8] = "\\u00";
        buf[4] = "0123456789abcdef"[c >> 4];
        buf[5] = "0123456789abcdef"[c & 15];
        out.append(buf, 6);
      }
    }
    run = p + 1;
  }
  out.append(run, p);
  out += '"';
  if (high) {
    char const* why = nullptr;
    std::size_t bad = strict ? BadCharAt(s, why) : InvalidUtf8At(s);
    if (bad != std::string_view::npos) ThrowBadString(s, bad, where);
  }
}

// --- errors ---------------------------------------------------------------------

namespace {
template <class F>
void AddMessage(F* fault, char const* key, std::string const& text) {
  auto* msg = new LocalizableMessage();
  msg->key = key;
  msg->message = text;
  fault->GetFaultMessage()->Append(msg);
}
}  // namespace

// Messages quote input (names, tags, values): whatever it held, the message
// is text a fault can carry.
void ThrowDecode(std::string text, Version const* version) {
  text = Printable(text, std::string::npos);
  Basalt::Ref<Fault::InvalidRequest> fault(new Fault::InvalidRequest());
  AddMessage(fault.get(), "quill.wire.decode", text);
  throw DecodeError(fault.get(), std::move(text), version);
}

void ThrowEncode(std::string text) {
  text = Printable(text, std::string::npos);
  Basalt::Ref<Fault::InvalidArgument> fault(new Fault::InvalidArgument());
  AddMessage(fault.get(), "quill.wire.encode", text);
  fault->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

void ThrowNotSupported(std::string text) {
  text = Printable(text, std::string::npos);
  Basalt::Ref<Fault::NotSupported> fault(new Fault::NotSupported());
  AddMessage(fault.get(), "quill.wire.version", text);
  fault->ThrowInternal();
  Basalt::Panic("NOT_REACHED %s:%d\n", __FILE__, __LINE__);
}

}  // namespace Detail
}  // namespace Quill::Wire
