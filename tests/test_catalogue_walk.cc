// Every type of the catalogue, through the compiled tables and the runtime: records,
// bases and properties against what the schema says (the facts file sedgec writes), and
// every property of every data type through its descriptor accessors.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "harness.h"
#include "quill/Registry.h"
#include "tarn/HostSystem.h"
#include "tarn/Records.h"

namespace {

struct PropFact {
  std::string name, type, version, privilege;
  unsigned flags = 0;
};
struct TypeFact {
  std::string kind, name, wsdl, version, base;
  std::vector<PropFact> props;
  std::vector<std::string> tags;
};

std::vector<TypeFact> const& Facts() {
  static std::vector<TypeFact> facts = [] {
    std::vector<TypeFact> out;
    std::ifstream in(TARN_FACTS_FILE);
    std::string line;
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::stringstream ss(line);
      for (std::string x; std::getline(ss, x, '\t');) f.push_back(x);
      if (f[0] == "T") {
        out.push_back({f[1], f[2], f[3], f[4], f[5], {}, {}});
      } else if (f[0] == "P") {
        out.back().props.push_back(
            {f[1], f[2], f[4], f[5] == "-" ? "" : f[5], static_cast<unsigned>(std::stoul(f[3]))});
      } else if (f[0] == "E") {
        out.back().tags.push_back(f.size() > 1 ? f[1] : "");
      }
    }
    return out;
  }();
  return facts;
}

Quill::TypeKind KindOf(std::string const& k) {
  return k == "enum"    ? Quill::KIND_ENUM
         : k == "data"  ? Quill::KIND_DATA
         : k == "fault" ? Quill::KIND_FAULT
                        : Quill::KIND_MANAGED;
}

char const* BaseName(Quill::Type* t) {
  if (auto* d = dynamic_cast<Quill::DataObjectType*>(t)) {
    auto* b = d->GetBaseType();
    return b ? b->GetName() : "?";
  }
  if (auto* m = dynamic_cast<Quill::ManagedObjectType*>(t)) {
    auto* b = m->GetBaseType();
    return b ? b->GetName() : "?";
  }
  return "-";
}

// A program that names a record, a tag or a method name uses the library's own object: a
// copy of one in the program would make the runtime miss it or hand out another pointer.
TEST(CatalogueWalk, ProgramAndLibraryShareEachExportedVariable) {
  EXPECT_EQ(Quill::FindTypeByInfo(&gTarnAboutInfoTypeInfo), Quill::FindType("tarn.AboutInfo"));
  EXPECT_EQ(Quill::FindType("tarn.AboutInfo")->GetTypeInfo(), &gTarnAboutInfoTypeInfo);
  EXPECT_EQ(Quill::FindType("tarn.HostSystem.ConnectionState")->GetTypeInfo(), &gTarnHostSystemConnectionStateTypeInfo);
  auto* e = static_cast<Quill::EnumType*>(Quill::FindType("tarn.HostSystem.ConnectionState"));
  EXPECT_EQ(e->GetTag(1), static_cast<char const*>(Tarn::HostSystem::CONNECTIONSTATE_NOTRESPONDING));
  // Filled while the library loads: a copy taken before that would still hold zeros.
  EXPECT_NE(gTarnFolderMethodObjects[0], nullptr);
  EXPECT_GT(Tarn::sedgeNamespaceId, 0);  // the runtime's own namespaces come first
  EXPECT_NE(Tarn::ltsDevOfficialVersions[0], nullptr);
}

TEST(CatalogueWalk, EveryRecordMatchesTheSchema) {
  auto const& facts = Facts();
  ASSERT_EQ(facts.size(), 3812u) << "facts file " << TARN_FACTS_FILE;
  for (TypeFact const& f : facts) {
    SCOPED_TRACE(f.name);
    Quill::Type* t = Quill::FindType(f.name);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(Quill::FindTypeByInfo(t->GetTypeInfo()), t);
    EXPECT_EQ(t->GetKind(), KindOf(f.kind));
    EXPECT_STREQ(t->GetWsdlName(), f.wsdl.c_str());
    EXPECT_STREQ(t->GetVersionName(), f.version.c_str());
    EXPECT_STREQ(BaseName(t), f.base.c_str());
    EXPECT_EQ(Quill::FindTypeByWsdlName(f.wsdl), t);
    if (auto* e = dynamic_cast<Quill::EnumType*>(t)) {
      ASSERT_EQ(e->GetTagCount(), static_cast<int>(f.tags.size()));
      for (int i = 0; i < e->GetTagCount(); ++i) {
        EXPECT_STREQ(e->GetTag(i), f.tags[i].c_str());
        EXPECT_EQ(e->GetValue(f.tags[i]), i);
      }
    }
    std::vector<Quill::PropertyInfo const*> own;
    if (auto* d = dynamic_cast<Quill::DataObjectType*>(t)) {
      for (std::uint32_t i = 0; i < d->GetOwnPropertyCount(); ++i) own.push_back(&d->GetOwnProperty(i));
    } else if (auto* m = dynamic_cast<Quill::ManagedObjectType*>(t)) {
      for (std::uint32_t i = 0; i < m->GetOwnPropertyCount(); ++i) own.push_back(&m->GetDescriptor()->properties[i]);
    }
    ASSERT_EQ(own.size(), f.props.size());
    for (std::size_t i = 0; i < own.size(); ++i) {
      EXPECT_STREQ(own[i]->name, f.props[i].name.c_str());
      EXPECT_STREQ(own[i]->type->name, f.props[i].type.c_str());
      EXPECT_EQ(own[i]->flags, f.props[i].flags) << own[i]->name;
      EXPECT_STREQ(own[i]->version, f.props[i].version.c_str());
      EXPECT_STREQ(own[i]->privilege ? own[i]->privilege : "", f.props[i].privilege.c_str());
    }
  }
}

// --- one value of each representation ----------------------------------------------

// Holds a value of a property's value type, as the descriptor accessors take it.
struct Value {
  std::string s;
  bool b = true;
  signed char c = 7;
  short sh = 7;
  int i = 7;
  long l = 7;
  float f = 7.5f;
  double d = 7.5;
  Basalt::System::DateTime dt{1234567};
  std::vector<unsigned char> bin{1, 2, 3};
  Quill::TypeName tn{"tarn.Folder"};
  Quill::MethodName mn{"tarn.Folder.createFolder"};
  Quill::PropertyPath pp{"config.name"};
  Quill::Uri uri{"https://x.invalid/"};
  Basalt::Ref<Quill::Any> ref;
  void* ptr = nullptr;
};

// Fills `v` with a value for property `p`, and returns whether it is held by reference.
bool MakeValue(Quill::PropertyInfo const& p, Value& v) {
  std::string t = p.type->name;
  bool link = p.flags & Quill::F_LINK;
  auto kind = static_cast<Quill::TypeKind>(p.type->kind);
  bool byRef = (p.flags & Quill::F_ARRAY) || (!link && (kind == Quill::KIND_MANAGED || kind == Quill::KIND_ANY ||
                                                        kind == Quill::KIND_DATA || kind == Quill::KIND_FAULT));
  if (byRef) {
    v.ref = tarn_test::ValueOf(p);
    v.ptr = &v.ref;
    return true;
  }
  if (link || t == "string") {
    v.s = "value-" + std::string(p.name);
    v.ptr = &v.s;
    return false;
  }
  if (kind == Quill::KIND_ENUM) {
    v.i = 0;
    v.ptr = &v.i;
    return false;
  }
  if (t == "boolean")
    v.ptr = &v.b;
  else if (t == "byte")
    v.ptr = &v.c;
  else if (t == "short")
    v.ptr = &v.sh;
  else if (t == "int")
    v.ptr = &v.i;
  else if (t == "long")
    v.ptr = &v.l;
  else if (t == "float")
    v.ptr = &v.f;
  else if (t == "double")
    v.ptr = &v.d;
  else if (t == "dateTime")
    v.ptr = &v.dt;
  else if (t == "binary")
    v.ptr = &v.bin;
  else if (t == "typeName")
    v.ptr = &v.tn;
  else if (t == "methodName")
    v.ptr = &v.mn;
  else if (t == "propertyPath")
    v.ptr = &v.pp;
  else if (t == "uri")
    v.ptr = &v.uri;
  return false;
}

// Reads property `i` back and compares it with what was set.
void ExpectReadBack(Quill::DataTypeInfo const* d, Quill::DynamicData* obj, std::uint32_t i,
                    Quill::PropertyInfo const& p, Value const& in, bool byRef) {
  Value out;
  out.s.clear();
  out.b = false;
  out.i = out.l = out.c = out.sh = 0;
  out.f = 0;
  out.d = 0;
  Value probe;  // only to learn which member the property uses
  MakeValue(p, probe);
  std::ptrdiff_t offset = static_cast<char*>(probe.ptr) - reinterpret_cast<char*>(&probe);
  void* outPtr = reinterpret_cast<char*>(&out) + offset;
  d->getProperty(obj, i, outPtr);
  if (byRef) {
    EXPECT_EQ(out.ref.get(), in.ref.get()) << p.name;
    EXPECT_EQ(d->getPropertyPtr(obj, i), static_cast<void*>(in.ref.get())) << p.name;
  } else {
    std::string t = p.type->name;
    bool isEnum = static_cast<Quill::TypeKind>(p.type->kind) == Quill::KIND_ENUM;
    if (p.flags & Quill::F_LINK || t == "string") {
      EXPECT_EQ(out.s, in.s) << p.name;
    } else if (t == "boolean") {
      EXPECT_EQ(out.b, in.b) << p.name;
    } else if (t == "int" || isEnum) {
      EXPECT_EQ(out.i, in.i) << p.name;
    } else if (t == "long") {
      EXPECT_EQ(out.l, in.l) << p.name;
    } else if (t == "short") {
      EXPECT_EQ(out.sh, in.sh) << p.name;
    } else if (t == "dateTime") {
      EXPECT_EQ(out.dt.GetUtcTime(), in.dt.GetUtcTime()) << p.name;
    } else if (t == "methodName") {
      EXPECT_EQ(out.mn, in.mn) << p.name;
    } else if (t == "typeName") {
      EXPECT_EQ(out.tn, in.tn) << p.name;
    } else if (t == "propertyPath") {
      EXPECT_EQ(out.pp.Compare(in.pp), 0) << p.name;
    }
    EXPECT_NE(d->getPropertyPtr(obj, i), nullptr) << p.name;
  }
}

TEST(CatalogueWalk, EveryDataPropertyThroughItsDescriptor) {
  int types = 0, props = 0;
  for (auto kind : {Quill::KIND_DATA, Quill::KIND_FAULT}) {
    for (Quill::Type* t : Quill::GetTypesOfKind(kind)) {
      if (std::string(t->GetName()).rfind("tarn.", 0) != 0) continue;
      SCOPED_TRACE(t->GetName());
      auto* dt = static_cast<Quill::DataObjectType*>(t);
      Quill::DataTypeInfo const* d = dt->GetDescriptor();
      Basalt::Ref<Quill::DynamicData> obj = dt->Create();
      ASSERT_TRUE(obj);
      ASSERT_EQ(obj->_GetType(), t);
      ASSERT_EQ(obj->_GetDataType(), dt);
      Basalt::Ref<Quill::DataArrayBase> arr = dt->CreateArray();
      ASSERT_TRUE(arr);
      EXPECT_EQ(arr->_GetItemType(), t);
      EXPECT_EQ(arr->_GetType(), t->GetArrayType());
      ++types;
      // Every property of the complete sequence is found by its name, as itself.
      for (std::uint32_t i = 0; i < dt->GetPropertyCount(); ++i) {
        Quill::DataProperty const& q = dt->GetProperty(i);
        EXPECT_EQ(dt->FindProperty(q.info->name), &q) << q.info->name;
        EXPECT_EQ(dt->FindProperty(std::string(q.info->name) + "_"), nullptr);
      }
      std::vector<Value> values(dt->GetOwnPropertyCount());
      for (std::uint32_t i = 0; i < dt->GetOwnPropertyCount(); ++i) {
        Quill::PropertyInfo const& p = dt->GetOwnProperty(i);
        bool optional = p.flags & Quill::F_OPTIONAL;
        bool refField =
            (p.flags & Quill::F_ARRAY) ||
            (!(p.flags & Quill::F_LINK) && (p.type->kind == Quill::KIND_DATA || p.type->kind == Quill::KIND_FAULT ||
                                            p.type->kind == Quill::KIND_MANAGED || p.type->kind == Quill::KIND_ANY));
        if (optional || refField)
          EXPECT_FALSE(d->isPropertySet(obj.get(), i)) << p.name;
        else
          EXPECT_TRUE(d->isPropertySet(obj.get(), i)) << p.name;
        bool byRef = MakeValue(p, values[i]);
        d->setProperty(obj.get(), i, values[i].ptr);
        EXPECT_TRUE(d->isPropertySet(obj.get(), i)) << p.name;
        ExpectReadBack(d, obj.get(), i, p, values[i], byRef);
        if (optional) {
          ASSERT_NE(d->unsetProperty, nullptr);
          d->unsetProperty(obj.get(), i);
          EXPECT_FALSE(d->isPropertySet(obj.get(), i)) << p.name;
          d->setProperty(obj.get(), i, values[i].ptr);
        }
        ++props;
      }
      Basalt::Ref<Quill::Any> copy = obj->_Clone();
      EXPECT_TRUE(obj->_IsEqual(copy.get(), false));
      EXPECT_TRUE(copy->_IsEqual(obj.get(), true));
      if (kind == Quill::KIND_DATA) {
        Quill::PropertyDiffSet diffs;
        obj->_DiffProperties(copy.get(), "", diffs);
        EXPECT_TRUE(diffs.GetPaths().empty());
      }
    }
  }
  EXPECT_EQ(types, 2479 + 683);
  EXPECT_GT(props, 1000);
}

}  // namespace
