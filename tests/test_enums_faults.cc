// Enumeration values and tags; faults thrown and caught as their own exception classes.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "basalt/Exception.h"
#include "quill/Array.h"
#include "quill/Faults.h"
#include "quill/Primitive.h"
#include "quill/Type.h"
#include "tarn/Datastore.h"
#include "tarn/HostSystem.h"
#include "tarn/TaskInfo.h"
#include "tarn/fault/InvalidName.h"
#include "tarn/fault/NoPermission.h"
#include "tarn/vm/GuestOsDescriptor.h"

namespace {

TEST(Enumerations, TagsAndValuesRoundTrip) {
  Quill::EnumType* state = Quill::GetEnumType<Tarn::TaskInfo::State>();
  ASSERT_NE(state, nullptr);
  EXPECT_STREQ(state->GetTag(2), "success");
  EXPECT_EQ(state->GetValue("success"), 2);
  EXPECT_EQ(static_cast<int>(Tarn::TaskInfo::State::success), 2);
  EXPECT_STREQ(Tarn::TaskInfo::STATE_SUCCESS, "success");
  EXPECT_STREQ(Tarn::Datastore::SECTORFORMAT_NATIVE_512, "native_512");
  EXPECT_STREQ(Tarn::HostSystem::CONNECTIONSTATE_NOTRESPONDING, "notResponding");
  // The descriptor's tags are the exported constants themselves.
  EXPECT_EQ(state->GetDescriptor()->tags[1], static_cast<char const*>(Tarn::TaskInfo::STATE_RUNNING));
  EXPECT_EQ(Quill::GetEnumType<Tarn::Vm::GuestOsDescriptor::GuestOsIdentifier>()->GetTagCount(), 195);
  EXPECT_THROW(state->GetTag(4), Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(state->GetValue("Success"), Quill::Fault::InvalidArgument::Exception);
}

TEST(Enumerations, TypedTagHelpersReachEachEnumerationsOwnTable) {
  using State = Tarn::TaskInfo::State;
  using Format = Tarn::Datastore::SectorFormat;
  EXPECT_STREQ(Quill::TagOf(State::success), "success");
  EXPECT_STREQ(Quill::TagOf(Format::native_512), "native_512");
  EXPECT_EQ(Quill::EnumValueOf<State>("error"), State::error);
  // The same tag names a different value in another enumeration.
  EXPECT_EQ(static_cast<int>(Quill::EnumValueOf<Format>(Tarn::Datastore::SECTORFORMAT_EMULATED_512)),
            Quill::GetEnumType<Format>()->GetValue("emulated_512"));
  State found = State::queued;
  EXPECT_TRUE(Quill::FindEnumValue("running", found));
  EXPECT_EQ(found, State::running);
  EXPECT_FALSE(Quill::FindEnumValue("native_512", found));  // a tag of another enumeration
  EXPECT_EQ(found, State::running);                         // left as it was
  EXPECT_THROW(Quill::EnumValueOf<State>(""), Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(Quill::TagOf(static_cast<State>(-1)), Quill::Fault::InvalidArgument::Exception);
}

TEST(Enumerations, ArraysConvertThroughTheFunctionTable) {
  Quill::EnumType* cs = Quill::GetEnumType<Tarn::HostSystem::ConnectionState>();
  Basalt::Ref<Quill::Array<Tarn::HostSystem::ConnectionState>> values =
      new Quill::Array<Tarn::HostSystem::ConnectionState>{Tarn::HostSystem::ConnectionState::disconnected,
                                                          Tarn::HostSystem::ConnectionState::connected};
  Basalt::Ref<Quill::Array<std::string>> tags;
  cs->GetFuncs().toTags(values.get(), cs, tags);
  EXPECT_EQ(tags->GetValues(), (std::vector<std::string>{"disconnected", "connected"}));
  Basalt::Ref<Quill::Any> back = cs->GetFuncs().fromTags(tags.get(), cs);
  EXPECT_TRUE(back->_IsEqual(values.get(), false));
  EXPECT_EQ(back->_GetType(), cs->GetArrayType());
  // The array class has a copy in the library and one here; run-time checks take them as one,
  // both ways (toTags above checked this program's array in the library).
  auto* typed = dynamic_cast<Quill::Array<Tarn::HostSystem::ConnectionState>*>(back.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->Get(0), Tarn::HostSystem::ConnectionState::disconnected);
  Basalt::Ref<Quill::Any> box = cs->GetFuncs().box(1);
  EXPECT_EQ(cs->GetFuncs().unbox(box.get()), 1);
  // Boxes too: the library's box unboxes here, and this program's in the library.
  EXPECT_EQ(Quill::Unbox<Tarn::HostSystem::ConnectionState>(box.get()),
            static_cast<Tarn::HostSystem::ConnectionState>(1));
  Basalt::Ref<Quill::Any> mine =
      new Quill::Primitive<Tarn::HostSystem::ConnectionState>(Tarn::HostSystem::ConnectionState::disconnected);
  EXPECT_EQ(cs->GetFuncs().unbox(mine.get()), static_cast<int>(Tarn::HostSystem::ConnectionState::disconnected));
  Basalt::Ref<Quill::Any> same = cs->GetFuncs().box(static_cast<int>(Tarn::HostSystem::ConnectionState::disconnected));
  EXPECT_TRUE(mine->_IsEqual(same.get(), false));
  Basalt::Ref<Quill::Any> wrong = new Quill::Primitive<int>(1);
  EXPECT_THROW(cs->GetFuncs().unbox(wrong.get()), Basalt::TypeMismatchException);
}

// Whether what `raise` throws reaches a handler of `E`.
template <class E>
bool CaughtAs(std::function<void()> const& raise) {
  try {
    raise();
  } catch (E const&) {
    return true;
  } catch (...) {
    return false;
  }
  return false;
}

// A fault is caught by its own class and by each of its bases, and by no other root: a fault
// rooted in the runtime's SecurityError skips the catalogue's own root TarnFault. Rethrown
// through a base pointer, or as a clone, the most-derived class survives.
TEST(Faults, CaughtByTheirOwnClassAndEachBaseOnly) {
  struct Case {
    Basalt::Ref<Quill::MethodFault> fault;
    bool (*asOwn)(std::function<void()> const&);
    bool asTarnFault, asSecurityError;
  } const cases[] = {
      {new Tarn::Fault::InvalidName(), &CaughtAs<Tarn::Fault::InvalidName::Exception>, true, false},
      {new Tarn::Fault::NoPermission(), &CaughtAs<Tarn::Fault::NoPermission::Exception>, false, true},
  };
  for (auto const& c : cases) {
    Quill::MethodFault* f = c.fault.get();
    SCOPED_TRACE(f->_GetType()->GetName());
    auto raise = [f] { f->Throw(); };
    EXPECT_TRUE(c.asOwn(raise));
    EXPECT_EQ(CaughtAs<Tarn::Fault::TarnFault::Exception>(raise), c.asTarnFault);
    EXPECT_EQ(CaughtAs<Quill::Fault::SecurityError::Exception>(raise), c.asSecurityError);
    EXPECT_TRUE(CaughtAs<Quill::MethodFault::Exception>(raise));
    EXPECT_TRUE(CaughtAs<Basalt::Exception>(raise));
    std::unique_ptr<Quill::MethodFault::Exception> stored(f->CreateException());
    EXPECT_EQ(stored->GetFault(), f);
    Basalt::Exception* asBase = stored.get();
    std::unique_ptr<Basalt::Exception> cloned(asBase->Clone());
    EXPECT_TRUE(c.asOwn([&] { asBase->Throw(); }));
    EXPECT_TRUE(c.asOwn([&] { cloned->Throw(); }));
  }
  Basalt::Ref<Tarn::Fault::InvalidName> named = new Tarn::Fault::InvalidName();
  named->name = "bad/name";
  std::unique_ptr<Quill::MethodFault::Exception> e(named->CreateException());
  EXPECT_STREQ(e->what(), "Fault cause: tarn.fault.InvalidName\n");
}

TEST(Faults, CompareLikeDataObjects) {
  Tarn::Fault::InvalidName a, b;
  a.name = "x";
  b.name = "x";
  EXPECT_TRUE(a._IsEqual(&b, false));
  b.name = "y";
  EXPECT_FALSE(a._IsEqual(&b, true));
  Tarn::Fault::NoPermission other;
  EXPECT_FALSE(a._IsEqual(&other, true));
}

}  // namespace
