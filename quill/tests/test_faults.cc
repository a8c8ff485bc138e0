#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "quill/Array.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/MethodFault.h"
#include "sample/Records.h"
#include "sample/ext.h"
#include "sample/sample.h"

namespace {

using namespace Quill;

struct Faults : ::testing::Test {
  void SetUp() override {
    Sample::BindSample();
    Sample::BindSampleExt();
  }
};

// Records which handler caught an exception thrown by `raise`.
template <class Raise>
int CatchLevel(Raise raise) {
  try {
    raise();
  } catch (Sample::BadShapeFault::Exception const&) {
    return 1;
  } catch (Fault::InvalidArgument::Exception const&) {
    return 2;
  } catch (RuntimeFault::Exception const&) {
    return 3;
  } catch (MethodFault::Exception const&) {
    return 4;
  } catch (Basalt::Exception const&) {
    return 5;
  }
  return 0;
}

TEST_F(Faults, EachLevelOfTheHierarchyCatchesItsOwnAndDerivedFaultsAlsoWhenRethrownThroughABase) {
  struct Case {
    Basalt::Ref<MethodFault> fault;
    int level;
  } const cases[] = {
      {new Sample::BadShapeFault(), 1}, {new Fault::InvalidArgument(), 2}, {new Fault::NotSupported(), 3},
      {new MethodFault(), 4},           {new Fault::InvalidType(), 3},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.fault->_GetType()->GetName());
    EXPECT_EQ(CatchLevel([&] { c.fault->Throw(); }), c.level);
    // A copy held through the base class rethrows as the most derived class.
    std::unique_ptr<Basalt::Exception> held;
    try {
      c.fault->Throw();
    } catch (Basalt::Exception const& e) {
      held.reset(static_cast<Basalt::Exception*>(e.Clone()));
    }
    ASSERT_TRUE(held);
    EXPECT_EQ(CatchLevel([&] { held->Throw(); }), c.level);
    EXPECT_EQ(static_cast<MethodFault::Exception*>(held.get())->GetFault(), c.fault.get());
  }
  // A handler for a sibling fault does not catch.
  EXPECT_THROW(
      {
        try {
          cases[0].fault->Throw();
        } catch (Fault::SecurityError::Exception const&) {
        }
      },
      Fault::InvalidArgument::Exception);
  EXPECT_THROW(cases[4].fault->Throw(), Fault::InvalidRequest::Exception);
}

TEST_F(Faults, MessageNamesTheFaultTypeAndEndsWithALineFeed) {
  Basalt::Ref<MethodFault> f(new Fault::ManagedObjectNotFound());
  try {
    f->Throw();
  } catch (MethodFault::Exception const& e) {
    EXPECT_STREQ(e.what(), "Fault cause: sedge.fault.ManagedObjectNotFound\n");
    EXPECT_EQ(e.GetFault(), f.get());  // shared, not copied
  }
  std::unique_ptr<MethodFault::Exception> made(f->CreateException());
  EXPECT_NE(dynamic_cast<Fault::ManagedObjectNotFound::Exception*>(made.get()), nullptr);
  EXPECT_EQ(made->GetMessage(), "Fault cause: sedge.fault.ManagedObjectNotFound\n");
  Basalt::Ref<MethodFault> sample(new Sample::BadShapeFault());
  std::unique_ptr<MethodFault::Exception> e2(sample->CreateException());
  EXPECT_STREQ(e2->what(), "Fault cause: sample.BadShapeFault\n");
}

TEST_F(Faults, FaultLivesAsLongAsTheLastExceptionCopy) {
  std::unique_ptr<MethodFault::Exception> e1;
  MethodFault* raw = new Fault::SystemError();
  {
    Basalt::Ref<MethodFault> f(raw);
    e1.reset(f->CreateException());
    EXPECT_EQ(raw->GetRefCount(), 2u);
  }
  EXPECT_EQ(raw->GetRefCount(), 1u);
  std::unique_ptr<MethodFault::Exception> e2(e1->Clone());
  EXPECT_EQ(e2->GetFault(), raw);
  EXPECT_EQ(raw->GetRefCount(), 2u);
  std::thread t([e = std::move(e1)]() mutable { e.reset(); });  // released on another thread
  t.join();
  EXPECT_EQ(raw->GetRefCount(), 1u);
  static_cast<Fault::SystemError*>(e2->GetFault())->reason = "still alive";
}

struct ReturningFault : public RuntimeFault {
  void ThrowInternal() override {}  // a broken override that returns
};

TEST_F(Faults, ThrowStopsTheProcessWhenThrowInternalReturns) {
  EXPECT_DEATH(Basalt::Ref<MethodFault>(new ReturningFault())->Throw(), "NOT_REACHED quill/MethodFault:165");
}

TEST_F(Faults, FaultsCopyDeeplyAndCompareWithTheirBases) {
  Basalt::Ref<Fault::ManagedObjectNotFound> f(new Fault::ManagedObjectNotFound());
  f->obj = new MoRef("sample.Widget", "w-1");
  f->faultCause = new Fault::RequestCanceled();
  Basalt::Ref<Fault::ManagedObjectNotFound> copy(static_cast<Fault::ManagedObjectNotFound*>(f->_Clone()));
  EXPECT_NE(copy->obj.get(), f->obj.get());
  EXPECT_NE(copy->faultCause.get(), f->faultCause.get());
  EXPECT_TRUE(f->_IsEqual(copy.get(), false));
  copy->obj->SetId("w-2");
  EXPECT_FALSE(f->_IsEqual(copy.get(), false));
  copy->obj->SetId("w-1");
  copy->faultCause = new Fault::NotSupported();  // a base-class field differs
  EXPECT_FALSE(f->_IsEqual(copy.get(), false));
  EXPECT_STREQ(f->_GetType()->GetName(), "sedge.fault.ManagedObjectNotFound");
  EXPECT_TRUE(f->_GetDataType()->IsSubtypeOf(GetDoType<RuntimeFault>()));
  EXPECT_TRUE(f->_GetDataType()->IsFault());
}

}  // namespace
