#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "quill/Accessors.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/Loader.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/ValueImpl.h"
#include "sample/Records.h"
#include "sample/ext.h"
#include "sample/sample.h"

namespace {

using namespace Quill;

void BindBoth() {
  Sample::BindSample();
  Sample::BindSampleExt();
}

TEST(Loader, CrossModuleBaseResolvesOnceItsModuleIsBound) {
  EXPECT_EQ(GetDoType<Sample::Point>(), nullptr);  // slots are empty before binding
  Sample::BindSample();
  DataObjectType* derived = GetDoType<Sample::Derived>();
  ASSERT_NE(derived, nullptr);
  EXPECT_EQ(derived, GetDoType<Sample::Derived>());
  EXPECT_EQ(derived->GetBaseType(), nullptr);  // "sample.ext" not bound yet
  EXPECT_THROW(derived->GetPropertyCount(), Fault::InvalidType::Exception);

  Sample::BindSampleExt();
  ASSERT_NE(derived->GetBaseType(), nullptr);
  EXPECT_STREQ(derived->GetBaseType()->GetName(), "sample.ext.BaseSpec");
  ASSERT_EQ(derived->GetPropertyCount(), 3u);
  EXPECT_STREQ(derived->GetProperty(0).info->name, "operation");
  EXPECT_STREQ(derived->GetProperty(2).info->name, "note");
  EXPECT_EQ(derived->GetProperty(2).ownIndex, 0u);
  EXPECT_EQ(derived->GetProperty(0).owner->type, &gSampleExtBaseSpecTypeInfo);
  EXPECT_TRUE(derived->IsSubtypeOf(GetDoType<Sample::Ext::BaseSpec>()));
  EXPECT_STREQ(GetDoType<Sample::Ext::BaseSpec>()->GetBaseType()->GetName(), "sedge.DynamicData");
}

TEST(Loader, CallbackReportsSlotsInKindOrderAndAccessorsReadThem) {
  BindBoth();
  EXPECT_EQ(Sample::Shape()._GetType(), FindType("sample.Shape"));
  EXPECT_EQ(GetEnumType<Sample::Color>(), FindType("sample.Color"));
  EXPECT_EQ(FindType("sample.Shape")->GetKind(), KIND_DATA);
  EXPECT_EQ(FindType("sample.BadShapeFault")->GetKind(), KIND_FAULT);
  // Through a base pointer the most-derived type answers.
  Basalt::Ref<Sample::Ext::BaseSpec> spec(new Sample::Derived());
  EXPECT_STREQ(spec->_GetType()->GetName(), "sample.Derived");
}

TEST(Lookup, ByNameWsdlNameRecordAndKind) {
  BindBoth();
  Type* shape = FindType("sample.Shape");
  ASSERT_NE(shape, nullptr);
  EXPECT_EQ(FindTypeByWsdlName("Shape"), shape);
  EXPECT_EQ(FindTypeByInfo(&gSampleShapeTypeInfo), shape);
  EXPECT_EQ(FindType("sample.shape"), nullptr);  // case-sensitive
  EXPECT_EQ(FindType(""), nullptr);
  EXPECT_EQ(FindTypeByWsdlName("NoSuchThing"), nullptr);
  EXPECT_EQ(FindType("sedge.fault.InvalidArgument"), GetDoType<Fault::InvalidArgument>());
  EXPECT_EQ(FindType("string"), GetNoType<std::string>());

  auto managed = GetTypesOfKind(KIND_MANAGED);
  auto names = [&] {
    std::vector<std::string> n;
    for (Type* t : managed) n.push_back(t->GetName());
    return n;
  }();
  EXPECT_EQ(names, (std::vector<std::string>{"sedge.ManagedObject", "sedge.query.Watch",
                                             "sedge.query.PropertyCollector", "sedge.reflect.DynamicTypeManager",
                                             "sedge.reflect.ManagedMethodExecuter", "sample.Widget", "sample.Gadget"}));
  EXPECT_TRUE(GetTypesOfKind(KIND_ARRAY).empty());
}

TEST(Lookup, SecondRegistrationOfANameIsRejectedTheSameRecordIsNot) {
  BindBoth();
  DataTypeInfo const* desc = GetDoType<Sample::Point>()->GetDescriptor();
  EXPECT_EQ(CreateDataObjectType(desc), GetDoType<Sample::Point>());  // same record: same type

  static TypeInfo const impostor = {KIND_DATA, "sample.Point", "Impostor", "sample.version.v1"};
  static DataTypeInfo impostorDesc = *desc;
  impostorDesc.type = &impostor;
  try {
    CreateDataObjectType(&impostorDesc);
    FAIL() << "duplicate accepted";
  } catch (Fault::InvalidType::Exception const& e) {
    auto* fault = static_cast<Fault::InvalidType*>(e.GetFault());
    EXPECT_EQ(fault->argument->GetString(), "sample.Point");
  }
  EXPECT_EQ(FindTypeByWsdlName("Impostor"), nullptr);
  EXPECT_EQ(FindTypeByInfo(&impostor), nullptr);
}

// Lookups take no lock: one thread keeps asking for types while another registers enough
// of them to outgrow the indexes several times. Every type registered before a lookup
// began must be found, and found as itself.
TEST(Lookup, LookupsDuringRegistrationFindEveryEarlierType) {
  constexpr int kTypes = 3000;
  struct Tables {  // type objects point into these for the rest of the process
    std::deque<std::string> names;
    std::vector<TypeInfo> records = std::vector<TypeInfo>(kTypes);
    std::vector<DataTypeInfo> descs = std::vector<DataTypeInfo>(kTypes);
  };
  static Tables* tables = new Tables();
  static PropertyInfo const noProperties[] = {{}};
  BindBoth();
  for (int i = 0; i < kTypes; ++i) {
    char const* name = tables->names.emplace_back("concurrent.Type" + std::to_string(i)).c_str();
    char const* wsdl = tables->names.emplace_back("ConcurrentType" + std::to_string(i)).c_str();
    tables->records[i] = {KIND_DATA, name, wsdl, "sample.version.v1"};
    tables->descs[i] = {&tables->records[i],
                        &gSedgeDynamicDataTypeInfo,
                        noProperties,
                        nullptr,
                        nullptr,
                        nullptr,
                        nullptr,
                        &Access::AlwaysSet,
                        nullptr,
                        nullptr,
                        nullptr,
                        0};
  }
  std::atomic<int> registered{0};
  std::thread writer([&] {
    for (int i = 0; i < kTypes; ++i) {
      CreateDataObjectType(&tables->descs[i]);
      registered.store(i + 1, std::memory_order_release);
    }
  });
  int lookups = 0, missing = 0, wrong = 0;
  for (int n = 0; n < kTypes; n = registered.load(std::memory_order_acquire)) {
    for (int i = n - 1; i >= 0 && i >= n - 8; --i, ++lookups) {
      TypeInfo const* record = &tables->records[i];
      Type* byName = FindType(record->name);
      Type* byWsdl = FindTypeByWsdlName(record->wsdlName);
      Type* byInfo = FindTypeByInfo(record);
      if (!byName || !byWsdl || !byInfo)
        ++missing;
      else if (byName->GetTypeInfo() != record || byWsdl != byName || byInfo != byName)
        ++wrong;
    }
  }
  writer.join();
  EXPECT_EQ(missing, 0) << "of " << lookups << " lookups while registering";
  EXPECT_EQ(wrong, 0);
  for (int i = 0; i < kTypes; ++i) {
    Type* t = FindType(tables->records[i].name);
    ASSERT_NE(t, nullptr) << i;
    EXPECT_EQ(t->GetTypeInfo(), &tables->records[i]);
  }
}

TEST(Types, ArrayTypesAreMadeOnceWithDerivedNames) {
  BindBoth();
  Type* shape = FindType("sample.Shape");
  Type* arr = shape->GetArrayType();
  EXPECT_EQ(arr, shape->GetArrayType());
  EXPECT_STREQ(arr->GetName(), "sample.Shape[]");
  EXPECT_STREQ(arr->GetWsdlName(), "ArrayOfShape");
  EXPECT_EQ(arr->GetElementType(), shape);
  EXPECT_STREQ(GetNoType<int>()->GetArrayType()->GetWsdlName(), "ArrayOfInt");
  // Found by those names as well, as the same object.
  EXPECT_EQ(FindType("sample.Shape[]"), arr);
  EXPECT_EQ(FindTypeByWsdlName("ArrayOfShape"), arr);
  EXPECT_EQ(FindTypeByWsdlName("ArrayOfInt"), GetNoType<int>()->GetArrayType());
  EXPECT_EQ(FindType("int[]"), GetNoType<int>()->GetArrayType());
  for (char const* none : {"sample.Shape[][]", "[]", "sample.Nope[]", "sample.Shape["}) {
    EXPECT_EQ(FindType(none), nullptr) << none;
  }
  for (char const* none : {"ArrayOf", "ArrayOfArrayOfShape", "ArrayOfshape", "ArrayOfNope"}) {
    EXPECT_EQ(FindTypeByWsdlName(none), nullptr) << none;
  }
  EXPECT_EQ(Sample::Shape().GetPoints()->_GetType(), GetDoType<Sample::Point>()->GetArrayType());
}

TEST(Types, DataPropertyLookupAndReflectiveCreate) {
  BindBoth();
  DataObjectType* shape = GetDoType<Sample::Shape>();
  EXPECT_EQ(shape->GetOwnPropertyCount(), 11u);
  DataProperty const* p = shape->FindProperty("palette");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->info->flags, F_ARRAY | F_OPTIONAL);
  EXPECT_EQ(p->component, ".palette");
  EXPECT_EQ(shape->FindProperty("nope"), nullptr);
  Basalt::Ref<DynamicData> made(shape->Create());
  EXPECT_NE(dynamic_cast<Sample::Shape*>(made.get()), nullptr);
  EXPECT_EQ(GetDoType<DynamicData>()->Create(), nullptr);  // the abstract root
}

TEST(EnumType, TagsAndValuesBothWaysWithClearErrors) {
  BindBoth();
  EnumType* color = GetEnumType<Sample::Color>();
  EXPECT_EQ(color->GetTagCount(), 3);
  EXPECT_STREQ(color->GetTag(2), "blue");
  EXPECT_EQ(color->GetTag(0), Sample::COLOR_RED);  // shares the tag constant
  EXPECT_EQ(color->GetValue("green"), 1);
  EXPECT_EQ(color->FindValue("Green"), -1);
  EXPECT_THROW(color->GetTag(3), Fault::InvalidArgument::Exception);
  EXPECT_THROW(color->GetTag(-1), Fault::InvalidArgument::Exception);
  try {
    color->GetValue("purple");
    FAIL();
  } catch (Fault::InvalidArgument::Exception const& e) {
    auto* f = static_cast<Fault::InvalidArgument*>(e.GetFault());
    ASSERT_EQ(f->faultMessage->size(), 1u);
    EXPECT_NE(f->faultMessage->Get(0)->message->find("purple"), std::string::npos);
  }
}

TEST(EnumType, KeepsWorkingAfterTheFunctionTableCopyIsGone) {
  BindBoth();
  static TypeInfo const tmpType = {KIND_ENUM, "sample.Tmp", "SampleTmp", "sample.version.v1"};
  static char const* const tags[] = {"one", nullptr};
  static EnumTypeInfo const info = {&tmpType, tags};
  EnumType* t;
  {
    EnumFuncs copy = EnumFuncsOf<Sample::Color>::kFuncs;
    t = new EnumType(&info, copy);
    std::memset(&copy, 0, sizeof copy);
  }
  Basalt::Ref<Any> box(t->GetFuncs().box(0));
  EXPECT_EQ(t->GetFuncs().unbox(box.get()), 0);
  EXPECT_EQ(FindType("sample.Tmp"), t);
  EXPECT_EQ(t->GetValue("one"), 0);
}

TEST(ManagedType, MethodObjectsPropertySequenceAndLookups) {
  BindBoth();
  auto* widget = static_cast<ManagedObjectType*>(FindType("sample.Widget"));
  auto* gadget = static_cast<ManagedObjectType*>(FindType("sample.Gadget"));
  ASSERT_NE(gadget, nullptr);
  // 3 methods + 2 properties + terminator.
  EXPECT_STREQ(gSampleWidgetMethodObjects[0]->GetName(), "rename");
  EXPECT_TRUE(gSampleWidgetMethodObjects[0]->IsTask());
  EXPECT_TRUE(gSampleWidgetMethodObjects[2]->IsInternal());
  EXPECT_TRUE(gSampleWidgetMethodObjects[3]->IsProperty());
  EXPECT_STREQ(gSampleWidgetMethodObjects[4]->GetName(), "parent");
  EXPECT_EQ(gSampleWidgetMethodObjects[5], nullptr);
  EXPECT_EQ(gSampleWidgetMethodObjects[4]->GetIndex(), 4u);
  EXPECT_EQ(gSampleWidgetMethodObjects[4]->GetDeclaringType(), widget);

  EXPECT_EQ(gadget->GetBaseType(), widget);
  EXPECT_EQ(widget->GetBaseType(), FindType("sedge.ManagedObject"));
  ASSERT_EQ(gadget->GetPropertyCount(), 3u);
  EXPECT_EQ(gadget->GetPropertyIndex("name"), 0);  // re-declared: keeps the base index
  EXPECT_EQ(gadget->GetPropertyIndex("parent"), 1);
  EXPECT_EQ(gadget->GetPropertyIndex("size"), 2);
  EXPECT_EQ(gadget->GetPropertyIndex("Size"), -1);
  EXPECT_EQ(gadget->FindProperty("name")->reader, gSampleGadgetMethodObjects[2]);
  EXPECT_EQ(widget->FindProperty("name")->reader, gSampleWidgetMethodObjects[3]);
  EXPECT_EQ(gadget->FindMethod("rename"), gSampleWidgetMethodObjects[0]);  // inherited
  EXPECT_EQ(gadget->FindMethod("spin"), gSampleGadgetMethodObjects[0]);
  EXPECT_EQ(gadget->FindMethodByWsdlName("DescribeWidget"), gSampleWidgetMethodObjects[2]);
  EXPECT_EQ(widget->FindMethod("spin"), nullptr);
}

TEST(ManagedType, PrivilegeDependsOnTheTargetTypeWhenListed) {
  BindBoth();
  ManagedMethod* destroy = gSampleWidgetMethodObjects[1];
  EXPECT_STREQ(destroy->GetPrivilege(FindType("sample.Widget")), "Widget.Delete");
  EXPECT_STREQ(destroy->GetPrivilege(FindType("sample.Gadget")), "Gadget.Delete");
  EXPECT_EQ(destroy->GetPrivilege(FindType("sedge.ManagedObject")), nullptr);
  EXPECT_EQ(destroy->GetPrivilege(nullptr), nullptr);
  EXPECT_STREQ(gSampleWidgetMethodObjects[2]->GetPrivilege(FindType("sample.Gadget")), "System.Read");
  EXPECT_STREQ(gSampleWidgetMethodObjects[3]->GetPrivilege(), "System.View");
}

TEST(Versions, LookupByNameAndWireVersionAndNamespaceSlots) {
  BindBoth();
  Version const* v2 = FindVersion("sample.version.v2");
  ASSERT_NE(v2, nullptr);
  EXPECT_EQ(FindVersionByWireVersion("sample", "2.0"), v2);
  EXPECT_EQ(FindVersionByWireVersion("2.0"), FindVersionByWireVersion("sedge.query", "2.0"));  // first namespace wins
  EXPECT_EQ(FindVersionByWireVersion("fDEADBEEF"), FindVersion("sample.version.featA"));
  EXPECT_EQ(FindVersionByWireVersion("sample", ""), nullptr);  // the disabled version has no wire name
  EXPECT_EQ(FindVersion("sample.version.v9"), nullptr);
  EXPECT_EQ(FindVersionByWireVersion("nope", "1.0"), nullptr);
  EXPECT_STREQ(FindVersion("sample.version.v1")->GetWireNamespace(), "sample1");
  EXPECT_EQ(FindVersion("sample.version.v1")->GetInfo()->versionFlags, 6u);
  // Both modules passed the same table: it is registered once; the namespace
  // id and the release slots are filled.
  EXPECT_EQ(Sample::sedgeNamespaceId, 3);  // after sedge, sedge.query, sedge.reflect
  EXPECT_EQ(Sample::ltsDevOfficialVersions[0], v2);
  EXPECT_EQ(Sample::ltsDevOfficialVersions[1], FindVersion("sample.version.v1"));
  EXPECT_EQ(Sample::ltsDevOfficialVersions[2], nullptr);
}

TEST(Versions, SucceedsIsTheTransitiveClosureAcrossNamespaces) {
  BindBoth();
  EXPECT_TRUE(Succeeds("sample.version.v2", "sample.version.v1"));
  EXPECT_TRUE(Succeeds("sample.version.v2", "sedge.query.version.version1"));
  EXPECT_TRUE(Succeeds("sample.version.v2", "sedge.version.version0"));
  EXPECT_TRUE(Succeeds("sample.version.v2", "sedge.reflect.version.version1"));
  EXPECT_FALSE(Succeeds("sample.version.v2", "sedge.query.version.version2"));
  EXPECT_FALSE(Succeeds("sample.version.v1", "sample.version.v2"));
  EXPECT_FALSE(Succeeds("sample.version.v1", "sample.version.v1"));  // not reflexive
  EXPECT_FALSE(Succeeds("sample.version.v1", "no.such.version"));
  // The disabled version succeeds every other row.
  for (char const* v : {"sample.version.featA", "sample.version.v2", "sample.version.v1"}) {
    EXPECT_TRUE(Succeeds("sample.version.disabled", v)) << v;
  }
  EXPECT_TRUE(Succeeds("sedge.query.version.version4", "sedge.query.version.version1"));
}

TEST(Versions, ExistenceOfTypesPropertiesAndMethodsInAVersion) {
  BindBoth();
  Version const* v1 = FindVersion("sample.version.v1");
  Version const* v2 = FindVersion("sample.version.v2");
  Version const* feat = FindVersion("sample.version.featA");
  EXPECT_TRUE(ExistsInVersion(FindType("sample.Point"), v1));
  EXPECT_FALSE(ExistsInVersion(FindType("sample.Shape"), v1));
  EXPECT_TRUE(ExistsInVersion(FindType("sample.Shape"), v2));
  EXPECT_TRUE(ExistsInVersion(FindType("sample.Shape")->GetArrayType(), feat));
  EXPECT_TRUE(ExistsInVersion(FindType("sedge.KeyAnyValue"), v1));  // runtime versions are ancestors
  EXPECT_FALSE(ExistsInVersion(FindType("sample.Gadget"), v2));
  DataProperty const* owner = GetDoType<Sample::Shape>()->FindProperty("owner");
  EXPECT_FALSE(ExistsInVersion(*owner->info, v2));
  EXPECT_TRUE(ExistsInVersion(*owner->info, feat));
  EXPECT_FALSE(ExistsInVersion(::gSampleWidgetMethodObjects[2], v1));
  EXPECT_TRUE(ExistsInVersion(::gSampleWidgetMethodObjects[2], v2));
  EXPECT_FALSE(ExistsInVersion("no.such.version", v2));
  EXPECT_EQ(FindType("sample.Shape")->GetVersion(), v2);
}

}  // namespace
