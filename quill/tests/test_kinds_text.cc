// The kind table against the runtime's registered primitives, the JSON string
// literal and UTF-8 checks, and the civil-date conversions.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "basalt/Civil.h"
#include "quill/Kinds.h"
#include "quill/Primitive.h"
#include "quill/Text.h"
#include "quill/Type.h"
#include "quill/TypeInfo.h"
#include "quill/Values.h"

namespace {

using Quill::Kind;

// Each scalar row's C++ type is the type the runtime registers under the
// row's names; the records' kinds and names come back from the table.
TEST(Kinds, RowsMatchTheRegisteredPrimitives) {
  for (std::uint8_t i = 0; i < Quill::kKindCount; ++i) {
    auto k = static_cast<Kind>(i);
    Quill::KindInfo const& info = Quill::InfoOf(k);
    SCOPED_TRACE(info.name ? info.name : "(no name)");
    Quill::Type* t = Quill::VisitScalar(k, [](auto tag) -> Quill::Type* {
      using T = typename decltype(tag)::type;
      if constexpr (std::is_void_v<T>) {
        return nullptr;
      } else {
        return Quill::GetNoType<T>();
      }
    });
    EXPECT_EQ(t != nullptr, Quill::IsScalar(k));
    if (t) {
      EXPECT_STREQ(t->GetName(), info.name);
      EXPECT_STREQ(t->GetWsdlName(), info.wireName);
      EXPECT_EQ(Quill::KindOf(t->GetTypeInfo()), k);
    }
    if (info.name) {
      EXPECT_EQ(Quill::KindNamed(info.name), k);
    }
  }
  EXPECT_EQ(Quill::KindOf(&Quill::gAnyTypeInfo), Kind::Any);
  EXPECT_EQ(Quill::KindNamed("no such primitive"), Kind::Any);
  // A record of another library is known by its name.
  Quill::TypeInfo const copy = {Quill::KIND_PRIMITIVE, "dateTime", "dateTime", nullptr};
  EXPECT_EQ(Quill::KindOf(&copy), Kind::DateTime);
}

struct JsonCase {
  char const* what;
  std::string in;
  Quill::BadUtf8 mode;
  std::string out;
  std::size_t bad;
  bool controls;
};

TEST(Text, JsonStringLiterals) {
  constexpr auto npos = std::string_view::npos;
  using Quill::BadUtf8;
  JsonCase const cases[] = {
      {"plain", "plain.Name_1/x", BadUtf8::kStop, "\"plain.Name_1/x\"", npos, false},
      {"empty", "", BadUtf8::kStop, "\"\"", npos, false},
      {"quote and backslash", "say \"C:\\\"", BadUtf8::kStop, "\"say \\\"C:\\\\\\\"\"", npos, false},
      {"named controls", "a\nb\tc\rd\be\ff", BadUtf8::kStop, "\"a\\nb\\tc\\rd\\be\\ff\"", npos, true},
      {"other controls and DEL", std::string("\x01\x1f\x7f\0", 4), BadUtf8::kStop, "\"\\u0001\\u001f\\u007f\\u0000\"",
       npos, true},
      {"valid UTF-8 kept", "caf\xc3\xa9 \xf0\x9f\x98\x80", BadUtf8::kStop, "\"caf\xc3\xa9 \xf0\x9f\x98\x80\"", npos,
       false},
      {"bad byte reported", "ab\xffz", BadUtf8::kStop, "\"ab\xffz\"", 2, false},
      {"truncated sequence reported", "x\xe2\x82", BadUtf8::kStop, "\"x\xe2\x82\"", 1, false},
      {"bad byte replaced", "a\x80z", BadUtf8::kReplace, "\"a\\ufffdz\"", npos, false},
      {"overlong replaced byte by byte", "\xc0\xaf", BadUtf8::kReplace, "\"\\ufffd\\ufffd\"", npos, false},
      {"surrogate replaced", "\xed\xa0\x80", BadUtf8::kReplace, "\"\\ufffd\\ufffd\\ufffd\"", npos, false},
      {"replacement keeps what follows", "\xe2\x82\xc3\xa9\n", BadUtf8::kReplace, "\"\\ufffd\\ufffd\xc3\xa9\\n\"", npos,
       true},
  };
  for (JsonCase const& c : cases) {
    SCOPED_TRACE(c.what);
    std::string out = "[";
    Quill::JsonStringResult r = Quill::AppendJsonString(out, c.in, c.mode);
    EXPECT_EQ(out, "[" + c.out);
    EXPECT_EQ(r.badUtf8, c.bad);
    EXPECT_EQ(r.controls, c.controls);
    bool high = false;
    for (char ch : c.in) high |= static_cast<unsigned char>(ch) >= 0x80;
    EXPECT_EQ(r.nonAscii, high);
  }
}

TEST(Text, Utf8Validation) {
  constexpr auto npos = std::string_view::npos;
  struct {
    std::string in;
    std::size_t bad;
  } const cases[] = {
      {"ascii only", npos},
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", npos},  // 2, 3 and 4 bytes, U+10FFFF
      {"a\x80", 1},                                                    // lone continuation
      {"ab\xc1\xbf", 2},                                               // overlong two-byte form
      {"\xe0\x9f\xbf", 0},                                             // overlong three-byte form
      {"\xf0\x8f\xbf\xbf", 0},                                         // overlong four-byte form
      {"x\xed\xa0\x80", 1},                                            // a surrogate
      {"\xf4\x90\x80\x80", 0},                                         // past U+10FFFF
      {"\xf8\x88\x80\x80\x80", 0},                                     // five-byte lead
      {"abc\xe2\x82", 3},                                              // cut at the end
      {"\xc3(", 0},                                                    // continuation missing
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(Quill::InvalidUtf8At(c.in), c.bad);
  }
}

TEST(Civil, DatesAndDayCountsAgree) {
  using Basalt::System::CivilFromDays;
  using Basalt::System::DaysFromCivil;
  struct {
    std::int64_t y;
    unsigned m, d;
    std::int64_t days;
  } const known[] = {
      {1970, 1, 1, 0},        {1969, 12, 31, -1}, {2000, 2, 29, 11016},  {2000, 3, 1, 11017},     {1900, 3, 1, -25508},
      {1600, 2, 29, -135081}, {0, 3, 1, -719468}, {-1, 12, 31, -719529}, {9999, 12, 31, 2932896},
  };
  for (auto const& k : known) {
    SCOPED_TRACE(std::to_string(k.y) + "-" + std::to_string(k.m) + "-" + std::to_string(k.d));
    EXPECT_EQ(DaysFromCivil(k.y, k.m, k.d), k.days);
    auto c = CivilFromDays(k.days);
    EXPECT_EQ(c.year, k.y);
    EXPECT_EQ(c.month, k.m);
    EXPECT_EQ(c.day, k.d);
  }
  // Every day of four centuries either side of the epoch, one after the other.
  auto prev = CivilFromDays(-146097 - 1);
  for (std::int64_t z = -146097; z <= 146097; ++z) {
    auto c = CivilFromDays(z);
    ASSERT_EQ(DaysFromCivil(c.year, c.month, c.day), z);
    bool nextDay = c.year == prev.year && c.month == prev.month && c.day == prev.day + 1;
    bool nextMonth = c.day == 1 && ((c.year == prev.year && c.month == prev.month + 1) ||
                                    (c.year == prev.year + 1 && c.month == 1 && prev.month == 12));
    ASSERT_TRUE(nextDay || nextMonth) << z;
    prev = c;
  }
}

}  // namespace
