#include "Fill.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <type_traits>
#include <vector>

#include "basalt/DateTime.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/MethodFault.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/StubSupport.h"
#include "quill/Values.h"
#include "quill/wire/Wire.h"

namespace wire_test {

using Quill::PropertyInfo;

namespace {

int gSeq = 0;

// Characters that the encodings must escape, and some that are not ASCII.
std::string Str(int seq) { return "s" + std::to_string(seq) + " <&>\"' \t\r\n\xc3\xa9\xe2\x9c\x93"; }

// Calls f with a value of the property's plain type (enumerations as int).
template <class F>
void WithPlain(PropertyInfo const& p, int seq, F f) {
  std::string t = p.flags & Quill::F_LINK ? "string" : p.type->name;
  if (p.type->kind == Quill::KIND_ENUM && !(p.flags & Quill::F_LINK)) {
    auto* e = static_cast<Quill::EnumType*>(Quill::FindTypeByInfo(p.type));
    f(static_cast<int>(seq % e->GetTagCount()));
  } else if (t == "string") {
    f(Str(seq));
  } else if (t == "boolean") {
    f(seq % 2 == 0);
  } else if (t == "byte") {
    f(static_cast<signed char>(seq % 256 - 128));
  } else if (t == "short") {
    f(static_cast<short>(-1234 - seq % 30000));
  } else if (t == "int") {
    f(seq % 3 ? 100000 + seq * 7 : -2147483647 - 1 + seq);
  } else if (t == "long") {
    f(seq % 3 ? (1L << 40) + seq : -(1L << 62) - seq);
  } else if (t == "float") {
    f(0.1f * static_cast<float>(seq) + 0.3f);
  } else if (t == "double") {
    f(seq % 2 ? 1.0 / 3 * seq : 1e300 / (seq + 1));
  } else if (t == "dateTime") {
    f(Basalt::System::DateTime(1700000000123456L + seq * 1000001L));
  } else if (t == "binary") {
    f(std::vector<unsigned char>{0, 255, static_cast<unsigned char>(seq), '<', '&'});
  } else if (t == "typeName") {
    f(Quill::TypeName("tarn.Folder" + std::to_string(seq)));
  } else if (t == "methodName") {
    f(Quill::MethodName("tarn.Folder.createFolder" + std::to_string(seq)));
  } else if (t == "propertyPath") {
    f(Quill::PropertyPath("config.hardware.device" + std::to_string(seq)));
  } else if (t == "uri") {
    f(Quill::Uri("https://x.invalid/" + std::to_string(seq) + "?a=1&b=2"));
  } else {
    ADD_FAILURE_AT(__FILE__, __LINE__);
  }
}

bool IsPlain(PropertyInfo const& p) {
  if (p.flags & Quill::F_LINK) return true;
  auto k = p.type->kind;
  return k == Quill::KIND_PRIMITIVE || k == Quill::KIND_ENUM;
}

Basalt::Ref<Quill::Any> BoxPlain(PropertyInfo const& p, int seq) {
  Basalt::Ref<Quill::Any> r;
  if (p.type->kind == Quill::KIND_ENUM && !(p.flags & Quill::F_LINK)) {
    auto* e = static_cast<Quill::EnumType*>(Quill::FindTypeByInfo(p.type));
    return Basalt::Ref<Quill::Any>(e->GetFuncs().box(seq % e->GetTagCount()));
  }
  WithPlain(p, seq, [&](auto v) { r = Quill::Box(v); });
  return r;
}

Basalt::Ref<Quill::Any> PlainArray(PropertyInfo const& p, int seq) {
  if (p.type->kind == Quill::KIND_ENUM && !(p.flags & Quill::F_LINK)) {
    auto* e = static_cast<Quill::EnumType*>(Quill::FindTypeByInfo(p.type));
    Basalt::Ref<Quill::Any> a(e->GetFuncs().createArray());
    auto& values = static_cast<Quill::Array<int>*>(a.get())->GetValues();
    values.push_back(seq % e->GetTagCount());
    values.push_back((seq + 1) % e->GetTagCount());
    return a;
  }
  Basalt::Ref<Quill::Any> r;
  WithPlain(p, seq, [&](auto v) {
    using V = decltype(v);
    if constexpr (!std::is_same_v<V, Basalt::System::DateTime>) {
      auto* a = new Quill::Array<V>();
      r = a;
      a->Append(v);
      WithPlain(p, seq + 1, [&](auto w) {
        if constexpr (std::is_same_v<decltype(w), V>) a->Append(w);
      });
    }
  });
  return r;
}

Basalt::Ref<Quill::Any> ObjectValue(PropertyInfo const& p, int seq, int depth) {
  switch (p.type->kind) {
    case Quill::KIND_MANAGED:
      return Basalt::Ref<Quill::Any>(new Quill::MoRef(p.type->name, "obj-" + std::to_string(seq)));
    case Quill::KIND_ANY:
      return AnyForm(seq);
    default: {
      auto* declared = static_cast<Quill::DataObjectType*>(Quill::FindTypeByInfo(p.type));
      Quill::DataObjectType* t = Concrete(declared);
      if (!t) return {};
      Basalt::Ref<Quill::DynamicData> obj(t->Create());
      if (depth > 0) FillObject(obj.get(), depth - 1);
      return Basalt::Ref<Quill::Any>(obj.get());
    }
  }
}

Basalt::Ref<Quill::Any> ObjectArray(PropertyInfo const& p, int seq, int depth) {
  Basalt::Ref<Quill::Any> a;
  switch (p.type->kind) {
    case Quill::KIND_MANAGED:
      a = new Quill::DataArray<Quill::MoRef>();
      break;
    case Quill::KIND_ANY:
      a = new Quill::DataArray<Quill::Any>();
      break;
    default:
      a = static_cast<Quill::DataObjectType*>(Quill::FindTypeByInfo(p.type))->CreateArray();
  }
  for (int i = 0; i < 2; ++i) {
    Basalt::Ref<Quill::Any> item = ObjectValue(p, seq + i, depth);
    if (item) static_cast<Quill::DataArrayBase*>(a.get())->AppendAny(item.get());
  }
  return a;
}

}  // namespace

Quill::DataObjectType* Concrete(Quill::DataObjectType const* t) {
  static std::mutex m;
  static std::map<Quill::DataObjectType const*, Quill::DataObjectType*> cache;
  std::lock_guard<std::mutex> lock(m);
  auto it = cache.find(t);
  if (it != cache.end()) return it->second;
  Quill::DataObjectType* found = nullptr;
  Basalt::Ref<Quill::DynamicData> probe(t->Create());
  if (probe) {
    found = const_cast<Quill::DataObjectType*>(t);
  } else {
    for (auto kind : {Quill::KIND_DATA, Quill::KIND_FAULT}) {
      for (Quill::Type* c : Quill::GetTypesOfKind(kind)) {
        auto* d = static_cast<Quill::DataObjectType*>(c);
        if (found || d == t || !d->IsSubtypeOf(t) || !Quill::ExistsInVersion(d, Quill::Wire::DefaultVersion())) {
          continue;
        }
        Basalt::Ref<Quill::DynamicData> made(d->Create());
        if (made) found = d;
      }
    }
  }
  cache[t] = found;
  return found;
}

void FillObject(Quill::DynamicData* obj, int depth) {
  Quill::DataObjectType* type = obj->_GetDataType();
  for (std::uint32_t i = 0; i < type->GetPropertyCount(); ++i) {
    Quill::DataProperty const& dp = type->GetProperty(i);
    PropertyInfo const& p = *dp.info;
    // What the default version of a message does not carry cannot come back.
    if (!Quill::ExistsInVersion(p, Quill::Wire::DefaultVersion())) continue;
    int seq = ++gSeq;
    bool required = !(p.flags & Quill::F_OPTIONAL);
    if (p.flags & Quill::F_ARRAY) {
      Basalt::Ref<Quill::Any> a = IsPlain(p) ? PlainArray(p, seq) : ObjectArray(p, seq, depth);
      if (a) dp.owner->setProperty(obj, dp.ownIndex, &a);
    } else if (IsPlain(p)) {
      if (p.type->kind == Quill::KIND_ENUM && !(p.flags & Quill::F_LINK)) {
        auto* e = static_cast<Quill::EnumType*>(Quill::FindTypeByInfo(p.type));
        int v = seq % e->GetTagCount();
        dp.owner->setProperty(obj, dp.ownIndex, &v);
      } else {
        WithPlain(p, seq, [&](auto v) { dp.owner->setProperty(obj, dp.ownIndex, &v); });
      }
    } else if (depth > 0 || required || p.type->kind != Quill::KIND_DATA) {
      Basalt::Ref<Quill::Any> v = ObjectValue(p, seq, depth);
      if (v) dp.owner->setProperty(obj, dp.ownIndex, &v);
    }
  }
}

Basalt::Ref<Quill::DynamicData> Filled(Quill::DataObjectType const* t, int depth) {
  Basalt::Ref<Quill::DynamicData> obj(t->Create());
  if (obj) FillObject(obj.get(), depth);
  return obj;
}

int AnyFormCount() { return 22; }

Basalt::Ref<Quill::Any> AnyForm(int i) {
  using Basalt::Ref;
  using Quill::Any;
  int seq = ++gSeq;
  switch (i % AnyFormCount()) {
    case 0:
      return Quill::Box(Str(seq));
    case 1:
      return Quill::Box(seq % 2 == 1);
    case 2:
      return Quill::Box(static_cast<signed char>(-7));
    case 3:
      return Quill::Box(static_cast<short>(-300));
    case 4:
      return Quill::Box(-2147483647 - 1);
    case 5:
      return Quill::Box(-(1L << 62));
    case 6:
      return Quill::Box(0.1f);
    case 7:
      return Quill::Box(-1.5e-300);
    case 8:
      return Quill::Box(Basalt::System::DateTime(-1234567L));  // before the epoch, with a fraction
    case 9:
      return Quill::Box(std::vector<unsigned char>{1, 2, 3, 250});
    case 10:
      return Quill::Box(Quill::TypeName("tarn.Folder"));
    case 11:
      return Quill::Box(Quill::MethodName("tarn.Folder.createFolder"));
    case 12:
      return Quill::Box(Quill::PropertyPath("config.name"));
    case 13:
      return Quill::Box(Quill::Uri("urn:x"));
    case 14: {
      auto* e = static_cast<Quill::EnumType*>(Quill::FindType("tarn.TaskInfo.State"));
      return Ref<Any>(e->GetFuncs().box(e->GetTagCount() - 1));
    }
    case 15:
      return Ref<Any>(new Quill::MoRef("tarn.Folder", "group-" + std::to_string(seq)));
    case 16:
      return Ref<Any>(new Quill::Array<int>{1, -2, 3});
    case 17:
      return Ref<Any>(new Quill::Array<std::string>{"a", "", Str(seq)});
    case 18: {
      auto* a = new Quill::DataArray<Any>();
      a->AppendAny(Quill::Box(5L).get());
      a->AppendAny(new Quill::MoRef("tarn.VirtualMachine", "vm-1"));
      return Ref<Any>(a);
    }
    case 19: {
      auto* e = static_cast<Quill::EnumType*>(Quill::FindType("tarn.TaskInfo.State"));
      Ref<Any> a(e->GetFuncs().createArray());
      static_cast<Quill::Array<int>*>(a.get())->GetValues() = {0, 1};
      return a;
    }
    case 20: {
      auto* t = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.AboutInfo"));
      Ref<Quill::DataArrayBase> a(t->CreateArray());
      a->AppendAny(Filled(t, 0).get());
      return Ref<Any>(a.get());
    }
    default: {
      auto* t = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.AboutInfo"));
      return Ref<Any>(Filled(t, 0).get());
    }
  }
}

Basalt::Ref<Quill::Any> ValueFor(PropertyInfo const& p, int depth) {
  int seq = ++gSeq;
  if (p.flags & Quill::F_ARRAY) return IsPlain(p) ? PlainArray(p, seq) : ObjectArray(p, seq, depth);
  if (IsPlain(p)) return BoxPlain(p, seq);
  return ObjectValue(p, seq, depth);
}

std::string FaultText(std::exception const& e) {
  auto const* fe = dynamic_cast<Quill::MethodFault::Exception const*>(&e);
  Quill::MethodFault* fault = fe ? fe->GetFault() : nullptr;
  if (!fault || !fault->faultMessage) return e.what();
  std::string text;
  for (std::size_t i = 0; i < fault->faultMessage->size(); ++i) {
    Quill::LocalizableMessage* m = fault->faultMessage->Get(i);
    if (m && m->message) text += *m->message;
  }
  return text;
}

}  // namespace wire_test
