// The JSON writer of tarn-inspect: escaping, separators and layout. The
// command-line tests parse whole documents; these pin down the cases that the
// registry's own strings never exercise.
#include <gtest/gtest.h>

#include <string>

#include "inspect/Json.h"
#include "inspect/Render.h"

namespace {

std::string Quoted(std::string_view s) {
  std::string out;
  Inspect::AppendJsonString(out, s);
  return out;
}

TEST(JsonString, EscapesWhatJsonForbidsAndKeepsTheRest) {
  EXPECT_EQ(Quoted("plain.Name_1"), "\"plain.Name_1\"");
  EXPECT_EQ(Quoted("say \"hi\""), "\"say \\\"hi\\\"\"");
  EXPECT_EQ(Quoted("C:\\dir"), "\"C:\\\\dir\"");
  EXPECT_EQ(Quoted("a\nb\tc\rd\be\ff"), "\"a\\nb\\tc\\rd\\be\\ff\"");
  EXPECT_EQ(Quoted(std::string_view("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(Quoted(std::string_view("a\0b", 3)), "\"a\\u0000b\"");
  // Slashes need no escape; leaving them keeps paths readable.
  EXPECT_EQ(Quoted("a/b"), "\"a/b\"");
  EXPECT_EQ(Quoted(""), "\"\"");
}

TEST(JsonString, PassesValidUtf8AndReplacesInvalidBytes) {
  EXPECT_EQ(Quoted("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"");
  // A lone continuation byte, a truncated sequence at the end, an overlong
  // slash, a UTF-16 surrogate and a value past U+10FFFF.
  EXPECT_EQ(Quoted("a\x80z"), "\"a\\ufffdz\"");
  EXPECT_EQ(Quoted("a\xe2\x82"), "\"a\\ufffd\\ufffd\"");
  EXPECT_EQ(Quoted("\xc0\xaf"), "\"\\ufffd\\ufffd\"");
  EXPECT_EQ(Quoted("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
  EXPECT_EQ(Quoted("\xf4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\"");
  // The replacement does not swallow a valid character that follows.
  EXPECT_EQ(Quoted("\xe2\x82\xc3\xa9"), "\"\\ufffd\\ufffd\xc3\xa9\"");
}

TEST(JsonWriter, SeparatesMembersAndElementsOnOneLine) {
  std::string out;
  Inspect::JsonWriter w(out, 0);
  w.BeginObject();
  w.Member("name", "x");
  w.MemberOrNull("base", nullptr);
  w.Key("flags");
  w.UInt(3);
  w.Key("n");
  w.Int(-4);
  w.Key("list");
  w.BeginArray();
  w.Bool(true);
  w.Bool(false);
  w.Null();
  w.BeginArray();
  w.EndArray();
  w.BeginObject();
  w.EndObject();
  w.EndArray();
  w.EndObject();
  EXPECT_EQ(out, R"({"name":"x","base":null,"flags":3,"n":-4,"list":[true,false,null,[],{}]})");
  EXPECT_TRUE(w.Complete());
}

TEST(JsonWriter, BreaksLinesOnlyDownToTheGivenDepth) {
  std::string out;
  Inspect::JsonWriter w(out, 1);
  w.BeginObject();
  w.Key("a");
  w.BeginArray();
  w.UInt(1);
  w.UInt(2);
  w.EndArray();
  w.Key("b");
  w.BeginArray();
  w.EndArray();
  w.EndObject();
  EXPECT_EQ(out, "{\n  \"a\": [1,2],\n  \"b\": []\n}");

  std::string deep;
  Inspect::JsonWriter d(deep);
  d.BeginArray();
  d.BeginObject();
  d.Key("k");
  d.String("v");
  d.EndObject();
  d.EndArray();
  EXPECT_EQ(deep, "[\n  {\n    \"k\": \"v\"\n  }\n]");
}

TEST(JsonWriter, KnowsWhenTheDocumentIsComplete) {
  std::string out;
  Inspect::JsonWriter w(out);
  EXPECT_FALSE(w.Complete());
  w.BeginArray();
  EXPECT_FALSE(w.Complete());
  w.EndArray();
  EXPECT_TRUE(w.Complete());
}

TEST(TextTable, AlignsColumnsAndLeavesNoTrailingBlanks) {
  Inspect::Table t;
  t.Add({"name", "type", "flags"});
  t.Add({"a", "string[]", "-"});
  t.Add({"longer", "int"});
  std::string out;
  t.Print(out, "  ");
  EXPECT_EQ(out,
            "  name    type      flags\n"
            "  a       string[]  -\n"
            "  longer  int\n");
}

}  // namespace
