#include <gtest/gtest.h>

#include <cmath>

#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/Type.h"
#include "quill/Values.h"
#include "sample/Records.h"
#include "sample/ext.h"
#include "sample/sample.h"

namespace {

using namespace Quill;

struct Values : ::testing::Test {
  void SetUp() override {
    Sample::BindSample();
    Sample::BindSampleExt();
  }
};

TEST_F(Values, ValueArraysCompareByContentAndClassNeverThrow) {
  Basalt::Ref<Array<std::string>> a(new Array<std::string>{"x", "y", "z"});
  Basalt::Ref<Array<std::string>> b(new Array<std::string>{"x", "y", "z"});
  Basalt::Ref<Array<std::string>> e1(new Array<std::string>), e2(new Array<std::string>);
  Basalt::Ref<Array<int>> ints(new Array<int>{1});
  EXPECT_EQ(a->GetCollectionLength(), 3u);
  EXPECT_TRUE(a->_IsEqual(b.get(), false));
  EXPECT_TRUE(e1->_IsEqual(e2.get(), false));
  EXPECT_FALSE(a->_IsEqual(nullptr, true));
  EXPECT_FALSE(e1->_IsEqual(ints.get(), false));
  b->GetValues().back() = "Z";
  EXPECT_FALSE(a->_IsEqual(b.get(), false));
  PropertyDiffSet d;
  a->_DiffProperties(b.get(), ".tags", d);
  EXPECT_EQ(d.GetPaths(), std::vector<std::string>{".tags"});

  Basalt::Ref<Array<double>> nan(new Array<double>{std::nan("")});
  Basalt::Ref<Array<double>> nan2(nan->_Clone());
  EXPECT_FALSE(nan->_IsEqual(nan2.get(), false));
}

TEST_F(Values, BoxesAreSharedOnCloneAndRejectForeignClasses) {
  Basalt::Ref<Primitive<std::string>> s(new Primitive<std::string>("abc"));
  EXPECT_EQ(s->_Clone(), s.get());
  Basalt::Ref<Primitive<int>> i(new Primitive<int>(3));
  EXPECT_THROW(s->_IsEqual(i.get(), false), Basalt::TypeMismatchException);
  PropertyDiffSet d;
  EXPECT_THROW(s->_DiffProperties(i.get(), ".x", d), Basalt::TypeMismatchException);
  Basalt::Ref<Primitive<std::string>> s2(new Primitive<std::string>("abd"));
  s->_DiffProperties(s2.get(), ".x", d);
  EXPECT_EQ(d.size(), 1u);
  EXPECT_EQ(s->_GetType(), FindType("string"));

  using Basalt::System::DateTime;
  Basalt::Ref<Primitive<DateTime>> t1(new Primitive<DateTime>(DateTime::FromIso8601("2020-01-01T02:00:00+02:00")));
  Basalt::Ref<Primitive<DateTime>> t2(new Primitive<DateTime>(DateTime::FromIso8601("2020-01-01T00:00:00Z")));
  EXPECT_TRUE(t1->_IsEqual(t2.get(), false));
  EXPECT_EQ(Unbox<int>(i.get()), 3);
  EXPECT_THROW(Unbox<long>(i.get()), Basalt::TypeMismatchException);

  // The two boolean boxes are shared by every holder.
  Primitive<bool>* t = Primitive<bool>::Factory::sTrue;
  EXPECT_EQ(Primitive<bool>::Get(true), t);
  EXPECT_FALSE(Primitive<bool>::Get(false)->GetValue());
  EXPECT_FALSE(t->_IsEqual(Primitive<bool>::Factory::sFalse, false));
  EXPECT_EQ(t->_Clone(), t);
  EXPECT_EQ(t->_GetType(), FindType("boolean"));
}

TEST_F(Values, MoRefEqualityIsByTypeAndId) {
  Basalt::Ref<MoRef> a(new MoRef("sample.Widget", "w-1"));
  Basalt::Ref<MoRef> b(a->_Clone());
  EXPECT_NE(a.get(), b.get());
  EXPECT_TRUE(a->_IsEqual(b.get(), false));
  b->SetId("w-2");
  EXPECT_FALSE(a->_IsEqual(b.get(), false));
  Basalt::Ref<MoRef> c(new MoRef("sample.Gadget", "w-1"));
  EXPECT_FALSE(a->_IsEqual(c.get(), false));
  EXPECT_EQ(a->ToString(), "'sample.Widget:w-1'");
  EXPECT_EQ(a->_GetType(), FindType("sedge.ManagedObject"));
}

TEST_F(Values, PropertyPathOrdersByComponent) {
  EXPECT_EQ(PropertyPath("a.b").Compare(PropertyPath("a.b")), 0);
  EXPECT_LT(PropertyPath("a").Compare(PropertyPath("a.b")), 0);
  EXPECT_LT(PropertyPath("a.b").Compare(PropertyPath("a.c")), 0);
  EXPECT_LT(PropertyPath("a.z").Compare(PropertyPath("ab")), 0);
  EXPECT_LT(PropertyPath("a[1]").Compare(PropertyPath("a0")), 0);  // '[' sorts before '0' here, after it in bytes
  EXPECT_GT(PropertyPath("ab").Compare(PropertyPath("a.b")), 0);
  EXPECT_TRUE(PropertyPath("a.b").IsPrefixOf(PropertyPath("a.b[0].c")));
  EXPECT_FALSE(PropertyPath("a.b").IsPrefixOf(PropertyPath("a.bc")));
}

TEST_F(Values, ToStringDumpsNestedObjectsAndHidesSecrets) {
  Basalt::Ref<Sample::Shape> s(new Sample::Shape());
  s->name = "tri\"angle";
  s->password = "hunter2";
  s->color = Sample::Color::green;
  s->weight = 1.5;
  s->origin = new Sample::Point();
  s->origin->x = 1;
  s->origin->label = std::string("o");
  s->GetPoints()->Append(new Sample::Point());
  s->GetTags()->Append("t1");
  s->owner = new MoRef("sample.Widget", "w-9");
  s->extra = new Primitive<int>(42);
  std::string text = s->ToString();
  EXPECT_EQ(text.find("hunter2"), std::string::npos);
  for (char const* part : {"(sample.Shape) {", "password = (secret)", "name = \"tri\\\"angle\"", "color = green",
                           "   origin = (sample.Point) {\n      x = 1,", "label = \"o\"", "visible = <unset>",
                           "points = (sample.Point[]) [\n      (sample.Point) {", "palette = <unset>",
                           "tags = (string[]) [\"t1\"]", "owner = 'sample.Widget:w-9'", "extra = 42", "weight = 1.5"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
  }
}

TEST_F(Values, AccessorsReadWriteAndReportSetness) {
  Basalt::Ref<Sample::Shape> s(new Sample::Shape());
  DataObjectType* type = GetDoType<Sample::Shape>();
  DataTypeInfo const* d = type->GetDescriptor();
  // An array property that holds null reads as a new empty array.
  EXPECT_FALSE(d->isPropertySet(s.get(), 2));
  EXPECT_EQ(d->getPropertyPtr(s.get(), 2), nullptr);
  Basalt::Ref<Any> out;
  d->getProperty(s.get(), 2, &out);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out.get(), s->points.get());
  EXPECT_FALSE(d->isPropertySet(s.get(), 2));  // empty array: not set

  int color = 2;
  d->setProperty(s.get(), 3, &color);
  EXPECT_EQ(s->color, Sample::Color::blue);
  Basalt::Ref<Any> wrong(new Sample::Shape());
  EXPECT_THROW(d->setProperty(s.get(), 1, &wrong), Basalt::TypeMismatchException);
  Basalt::Ref<Any> pt(new Sample::Point());
  d->setProperty(s.get(), 1, &pt);
  EXPECT_EQ(s->origin.get(), pt.get());
  d->unsetProperty(s.get(), 1);
  EXPECT_EQ(s->origin, nullptr);

  Basalt::Ref<Sample::Point> p(new Sample::Point());
  DataTypeInfo const* pd = GetDoType<Sample::Point>()->GetDescriptor();
  EXPECT_EQ(pd->getPropertyPtr(p.get(), 3), nullptr);
  bool yes = true;
  pd->setProperty(p.get(), 3, &yes);
  EXPECT_EQ(*static_cast<signed char*>(pd->getPropertyPtr(p.get(), 3)), 1);
  Basalt::Optional<std::string> label("swapped");
  pd->swapProperty(p.get(), 2, &label);
  EXPECT_EQ(*p->label, "swapped");
  EXPECT_FALSE(label.IsSet());
}

}  // namespace
