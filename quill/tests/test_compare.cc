#include <gtest/gtest.h>

#include <cmath>

#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/DataTypes.h"
#include "quill/Primitive.h"
#include "sample/Records.h"
#include "sample/ext.h"
#include "sample/sample.h"

namespace {

using namespace Quill;

struct Compare : ::testing::Test {
  void SetUp() override {
    Sample::BindSample();
    Sample::BindSampleExt();
  }
  static Basalt::Ref<Sample::Shape> MakeShape() {
    Basalt::Ref<Sample::Shape> s(new Sample::Shape());
    s->name = "square";
    s->color = Sample::Color::red;
    s->weight = 2;
    s->origin = new Sample::Point();
    for (int i = 0; i < 3; ++i) {
      auto* p = new Sample::Point();
      p->x = i;
      p->y = -i;
      s->GetPoints()->Append(p);
    }
    s->GetPalette()->Append(Sample::Color::blue);
    return s;
  }
  static std::vector<std::string> Diff(Any const* a, Any const* b, std::string const& prefix = "") {
    PropertyDiffSet d;
    a->_DiffProperties(b, prefix, d);
    return d.GetPaths();
  }
};

TEST_F(Compare, ACloneHasNoDiffAndEachChangeIsFoundAtItsNestedPath) {
  auto a = MakeShape();
  Basalt::Ref<Sample::Shape> b(static_cast<Sample::Shape*>(a->_Clone()));
  EXPECT_TRUE(a->_IsEqual(b.get(), false));
  EXPECT_TRUE(a->_IsEqual(b.get(), true));
  EXPECT_TRUE(Diff(a.get(), b.get()).empty());
  // Arrays of objects are shared by a copy: replace the element to change it.
  auto* changed = new Sample::Point(*b->points->Get(1));
  changed->y = 99;
  b->points->GetItems()[1] = changed;
  b->origin->label = std::string("moved");
  EXPECT_FALSE(a->_IsEqual(b.get(), false));
  EXPECT_EQ(Diff(a.get(), b.get(), "root"), (std::vector<std::string>{"root.origin.label", "root.points[1].y"}));

  b->points = new DataArray<Sample::Point>(*a->points);  // same elements, new array
  b->points->GetItems()[0] = nullptr;
  EXPECT_FALSE(a->_IsEqual(b.get(), true));  // a null element is not a wildcard
  EXPECT_EQ(Diff(a.get(), b.get()), (std::vector<std::string>{".origin.label", ".points[0]"}));
  b->points->GetItems().pop_back();
  EXPECT_EQ(Diff(a.get(), b.get()), (std::vector<std::string>{".origin.label", ".points"}));
  // An element of another class is reported at the element.
  Basalt::Ref<DataArray<Any>> anys1(new DataArray<Any>{new Primitive<int>(1), new Sample::Point()});
  Basalt::Ref<DataArray<Any>> anys2(new DataArray<Any>{new Primitive<int>(1), new Primitive<int>(2)});
  EXPECT_FALSE(anys1->_IsEqual(anys2.get(), false));
  EXPECT_EQ(Diff(anys1.get(), anys2.get(), ".extra"), std::vector<std::string>{".extra[1]"});
}

TEST_F(Compare, LenientTreatsAnAbsentOptionalInOtherAsWildcard) {
  auto a = MakeShape();
  Basalt::Ref<Sample::Shape> b(new Sample::Shape());
  b->name = a->name;
  b->color = a->color;
  b->weight = a->weight;
  // b leaves origin, points, palette, created, extra, owner, tags absent.
  EXPECT_TRUE(a->_IsEqual(b.get(), true));
  EXPECT_FALSE(a->_IsEqual(b.get(), false));
  EXPECT_FALSE(b->_IsEqual(a.get(), true));  // not symmetric: absent here is not a wildcard
  EXPECT_EQ(Diff(a.get(), b.get()), (std::vector<std::string>{".origin", ".points", ".palette"}));
  b->password = "other";  // a required value field differs in both modes
  EXPECT_FALSE(a->_IsEqual(b.get(), true));

  Basalt::Ref<Sample::Point> p(new Sample::Point()), q(new Sample::Point());
  p->visible = true;  // an optional bool unset in other
  EXPECT_TRUE(p->_IsEqual(q.get(), true));
  EXPECT_FALSE(p->_IsEqual(q.get(), false));
  q->visible = false;
  EXPECT_FALSE(p->_IsEqual(q.get(), true));
  EXPECT_EQ(Diff(p.get(), q.get(), "pt"), std::vector<std::string>{"pt.visible"});
}

TEST_F(Compare, NullAndEmptyArraysAreTheSameValue) {
  auto a = MakeShape();
  Basalt::Ref<Sample::Shape> b(static_cast<Sample::Shape*>(a->_Clone()));
  a->tags = nullptr;
  b->GetTags();  // empty
  EXPECT_TRUE(a->_IsEqual(b.get(), false));
  EXPECT_TRUE(Diff(a.get(), b.get()).empty());
  EXPECT_TRUE(AreEqualAnysInt(nullptr, b->tags.get(), F_ARRAY, false));
  b->GetTags()->Append("x");
  EXPECT_FALSE(AreEqualAnysInt(nullptr, b->tags.get(), F_ARRAY, false));
  EXPECT_TRUE(AreEqualAnysInt(b->tags.get(), nullptr, F_ARRAY | F_OPTIONAL, true));
  EXPECT_FALSE(AreEqualAnysInt(b->tags.get(), nullptr, F_ARRAY, true));  // required: no wildcard
}

TEST_F(Compare, MixedClassesAndNullsNeverCrash) {
  Basalt::Ref<Any> point(new Sample::Point());
  Basalt::Ref<Any> spec(new Sample::Ext::BaseSpec());
  Basalt::Ref<Any> boxInt(new Primitive<int>(1));
  Basalt::Ref<Any> boxStr(new Primitive<std::string>("1"));
  Basalt::Ref<Any> ints(new Array<int>{1});
  Basalt::Ref<Any> colors(new Array<Sample::Color>{Sample::Color::green});
  Basalt::Ref<Any> objs(new DataArray<Sample::Point>{new Sample::Point()});
  Any const* all[] = {nullptr,      point.get(), spec.get(),   boxInt.get(),
                      boxStr.get(), ints.get(),  colors.get(), objs.get()};
  for (Any const* a : all) {
    for (Any const* b : all) {
      for (unsigned flags : {0u, 2u, 3u}) {
        for (bool lenient : {false, true}) {
          bool eq = AreEqualAnysInt(a, b, flags, lenient);
          if (a == b) {
            EXPECT_TRUE(eq);
          }
          PropertyDiffSet d;
          DiffAnyPropertiesInt(a, b, "p", ".f", flags, d);
          if (a == b) {
            EXPECT_TRUE(d.empty());
          }
        }
      }
    }
  }
  EXPECT_FALSE(AreEqualAnysInt(boxInt.get(), boxStr.get(), 0, false));
  EXPECT_FALSE(AreEqualAnysInt(point.get(), spec.get(), 0, true));
  EXPECT_TRUE(AreEqualAnysInt(ints.get(), colors.get(), 0, false));  // both hold the int 1
  EXPECT_TRUE(AreEqualAnysInt(point.get(), nullptr, F_OPTIONAL, true));
  EXPECT_FALSE(AreEqualAnysInt(nullptr, point.get(), F_OPTIONAL, true));
  PropertyDiffSet d;
  DiffAnyPropertiesInt(point.get(), spec.get(), "p", ".f", 0, d);
  EXPECT_EQ(d.GetPaths(), std::vector<std::string>{"p.f"});
}

TEST_F(Compare, NaNIsUnequalToItselfAndTimesCompareAsInstants) {
  Basalt::Ref<Sample::Shape> s1(new Sample::Shape()), s2(new Sample::Shape());
  s1->weight = s2->weight = std::nan("");
  EXPECT_FALSE(s1->_IsEqual(s2.get(), true));
  EXPECT_EQ(Diff(s1.get(), s2.get()), std::vector<std::string>{".weight"});
  s1->weight = s2->weight = 0;
  s1->created = Basalt::System::DateTime::FromIso8601("2021-06-01T12:00:00+01:00");
  s2->created = Basalt::System::DateTime::FromIso8601("2021-06-01T11:00:00Z");
  EXPECT_TRUE(s1->_IsEqual(s2.get(), false));
}

TEST_F(Compare, ReflectiveDiffOfFaultsMatchesTheGeneratedRules) {
  // Fault classes keep DynamicData::_DiffProperties, which walks the
  // descriptors: base properties first, nested objects recursively.
  Basalt::Ref<Sample::BadShapeFault> a(new Sample::BadShapeFault()), b(new Sample::BadShapeFault());
  a->shapeName = "s";
  a->invalidProperty = PropertyPath("points");
  auto* m1 = new LocalizableMessage();
  m1->key = "k1";
  a->GetFaultMessage()->Append(m1);
  auto* m2 = new LocalizableMessage();
  m2->key = "k2";
  b->GetFaultMessage()->Append(m2);
  EXPECT_EQ(Diff(a.get(), b.get(), "f"),
            (std::vector<std::string>{"f.faultMessage[0].key", "f.invalidProperty", "f.shapeName"}));
  EXPECT_FALSE(a->_IsEqual(b.get(), false));
  Basalt::Ref<Any> copy(a->_Clone());
  EXPECT_TRUE(Diff(a.get(), copy.get()).empty());
  EXPECT_TRUE(a->_IsEqual(copy.get(), false));
  // The reflective comparison agrees with the generated one.
  EXPECT_TRUE(a->DynamicData::_IsEqual(copy.get(), false));
  EXPECT_FALSE(a->DynamicData::_IsEqual(b.get(), false));
}

}  // namespace
