// Enumeration arrays and boxes, their function tables, and object arrays: the
// members every type library instantiates once per type.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/Faults.h"
#include "quill/Primitive.h"
#include "quill/Type.h"
#include "quill/ValueImpl.h"
#include "sample/Records.h"
#include "sample/ext.h"
#include "sample/sample.h"

// Two enumerations of this file's own that no module registers: their type
// accessors answer null, as before a module is bound.
namespace Local {
enum class Shade : int { Light, Dark };
enum class Tiny : unsigned char { A, B };
}  // namespace Local

template <>
Quill::EnumType* Quill::GetEnumType<Local::Shade>() {
  return nullptr;
}
template <>
Quill::EnumType* Quill::GetEnumType<Local::Tiny>() {
  return nullptr;
}
template class Quill::Array<Local::Shade>;
template class Quill::Primitive<Local::Shade>;
template class Quill::Array<Local::Tiny>;

namespace {

using namespace Quill;
using Local::Shade;
using Local::Tiny;
using Sample::Color;
using Strings = std::vector<std::string>;
using Ints = std::vector<int>;

struct EnumArrays : ::testing::Test {
  void SetUp() override {
    Sample::BindSample();
    Sample::BindSampleExt();
    color = GetEnumType<Color>();
    ASSERT_NE(color, nullptr);
  }
  EnumFuncs const& Funcs() const { return color->GetFuncs(); }

  EnumType* color = nullptr;
};

std::string Name(std::type_info const& t) { return Basalt::Demangle(t); }

// The runtime's exception for `call`, or a test failure when it raises none.
template <class F>
Basalt::TypeMismatchException Mismatch(F call) {
  try {
    call();
  } catch (Basalt::TypeMismatchException const& e) {
    return e;
  }
  ADD_FAILURE() << "no TypeMismatchException";
  return Basalt::TypeMismatchException(typeid(void), typeid(void));
}

TEST_F(EnumArrays, MembersReadAndWriteThroughTheView) {
  Basalt::Ref<Array<Color>> colors(new Array<Color>{Color::red});
  Basalt::Ref<Array<int>> held(new Array<int>{2, 1, 0});
  colors->view = held.get();

  EXPECT_EQ(colors->GetCollectionLength(), 3u);
  EXPECT_EQ(colors->Get(0), Color::blue);
  EXPECT_EQ(colors->ToString(), "(sample.Color[]) [blue, green, red]");
  Basalt::Ref<Array<int>> ownValues(new Array<int>{0});
  EXPECT_TRUE(colors->_IsEqual(held.get(), false));
  EXPECT_FALSE(colors->_IsEqual(ownValues.get(), false));
  PropertyDiffSet d;
  colors->_DiffProperties(held.get(), ".palette", d);
  EXPECT_TRUE(d.empty());

  colors->Append(Color::green);
  EXPECT_EQ(held->GetValues(), (Ints{2, 1, 0, 1}));
  EXPECT_EQ(colors->GetValues(), Ints{0});

  Basalt::Ref<Array<Color>> clone(colors->_Clone());
  EXPECT_EQ(clone->view, clone.get());
  EXPECT_EQ(clone->GetValues(), (Ints{2, 1, 0, 1}));
  Array<Color> copy(*colors);
  EXPECT_EQ(copy.view, &copy);
  EXPECT_EQ(copy.GetValues(), (Ints{2, 1, 0, 1}));

  Basalt::Ref<Array<std::string>> tags;
  Funcs().toTags(colors.get(), color, tags);
  EXPECT_EQ(tags->GetValues(), (Strings{"blue", "green", "red", "green"}));
}

// Copies, clones and assignments own their values and point their view at themselves: a
// target that kept reading its source's storage would read freed memory once it dies.
TEST_F(EnumArrays, ClonesAndAssignmentsAreIndependentAndKeepTheirOwnView) {
  Basalt::Ref<Array<Color>> source(new Array<Color>{Color::red, Color::blue, Color::green});
  Any* raw = source->_Clone();
  EXPECT_EQ(raw->GetRefCount(), 0u);
  Basalt::Ref<Array<Color>> clone(static_cast<Array<Color>*>(raw));
  Any const& cloned = *clone;  // typeid of a plain reference: nothing evaluated inside it
  EXPECT_EQ(Name(typeid(cloned)), Name(typeid(Array<Color>)));
  clone->GetValues()[0] = 1;
  clone->Append(Color::red);
  EXPECT_EQ(source->GetValues(), (Ints{0, 2, 1}));

  Basalt::Ref<Array<Color>> a(new Array<Color>{Color::red});
  Basalt::Ref<Array<Color>> c(new Array<Color>{Color::green});
  {
    Basalt::Ref<Array<Color>> b(new Array<Color>{Color::blue, Color::green});
    *a = *b;
    b->Append(Color::red);  // the source changes after: the target does not follow
    Basalt::Ref<Array<Color>> d(new Array<Color>{Color::red, Color::red, Color::blue});
    *c = std::move(*d);
    EXPECT_EQ(d->view, d.get());
    EXPECT_EQ(d->GetCollectionLength(), 0u);
  }  // the sources die here
  EXPECT_EQ(a->view, a.get());
  EXPECT_EQ(a->ToString(), "(sample.Color[]) [blue, green]");
  EXPECT_EQ(c->view, c.get());
  c->Append(Color::green);
  EXPECT_EQ(c->GetValues(), (Ints{0, 0, 2, 1}));
  *c = *c;  // self-assignment keeps the values
  EXPECT_EQ(c->GetCollectionLength(), 4u);
}

TEST_F(EnumArrays, ConstructionAndAppendKeepEveryValue) {
  Basalt::Ref<Array<Color>> colors(new Array<Color>{Color::blue, static_cast<Color>(-1), Color::green});
  EXPECT_EQ(colors->GetValues(), (Ints{2, -1, 1}));
  EXPECT_EQ(colors->ToString(), "(sample.Color[]) [blue, -1, green]");
  // Enumerations narrower than int take the element-by-element path.
  Basalt::Ref<Array<Tiny>> tiny(new Array<Tiny>{Tiny::B, static_cast<Tiny>(200)});
  tiny->Append(static_cast<Tiny>(255));
  EXPECT_EQ(tiny->GetValues(), (Ints{1, 200, 255}));
  EXPECT_EQ(tiny->Get(1), static_cast<Tiny>(200));
  // An enumeration whose type is not bound prints its integers.
  Basalt::Ref<Array<Shade>> shades(new Array<Shade>{Shade::Dark, Shade::Light});
  EXPECT_EQ(shades->ToString(), "(enum[]) [1, 0]");
  EXPECT_EQ(shades->_GetType(), nullptr);
  EXPECT_EQ(colors->_GetType(), color->GetArrayType());
}

TEST_F(EnumArrays, TagsRoundTripAndFailuresLeaveNothingBehind) {
  for (Ints const& values : {Ints{}, Ints{0}, Ints{2, 2, 1, 0}}) {
    Basalt::Ref<Array<Color>> colors(new Array<Color>);
    colors->GetValues() = values;
    Basalt::Ref<Array<std::string>> tags;
    Funcs().toTags(colors.get(), color, tags);
    ASSERT_EQ(tags->GetValues().size(), values.size());
    Any* raw = Funcs().fromTags(tags.get(), color);
    EXPECT_EQ(raw->GetRefCount(), 0u);
    Basalt::Ref<Any> back(raw);
    Any const& converted = *back;
    ASSERT_EQ(Name(typeid(converted)), Name(typeid(Array<Color>)));
    auto* arr = static_cast<Array<Color>*>(back.get());
    EXPECT_EQ(arr->view, arr);
    EXPECT_EQ(arr->GetValues(), values);
  }

  // The output reference lets go of what it held.
  Basalt::Ref<Array<Color>> colors(new Array<Color>{Color::green});
  Basalt::Ref<Array<std::string>> old(new Array<std::string>{"stale"});
  Basalt::Ref<Array<std::string>> out = old;
  Funcs().toTags(colors.get(), color, out);
  EXPECT_EQ(old->GetRefCount(), 1u);
  EXPECT_EQ(out->GetValues(), Strings{"green"});

  colors->Append(static_cast<Color>(3));
  EXPECT_THROW(Funcs().toTags(colors.get(), color, out), Fault::InvalidArgument::Exception);
  // Tags are case-sensitive; the half-built array is freed (the leak checker
  // of the sanitizer build would see it otherwise).
  Basalt::Ref<Array<std::string>> bad(new Array<std::string>{"red", "Blue"});
  EXPECT_THROW(Funcs().fromTags(bad.get(), color), Fault::InvalidArgument::Exception);
}

TEST_F(EnumArrays, TableFunctionsRejectOtherClassesNamingBoth) {
  Basalt::Ref<Any> notStrings[] = {
      new Array<int>{0},
      new Array<Color>{Color::red},
      new Array<TypeName>{"red"},
      new Primitive<std::string>("red"),
      new DataArray<Sample::Point>{new Sample::Point()},
  };
  for (auto const& arg : notStrings) {
    auto e = Mismatch([&] { Basalt::Ref<Any> r(Funcs().fromTags(arg.get(), color)); });
    EXPECT_EQ(Name(e.GetExpected()), Name(typeid(Array<std::string>)));
    Any const& given = *arg;
    EXPECT_EQ(Name(e.GetActual()), Name(typeid(given)));
  }

  // To tags wants this very enumeration's array: neither its base class nor
  // another enumeration's array.
  Basalt::Ref<Array<std::string>> out;
  Basalt::Ref<Any> plain(new Array<int>{0});
  Basalt::Ref<Any> shades(new Array<Shade>{Shade::Light});
  for (Any* arg : {plain.get(), shades.get()}) {
    auto e = Mismatch([&] { Funcs().toTags(arg, color, out); });
    EXPECT_EQ(Name(e.GetExpected()), Name(typeid(Array<Color>)));
    EXPECT_EQ(Name(e.GetActual()), Name(typeid(*arg)));
  }
  EXPECT_EQ(out.get(), nullptr);

  Basalt::Ref<Any> shade(new Primitive<Shade>(Shade::Light));
  auto e = Mismatch([&] { Funcs().unbox(shade.get()); });
  EXPECT_EQ(Name(e.GetExpected()), Name(typeid(Primitive<Color>)));
  EXPECT_EQ(Name(e.GetActual()), Name(typeid(Primitive<Shade>)));
}

TEST_F(EnumArrays, CompareWithIntArraysOfAnyEnumerationInBothDirections) {
  Basalt::Ref<Any> colors(new Array<Color>{Color::green, Color::blue});
  Basalt::Ref<Any> plain(new Array<int>{1, 2});
  Basalt::Ref<Any> shades(new Array<Shade>{Shade::Dark, static_cast<Shade>(2)});
  for (Any* other : {plain.get(), shades.get()}) {
    EXPECT_TRUE(AreEqualAnysInt(colors.get(), other, 0, false));
    EXPECT_TRUE(AreEqualAnysInt(other, colors.get(), 0, false));
    PropertyDiffSet d;
    DiffAnyPropertiesInt(other, colors.get(), "s", ".palette", 0, d);
    EXPECT_TRUE(d.empty());
  }

  Basalt::Ref<Any> shorter(new Array<int>{1});
  Basalt::Ref<Any> lastDiffers(new Array<Shade>{Shade::Dark, Shade::Light});
  for (Any* other : {shorter.get(), lastDiffers.get()}) {
    EXPECT_FALSE(AreEqualAnysInt(other, colors.get(), 0, false));
    PropertyDiffSet d;
    colors->_DiffProperties(other, ".palette", d);
    DiffAnyPropertiesInt(other, colors.get(), "s", ".palette", 0, d);
    EXPECT_EQ(d.GetPaths(), (Strings{".palette", "s.palette"}));
  }

  // Values of other kinds are unequal, never an error.
  Basalt::Ref<Any> longs(new Array<long>{1, 2});
  Basalt::Ref<Any> tags(new Array<std::string>{"green", "blue"});
  Basalt::Ref<Any> box(new Primitive<int>(1));
  for (Any* other : {longs.get(), tags.get(), box.get(), static_cast<Any*>(nullptr)}) {
    EXPECT_FALSE(colors->_IsEqual(other, true));
  }
  Basalt::Ref<Any> noColors(new Array<Color>), noInts(new Array<int>);
  EXPECT_TRUE(noColors->_IsEqual(noInts.get(), false));
}

TEST_F(EnumArrays, BoxesCompareByValueAndRejectOtherBoxes) {
  Any* raw = Funcs().box(0);
  EXPECT_EQ(raw->GetRefCount(), 0u);
  Basalt::Ref<Any> red(raw);
  Any const& boxed = *red;
  ASSERT_EQ(Name(typeid(boxed)), Name(typeid(Primitive<Color>)));
  EXPECT_EQ(Funcs().unbox(red.get()), 0);
  EXPECT_EQ(red->_GetType(), color);
  EXPECT_EQ(red->ToString(), "red");

  Basalt::Ref<Any> red2(new Primitive<Color>(Color::red));
  Basalt::Ref<Any> green(new Primitive<Color>(Color::green));
  EXPECT_TRUE(red->_IsEqual(red2.get(), false));
  EXPECT_FALSE(red->_IsEqual(green.get(), true));
  PropertyDiffSet d;
  red->_DiffProperties(red2.get(), ".color", d);
  EXPECT_TRUE(d.empty());
  red->_DiffProperties(green.get(), ".color", d);
  EXPECT_EQ(d.GetPaths(), Strings{".color"});

  // Same integer, other class: an error, not inequality.
  Basalt::Ref<Any> zero(new Primitive<int>(0));
  Basalt::Ref<Any> light(new Primitive<Shade>(Shade::Light));
  for (Any* other : {zero.get(), light.get()}) {
    auto e = Mismatch([&] { red->_IsEqual(other, false); });
    EXPECT_EQ(Name(e.GetExpected()), Name(typeid(Primitive<Color>)));
    EXPECT_EQ(Name(e.GetActual()), Name(typeid(*other)));
    EXPECT_THROW(red->_DiffProperties(other, ".color", d), Basalt::TypeMismatchException);
  }
  EXPECT_EQ(light->_GetType(), nullptr);
  EXPECT_EQ(light->ToString(), "0");
}

TEST(DataArrays, HoldOneReferencePerElementAndReportTheirType) {
  Sample::BindSample();
  using Sample::Point;
  Basalt::Ref<Point> p(new Point()), q(new Point());
  {
    Basalt::Ref<DataArray<Point>> a(new DataArray<Point>{p.get(), q.get()});
    a->Append(p.get());
    a->AppendAny(nullptr);
    EXPECT_EQ(p->GetRefCount(), 3u);

    Basalt::Ref<DataArray<Point>> clone(a->_Clone());
    Any const& cloned = *clone;
    EXPECT_EQ(Name(typeid(cloned)), Name(typeid(DataArray<Point>)));
    ASSERT_EQ(clone->size(), 4u);
    EXPECT_EQ(clone->Get(2), p.get());
    EXPECT_EQ(clone->Get(3), nullptr);
    EXPECT_EQ(p->GetRefCount(), 5u);
    EXPECT_EQ(q->GetRefCount(), 3u);
    EXPECT_TRUE(AreEqualAnysInt(clone.get(), a.get(), 0, false));
    clone->Append(q.get());
    EXPECT_EQ(a->size(), 4u);

    ASSERT_NE(GetDoType<Point>(), nullptr);
    EXPECT_EQ(a->_GetItemType(), GetDoType<Point>());
    EXPECT_EQ(clone->_GetType(), GetDoType<Point>()->GetArrayType());
    a.reset();
    EXPECT_EQ(p->GetRefCount(), 3u);
    EXPECT_EQ(q->GetRefCount(), 3u);

    Basalt::Ref<DataArray<Any>> anys(new DataArray<Any>{p.get()});
    Basalt::Ref<DataArray<Any>> anysClone(anys->_Clone());
    EXPECT_EQ(anysClone->Get(0), p.get());
    EXPECT_EQ(p->GetRefCount(), 5u);
    EXPECT_EQ(anys->_GetType(), GetNoType<Any>()->GetArrayType());
  }
  EXPECT_EQ(p->GetRefCount(), 1u);
  EXPECT_EQ(q->GetRefCount(), 1u);
}

}  // namespace
