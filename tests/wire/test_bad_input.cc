// Input the decoders must refuse, grouped by kind: each gives an
// InvalidRequest whose text says what and where, never a crash.
#include <gtest/gtest.h>

#include "Fill.h"
#include "quill/DataTypes.h"
#include "quill/Faults.h"
#include "quill/Registry.h"
#include "quill/StubSupport.h"
#include "quill/wire/Wire.h"
#include "tarn/AboutInfo.h"
#include "tarn/Folder.h"

namespace {

using wire_test::kNs;
using wire_test::Refusal;

using Basalt::Ref;
using Quill::Any;

// KeyAnyValue's value is required: given as an explicit null where a test needs no value.
constexpr char kNil[] = "<value xsi:nil=\"true\"/>";

Quill::Type* KeyAnyValueType() { return Quill::GetDoType<Quill::KeyAnyValue>(); }

std::string XmlRefusal(std::string const& xml, Quill::Type const* t, Quill::Wire::DecodeOptions const& o = {}) {
  return Refusal([&] { Quill::Wire::DecodeXml(xml, t, o); });
}
std::string JsonRefusal(std::string const& json, Quill::Type const* t, Quill::Wire::DecodeOptions const& o = {}) {
  return Refusal([&] { Quill::Wire::DecodeJson(json, t, o); });
}

#define EXPECT_MENTIONS(text, part) EXPECT_NE((text).find(part), std::string::npos) << Shown(text)

// Input shown in a trace: every byte outside printable ASCII as \xNN.
std::string Shown(std::string_view s) {
  std::string out;
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f) {
      out += ch;
    } else {
      out += "\\x";
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 15];
    }
  }
  return out;
}

// Whether `s` is text a fault can carry: UTF-8 (which the public JSON string
// writer insists on), no control character but tab and newline, neither
// U+FFFE nor U+FFFF.
bool CarriedText(std::string const& s) {
  std::string json;
  try {
    Quill::Wire::AppendJsonString(json, s);
  } catch (Quill::Fault::InvalidArgument::Exception const&) {
    return false;
  }
  for (char ch : s) {
    if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n') return false;
  }
  return s.find("\xef\xbf\xbe") == std::string::npos && s.find("\xef\xbf\xbf") == std::string::npos;
}

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
  // An object that holds itself is refused, not followed for ever.
  Ref<Quill::KeyAnyValue> loop(new Quill::KeyAnyValue());
  loop->key = "loop";
  loop->value = loop.get();
  std::string out;
  EXPECT_THROW(Quill::Wire::EncodeXml(out, loop.get(), t, "value"), Quill::Fault::InvalidArgument::Exception);
  out.clear();
  EXPECT_THROW(Quill::Wire::EncodeJson(out, loop.get(), t), Quill::Fault::InvalidArgument::Exception);
  loop->value = nullptr;
}

// A string of the API is UTF-8 text of characters XML can carry. Neither
// form writes or reads anything else, so what one form holds the other can.
TEST(WireBadInput, StringsHoldOnlyCharactersXmlCarries) {
  auto* t = KeyAnyValueType();
  struct Case {
    char const* what;
    std::string text;  // raw, as a program might set it
    char const* json;  // the same spelt as a JSON escape; null when none can
    bool rawJson;      // JSON itself allows it unescaped
  } const cases[] = {
      {"a control character", std::string("bell\x07"), "bell\\u0007", false},
      {"a control character", std::string("nul\0x", 5), "nul\\u0000x", false},
      {"a control character", std::string("esc\x1b[0m"), "esc\\u001b[0m", false},
      {"a non-character", std::string("end\xef\xbf\xbe"), "end\\ufffe", true},
      {"a non-character", std::string("\xef\xbf\xbf"), "\\uffff", true},
      {"invalid UTF-8", std::string("half\xc3"), nullptr, false},
      {"invalid UTF-8", std::string("surrogate\xed\xa0\x80"), nullptr, false},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what + (" in " + Shown(c.text)));
    // Written nowhere: refused as InvalidArgument naming the property's path.
    Ref<Quill::KeyAnyValue> inner(new Quill::KeyAnyValue());
    inner->key = c.text;
    Ref<Quill::KeyAnyValue> outer(new Quill::KeyAnyValue());
    outer->key = "outer";
    outer->value = inner.get();
    for (bool json : {false, true}) {
      std::string out;
      try {
        json ? Quill::Wire::EncodeJson(out, outer.get(), t) : Quill::Wire::EncodeXml(out, outer.get(), t, "value");
        ADD_FAILURE() << "written: " << Shown(out);
      } catch (Quill::Fault::InvalidArgument::Exception const& e) {
        std::string why = wire_test::FaultText(e);
        EXPECT_MENTIONS(why, c.what);
        EXPECT_MENTIONS(why, "'value.key'");
        EXPECT_TRUE(CarriedText(why)) << Shown(why);
      }
    }
    // Read from neither form.
    std::string xml = std::string("<value") + kNs + "><key>" + c.text + "</key>" + kNil + "</value>";
    EXPECT_FALSE(XmlRefusal(xml, t).empty());
    if (c.json) {
      EXPECT_MENTIONS(JsonRefusal(std::string("{\"key\":\"") + c.json + "\"}", t), c.what);
      if (c.rawJson) {
        EXPECT_MENTIONS(JsonRefusal("{\"key\":\"" + c.text + "\"}", t), c.what);
      }
    }
  }
  // Characters XML does carry pass both ways: tab, newline, carriage return,
  // DEL and C1 controls, the other non-characters, the last plane.
  Ref<Quill::KeyAnyValue> kv(new Quill::KeyAnyValue());
  kv->key = "a\tb\nc\rd\x7f\xc2\x85\xef\xb7\x90\xef\xbf\xbd\xf4\x8f\xbf\xbf";
  std::string xml, json;
  Quill::Wire::EncodeXml(xml, kv.get(), t, "value");
  Quill::Wire::EncodeJson(json, kv.get(), t);
  EXPECT_TRUE(kv->_IsEqual(Quill::Wire::DecodeXml(xml, t).get(), false)) << xml;
  EXPECT_TRUE(kv->_IsEqual(Quill::Wire::DecodeJson(json, t).get(), false)) << json;
}

// Whatever bytes a message holds, the refusal quotes them escaped: it goes
// back as the client's fault, never as a fault that cannot be written.
TEST(WireBadInput, RefusalsQuoteBadBytesEscaped) {
  auto* create = Quill::GetMoType<Tarn::Folder>()->FindMethod("createFolder");
  std::string op = create->GetWsdlName();
  auto request = [&](std::string const& body) {
    return "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"><soapenv:Body>" + body +
           "</soapenv:Body></soapenv:Envelope>";
  };
  std::string const bad[] = {
      request("<Create\xff"
              "Folder xmlns=\"urn:tarn25\" target=\"g\" targetType=\"Folder\"/>"),
      request("<" + op + " xmlns=\"urn:tarn25\" target=\"g\" targetType=\"Fol\xc3(der\"><name>x</name></" + op + ">"),
      request("<" + op + " xmlns=\"urn:tarn25\" target=\"g\" targetType=\"Folder\"><na\xe9me>x</na\xe9me></" + op +
              ">"),
      request("<" + op + " xmlns=\"urn:tarn25\" target=\"g\" targetType=\"Folder\"><name>x</name><spec\xf0\x28>" +
              "</spec\xf0\x28></" + op + ">"),
  };
  for (std::string const& xml : bad) {
    SCOPED_TRACE(Shown(xml));
    std::string why = Refusal([&] { Quill::Wire::DecodeRequest(xml); });
    EXPECT_TRUE(CarriedText(why)) << Shown(why);
    try {
      Quill::Wire::DecodeRequest(xml);
    } catch (std::exception const& e) {
      std::string fault = Quill::Wire::EncodeError(e);
      EXPECT_MENTIONS(fault, "<faultcode>soapenv:Client</faultcode>");
      Ref<Any> result;
      EXPECT_THROW(Quill::Wire::DecodeResponse(fault, create, result), Quill::Fault::InvalidRequest::Exception);
    }
  }
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

// Well-formedness the codec checks on the parsed document: references,
// attribute values and names, and what may stand around the root element.
TEST(WireBadInput, WellFormedness) {
  auto* t = KeyAnyValueType();
  std::string const open = std::string("<value") + kNs;
  auto keyed = [&](std::string const& key) { return open + "><key>" + key + "</key>" + kNil + "</value>"; };
  std::string const good = keyed("k");
  for (std::string const& xml : {
           open + " a=\"1\" a=\"2\"><key>k</key>" + kNil + "</value>",
           open + " xmlns:p=\"urn:p\" xmlns:p=\"urn:p\"><key>k</key>" + kNil + "</value>",
           open + " a=\"1<2\"><key>k</key>" + kNil + "</value>",
           open + " a=\"&bogus;\"><key>k</key>" + kNil + "</value>",
           keyed("a]]>b"),
           keyed("a&#0;b"),
           keyed("a&#xD800;b"),
           keyed("a&#xFFFE;b"),
           keyed("a&#x110000;b"),
           keyed("a&#;b"),
           keyed("a&#x;b"),
           keyed("a&b"),
           keyed("a&lt"),
           "junk" + good,
           good + "junk",
           good + "<!DOCTYPE value>",
           good + "<![CDATA[x]]>",
           good + "<!-- unclosed",
       }) {
    SCOPED_TRACE(Shown(xml));
    EXPECT_MENTIONS(XmlRefusal(xml, t), "malformed XML");
  }
  // What may stand around the root, and references where they are allowed.
  auto v = Quill::Wire::DecodeXml("<?xml version=\"1.0\"?><!-- c --><?pi x?>\n" +
                                      keyed("a&#x10FFFF;&#9;&quot;&apos;&gt;<![CDATA[<b>&amp;]]>c") +
                                      "\n<!-- after --><?pi y?>\n",
                                  t);
  EXPECT_EQ(static_cast<Quill::KeyAnyValue*>(v.get())->key, "a\xF4\x8F\xBF\xBF\t\"'><b>&amp;c");
  EXPECT_EQ(static_cast<Quill::KeyAnyValue*>(Quill::Wire::DecodeXml(keyed(" \n "), t).get())->key, " \n ");
  auto* any = Quill::GetNoType<Any>();
  auto s = Quill::Wire::DecodeXml(std::string("<v") + kNs + " xsi:type=\"xsd:str&#105;ng\">x</v>", any);
  EXPECT_EQ(Quill::Unbox<std::string>(s.get()), "x");
}

TEST(WireBadInput, LimitsAndHugeInput) {
  auto* any = Quill::GetNoType<Any>();
  auto* t = KeyAnyValueType();
  // Nesting 100,000 deep: refused at the depth limit (bench_wire times it: BM_DecodeTooDeep).
  std::string deep = "<v" + std::string(kNs) + " xsi:type=\"ArrayOfAnyType\">";
  for (int i = 0; i < 100000; ++i) deep += "<anyType xsi:type=\"ArrayOfAnyType\">";
  EXPECT_MENTIONS(XmlRefusal(deep, any), "nested deeper than 64");
  std::string deepJson;
  for (int i = 0; i < 100000; ++i) deepJson += "{\"_type\":\"ArrayOfAnyType\",\"_value\":[";
  for (int i = 0; i < 100000; ++i) deepJson += "]}";
  EXPECT_MENTIONS(JsonRefusal(deepJson, any), "deeper than 64");

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

// What a decoder passes over is reported with the input shown the same way.
TEST(WireBadInput, SkipReportsQuoteBadBytesEscaped) {
  Quill::Wire::DecodeReport report;
  std::string reported;
  report.onSkip = [&](std::string_view path, std::string_view what) {
    reported += std::string(path) + ": " + std::string(what) + "\n";
  };
  Quill::Wire::DecodeOptions options;
  options.report = &report;
  Quill::Wire::DecodeJson("{\"key\":\"k\",\"value\":null,\"odd\\u0001\":1}", KeyAnyValueType(), options);
  EXPECT_EQ(report.skippedElements, 1u);
  EXPECT_TRUE(CarriedText(reported)) << Shown(reported);
  EXPECT_MENTIONS(reported, "unknown property odd\\x01");
}

// The parser's work on one start tag grows with the square of its attributes
// and namespace declarations: both are counted, per element and in all,
// before anything is parsed.
TEST(WireBadInput, AttributesAndNamespaceDeclarationsAreLimited) {
  auto* t = KeyAnyValueType();
  auto attrs = [](int n, char const* name, char const* value = "v") {
    std::string a;
    for (int i = 0; i < n; ++i) a += std::string(" ") + name + std::to_string(i) + "=\"" + value + "\"";
    return a;
  };
  std::string const rest = std::string("><key>k</key>") + kNil + "</value>";
  std::string const open = std::string("<value") + kNs;  // three namespace declarations
  Quill::Wire::DecodeOptions few;
  few.limits.maxAttributes = 10;
  few.limits.maxNamespaces = 5;
  Quill::Wire::DecodeOptions narrow;
  narrow.limits.maxNamespacesInScope = 4;
  // A value holding an array of one int, each element of it declaring `ns`.
  auto nested = [&](char const* ns) {
    return open + "><key" + ns + ">k</key><value" + ns + " xsi:type=\"ArrayOfInt\"><int" + ns +
           ">1</int></value></value>";
  };
  Quill::Wire::DecodeOptions const defaults;
  struct Case {
    std::string xml;
    Quill::Wire::DecodeOptions const* options;
    char const* refusal;  // null: read
  } const cases[] = {
      {open + attrs(64, "a") + rest, &defaults, nullptr},
      {open + attrs(65, "a") + rest, &defaults, "an element has more than 64 attributes (line 1)"},
      {open + attrs(13, "xmlns:p", "urn:p") + rest, &defaults, nullptr},
      {open + attrs(14, "xmlns:p", "urn:p") + rest, &defaults, "declares more than 16 namespaces (line 1)"},
      {open + ">\n<key" + attrs(65, "a") + ">k</key>" + kNil + "</value>", &defaults,
       "more than 64 attributes (line 2)"},
      // Only markup counts: not text, comments, CDATA, processing instructions or quoted values.
      {open + "><!--<x" + attrs(99, "a") + ">--><?pi" + attrs(99, "a") + "?><key q='" + attrs(99, "b") + "'>" +
           attrs(99, "c") + "<![CDATA[<x" + attrs(99, "d") + ">]]></key>" + kNil + "</value>",
       &defaults, nullptr},
      // In all: attributes and declarations spread over elements (kNil has one).
      {open + attrs(5, "a") + "><key" + attrs(4, "a") + ">k</key>" + kNil + "</value>", &few, nullptr},
      {open + attrs(5, "a") + "><key" + attrs(5, "a") + ">k</key>" + kNil + "</value>", &few,
       "more than 10 attributes (line 1)"},
      {open + attrs(2, "xmlns:p", "urn:p") + "><key xmlns:q=\"urn:q\">k</key>" + kNil + "</value>", &few,
       "more than 5 namespace declarations"},
      // In scope: those of an element and of the elements it is in; a
      // sibling's or a closed element's are out of scope.
      {nested(""), &narrow, nullptr},
      {open + "><key xmlns:q=\"urn:q\">k</key><value xmlns:q=\"urn:q\" xsi:nil=\"true\"/></value>", &narrow, nullptr},
      {nested(" xmlns:q=\"urn:q\""), &narrow, "more than 4 namespace declarations in scope (line 1)"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.xml.substr(0, 120));
    if (c.refusal) {
      EXPECT_MENTIONS(XmlRefusal(c.xml, t, *c.options), c.refusal);
    } else {
      EXPECT_NO_THROW(Quill::Wire::DecodeXml(c.xml, t, *c.options));
    }
  }
  // The same limits hold for messages.
  std::string env = "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\"" +
                    attrs(16, "xmlns:p", "urn:p") + "><soapenv:Body/></soapenv:Envelope>";
  EXPECT_MENTIONS(Refusal([&] { Quill::Wire::DecodeRequest(env); }), "more than 16 namespaces");
}

// UTF-8 is what is read; a byte-order mark saying so is read past, any other
// encoding is refused by name.
TEST(WireBadInput, ByteOrderMarksAndOtherEncodings) {
  auto* t = KeyAnyValueType();
  std::string const doc =
      std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><value") + kNs + "><key>k</key>" + kNil + "</value>";
  auto v = Quill::Wire::DecodeXml("\xEF\xBB\xBF" + doc, t);
  EXPECT_EQ(static_cast<Quill::KeyAnyValue*>(v.get())->key, "k");
  auto* create = Quill::GetMoType<Tarn::Folder>()->FindMethod("createFolder");
  Ref<Quill::MoRef> target(new Quill::MoRef("tarn.Folder", "group-d1"));
  std::string req = Quill::Wire::EncodeRequest(target.get(), create, Quill::Args(std::string("Production")));
  EXPECT_EQ(Quill::Wire::DecodeRequest("\xEF\xBB\xBF" + req).method, create);

  // Each character of an ASCII text in a wider encoding.
  auto widen = [](std::string const& s, int width, bool big, char const* bom) {
    std::string out = bom;
    for (char c : s) {
      std::string unit(static_cast<std::size_t>(width), '\0');
      unit[big ? unit.size() - 1 : 0] = c;
      out += unit;
    }
    return out;
  };
  struct Case {
    int width;
    bool big;
    std::string bom;
    char const* name;
  } const cases[] = {
      {2, false, "\xFF\xFE", "UTF-16 (little-endian)"},
      {2, false, "", "UTF-16 (little-endian)"},
      {2, true, "\xFE\xFF", "UTF-16 (big-endian)"},
      {2, true, "", "UTF-16 (big-endian)"},
      {4, false, std::string("\xFF\xFE\0\0", 4), "UTF-32 (little-endian)"},
      {4, true, std::string("\0\0\xFE\xFF", 4), "UTF-32 (big-endian)"},
  };
  for (Case const& c : cases) {
    std::string wide = widen(doc, c.width, c.big, c.bom.c_str());
    if (c.bom.size() == 4) wide = c.bom + widen(doc, c.width, c.big, "");
    EXPECT_MENTIONS(XmlRefusal(wide, t), std::string("in ") + c.name + "; only UTF-8 is read");
  }
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
