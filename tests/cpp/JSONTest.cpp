#include "json/JSON.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

namespace {

using kelp::typing::text::json::Array;
using kelp::typing::text::json::JSON;
using kelp::typing::text::json::json_escape;
using kelp::typing::text::json::Object;

static_assert(std::is_nothrow_move_constructible_v<JSON>);
static_assert(std::is_nothrow_move_assignable_v<JSON>);
static_assert(static_cast<std::int32_t>(JSON::Kind::Boolean) == 6);

std::string Stream(const JSON& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

TEST(JSONWriterTest, Scalars) {
  struct Case {
    JSON value;
    const char* text;
  };
  Case cases[5];
  cases[1].value = true;
  cases[2].value = false;
  cases[3].value = -5;
  cases[4].value = -0.5;
  const char* texts[] = {"null", "true", "false", "-5", "-0.500000"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(cases[i].value.dump(), texts[i]);
  }
}

TEST(JSONWriterTest, FloatsInFixedNotationWithSixDecimals) {
  struct Case {
    double value;
    const char* text;
  } const cases[] = {
      {0.75, "0.750000"},   {1.2, "1.200000"}, {3, "3.000000"},
      {1e20, "100000000000000000000.000000"},  {1e-7, "0.000000"},
      {2.0 / 3.0, "0.666667"}, {-0.0, "-0.000000"},
  };
  for (const Case& c : cases) {
    JSON value;
    value = c.value;
    EXPECT_EQ(value.dump(), c.text) << c.value;
  }
}

TEST(JSONWriterTest, FloatsIgnoreTheProcessLocale) {
  // A locale with a decimal comma, where the C library has one installed.
  const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"};
  const char* chosen = nullptr;
  for (const char* name : names) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) {
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  JSON value;
  value = 0.75;
  const std::string text = value.dump();
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(text, "0.750000");
}

TEST(JSONWriterTest, StringsEscapeQuoteBackslashAndFiveControlBytes) {
  JSON value;
  value = std::string("a\"\\\n\x01\xe4\xb8\xad/\b\f\r\t\x7f");
  EXPECT_EQ(value.dump(), std::string("\"a\\\"\\\\\\n\x01\xe4\xb8\xad/\\b\\f\\r\\t\x7f\""));
  EXPECT_EQ(json_escape(std::string("\0x", 2)), std::string("\0x", 2));
}

TEST(JSONWriterTest, ObjectGolden) {
  JSON value;
  value["a"] = 0.75;
  value["b"] = 2;
  value["c"]["y"] = 2;
  value["c"]["x"] = 1;
  value["d"] = 1.2;
  EXPECT_EQ(Stream(value),
            "{\n"
            "  \"a\" : 0.750000,\n"
            "  \"b\" : 2,\n"
            "  \"c\" : {\n"
            "    \"x\" : 1,\n"
            "    \"y\" : 2\n"
            "  },\n"
            "  \"d\" : 1.200000\n"
            "}");
}

TEST(JSONWriterTest, KeysAreEscapedLikeStrings) {
  JSON value;
  value[std::string("q\"b\\n\nc\x01", 8)] = 1;
  EXPECT_EQ(Stream(value), std::string("{\n  \"q\\\"b\\\\n\\nc\x01\" : 1\n}"));
}

TEST(JSONWriterTest, EmptyContainersAndArrays) {
  EXPECT_EQ(Array().dump(), "[]");
  EXPECT_EQ(Stream(Object()), "{\n\n}");
  JSON outer;
  outer["e"] = Object();
  EXPECT_EQ(Stream(outer), "{\n  \"e\" : {\n\n  }\n}");
  JSON array;
  array[0] = 1;
  array[1] = 2;
  array[2] = "x";
  EXPECT_EQ(array.dump(), "[1, 2, \"x\"]");
  JSON nested;
  nested[0]["k"] = 1;
  EXPECT_EQ(nested.dump(1, "  "), "[{\n    \"k\" : 1\n  }]");
}

TEST(JSONWriterTest, TabOfFourBlanks) {
  JSON value;
  value["k"] = 1;
  EXPECT_EQ(value.dump(1, "    "), "{\n    \"k\" : 1\n  }");
  EXPECT_EQ(value.dump(0, "  "), "{\n\"k\" : 1\n}");
  EXPECT_EQ(value.dump(1, "\t"), "{\n\t\"k\" : 1\n}");
}

TEST(JSONValueTest, SubscriptChangesKind) {
  JSON value;
  value = 7;
  JSON& member = value["k"];
  EXPECT_EQ(member.GetKind(), JSON::Kind::Null);
  EXPECT_EQ(value.GetKind(), JSON::Kind::Object);
  EXPECT_EQ(value.Members().size(), 1u);

  JSON array;
  array = "text";
  array[3] = true;
  EXPECT_EQ(array.GetKind(), JSON::Kind::Array);
  ASSERT_EQ(array.Elements().size(), 4u);
  EXPECT_EQ(array.Elements()[0].GetKind(), JSON::Kind::Null);
  EXPECT_EQ(array.dump(), "[null, null, null, true]");
}

TEST(JSONValueTest, AccessorsDoNotConvertBetweenKinds) {
  bool ok = true;
  JSON integer;
  integer = 3;
  EXPECT_EQ(integer.AsFloat(ok), 0.0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(integer.AsInteger(ok), 3);
  EXPECT_TRUE(ok);

  JSON floating;
  floating = 3.0;
  EXPECT_EQ(floating.AsInteger(ok), 0);
  EXPECT_FALSE(ok);
  EXPECT_EQ(floating.AsFloat(ok), 3.0);
  EXPECT_TRUE(ok);

  JSON text;
  text = "a\"b";
  EXPECT_EQ(text.AsString(ok), "a\\\"b");
  EXPECT_TRUE(ok);
  EXPECT_EQ(text.AsRawString(ok), "a\"b");
  EXPECT_EQ(floating.AsString(ok), "");
  EXPECT_FALSE(ok);

  EXPECT_TRUE(text.Members().empty());
  JSON array = Array();
  EXPECT_TRUE(array.Members().empty());
}

TEST(JSONValueTest, IntegersAreSignExtended) {
  JSON value;
  value["m"] = static_cast<std::int32_t>(-1);
  bool ok = false;
  EXPECT_EQ(value["m"].AsInteger(ok), -1);
  EXPECT_EQ(Stream(value), "{\n  \"m\" : -1\n}");
  value["m"] = static_cast<std::uint8_t>(200);
  EXPECT_EQ(value["m"].AsInteger(ok), 200);
}

TEST(JSONValueTest, CopiesAreDeepAndMovesEmptyTheSource) {
  JSON original;
  original["a"]["b"] = 1;
  JSON copy(original);
  copy["a"]["b"] = 2;
  bool ok = false;
  EXPECT_EQ(original["a"]["b"].AsInteger(ok), 1);

  JSON moved(std::move(copy));
  EXPECT_EQ(copy.GetKind(), JSON::Kind::Null);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(moved["a"]["b"].AsInteger(ok), 2);

  // Self-assignment, and assignment from a value owned by the target.
  JSON& self = moved;
  moved = self;
  EXPECT_EQ(moved["a"]["b"].AsInteger(ok), 2);
  moved = moved["a"];
  EXPECT_EQ(moved["b"].AsInteger(ok), 2);
  moved = std::move(moved["b"]);
  EXPECT_EQ(moved.AsInteger(ok), 2);
}

}  // namespace
