// Every data and fault type of the catalogue, filled, through XML and JSON and
// back; values in base-typed and any-typed positions keep their class.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "Fill.h"
#include "quill/Array.h"
#include "quill/Compare.h"
#include "quill/DataTypes.h"
#include "quill/Primitive.h"
#include "quill/Registry.h"
#include "quill/StubSupport.h"
#include "quill/wire/Wire.h"
#include "tarn/AboutInfo.h"
#include "tarn/vm/ConfigSpec.h"

namespace {

using Basalt::Ref;
using Quill::Any;

struct Codec {
  char const* name;
  std::string (*encode)(Any const*, Quill::Type const*);
  Ref<Any> (*decode)(std::string const&, Quill::Type const*);
};

std::string ToXml(Any const* v, Quill::Type const* t) {
  std::string out;
  Quill::Wire::EncodeXml(out, v, t, "value");
  return out;
}
Ref<Any> FromXml(std::string const& s, Quill::Type const* t) { return Quill::Wire::DecodeXml(s, t); }
std::string ToJson(Any const* v, Quill::Type const* t) {
  std::string out;
  Quill::Wire::EncodeJson(out, v, t);
  return out;
}
Ref<Any> FromJson(std::string const& s, Quill::Type const* t) { return Quill::Wire::DecodeJson(s, t); }

Codec const kCodecs[] = {{"XML", &ToXml, &FromXml}, {"JSON", &ToJson, &FromJson}};

// Decodes what `codec` wrote for `v` and returns it; failures name the text.
Ref<Any> RoundTrip(Codec const& codec, Any const* v, Quill::Type const* declared, std::string* text = nullptr) {
  std::string s = codec.encode(v, declared);
  if (text) *text = s;
  try {
    return codec.decode(s, declared);
  } catch (std::exception const& e) {
    ADD_FAILURE() << codec.name << " of " << declared->GetName() << " did not read back: " << e.what() << "\n"
                  << s.substr(0, 4000);
    return {};
  }
}

TEST(WireRoundTrip, EveryDataAndFaultTypeOfTheCatalogue) {
  int types = 0, concrete = 0;
  for (auto kind : {Quill::KIND_DATA, Quill::KIND_FAULT}) {
    for (Quill::Type* t : Quill::GetTypesOfKind(kind)) {
      ++types;
      auto* dt = static_cast<Quill::DataObjectType*>(t);
      Ref<Quill::DynamicData> obj = wire_test::Filled(dt, 1);
      if (!obj) continue;  // abstract: met through its subtypes
      ++concrete;
      for (Codec const& codec : kCodecs) {
        std::string text;
        Ref<Any> back = RoundTrip(codec, obj.get(), dt, &text);
        if (!back) continue;
        EXPECT_EQ(back->_GetType(), t) << codec.name << " " << t->GetName();
        bool same = obj->_IsEqual(back.get(), false);
        EXPECT_TRUE(same) << codec.name << " " << t->GetName();
        if (!same) {
          Quill::PropertyDiffSet diffs;
          obj->_DiffProperties(back.get(), "", diffs);
          for (auto const& p : diffs) ADD_FAILURE() << "  differs: " << p;
          ADD_FAILURE() << text.substr(0, 3000);
        }
      }
    }
  }
  EXPECT_GT(types, 3000);
  EXPECT_GT(concrete, 2500);
}

TEST(WireRoundTrip, DeepConfigSpecAndEdgeValues) {
  auto* t = Quill::GetDoType<Tarn::Vm::ConfigSpec>();
  Ref<Quill::DynamicData> spec = wire_test::Filled(t, 3);
  for (Codec const& codec : kCodecs) {
    Ref<Any> back = RoundTrip(codec, spec.get(), t);
    ASSERT_TRUE(back);
    EXPECT_TRUE(spec->_IsEqual(back.get(), false)) << codec.name;
  }
  // Values at the edges of their forms, in an any-typed position.
  Ref<Any> edges[] = {
      Quill::Box(std::numeric_limits<long>::min()),
      Quill::Box(std::numeric_limits<long>::max()),
      Quill::Box(std::numeric_limits<double>::infinity()),
      Quill::Box(-std::numeric_limits<double>::infinity()),
      Quill::Box(std::numeric_limits<double>::denorm_min()),
      Quill::Box(std::numeric_limits<float>::max()),
      Quill::Box(-0.0),
      Quill::Box(std::string()),
      Quill::Box(std::string("only \r\n\t whitespace  ")),
      Quill::Box(std::vector<unsigned char>{}),
      Quill::Box(std::vector<unsigned char>{0}),
      Quill::Box(std::vector<unsigned char>{0, 1}),
      Quill::Box(Basalt::System::DateTime::FromCivil(1, 1, 1)),
      Quill::Box(Basalt::System::DateTime::FromCivil(9999, 12, 31, 23, 59, 59, 999999)),
      Quill::Box(Basalt::System::DateTime(1, 0)),
  };
  Quill::Type* any = Quill::GetNoType<Any>();
  for (Codec const& codec : kCodecs) {
    for (auto const& v : edges) {
      Ref<Any> back = RoundTrip(codec, v.get(), any);
      ASSERT_TRUE(back) << codec.name << " " << v->ToString();
      EXPECT_TRUE(v->_IsEqual(back.get(), false))
          << codec.name << " " << v->ToString() << " came back as " << back->ToString();
      if (auto* d = dynamic_cast<Quill::Primitive<double>*>(v.get())) {
        EXPECT_EQ(std::signbit(d->GetValue()), std::signbit(Quill::Unbox<double>(back.get()))) << codec.name;
      }
    }
    // NaN equals nothing, itself included: compare what it is.
    Ref<Any> nan = RoundTrip(codec, Quill::Box(std::nan("")).get(), any);
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(Quill::Unbox<double>(nan.get()))) << codec.name;
  }
}

// Forms of a scalar that a peer may write and this end never does: each reads as the value
// the writer's own form gives.
TEST(WireRoundTrip, XmlReadsEveryLexicalFormOfAScalar) {
  using Basalt::System::DateTime;
  struct Case {
    char const* type;
    char const* text;
    Ref<Any> value;
  } const cases[] = {
      {"xsd:boolean", "1", Quill::Box(true)},
      {"xsd:boolean", "0", Quill::Box(false)},
      {"xsd:boolean", " true\n", Quill::Box(true)},
      {"xsd:int", "+5", Quill::Box(5)},
      {"xsd:long", " -7 ", Quill::Box(-7L)},
      {"xsd:byte", "-128", Quill::Box(static_cast<signed char>(-128))},
      {"xsd:double", "-INF", Quill::Box(-std::numeric_limits<double>::infinity())},
      {"xsd:double", "1e3", Quill::Box(1000.0)},
      {"xsd:dateTime", "2024-03-05T10:20:30+02:00", Quill::Box(DateTime::FromIso8601("2024-03-05T08:20:30Z"))},
  };
  Quill::Type* any = Quill::GetNoType<Any>();
  for (auto const& c : cases) {
    std::string xml = std::string("<v xmlns=\"urn:tarn25\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"") +
                      " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xsi:type=\"" + c.type + "\">" + c.text + "</v>";
    SCOPED_TRACE(xml);
    Ref<Any> got;
    ASSERT_NO_THROW(got = Quill::Wire::DecodeXml(xml, any));
    ASSERT_TRUE(got);
    EXPECT_TRUE(c.value->_IsEqual(got.get(), false)) << got->ToString();
  }
}

TEST(WireRoundTrip, PolymorphicValuesKeepTheirClass) {
  // Every form an any-typed property can hold, in a KeyAnyValue.
  auto* kav = Quill::GetDoType<Quill::KeyAnyValue>();
  for (int i = 0; i < wire_test::AnyFormCount(); ++i) {
    Ref<Quill::KeyAnyValue> holder(new Quill::KeyAnyValue());
    holder->key = "k";
    holder->value = wire_test::AnyForm(i);
    for (Codec const& codec : kCodecs) {
      Ref<Any> back = RoundTrip(codec, holder.get(), kav);
      ASSERT_TRUE(back) << codec.name << " form " << i;
      auto* got = static_cast<Quill::KeyAnyValue*>(back.get());
      ASSERT_TRUE(got->value) << codec.name << " form " << i;
      Quill::Any const& gotValue = *got->value;
      Quill::Any const& sentValue = *holder->value;
      EXPECT_EQ(typeid(gotValue), typeid(sentValue)) << codec.name << " form " << i;
      EXPECT_EQ(got->value->_GetType(), holder->value->_GetType()) << codec.name << " form " << i;
      EXPECT_TRUE(holder->_IsEqual(back.get(), false))
          << codec.name << " form " << i << ": " << holder->value->ToString();
    }
  }
  // A derived object in a base-typed property and in a base-typed array,
  // found in the catalogue rather than named here.
  int checked = 0;
  for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_DATA)) {
    if (checked >= 25) break;
    auto* dt = static_cast<Quill::DataObjectType*>(t);
    Ref<Quill::DynamicData> probe(dt->Create());
    if (!probe) continue;
    for (std::uint32_t i = 0; i < dt->GetPropertyCount() && checked < 25; ++i) {
      Quill::DataProperty const& dp = dt->GetProperty(i);
      if (dp.info->type->kind != Quill::KIND_DATA || (dp.info->flags & Quill::F_LINK)) continue;
      auto* base = static_cast<Quill::DataObjectType*>(Quill::FindTypeByInfo(dp.info->type));
      Quill::DataObjectType* derived = nullptr;
      for (Quill::Type* c : Quill::GetTypesOfKind(Quill::KIND_DATA)) {
        auto* d = static_cast<Quill::DataObjectType*>(c);
        if (d != base && d->IsSubtypeOf(base) && Ref<Quill::DynamicData>(d->Create())) {
          derived = d;
          break;
        }
      }
      if (!derived) continue;
      Ref<Quill::DynamicData> obj = wire_test::Filled(dt, 0);
      Ref<Any> value(wire_test::Filled(derived, 0).get());
      if (dp.info->flags & Quill::F_ARRAY) {
        Ref<Quill::DataArrayBase> a(base->CreateArray());
        a->AppendAny(value.get());
        value = a.get();
      }
      dp.owner->setProperty(obj.get(), dp.ownIndex, &value);
      for (Codec const& codec : kCodecs) {
        Ref<Any> back = RoundTrip(codec, obj.get(), dt);
        ASSERT_TRUE(back);
        EXPECT_TRUE(obj->_IsEqual(back.get(), false))
            << codec.name << " " << dt->GetName() << "." << dp.info->name << " holding " << derived->GetName();
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 10);
}

TEST(WireRoundTrip, RequiredObjectsHeldAsNullStayNull) {
  // A default object leaves its required nested objects null; the encodings
  // write an explicit null rather than leaving the property out.
  int checked = 0;
  for (Quill::Type* t : Quill::GetTypesOfKind(Quill::KIND_DATA)) {
    auto* dt = static_cast<Quill::DataObjectType*>(t);
    Ref<Quill::DynamicData> obj(dt->Create());
    if (!obj) continue;
    bool hasRequiredObject = false;
    for (std::uint32_t i = 0; i < dt->GetPropertyCount(); ++i) {
      auto const* p = dt->GetProperty(i).info;
      hasRequiredObject |=
          !(p->flags & (Quill::F_OPTIONAL | Quill::F_ARRAY | Quill::F_LINK)) && p->type->kind == Quill::KIND_DATA;
    }
    if (!hasRequiredObject) continue;
    std::string xml = ToXml(obj.get(), dt), json = ToJson(obj.get(), dt);
    EXPECT_NE(xml.find("xsi:nil=\"true\""), std::string::npos) << xml;
    EXPECT_NE(json.find(":null"), std::string::npos) << json;
    EXPECT_TRUE(obj->_IsEqual(FromXml(xml, dt).get(), false)) << xml;
    EXPECT_TRUE(obj->_IsEqual(FromJson(json, dt).get(), false)) << json;
    if (++checked == 10) break;
  }
  EXPECT_EQ(checked, 10);
}

}  // namespace
