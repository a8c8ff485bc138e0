// Bad input at the entry points of the generated library, across the whole
// catalogue: the checked reflection layer over every property of every data
// and fault type, the name lookup and dispatch of every managed type, and the
// object protocol of generated classes holding themselves. Run under
// AddressSanitizer, a wrong write or read shows up as a report, not a result.
#include <gtest/gtest.h>

#include <cstring>

#include "harness.h"
#include "quill/Reflection.h"
#include "quill/Registry.h"
#include "tarn/AboutInfo.h"

namespace {

bool IsAny(Quill::PropertyInfo const& p) {
  return !(p.flags & (Quill::F_ARRAY | Quill::F_LINK)) && p.type->kind == Quill::KIND_ANY;
}
bool IsStringValued(Quill::PropertyInfo const& p) {
  return !(p.flags & Quill::F_ARRAY) && ((p.flags & Quill::F_LINK) || p.type == &Quill::gStringTypeInfo);
}

std::vector<Quill::DataObjectType*> CatalogueDataTypes() {
  std::vector<Quill::DataObjectType*> out;
  for (auto kind : {Quill::KIND_DATA, Quill::KIND_FAULT}) {
    for (Quill::Type* t : Quill::GetTypesOfKind(kind)) {
      if (std::string(t->GetName()).rfind("tarn.", 0) == 0) out.push_back(static_cast<Quill::DataObjectType*>(t));
    }
  }
  return out;
}

TEST(BadInputCatalogue, ReflectionSetRefusesEveryWrongBoxAndKeepsTheObjectAsItWas) {
  Basalt::Ref<Quill::LocalizableMessage> stranger(new Quill::LocalizableMessage());
  Basalt::Ref<Quill::Any> text(new Quill::Primitive<std::string>("t"));
  Basalt::Ref<Quill::Any> number(new Quill::Primitive<int>(2));
  int refused = 0, enums = 0, types = 0;
  for (Quill::DataObjectType* dt : CatalogueDataTypes()) {
    SCOPED_TRACE(dt->GetName());
    Basalt::Ref<Quill::DynamicData> obj = dt->Create();
    ASSERT_TRUE(obj);
    ++types;
    for (std::uint32_t i = 0; i < dt->GetPropertyCount(); ++i) {
      Quill::DataProperty const& p = dt->GetProperty(i);
      SCOPED_TRACE(p.info->name);
      Basalt::Ref<Quill::Any> before(obj->_Clone());
      if (!IsAny(*p.info)) {
        Basalt::Ref<Quill::Any> const& wrong = IsStringValued(*p.info) ? number : text;
        EXPECT_THROW(Quill::Reflection::Set(obj.get(), p, wrong), Basalt::TypeMismatchException);
        ++refused;
      }
      if (!(p.info->flags & Quill::F_ARRAY) && p.info->type->kind == Quill::KIND_ENUM) {
        auto* et = static_cast<Quill::EnumType*>(Quill::FindTypeByInfo(p.info->type));
        Basalt::Ref<Quill::Any> noTag(et->GetFuncs().box(et->GetTagCount()));
        EXPECT_THROW(Quill::Reflection::Set(obj.get(), p, noTag), Quill::Fault::InvalidArgument::Exception);
        ++enums;
      }
      EXPECT_THROW(Quill::Reflection::Set(stranger.get(), p, tarn_test::ValueOf(*p.info)),
                   Quill::Fault::InvalidArgument::Exception);
      EXPECT_TRUE(obj->_IsEqual(before.get(), false));

      // The declared value goes in and comes back out, the same.
      Basalt::Ref<Quill::Any> value = tarn_test::ValueOf(*p.info);
      Quill::Reflection::Set(obj.get(), p, value);
      EXPECT_TRUE(Quill::Reflection::IsSet(obj.get(), p));
      Basalt::Ref<Quill::Any> back = Quill::Reflection::Get(obj.get(), p);
      ASSERT_TRUE(back);
      EXPECT_TRUE(Quill::AreEqualAnysInt(back.get(), value.get(), p.info->flags, false));
    }
  }
  EXPECT_EQ(types, 2479 + 683);
  EXPECT_GT(refused, 8000);
  EXPECT_GT(enums, 10);
}

TEST(BadInputCatalogue, PropertyIndexStopsAtTheNameAndDispatchRefusesAMissingArgumentVector) {
  Basalt::Ref<tarn_test::Recorder> recorder(new tarn_test::Recorder());
  int names = 0, operations = 0;
  for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_MANAGED)) {
    if (std::string(t->GetName()).rfind("tarn.", 0) != 0) continue;
    SCOPED_TRACE(t->GetName());
    auto* mt = static_cast<Quill::ManagedObjectType*>(t);
    Quill::ManagedTypeInfo const* d = mt->GetDescriptor();
    if (d->propertyIndex) {
      for (std::uint32_t i = 0; i < mt->GetPropertyCount(); ++i) {
        std::string name = mt->GetProperty(i).info->name;
        auto length = static_cast<std::uint32_t>(name.size());
        EXPECT_EQ(d->propertyIndex(name.c_str(), length), mt->GetPropertyIndex(name)) << name;
        // Longer than the terminated name: the terminator ends the comparison.
        EXPECT_EQ(d->propertyIndex(name.c_str(), length + 1), -1) << name;
        EXPECT_EQ(d->propertyIndex(name.c_str(), length + 40), -1) << name;
        ++names;
      }
    }
    std::uint32_t slots = mt->GetOwnMethodCount() + mt->GetOwnPropertyCount();
    EXPECT_THROW(mt->GetMethodObject(slots), Quill::Fault::InvalidArgument::Exception);
    if (!d->createStub) continue;
    // A stub is an implementation of its interface too: dispatch may call it.
    Basalt::Ref<Quill::StubImpl> target = Quill::CreateStub(new Quill::MoRef(t->GetName(), "x-1"), recorder.get());
    int callsBefore = recorder->calls;
    for (std::uint32_t m = 0; m < mt->GetOwnMethodCount(); ++m) {
      Quill::ManagedMethod* method = mt->GetMethodObject(m);
      if (method->GetParameterCount() == 0) continue;
      SCOPED_TRACE(method->GetName());
      Basalt::Ref<Quill::Any> result;
      try {
        d->dispatch(target.get(), method->GetIndex(), nullptr, &result);
        ADD_FAILURE() << "dispatch accepted a null argument vector";
      } catch (Quill::Fault::InvalidArgument::Exception const&) {
      } catch (Quill::Fault::NotSupported::Exception const&) {  // an operation of the disabled version
      }
      EXPECT_THROW(mt->GetMethodObject(m)->GetParameter(method->GetParameterCount()),
                   Quill::Fault::InvalidArgument::Exception);
      ++operations;
    }
    EXPECT_EQ(recorder->calls, callsBefore) << "a call reached the implementation";
  }
  EXPECT_GT(names, 500);
  EXPECT_GT(operations, 1000);
}

TEST(BadInputCatalogue, GeneratedObjectsThatHoldThemselvesAreRefusedNotRecursedInto) {
  // The first generated type with an any-valued property: the cycle closes through it.
  Quill::DataObjectType* type = nullptr;
  Quill::DataProperty const* anyField = nullptr;
  for (Quill::DataObjectType* dt : CatalogueDataTypes()) {
    for (std::uint32_t i = 0; i < dt->GetPropertyCount() && !anyField; ++i) {
      if (IsAny(*dt->GetProperty(i).info)) anyField = &dt->GetProperty(i);
    }
    if (anyField) {
      type = dt;
      break;
    }
  }
  ASSERT_NE(anyField, nullptr) << "no any-valued property to close a cycle through";
  SCOPED_TRACE(type->GetName());
  Basalt::Ref<Quill::DynamicData> one(type->Create()), twin(type->Create());
  Quill::Reflection::Set(one.get(), *anyField, one);
  Quill::Reflection::Set(twin.get(), *anyField, twin);
  EXPECT_THROW(Basalt::Ref<Quill::Any>(one->_Clone()), Quill::Fault::InvalidArgument::Exception);
  EXPECT_THROW(one->_IsEqual(twin.get(), false), Quill::Fault::InvalidArgument::Exception);
  Quill::PropertyDiffSet diffs;
  EXPECT_THROW(one->_DiffProperties(twin.get(), "", diffs), Quill::Fault::InvalidArgument::Exception);
  EXPECT_NE(one->ToString().find("<cycle>"), std::string::npos);
  // A cycle of counted references is never freed by itself: break it.
  Quill::Reflection::Unset(one.get(), *anyField);
  Quill::Reflection::Unset(twin.get(), *anyField);

  // Stack objects of generated classes are never deleted by a Ref.
  Tarn::AboutInfo about;
  about.name = "stack";
  { Basalt::Ref<Tarn::AboutInfo> r(&about); }
  EXPECT_EQ(about.name, "stack");
  EXPECT_FALSE(about.IsOwnedByCount());
  Basalt::Ref<Quill::Any> copy(about._Clone());
  EXPECT_TRUE(copy->IsOwnedByCount());
}

}  // namespace
