// Data objects as users build, copy, compare and diff them.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "quill/Array.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/Values.h"
#include "tarn/AboutInfo.h"
#include "tarn/Description.h"
#include "tarn/ElementDescription.h"
#include "tarn/TaskInfo.h"
#include "tarn/fault/InvalidName.h"
#include "tarn/vm/ConfigSpec.h"

namespace {

Basalt::Ref<Tarn::AboutInfo> FilledAbout() {
  Basalt::Ref<Tarn::AboutInfo> a = new Tarn::AboutInfo();
  a->name = "tarn";
  a->fullName = "tarn 8.0";
  a->vendor = "Makers";
  a->version = "8.0";
  a->build = "42";
  a->osType = "linux";
  a->productLineId = "tc";
  a->apiType = "VirtualCenter";
  a->apiVersion = "8.0.0.1";
  return a;
}

std::vector<std::string> Diff(Quill::Any const& a, Quill::Any const* b, std::string const& prefix = "") {
  Quill::PropertyDiffSet diffs;
  a._DiffProperties(b, prefix, diffs);
  return diffs.GetPaths();
}

TEST(DataObjects, FreshObjectsAreEqualAndHaveNoDiff) {
  Tarn::AboutInfo a, b;
  EXPECT_TRUE(a._IsEqual(&b, false));
  EXPECT_TRUE(a._IsEqual(&b, true));
  EXPECT_TRUE(Diff(a, &b).empty());
  // Required scalars start at zero, so fresh objects never compare at random.
  Tarn::TaskInfo t1, t2;
  EXPECT_EQ(t1.eventChainId, 0);
  EXPECT_FALSE(t1.cancelled);
  EXPECT_EQ(t1.state, Tarn::TaskInfo::State::queued);
  EXPECT_TRUE(t1._IsEqual(&t2, false));
}

TEST(DataObjects, LenientTreatsUnsetOptionalsOfTheOtherAsWildcards) {
  auto mine = FilledAbout();
  mine->patchLevel = "p1";
  mine->instanceUuid = "uuid";
  auto theirs = FilledAbout();
  EXPECT_FALSE(mine->_IsEqual(theirs.get(), false));
  EXPECT_TRUE(mine->_IsEqual(theirs.get(), true));
  // An unset optional here does not match a set one there, in either mode.
  EXPECT_FALSE(theirs->_IsEqual(mine.get(), true));
  EXPECT_EQ(Diff(*mine, theirs.get()), (std::vector<std::string>{".patchLevel", ".instanceUuid"}));
  // A required field differs in both modes.
  theirs->patchLevel = "p1";
  theirs->instanceUuid = "uuid";
  theirs->build = "43";
  EXPECT_FALSE(mine->_IsEqual(theirs.get(), true));
  EXPECT_EQ(Diff(*mine, theirs.get(), "about"), (std::vector<std::string>{"about.build"}));
}

TEST(DataObjects, CopyIsDeepExceptForArrayElements) {
  Tarn::TaskInfo t;
  t.key = "task-1";
  t.description = new Quill::LocalizableMessage();
  t.description->key = "msg";
  t.GetLocked()->Append(new Quill::MoRef("tarn.Folder", "group-1"));
  Basalt::Ref<Quill::Any> copyAny = t._Clone();
  auto* copy = dynamic_cast<Tarn::TaskInfo*>(copyAny.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy->description.get(), t.description.get());
  EXPECT_EQ(copy->description->key, "msg");
  ASSERT_NE(copy->locked.get(), t.locked.get());
  EXPECT_EQ(copy->locked->Get(0), t.locked->Get(0));  // shared element
  EXPECT_TRUE(copy->_IsEqual(&t, false));
  copy->description->key = "other";
  EXPECT_FALSE(copy->_IsEqual(&t, false));
  EXPECT_EQ(Diff(*copy, &t), (std::vector<std::string>{".description.key"}));
}

TEST(DataObjects, ArrayGetterCreatesOneArrayEvenUnderRace) {
  for (int round = 0; round < 200; ++round) {
    Tarn::TaskInfo t;
    Quill::DataArray<Quill::MoRef>* seen[2] = {};
    std::thread a([&] { seen[0] = t.GetLocked(); });
    std::thread b([&] { seen[1] = t.GetLocked(); });
    a.join();
    b.join();
    ASSERT_EQ(seen[0], seen[1]);
    ASSERT_EQ(seen[0], t.locked.get());
    EXPECT_EQ(t.locked->GetRefCount(), 1u);
  }
}

TEST(DataObjects, GetTypeAnswersTheMostDerivedType) {
  Basalt::Ref<Tarn::Description> d = new Tarn::ElementDescription();
  EXPECT_STREQ(d->_GetType()->GetName(), "tarn.ElementDescription");
  EXPECT_EQ(d->_GetType(), Quill::GetDoType<Tarn::ElementDescription>());
  EXPECT_NE(Quill::GetDoType<Tarn::AboutInfo>(), nullptr);
}

TEST(DataObjects, DerivedDiffListsBasePathsFirst) {
  Tarn::ElementDescription a, b;
  b.label = "L";
  b.key = "K";
  EXPECT_EQ(Diff(a, &b), (std::vector<std::string>{".label", ".key"}));
  EXPECT_FALSE(a._IsEqual(&b, true));
}

TEST(DataObjects, ForeignOrNullOtherIsUnequalNeverARead) {
  Tarn::AboutInfo about;
  Tarn::TaskInfo task;
  Tarn::ElementDescription element;
  Tarn::Description description;
  EXPECT_FALSE(about._IsEqual(nullptr, true));
  EXPECT_FALSE(about._IsEqual(&task, true));
  // A subclass object is another class as well.
  EXPECT_FALSE(description._IsEqual(&element, true));
  EXPECT_EQ(Diff(about, &task, "x"), (std::vector<std::string>{"x"}));
  EXPECT_EQ(Diff(about, nullptr, "y"), (std::vector<std::string>{"y"}));
}

TEST(DataObjects, BaseInALaterModuleIsReported) {
  auto* spec = Quill::GetDoType<Tarn::Vm::ConfigSpec::CpuIdInfoSpec>();
  ASSERT_NE(spec, nullptr);
  ASSERT_NE(spec->GetBaseType(), nullptr);
  EXPECT_STREQ(spec->GetBaseType()->GetName(), "tarn.option.ArrayUpdateSpec");
  Basalt::Ref<Tarn::Option::ArrayUpdateSpec> asBase = new Tarn::Vm::ConfigSpec::CpuIdInfoSpec();
  EXPECT_EQ(asBase->_GetType(), spec);
}

TEST(DataObjects, CreateByNameAndSetThroughTheDescriptors) {
  auto* t = static_cast<Quill::DataObjectType*>(Quill::FindType("tarn.AboutInfo"));
  ASSERT_NE(t, nullptr);
  Basalt::Ref<Quill::DynamicData> obj = t->Create();
  auto const* prop = t->FindProperty("fullName");
  ASSERT_NE(prop, nullptr);
  std::string v = "the full name";
  prop->owner->setProperty(obj.get(), prop->ownIndex, &v);
  EXPECT_EQ(static_cast<Tarn::AboutInfo*>(obj.get())->fullName, v);
  EXPECT_EQ(Quill::FindTypeByWsdlName("ServiceContent"), Quill::FindType("tarn.ServiceInstanceContent"));
}

}  // namespace
