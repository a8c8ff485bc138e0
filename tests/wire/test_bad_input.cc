// Input the decoders must refuse, grouped by kind: each gives an
// InvalidRequest whose text says what and where, never a crash.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Fill.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/Registry.h"
#include "quill/StubSupport.h"
#include "quill/wire/Wire.h"
#include "tarn/AboutInfo.h"
#include "tarn/Folder.h"

namespace {

using Basalt::Ref;
using Quill::Any;

constexpr char kNs[] =
    " xmlns=\"urn:tarn25\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
    " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\"";

// KeyAnyValue's value is required: given as an explicit null where a test needs no value.
constexpr char kNil[] = "<value xsi:nil=\"true\"/>";

Quill::Type* KeyAnyValueType() { return Quill::GetDoType<Quill::KeyAnyValue>(); }

// The decoder's message, or a failure when it accepted the input.
template <class F>
std::string Refusal(F decode) {
  try {
    decode();
  } catch (Quill::Wire::DecodeError const& e) {
    EXPECT_TRUE(e.GetFault() != nullptr);
    auto* fault = e.GetFault();
    EXPECT_TRUE(fault->faultMessage && fault->faultMessage->size() == 1);
    return e.what();
  } catch (std::exception const& e) {
    ADD_FAILURE() << "not a decode error: " << typeid(e).name() << ": " << e.what();
    return {};
  }
  ADD_FAILURE() << "accepted";
  return {};
}

std::string XmlRefusal(std::string const& xml, Quill::Type const* t, Quill::Wire::DecodeOptions const& o = {}) {
  return Refusal([&] { Quill::Wire::DecodeXml(xml, t, o); });
}
std::string JsonRefusal(std::string const& json, Quill::Type const* t, Quill::Wire::DecodeOptions const& o = {}) {
  return Refusal([&] { Quill::Wire::DecodeJson(json, t, o); });
}

#define EXPECT_MENTIONS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

TEST(WireBadInput, Malformed) {
  auto* t = KeyAnyValueType();
  for (char const* xml :
       {"", "<value", "<value>", "<value></other>", "<value><key>a</key></value><value/>", "<value><key>a</key>",
        "not xml at all", "<value><key>a&bogus;</key></value>", "<value><key><![CDATA[a]]</key></value>"}) {
    std::string why = XmlRefusal(xml, t);
    EXPECT_FALSE(why.empty()) << xml;
  }
  EXPECT_MENTIONS(XmlRefusal("<value>\n<key>a</key>\n</valu>", t), "line 3");
  for (char const* json :
       {"", "{", "{\"_type\":\"KeyAnyValue\",}", "[1,2", "{\"key\":\"a\" \"x\":1}", "nul", "{\"key\":\"a\"}}"}) {
    EXPECT_MENTIONS(JsonRefusal(json, t), "malformed JSON");
  }
  // A SOAP message that is not one.
  EXPECT_MENTIONS(Refusal([] { Quill::Wire::DecodeRequest("<Envelope><Body/></Envelope>"); }), "request element");
  EXPECT_MENTIONS(Refusal([] { Quill::Wire::DecodeRequest("<Body/>"); }), "Envelope");
}

TEST(WireBadInput, WrongTypeInAKnownPosition) {
  auto* about = Quill::GetDoType<Tarn::AboutInfo>();
  std::string good;
  Quill::Wire::EncodeXml(good, wire_test::Filled(about, 0).get(), about, "value");
  // A string where a data object of another class is expected.
  std::string xml = good;
  xml.insert(xml.find('>'), " xsi:type=\"KeyAnyValue\"");
  EXPECT_MENTIONS(XmlRefusal(xml, about), "is not a tarn.AboutInfo");
  // An element inside a simple value.
  std::string nested = good;
  nested.insert(nested.find("<name>") + 6, "<b>x</b>");
  EXPECT_MENTIONS(XmlRefusal(nested, about), "/value/name");
  // Text where properties are expected.
  EXPECT_MENTIONS(XmlRefusal(std::string("<value") + kNs + ">stray<key>k</key></value>", KeyAnyValueType()),
                  "unexpected text");
  // A value in an any-typed position must say what it is.
  EXPECT_MENTIONS(XmlRefusal(std::string("<value") + kNs + "><key>k</key><value>3</value></value>", KeyAnyValueType()),
                  "xsi:type");
  EXPECT_MENTIONS(JsonRefusal("{\"_type\":\"KeyAnyValue\",\"key\":\"k\",\"value\":3}", KeyAnyValueType()), "$.value");
  // A string where a string is not.
  EXPECT_MENTIONS(JsonRefusal("{\"key\":5}", KeyAnyValueType()), "expected a string");
  EXPECT_MENTIONS(JsonRefusal("{\"key\":\"k\",\"value\":{\"_type\":\"int\",\"_value\":\"3\"}}", KeyAnyValueType()),
                  "expected an integer");
  EXPECT_MENTIONS(JsonRefusal("[]", KeyAnyValueType()), "expected an object");
  // A number for a boolean, a bad date-time, bad base64.
  auto* any = Quill::GetNoType<Any>();
  EXPECT_MENTIONS(XmlRefusal(std::string("<v") + kNs + " xsi:type=\"xsd:boolean\">yes</v>", any), "not a boolean");
  EXPECT_MENTIONS(XmlRefusal(std::string("<v") + kNs + " xsi:type=\"xsd:dateTime\">2026-13-01T00:00:00Z</v>", any),
                  "date-time");
  EXPECT_MENTIONS(XmlRefusal(std::string("<v") + kNs + " xsi:type=\"xsd:base64Binary\">AB=C</v>", any), "base64");
  EXPECT_MENTIONS(JsonRefusal("{\"_type\":\"base64Binary\",\"_value\":\"QQ\"}", any), "base64");
  // An array type where one value is expected.
  EXPECT_MENTIONS(
      XmlRefusal(std::string("<v") + kNs + " xsi:type=\"ArrayOfInt\"><int>1</int></v>", Quill::GetNoType<int>()),
      "array type");
}

TEST(WireBadInput, UnknownEnumerationTagAndMissingRequiredProperty) {
  auto* any = Quill::GetNoType<Any>();
  std::string why = XmlRefusal(std::string("<v") + kNs + " xsi:type=\"TaskInfoState\">exploded</v>", any);
  EXPECT_MENTIONS(why, "exploded");
  EXPECT_MENTIONS(JsonRefusal("{\"_type\":\"TaskInfoState\",\"_value\":\"exploded\"}", any), "unknown tag 'exploded'");
  EXPECT_MENTIONS(XmlRefusal(std::string("<value") + kNs + "/>", KeyAnyValueType()), "missing required property <key>");
  EXPECT_MENTIONS(JsonRefusal("{\"_type\":\"KeyAnyValue\"}", KeyAnyValueType()), "missing required property \"key\"");
  // The same property twice.
  EXPECT_MENTIONS(XmlRefusal(std::string("<value") + kNs + "><key>a</key><key>b</key></value>", KeyAnyValueType()),
                  "given twice");
  // A request for a method the type does not have, or with an unknown argument.
  std::string env = "<Envelope><Body><NoSuchMethod target=\"g\" targetType=\"Folder\"/></Body></Envelope>";
  EXPECT_MENTIONS(Refusal([&] { Quill::Wire::DecodeRequest(env); }), "NoSuchMethod");
  auto* create = Quill::GetMoType<Tarn::Folder>()->FindMethod("createFolder");
  std::string req = std::string("<Envelope><Body><") + create->GetWsdlName() +
                    " target=\"g\" targetType=\"Folder\"><name>x</name><color>red</color></" + create->GetWsdlName() +
                    "></Body></Envelope>";
  EXPECT_MENTIONS(Refusal([&] { Quill::Wire::DecodeRequest(req); }), "unknown argument <color>");
  std::string noArg = std::string("<Envelope><Body><") + create->GetWsdlName() +
                      " target=\"g\" targetType=\"Folder\"/></Body></Envelope>";
  EXPECT_MENTIONS(Refusal([&] { Quill::Wire::DecodeRequest(noArg); }), "missing required argument <name>");
  std::string badVersion = "<Envelope><Header><apiVersion>0.0.0.0.7</apiVersion></Header><Body/></Envelope>";
  EXPECT_MENTIONS(Refusal([&] { Quill::Wire::DecodeRequest(badVersion); }), "unknown API version");
}

TEST(WireBadInput, IntegersOutOfRange) {
  auto* any = Quill::GetNoType<Any>();
  struct Case {
    char const* type;
    char const* text;
  } const cases[] = {{"byte", "128"},
                     {"byte", "-129"},
                     {"short", "32768"},
                     {"int", "2147483648"},
                     {"int", "-2147483649"},
                     {"long", "9223372036854775808"},
                     {"long", "-9223372036854775809"},
                     {"int", "1.5"},
                     {"int", ""},
                     {"float", "1e39"}};
  for (auto const& c : cases) {
    std::string why = XmlRefusal(std::string("<v") + kNs + " xsi:type=\"xsd:" + c.type + "\">" + c.text + "</v>", any);
    EXPECT_MENTIONS(why, "/v");
    std::string json = std::string("{\"_type\":\"") + c.type + "\",\"_value\":" + (*c.text ? c.text : "\"\"") + "}";
    EXPECT_FALSE(JsonRefusal(json, any).empty()) << json;
  }
  // The limits themselves are accepted (and an undeclared xsi prefix is understood).
  EXPECT_EQ(Quill::Unbox<int>(Quill::Wire::DecodeXml("<v xsi:type=\"xsd:int\">-2147483648</v>", any).get()),
            std::numeric_limits<int>::min());
  EXPECT_EQ(Quill::Unbox<signed char>(
                Quill::Wire::DecodeXml(std::string("<v") + kNs + " xsi:type=\"xsd:byte\">-128</v>", any).get()),
            -128);
  EXPECT_EQ(
      Quill::Unbox<long>(Quill::Wire::DecodeJson("{\"_type\":\"long\",\"_value\":-9223372036854775808}", any).get()),
      std::numeric_limits<long>::min());
}

TEST(WireBadInput, InvalidUtf8AndControlCharacters) {
  auto* t = KeyAnyValueType();
  for (std::string bad :
       {std::string("\xff"), std::string("\xc3"), std::string("\xed\xa0\x80"), std::string("\xc0\xaf")}) {
    EXPECT_MENTIONS(XmlRefusal(std::string("<value") + kNs + "><key>a" + bad + "b</key></value>", t), "malformed XML");
    EXPECT_MENTIONS(JsonRefusal("{\"key\":\"a" + bad + "b\"}", t), "UTF-8");
  }
  EXPECT_MENTIONS(XmlRefusal(std::string("<value") + kNs + "><key>a&#1;b</key></value>", t), "malformed XML");
  // Nothing that cannot be read back is written.
  Ref<Quill::KeyAnyValue> kv(new Quill::KeyAnyValue());
  kv->key = "bell\x07";
  std::string out;
  EXPECT_THROW(Quill::Wire::EncodeXml(out, kv.get(), t, "value"), Quill::Fault::InvalidArgument::Exception);
  kv->key = "half\xc3";
  out.clear();
  EXPECT_THROW(Quill::Wire::EncodeXml(out, kv.get(), t, "value"), Quill::Fault::InvalidArgument::Exception);
  out.clear();
  EXPECT_THROW(Quill::Wire::EncodeJson(out, kv.get(), t), Quill::Fault::InvalidArgument::Exception);
  // An object that holds itself is refused, not followed for ever.
  Ref<Quill::KeyAnyValue> loop(new Quill::KeyAnyValue());
  loop->key = "loop";
  loop->value = loop.get();
  out.clear();
  EXPECT_THROW(Quill::Wire::EncodeXml(out, loop.get(), t, "value"), Quill::Fault::InvalidArgument::Exception);
  out.clear();
  EXPECT_THROW(Quill::Wire::EncodeJson(out, loop.get(), t), Quill::Fault::InvalidArgument::Exception);
  loop->value = nullptr;
  // JSON carries control characters escaped.
  kv->key = "bell\x07";
  out.clear();
  Quill::Wire::EncodeJson(out, kv.get(), t);
  EXPECT_TRUE(kv->_IsEqual(Quill::Wire::DecodeJson(out, t).get(), false)) << out;
}

TEST(WireBadInput, DocumentTypesAndEntitiesAreRefused) {
  auto* t = KeyAnyValueType();
  std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE value [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
      "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]><value><key>&c;</key></value>";
  EXPECT_MENTIONS(XmlRefusal(laughs, t), "document type declarations are refused");
  EXPECT_MENTIONS(XmlRefusal("<!DOCTYPE value SYSTEM \"file:///etc/passwd\"><value><key>k</key></value>", t),
                  "refused");
  // The predefined entities and character references are fine.
  auto v =
      Quill::Wire::DecodeXml(std::string("<value") + kNs + "><key>&lt;&#x41;&#66;&amp;</key>" + kNil + "</value>", t);
  EXPECT_EQ(static_cast<Quill::KeyAnyValue*>(v.get())->key, "<AB&");
}

TEST(WireBadInput, LimitsAndHugeInput) {
  auto* any = Quill::GetNoType<Any>();
  auto* t = KeyAnyValueType();
  auto start = std::chrono::steady_clock::now();
  // Nesting 100,000 deep: refused at the depth limit, quickly.
  std::string deep = "<v" + std::string(kNs) + " xsi:type=\"ArrayOfAnyType\">";
  for (int i = 0; i < 100000; ++i) deep += "<anyType xsi:type=\"ArrayOfAnyType\">";
  EXPECT_MENTIONS(XmlRefusal(deep, any), "nested deeper than 64");
  std::string deepJson;
  for (int i = 0; i < 100000; ++i) deepJson += "{\"_type\":\"ArrayOfAnyType\",\"_value\":[";
  for (int i = 0; i < 100000; ++i) deepJson += "]}";
  EXPECT_MENTIONS(JsonRefusal(deepJson, any), "deeper than 64");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  Quill::Wire::DecodeOptions small;
  small.limits.maxBytes = 200;
  small.limits.maxStringBytes = 16;
  small.limits.maxElements = 5;
  small.limits.maxDepth = 3;
  std::string ok = std::string("<value") + kNs + "><key>k</key>" + kNil + "</value>";
  EXPECT_NO_THROW(Quill::Wire::DecodeXml(ok, t));
  EXPECT_NO_THROW(Quill::Wire::DecodeXml(ok, t, small));
  EXPECT_MENTIONS(XmlRefusal(std::string(200, ' ') + ok, t, small), "exceeds the limit of 200");
  EXPECT_MENTIONS(XmlRefusal("<value><key>12345678901234567</key></value>", t, small), "longer than 16 bytes");
  EXPECT_MENTIONS(JsonRefusal("{\"key\":\"12345678901234567\"}", t, small), "longer than 16 bytes");
  EXPECT_MENTIONS(XmlRefusal("<v xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:type=\"ArrayOfInt\">"
                             "<int>1</int><int>1</int><int>1</int><int>1</int><int>1</int></v>",
                             any, small),
                  "more than 5 elements");
  EXPECT_MENTIONS(JsonRefusal("{\"_type\":\"ArrayOfInt\",\"_value\":[1,1,1,1,1,1]}", any, small), "more than 5");
  EXPECT_MENTIONS(XmlRefusal("<a><b><c><d/></c></b></a>", t, small), "nested deeper than 3");

  // A claimed 1 GiB of text, given as a string of that declared size but
  // only a few bytes long: no format here carries a length, so the
  // claim is refused by the size check before anything is read.
  std::string_view claimed("<value>", static_cast<std::size_t>(1) << 30);
  EXPECT_MENTIONS(Refusal([&] { Quill::Wire::DecodeXml(claimed, t); }), "exceeds the limit");
  EXPECT_MENTIONS(Refusal([&] { Quill::Wire::DecodeJson(claimed, t); }), "exceeds the limit");
}

TEST(WireBadInput, TruncatedAtEveryByte) {
  auto* create = Quill::GetMoType<Tarn::Folder>()->FindMethod("createFolder");
  Ref<Quill::MoRef> target(new Quill::MoRef("tarn.Folder", "group-d1"));
  std::string xml = Quill::Wire::EncodeRequest(target.get(), create, Quill::Args(std::string("Production")));
  ASSERT_NO_THROW(Quill::Wire::DecodeRequest(xml));
  for (std::size_t n = 0; n < xml.size(); ++n) {
    std::string cut = xml.substr(0, n);
    EXPECT_THROW(Quill::Wire::DecodeRequest(cut), Quill::Fault::InvalidRequest::Exception) << n;
  }
  auto* about = Quill::GetDoType<Tarn::AboutInfo>();
  std::string json;
  Quill::Wire::EncodeJson(json, wire_test::Filled(about, 0).get(), about);
  for (std::size_t n = 0; n < json.size(); ++n) {
    EXPECT_THROW(Quill::Wire::DecodeJson(json.substr(0, n), about), Quill::Fault::InvalidRequest::Exception) << n;
  }
  std::string one;
  Quill::Wire::EncodeXml(one, wire_test::Filled(about, 0).get(), about, "value");
  for (std::size_t n = 0; n < one.size(); ++n) {
    EXPECT_THROW(Quill::Wire::DecodeXml(one.substr(0, n), about), Quill::Fault::InvalidRequest::Exception) << n;
  }
}

}  // namespace
