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

TEST_F(Faults, EachLevelOfTheHierarchyCatchesItsOwnAndDerivedFaults) {
  Basalt::Ref<MethodFault> bad(new Sample::BadShapeFault());
  Basalt::Ref<MethodFault> invalid(new Fault::InvalidArgument());
  Basalt::Ref<MethodFault> notSupported(new Fault::NotSupported());
  Basalt::Ref<MethodFault> root(new MethodFault());
  EXPECT_EQ(CatchLevel([&] { bad->Throw(); }), 1);
  EXPECT_EQ(CatchLevel([&] { invalid->Throw(); }), 2);
  EXPECT_EQ(CatchLevel([&] { notSupported->Throw(); }), 3);
  EXPECT_EQ(CatchLevel([&] { root->Throw(); }), 4);
  // A handler for a sibling fault does not catch.
  EXPECT_THROW(
      {
        try {
          bad->Throw();
        } catch (Fault::SecurityError::Exception const&) {
        }
      },
      Fault::InvalidArgument::Exception);
  Basalt::Ref<MethodFault> invalidType(new Fault::InvalidType());
  EXPECT_THROW(invalidType->Throw(), Fault::InvalidRequest::Exception);
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

TEST_F(Faults, RethrowThroughBaseExceptionPointerKeepsTheMostDerivedClass) {
  std::unique_ptr<Basalt::Exception> held;
  try {
    Basalt::Ref<MethodFault>(new Sample::BadShapeFault())->Throw();
  } catch (Basalt::Exception const& e) {
    held.reset(static_cast<Basalt::Exception*>(e.Clone()));
  }
  ASSERT_TRUE(held);
  EXPECT_EQ(CatchLevel([&] { held->Throw(); }), 1);
  auto* asFault = dynamic_cast<MethodFault::Exception*>(held.get());
  ASSERT_NE(asFault, nullptr);
  EXPECT_NE(dynamic_cast<Sample::BadShapeFault*>(asFault->GetFault()), nullptr);
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
