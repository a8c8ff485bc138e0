// Bad input at every public entry point of the runtime, one test per entry
// point with its bad inputs as cases. Meant to run under AddressSanitizer:
// most of these cases corrupted memory or recursed without end before they
// were refused.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>

#include "RpcImpl.h"
#include "basalt/ScheduledItem.h"
#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Reflection.h"
#include "quill/Registry.h"
#include "quill/StubSupport.h"
#include "quill/Type.h"

namespace {

using namespace Quill;
using Sample::Color;
using Sample::Point;
using Sample::Shape;

using SampleImpl::BindAll;

// Runs `call`, expects Fault::InvalidArgument, and returns its readable text
// and invalidProperty ("<none>" when unset).
template <class F>
std::pair<std::string, std::string> InvalidArgumentOf(F call) {
  try {
    call();
  } catch (Fault::InvalidArgument::Exception const& e) {
    auto* f = static_cast<Fault::InvalidArgument*>(e.GetFault());
    std::string text;
    if (f->faultMessage && f->faultMessage->size()) {
      text = f->faultMessage->Get(0)->message.IsSet() ? *f->faultMessage->Get(0)->message : "";
    }
    return {text, f->invalidProperty.IsSet() ? f->invalidProperty->GetString() : "<none>"};
  } catch (std::exception const& e) {
    ADD_FAILURE() << "expected InvalidArgument, got " << Basalt::Demangle(typeid(e)) << ": " << e.what();
    return {};
  }
  ADD_FAILURE() << "expected InvalidArgument, nothing thrown";
  return {};
}

template <class F>
void ExpectMismatch(F call, std::type_info const& expected, std::type_info const& actual) {
  try {
    call();
    ADD_FAILURE() << "no type mismatch";
  } catch (Basalt::TypeMismatchException const& e) {
    EXPECT_EQ(e.GetExpected(), expected) << Basalt::Demangle(e.GetExpected());
    EXPECT_EQ(e.GetActual(), actual) << Basalt::Demangle(e.GetActual());
  }
}

// Counts destructions, so that tests can tell freed from kept.
struct Probe : Basalt::Object {
  explicit Probe(int* deaths, Basalt::Object* inner = nullptr) : deaths(deaths), inner(inner) {}
  ~Probe() override { ++*deaths; }
  int* deaths;
  Basalt::Ref<Basalt::Object> inner;
};

Basalt::Object* Boom() { throw std::runtime_error("argument failed"); }

struct ProbedRef : MoRef {
  ProbedRef(int* deaths, std::string type) : MoRef(std::move(type), "p-1"), deaths(deaths) {}
  ~ProbedRef() override { ++*deaths; }
  int* deaths;
};

// --- _IsEqual / _DiffProperties of the runtime's own classes ---------------------------

TEST(BadInput, RuntimeDataAndFaultClassesAnswerUnequalForNullAndForeignOthers) {
  BindAll();
  std::vector<Basalt::Ref<DynamicData>> objects = {
      new LocalizableMessage(),
      new KeyAnyValue(),
      new DynamicProperty(),
      new MethodFault(),
      new RuntimeFault(),
      new Fault::InvalidArgument(),
      new Fault::NotSupported(),
      new Fault::SecurityError(),
      new Fault::RequestCanceled(),
      new Fault::ManagedObjectNotFound(),
      new Fault::SystemError(),
      new Fault::InvalidRequest(),
      new Fault::InvalidType(),
      new Sample::BadShapeFault(),
      new Point(),
      new Shape(),
  };
  Basalt::Ref<Any> box(new Primitive<std::string>("x"));
  for (std::size_t i = 0; i < objects.size(); ++i) {
    DynamicData const* self = objects[i].get();
    SCOPED_TRACE(Basalt::Demangle(typeid(*self)));
    EXPECT_FALSE(self->_IsEqual(nullptr, false));
    EXPECT_FALSE(self->_IsEqual(nullptr, true));
    EXPECT_FALSE(self->_IsEqual(box.get(), true));
    // Every other class of the list, bases and derived ones included: the
    // fields read from `other` would lie outside it.
    for (std::size_t j = 0; j < objects.size(); ++j) {
      if (j != i) {
        DynamicData const& other = *objects[j];
        EXPECT_FALSE(self->_IsEqual(&other, true)) << Basalt::Demangle(typeid(other));
      }
    }
    Basalt::Ref<Any> copy(self->_Clone());
    EXPECT_TRUE(self->_IsEqual(copy.get(), false));

    PropertyDiffSet diffs;
    self->_DiffProperties(nullptr, ".a", diffs);
    self->_DiffProperties(box.get(), ".b", diffs);
    self->_DiffProperties(objects[(i + 1) % objects.size()].get(), ".c", diffs);
    EXPECT_EQ(diffs.GetPaths(), (std::vector<std::string>{".a", ".b", ".c"}));
  }
  // Boxes: null is unequal; a box of another class stays a type mismatch.
  EXPECT_FALSE(box->_IsEqual(nullptr, false));
  EXPECT_FALSE(Primitive<bool>::Get(true)->_IsEqual(nullptr, false));
  EXPECT_THROW(box->_IsEqual(objects[0].get(), false), Basalt::TypeMismatchException);
}

// --- objects not made by new -----------------------------------------------------------------

TEST(StackObjects, OnlyObjectsMadeByNewAreDeletedByTheirLastReference) {
  int deaths = 0;
  {
    Probe onStack(&deaths);
    EXPECT_FALSE(onStack.IsOwnedByCount());
    { Basalt::Ref<Basalt::Object> r(&onStack); }  // count 1 -> 0: nothing freed
    EXPECT_EQ(deaths, 0);
  }
  EXPECT_EQ(deaths, 1);  // its scope, once

  deaths = 0;
  {
    // The allocation of the outer object precedes the inner one's: both are
    // owned, each by its own block.
    Basalt::Ref<Probe> outer(new Probe(&deaths, new Probe(&deaths)));
    EXPECT_TRUE(outer->IsOwnedByCount());
    EXPECT_TRUE(outer->inner->IsOwnedByCount());
  }
  EXPECT_EQ(deaths, 2);

  deaths = 0;
  {
    // An allocation abandoned because an argument threw leaves nothing behind
    // that a later object could be mistaken for.
    EXPECT_THROW((void)new Probe(&deaths, Boom()), std::runtime_error);
    Probe later(&deaths);
    EXPECT_FALSE(later.IsOwnedByCount());
    auto shared = std::make_shared<Probe>(&deaths);  // storage of the control block
    EXPECT_FALSE(shared->IsOwnedByCount());
    std::vector<Probe> many;
    many.reserve(2);
    many.emplace_back(&deaths);
    EXPECT_FALSE(many.back().IsOwnedByCount());
    { Basalt::Ref<Probe> r(shared.get()); }
    { Basalt::Ref<Probe> r(&many.back()); }
    EXPECT_EQ(deaths, 0);
  }
  EXPECT_EQ(deaths, 3);
}

TEST(StackObjects, CallsAndStubFactoriesLeaveStackObjectsToTheirScope) {
  BindAll();
  SampleImpl::CounterServer server;
  server.Start();
  int deaths = 0;
  {
    ProbedRef ref(&deaths, "sample.rpc.Counter");
    ref.SetId("c-1");
    Basalt::Ref<StubImpl> stub = CreateStub(&ref, server.adapter.get());
    auto* counter = dynamic_cast<Sample::Rpc::Counter*>(stub.get());
    ASSERT_NE(counter, nullptr);
    EXPECT_EQ(counter->Add(2, Basalt::Optional<std::string>()), 2);

    // A data object argument on the stack, shared with the call's boxes.
    Shape shape;
    shape.name = "stack";
    Basalt::Ref<DataArray<Shape>> painted;
    server.stub->Paint(&shape, Color::green, nullptr, {}, painted);
    EXPECT_EQ(shape.GetRefCount(), 0u);
    stub = nullptr;  // the stub's reference to `ref` drops to zero
    EXPECT_EQ(deaths, 0);
  }
  EXPECT_EQ(deaths, 1);
}

// --- the checked reflection layer --------------------------------------------------------------

TEST(Reflection, SetRefusesWrongBoxesForeignPropertiesAndValuesWithoutATag) {
  BindAll();
  Basalt::Ref<Shape> shape(new Shape());
  shape->name = "before";
  DataProperty const& name = Reflection::PropertyOf(shape.get(), "name");
  DataProperty const& color = Reflection::PropertyOf(shape.get(), "color");

  // A string property from an int box: refused before anything is written.
  ExpectMismatch([&] { Reflection::Set(shape.get(), name, new Primitive<int>(7)); }, typeid(Primitive<std::string>),
                 typeid(Primitive<int>));
  EXPECT_EQ(shape->name, "before");
  // An optional int from a long box.
  Basalt::Ref<Sample::Ext::BaseSpec> spec(new Sample::Ext::BaseSpec());
  ExpectMismatch([&] { Reflection::Set(spec.get(), "count", new Primitive<long>(3L)); }, typeid(Primitive<int>),
                 typeid(Primitive<long>));
  EXPECT_FALSE(spec->count.IsSet());
  // A bool from an int 2.
  Basalt::Ref<Point> point(new Point());
  ExpectMismatch([&] { Reflection::Set(point.get(), "visible", new Primitive<int>(2)); }, typeid(Primitive<bool>),
                 typeid(Primitive<int>));
  EXPECT_FALSE(point->visible.IsSet());
  // An enumeration value without a tag, and a box of another class.
  auto bad = InvalidArgumentOf([&] { Reflection::Set(shape.get(), color, new Primitive<Color>(Color(1000))); });
  EXPECT_NE(bad.first.find("1000"), std::string::npos) << bad.first;
  EXPECT_NE(bad.first.find("sample.Color"), std::string::npos) << bad.first;
  EXPECT_EQ(shape->color, Color::red);
  EXPECT_THROW(Reflection::Set(shape.get(), color, new Primitive<int>(1)), Basalt::TypeMismatchException);
  // An object of another class than the field's.
  ExpectMismatch([&] { Reflection::Set(shape.get(), "origin", new Shape()); }, typeid(Point), typeid(Shape));
  EXPECT_FALSE(shape->origin);
  // A property of another class names the class it was given.
  auto foreign = InvalidArgumentOf([&] { Reflection::Set(point.get(), name, new Primitive<std::string>("x")); });
  EXPECT_NE(foreign.first.find("sample.Point"), std::string::npos) << foreign.first;
  // Every refusal names the offending argument in invalidProperty.
  DataProperty const& weight = Reflection::PropertyOf(shape.get(), "weight");
  struct Case {
    std::function<void()> call;
    std::string property;
  } const cases[] = {
      {[&] { Reflection::Set(point.get(), name, new Primitive<std::string>("x")); }, "name"},
      {[&] { Reflection::Set(nullptr, name, nullptr); }, "obj"},
      {[&] { Reflection::Set(shape.get(), "nam", nullptr); }, "nam"},
      {[&] { Reflection::Set(shape.get(), name, nullptr); }, "name"},  // a required value cannot be emptied
      {[&] { Reflection::Unset(point.get(), "x"); }, "x"},
      {[&] { Reflection::Get(point.get(), weight); }, "weight"},
      {[&] { Reflection::IsSet(point.get(), weight); }, "weight"},
      {[&] { Reflection::Unset(point.get(), weight); }, "weight"},
      {[&] { Reflection::Get(nullptr, "x"); }, "obj"},
      {[&] { Reflection::PropertyOf(point.get(), std::string_view("x\0y", 3)); }, std::string("x\0y", 3)},
  };
  for (Case const& c : cases) EXPECT_EQ(InvalidArgumentOf(c.call).second, c.property);
  EXPECT_EQ(shape->name, "before");
  // A DataProperty copied and altered to point past the own list.
  DataProperty forged = weight;
  forged.ownIndex = 1000;
  EXPECT_THROW(Reflection::Get(shape.get(), forged), Fault::InvalidArgument::Exception);

  // What is accepted lands in the field.
  Reflection::Set(shape.get(), color, new Primitive<Color>(Color::blue));
  Reflection::Set(point.get(), "visible", Primitive<bool>::Get(false));
  Reflection::Set(shape.get(), "origin", point);
  Reflection::Set(shape.get(), "extra", new Primitive<int>(5));  // an any takes every value
  EXPECT_EQ(shape->color, Color::blue);
  EXPECT_EQ(point->visible.GetState(), 0);
  EXPECT_EQ(shape->origin.get(), point.get());
  EXPECT_EQ(Unbox<int>(shape->extra.get()), 5);
  Reflection::Set(shape.get(), "origin", nullptr);
  EXPECT_FALSE(shape->origin);
}

TEST(Reflection, GetAndSetRoundTripEveryPropertyKindThroughBoxes) {
  BindAll();
  Basalt::Ref<Shape> from(new Shape());
  from->name = "s";
  from->origin = new Point();
  from->GetPoints()->Append(new Point());
  from->color = Color::green;
  from->GetPalette()->Append(Color::blue);
  from->created = Basalt::System::DateTime::FromCivil(2024, 2, 29, 12);
  from->password = "pw";
  from->extra = new Primitive<double>(1.5);
  from->owner = new MoRef("sample.rpc.Counter", "c-9");
  from->weight = 2.25;
  from->GetTags()->Append("t");
  Basalt::Ref<Shape> to(new Shape());
  DataObjectType const* type = from->_GetDataType();
  for (std::uint32_t i = 0; i < type->GetPropertyCount(); ++i) {
    DataProperty const& p = type->GetProperty(i);
    SCOPED_TRACE(p.info->name);
    Basalt::Ref<Any> v = Reflection::Get(from.get(), p);
    ASSERT_TRUE(v);
    EXPECT_TRUE(Reflection::IsSet(from.get(), p));
    Reflection::Set(to.get(), p, v);
    EXPECT_TRUE(Reflection::IsSet(to.get(), p));
  }
  EXPECT_TRUE(to->_IsEqual(from.get(), false)) << to->ToString();
  EXPECT_EQ(Reflection::Get(to.get(), "color")->ToString(), "green");

  Basalt::Ref<Point> empty(new Point());
  EXPECT_FALSE(Reflection::Get(empty.get(), "label"));
  EXPECT_FALSE(Reflection::IsSet(empty.get(), "label"));
}

TEST(Reflection, InheritedPropertiesAreServedThroughTheBasesAccessors) {
  BindAll();
  Basalt::Ref<Sample::Derived> derived(new Sample::Derived());
  Reflection::Set(derived.get(), "count", new Primitive<int>(4));
  EXPECT_EQ(*derived->count, 4);
  Reflection::Unset(derived.get(), "count");
  EXPECT_FALSE(derived->count.IsSet());
}

// --- graphs that reach themselves -----------------------------------------------------------------

TEST(Cycles, CloneCompareAndDiffRefuseAGraphThatHoldsItselfAndToStringMarksIt) {
  BindAll();
  Basalt::Ref<Shape> a(new Shape()), b(new Shape());
  a->extra = a;  // directly
  Basalt::Ref<DataArray<Any>> ring(new DataArray<Any>());
  ring->Append(b.get());
  b->extra = ring;  // through an array

  auto clone = InvalidArgumentOf([&] { Basalt::Ref<Any> c(a->_Clone()); });
  EXPECT_NE(clone.first.find("cycle"), std::string::npos) << clone.first;
  EXPECT_NE(clone.first.find("clone"), std::string::npos) << clone.first;
  // Copies share the elements of object arrays, so b's copy ends at the ring.
  Basalt::Ref<Shape> bCopy(static_cast<Shape*>(b->_Clone()));
  EXPECT_EQ(static_cast<DataArray<Any>*>(bCopy->extra.get())->Get(0), b.get());
  for (Shape* s : {a.get(), b.get()}) {
    std::string text = s->ToString();
    EXPECT_NE(text.find("(sample.Shape) <cycle>"), std::string::npos) << text;
  }
  // a against a same-shaped but separate cycle: no answer exists without
  // walking forever, so it is refused.
  Basalt::Ref<Shape> a2(new Shape());
  a2->extra = a2;
  EXPECT_NE(InvalidArgumentOf([&] { a->_IsEqual(a2.get(), false); }).first.find("comparison"), std::string::npos);
  PropertyDiffSet diffs;
  auto diff = InvalidArgumentOf([&] { a->_DiffProperties(a2.get(), "", diffs); });
  EXPECT_NE(diff.first.find("cycle"), std::string::npos) << diff.first;
  EXPECT_TRUE(a->_IsEqual(a.get(), false));  // the same object needs no walk

  // Counted references around a cycle keep each other alive: break them.
  a->extra = nullptr;
  a2->extra = nullptr;
  b->extra = nullptr;
}

TEST(Cycles, DeepButFiniteGraphsWorkUpToTheDepthLimitAndAreRefusedBeyond) {
  BindAll();
  auto chain = [](int depth) {
    Basalt::Ref<Shape> head(new Shape());
    Shape* at = head.get();
    for (int i = 1; i < depth; ++i) {
      auto* next = new Shape();
      at->extra = next;
      at = next;
    }
    return head;
  };
  Basalt::Ref<Shape> ok = chain(200);
  Basalt::Ref<Any> copy(ok->_Clone());
  EXPECT_TRUE(ok->_IsEqual(copy.get(), false));
  EXPECT_EQ(ok->ToString().find("<too deep>"), std::string::npos);

  Basalt::Ref<Shape> deep = chain(400);
  EXPECT_NE(InvalidArgumentOf([&] { Basalt::Ref<Any> c(deep->_Clone()); }).first.find("deeper"), std::string::npos);
  EXPECT_NE(deep->ToString().find("<too deep>"), std::string::npos);
}

// --- index-taking and name-taking lookups ------------------------------------------------------------

TEST(BadInput, IndexLookupsRefuseIndexesPastTheEnd) {
  BindAll();
  DataObjectType* shape = GetDoType<Shape>();
  EXPECT_EQ(InvalidArgumentOf([&] { shape->GetProperty(shape->GetPropertyCount()); }).second, "index");
  EXPECT_THROW(shape->GetProperty(UINT32_MAX), Fault::InvalidArgument::Exception);
  EXPECT_THROW(shape->GetOwnProperty(shape->GetOwnPropertyCount()), Fault::InvalidArgument::Exception);
  EXPECT_STREQ(shape->GetOwnProperty(0).name, "name");

  ManagedObjectType* counter = GetMoType<Sample::Rpc::Counter>();
  std::uint32_t slots = counter->GetOwnMethodCount() + counter->GetOwnPropertyCount();
  EXPECT_NE(counter->GetMethodObject(slots - 1), nullptr);
  EXPECT_THROW(counter->GetMethodObject(slots), Fault::InvalidArgument::Exception);
  EXPECT_THROW(counter->GetProperty(counter->GetPropertyCount()), Fault::InvalidArgument::Exception);
  ManagedMethod* add = counter->FindMethod("add");
  ASSERT_NE(add, nullptr);
  EXPECT_STREQ(add->GetParameter(1).name, "note");
  auto past = InvalidArgumentOf([&] { add->GetParameter(add->GetParameterCount()); });
  EXPECT_NE(past.first.find("add"), std::string::npos) << past.first;

  Basalt::Ref<DataArray<Point>> points(new DataArray<Point>{new Point()});
  EXPECT_NE(points->Get(0), nullptr);
  EXPECT_NE(InvalidArgumentOf([&] { points->Get(1); }).first.find("index 1"), std::string::npos);
  EXPECT_THROW(points->GetAny(SIZE_MAX), Fault::InvalidArgument::Exception);
  Basalt::Ref<Array<Color>> colors(new Array<Color>{Color::blue});
  EXPECT_EQ(colors->Get(0), Color::blue);
  EXPECT_THROW(colors->Get(1), Fault::InvalidArgument::Exception);
  Basalt::Ref<Array<std::string>> texts(new Array<std::string>{"a", "b"});
  EXPECT_EQ((*texts)[1], "b");
  EXPECT_THROW((*texts)[2], Fault::InvalidArgument::Exception);
  Array<long> const& longs = Array<long>{};
  EXPECT_THROW(longs[0], Fault::InvalidArgument::Exception);
  PropertyDiffSet diffs;
  diffs.Append(".x", nullptr);  // a null component: the prefix alone
  EXPECT_EQ(diffs[0], ".x");
  EXPECT_THROW(diffs[1], Fault::InvalidArgument::Exception);
}

TEST(BadInput, TagLookupsTakeTheWholeTextEmbeddedNulsIncluded) {
  BindAll();
  EnumType* color = GetEnumType<Color>();
  EXPECT_EQ(color->FindValue("blue"), 2);
  for (std::string_view near : {std::string_view("blue\0", 5), std::string_view("blue\0x", 6),
                                std::string_view("bl\0ue", 5), std::string_view("blu"), std::string_view()}) {
    EXPECT_EQ(color->FindValue(near), -1) << near;
  }
  EXPECT_THROW(color->GetValue(std::string("red\0", 4)), Fault::InvalidArgument::Exception);
  Color out = Color::green;
  EXPECT_FALSE(FindEnumValue(std::string_view("red\0", 4), out));
  EXPECT_EQ(out, Color::green);
  EXPECT_THROW(color->GetTag(-1), Fault::InvalidArgument::Exception);
  EXPECT_THROW(color->GetTag(3), Fault::InvalidArgument::Exception);
}

// --- dispatch -----------------------------------------------------------------------------------

TEST(BadInput, DispatchRefusesMissingArgumentVectorsAndWrongCounts) {
  BindAll();
  SampleImpl::CounterServer server;
  server.Start();
  ManagedObjectType* counter = GetMoType<Sample::Rpc::Counter>();
  DispatchFn raw = counter->GetDescriptor()->dispatch;
  ManagedMethod* add = counter->FindMethod("add");
  ManagedMethod* reset = counter->FindMethod("reset");
  Basalt::Ref<Any> result;
  // The raw function: a null vector for an operation with parameters.
  // (either slot may be read first: argument evaluation order is the compiler's)
  EXPECT_EQ(InvalidArgumentOf([&] { raw(server.impl.get(), add->GetIndex(), nullptr, &result); }).second.substr(0, 5),
            "args[");
  raw(server.impl.get(), reset->GetIndex(), nullptr, &result);  // none needed

  // The checked entry: counts, objects and methods.
  auto few = InvalidArgumentOf([&] { Dispatch(server.impl.get(), add, Args(1), result); });
  EXPECT_EQ(few.second, "args");
  EXPECT_NE(few.first.find("takes 2 arguments, 1 were given"), std::string::npos) << few.first;
  EXPECT_EQ(InvalidArgumentOf([&] { Dispatch(server.impl.get(), add, ArgVector(3), result); }).second, "args");
  EXPECT_EQ(InvalidArgumentOf([&] { Dispatch(nullptr, add, Args(1, nullptr), result); }).second, "object");
  EXPECT_EQ(InvalidArgumentOf([&] { Dispatch(server.impl.get(), nullptr, {}, result); }).second, "method");
  Basalt::Ref<SampleImpl::TaskImpl> task(new SampleImpl::TaskImpl(nullptr));
  EXPECT_EQ(InvalidArgumentOf([&] { Dispatch(task.get(), add, Args(1, nullptr), result); }).second, "method");
  Dispatch(server.impl.get(), add, Args(5, nullptr), result);
  EXPECT_EQ(Unbox<long>(result.get()), 5);
}

// --- stubs and the local adapter -------------------------------------------------------------------

TEST(BadInput, CreateStubFreesWhatItWasGivenWhenItFails) {
  BindAll();
  Basalt::Ref<LocalAdapter> adapter(new LocalAdapter());
  int deaths = 0;
  EXPECT_THROW(CreateStub(new ProbedRef(&deaths, "sample.no.Such"), adapter.get()), Fault::InvalidType::Exception);
  EXPECT_EQ(deaths, 1);
  EXPECT_THROW(CreateStub(new ProbedRef(&deaths, "sample.Point"), adapter.get()), Fault::InvalidType::Exception);
  EXPECT_EQ(deaths, 2);
  EXPECT_EQ(InvalidArgumentOf([&] { CreateStub(new ProbedRef(&deaths, "sample.rpc.Counter"), nullptr); }).second,
            "adapter");
  EXPECT_EQ(deaths, 3);
  EXPECT_THROW(CreateStub<Sample::Rpc::Task>(new ProbedRef(&deaths, "sample.rpc.Counter"), adapter.get()),
               Basalt::TypeMismatchException);
  EXPECT_EQ(deaths, 4);
  {
    Basalt::Ref<StubImpl> ok = CreateStub(new ProbedRef(&deaths, "sample.rpc.Counter"), adapter.get());
    EXPECT_EQ(deaths, 4);
  }
  EXPECT_EQ(deaths, 5);
}

TEST(BadInput, LocalAdapterRefusesItsOwnStubsUnmanagedNamesAndEndlessForwarding) {
  BindAll();
  SampleImpl::CounterServer server;
  server.Start();
  Basalt::Ref<MoRef> other(new MoRef("sample.rpc.Counter", "c-2"));
  Basalt::Ref<StubImpl> own = CreateStub(server.ref.get(), server.adapter.get());
  auto self =
      InvalidArgumentOf([&] { server.adapter->Register(other.get(), dynamic_cast<ManagedObject*>(own.get())); });
  EXPECT_EQ(self.second, "object");
  Basalt::Ref<MoRef> data(new MoRef("sample.Point", "p-1"));
  EXPECT_EQ(
      InvalidArgumentOf([&] { server.adapter->Register(data.get(), new SampleImpl::CounterImpl(nullptr)); }).second,
      "ref");
  Basalt::Ref<MoRef> unknown(new MoRef("sample.rpc.Nothing", "n-1"));
  EXPECT_EQ(
      InvalidArgumentOf([&] { server.adapter->Register(unknown.get(), new SampleImpl::CounterImpl(nullptr)); }).second,
      "ref");
  EXPECT_EQ(server.adapter->GetObjectCount(), 1u);

  // Two adapters forwarding to each other: the ring is cut, not followed.
  Basalt::Ref<LocalAdapter> second(new LocalAdapter());
  Basalt::Ref<MoRef> there(new MoRef("sample.rpc.Counter", "ring"));
  second->Register(there.get(), dynamic_cast<ManagedObject*>(CreateStub(other.get(), server.adapter.get()).get()));
  server.adapter->Register(other.get(), dynamic_cast<ManagedObject*>(CreateStub(there.get(), second.get()).get()));
  auto ring = CreateStub<Sample::Rpc::Counter>(other.get(), server.adapter.get());
  EXPECT_THROW(ring->GetValue(), Fault::NotSupported::Exception);
  EXPECT_EQ(server.stub->Add(3, {}), 3);  // the adapter still serves
  // The stubs hold the adapters that hold them: unregister to free them.
  EXPECT_TRUE(second->Unregister(there.get()));
  EXPECT_TRUE(server.adapter->Unregister(other.get()));
}

// --- date and time -------------------------------------------------------------------------------

TEST(BadInput, DateTimeRefusesImpossibleFieldsAndPrintsTheExtremes) {
  using Basalt::System::DateTime;
  EXPECT_THROW(DateTime::FromCivil(2024, 13, 1), Basalt::Exception);
  EXPECT_THROW(DateTime::FromCivil(2024, 0, 1), Basalt::Exception);
  EXPECT_THROW(DateTime::FromCivil(2023, 2, 29), Basalt::Exception);
  EXPECT_THROW(DateTime::FromCivil(2024, 1, 1, 24), Basalt::Exception);
  EXPECT_THROW(DateTime::FromCivil(2024, 1, 1, 0, 0, 0, 1000000), Basalt::Exception);
  EXPECT_THROW(DateTime::FromCivil(2024, 1, 1, 0, 0, 0, 0, 24 * 60), Basalt::Exception);
  EXPECT_THROW(DateTime::FromCivil(INT_MAX, 12, 31), Basalt::Exception);
  EXPECT_THROW(DateTime::FromCivil(INT_MIN, 1, 1), Basalt::Exception);
  EXPECT_EQ(DateTime::FromCivil(2024, 2, 29, 23, 59, 59, 999999, -90).ToIso8601(), "2024-02-29T23:59:59.999999-01:30");
  EXPECT_EQ(DateTime::FromCivil(-4000, 1, 1).ToIso8601().substr(0, 5), "-4000");

  // Every stored value prints, whatever the offset (UBSan checks the arithmetic).
  std::string hi = DateTime(INT64_MAX, 23 * 60 + 59).ToIso8601();
  std::string lo = DateTime(INT64_MIN, -(23 * 60 + 59)).ToIso8601();
  EXPECT_EQ(hi.substr(0, 6), "294247") << hi;
  EXPECT_EQ(lo.substr(0, 7), "-290308") << lo;
  DateTime parsed;
  EXPECT_TRUE(DateTime::TryFromIso8601(DateTime(0).ToIso8601(), parsed));
}

}  // namespace
