#include "json/JSONParser.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "json/JSON.hpp"

namespace {

using kelp::typing::text::json::JSON;
using kelp::typing::text::json::JSONParser;
using kelp::typing::text::json::Object;
using Kind = JSON::Kind;

// Parses `text`, capturing what the parser writes to standard error and
// the number of problems it counted.
JSON Parse(const std::string& text, std::string* errors = nullptr,
           std::size_t* error_count = nullptr) {
  testing::internal::CaptureStderr();
  JSON value;
  JSONParser parser(text);
  try {
    value = parser.Parse();
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
  std::string written = testing::internal::GetCapturedStderr();
  if (errors != nullptr) {
    *errors = written;
  }
  if (error_count != nullptr) {
    *error_count = parser.ErrorCount();
  }
  return value;
}

std::string Raw(const JSON& value) {
  bool ok = false;
  std::string bytes = value.AsRawString(ok);
  EXPECT_TRUE(ok) << "not a string: " << value.dump();
  return bytes;
}

TEST(JSONParserTest, ObjectWithSurroundingText) {
  std::string errors;
  JSON value = Parse("  { \"a\" : 1 } trailing [ junk", &errors);
  EXPECT_EQ(errors, "");
  bool ok = false;
  ASSERT_EQ(value.Members().size(), 1u);
  EXPECT_EQ(value.Members().at("a").AsInteger(ok), 1);
  EXPECT_TRUE(ok);
}

TEST(JSONParserTest, NumbersFollowedByAComma) {
  struct Case {
    const char* text;
    Kind kind;
    double value;
  } const cases[] = {
      {"0.750000,", Kind::Float, 0.75}, {"12,", Kind::Integer, 12},
      {"-7,", Kind::Integer, -7},       {"1.5e2,", Kind::Float, 150.0},
      {"1e2,", Kind::Float, 100.0},     {"1E+2,", Kind::Float, 100.0},
      {"150e-0,", Kind::Float, 150.0},  {"25e-1,", Kind::Float, 2.5},
      {"100 ", Kind::Integer, 100},     {"1-2,", Kind::Integer, 1},
      {"1.2.3,", Kind::Float, 1.2},     {"9223372036854775807 ", Kind::Integer, 9.223372036854775807e18},
  };
  for (const Case& c : cases) {
    std::string errors;
    JSON value = Parse(c.text, &errors);
    EXPECT_EQ(errors, "") << c.text;
    ASSERT_EQ(value.GetKind(), c.kind) << c.text;
    bool ok = false;
    const double got = c.kind == Kind::Float ? value.AsFloat(ok)
                                             : static_cast<double>(value.AsInteger(ok));
    EXPECT_DOUBLE_EQ(got, c.value) << c.text;
  }
  bool ok = false;
  EXPECT_EQ(Parse("9223372036854775807 ").AsInteger(ok), INT64_MAX);
  EXPECT_EQ(Parse("-9223372036854775808 ").AsInteger(ok), INT64_MIN);
}

TEST(JSONParserTest, NumberConversionFailuresThrow) {
  EXPECT_THROW(Parse("-,"), std::invalid_argument);
  EXPECT_THROW(Parse("99999999999999999999 "), std::out_of_range);
  EXPECT_THROW(Parse("1e,"), std::invalid_argument);
  EXPECT_THROW(Parse("1e+ "), std::invalid_argument);
  EXPECT_THROW(Parse("[-., 1]"), std::invalid_argument);
  // An exponent that takes the value past the largest double: infinity has
  // no text that would read back, so it is out of range too.
  EXPECT_THROW(Parse("1e400 "), std::out_of_range);
  EXPECT_THROW(Parse("[1E+22337] "), std::out_of_range);
  EXPECT_THROW(Parse("-2.5e309,"), std::out_of_range);
  bool ok = false;
  EXPECT_EQ(Parse("1e308 ").AsFloat(ok), 1e308);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Parse("0e400 ").AsFloat(ok), 0.0);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Parse("1e-400 ").AsFloat(ok), 0.0);
  EXPECT_TRUE(ok);
}

TEST(JSONParserTest, ErrorLinesAndSubstitutes) {
  const std::string nul("\0", 1);  // the end of the text reads as this byte
  struct Case {
    std::string text;
    std::string errors;
    std::string dump;  // of the result
  } const cases[] = {
      {"", "ERROR: Parse: Unknown starting character '" + nul + "'\n", "null"},
      {"123", "ERROR: Number: unexpected character '" + nul + "'\n", "null"},
      {"1e", "ERROR: Number: Expected a number for exponent, found '" + nul + "'\n", "null"},
      {"123 ", "", "123"},
      {"1e5x ", "ERROR: Number: Expected a number for exponent, found 'x'\n", "null"},
      {"[1, 2x, 3]", "ERROR: Number: unexpected character 'x'\n", "[1, null, 3]"},
      {"[1, tru, 3]",
       "ERROR: Bool: Expected 'true' or 'false', found 'tru, '\n"
       "ERROR: Array: Expected ',' or ']', found 't'\n",
       "[]"},
      {"[1,]", "ERROR: Parse: Unknown starting character ']'\n", "[1, null]"},
      {"[1 2]", "ERROR: Array: Expected ',' or ']', found '2'\n", "[]"},
      {"tru", "ERROR: Bool: Expected 'true' or 'false', found 'tru'\n", "null"},
      {"nul", "ERROR: Null: Expected 'null', found 'nul'\n", "null"},
      {"[true, false, null]", "", "[true, false, null]"},
      {"{\"a\": 1 \"b\": 2}", "ERROR: Object: Expected comma, found '\"'\n", "{\n  \"a\" : 1\n}"},
      {"{\"a\" 1}", "Error: Object: Expected colon, found '1'\n", "{\n\n}"},
      {"{1: 2}",
       "ERROR: Number: unexpected character ':'\n"
       "Error: Object: Expected colon, found '2'\n",
       "{\n\n}"},
      {"{1 : 2}", "", "{\n  \"\" : 2\n}"},
      {"{\"k\": 1, \"k\": 2}", "", "{\n  \"k\" : 2\n}"},
      {"[\"a\\x\"]", "", "[\"a\\\\\"]"},
  };
  for (const Case& c : cases) {
    std::string errors;
    std::size_t count = 0;
    JSON value = Parse(c.text, &errors, &count);
    EXPECT_EQ(errors, c.errors) << c.text;
    EXPECT_EQ(value.dump(), c.dump) << c.text;
    // One count per line written; a clean text counts none.
    EXPECT_EQ(count, static_cast<std::size_t>(std::count(errors.begin(), errors.end(), '\n')))
        << c.text;
  }
}

TEST(JSONParserTest, EscapesAreDecoded) {
  struct Case {
    const char* text;
    std::string bytes;
  } const cases[] = {
      {R"("a\"b\\c\/d\b\f\n\r\t")", "a\"b\\c/d\b\f\n\r\t"},
      {R"("a\u00e9b")", "a\xc3\xa9" "b"},
      {R"("\u0041\u4e2d")", "A\xe4\xb8\xad"},
      {R"("\u0000")", std::string("\0", 1)},
      {R"("\ud83d\ude00")", "\xf0\x9f\x98\x80"},
      {R"("\uD83D\uDE00!")", "\xf0\x9f\x98\x80!"},
      {"\"raw \x01\xe4\xb8\xad\"", "raw \x01\xe4\xb8\xad"},
  };
  for (const Case& c : cases) {
    std::string errors;
    JSON value = Parse(c.text, &errors);
    EXPECT_EQ(errors, "") << c.text;
    EXPECT_EQ(Raw(value), c.bytes) << c.text;
  }
}

TEST(JSONParserTest, BadUnicodeEscapesGiveAnEmptyString) {
  struct Case {
    const char* text;
    const char* errors;
  } const cases[] = {
      {R"("\u00g1")", "ERROR: String: Expected hex character in unicode escape, found 'g'\n"},
      {R"("\ud83d")", "ERROR: String: Unpaired surrogate in unicode escape, found '\\ud83d'\n"},
      {R"("\ud83dx")", "ERROR: String: Unpaired surrogate in unicode escape, found '\\ud83d'\n"},
      {R"("\ud83d\u0041")", "ERROR: String: Unpaired surrogate in unicode escape, found '\\ud83d'\n"},
      {R"("\ude00")", "ERROR: String: Unpaired surrogate in unicode escape, found '\\ude00'\n"},
      {R"("\ud83d\uzz00")", "ERROR: String: Expected hex character in unicode escape, found 'z'\n"},
  };
  for (const Case& c : cases) {
    std::string errors;
    JSON value = Parse(c.text, &errors);
    EXPECT_EQ(errors, c.errors) << c.text;
    EXPECT_EQ(Raw(value), "") << c.text;
  }
}

TEST(JSONParserTest, NeverReadsPastTheEnd) {
  const std::string null_byte("\0", 1);
  struct Case {
    std::string text;
    std::string errors;
  } const cases[] = {
      {"\"abc", "ERROR: String: Expected '\"' before the end of the text, found '" + null_byte + "'\n"},
      {"\"abc\\", "ERROR: String: Expected '\"' before the end of the text, found '" + null_byte + "'\n"},
      {"\"\\u12",
       "ERROR: String: Expected hex character in unicode escape, found '" + null_byte + "'\n"},
      {"1E", "ERROR: Number: Expected a number for exponent, found '" + null_byte + "'\n"},
      {"1e-", "ERROR: Number: Expected a number for exponent, found '" + null_byte + "'\n"},
      {"{\"a\"", "Error: Object: Expected colon, found '" + null_byte + "'\n"},
      {"fals", "ERROR: Bool: Expected 'true' or 'false', found 'fals'\n"},
  };
  for (const Case& c : cases) {
    // An exactly sized heap copy, so that a read past the end shows up
    // under AddressSanitizer or valgrind.
    std::unique_ptr<char[]> exact(new char[c.text.size()]);
    std::copy(c.text.begin(), c.text.end(), exact.get());
    std::string errors;
    testing::internal::CaptureStderr();
    JSON::Load(std::string_view(exact.get(), c.text.size()));
    errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, c.errors) << c.text;
  }
}

TEST(JSONParserTest, DeepNestingIsCappedAndParsesAsNull) {
  const int depth = JSON::MAX_PARSE_DEPTH;
  std::string ok_text = std::string(depth, '[') + std::string(depth, ']');
  std::string errors;
  JSON value = Parse(ok_text, &errors);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(value.GetKind(), Kind::Array);

  for (const std::string& text : {std::string(depth + 1, '[') + std::string(depth + 1, ']'),
                                  std::string(1000000, '['),
                                  "{\"a\": " + std::string(100000, '{')}) {
    value = Parse(text, &errors);
    EXPECT_EQ(value.GetKind(), Kind::Null);
    EXPECT_EQ(errors.find("ERROR: Parse: Nesting deeper than 256 levels, found '"), 0u) << errors;
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << "one line expected";
  }
}

TEST(JSONParserTest, WriteParseWriteIsStable) {
  JSON value;
  value["plain"] = 1;
  value[std::string("q\"b\\s\n\x01\xe4\xb8\xad\x7f", 10)] = -2;
  value[std::string("\0nul", 4)] = 2.5;
  value["nested"]["list"][2] = "x\ty";
  value["nested"]["t"] = true;
  value[""] = Object();
  const std::string first = value.dump();
  std::string errors;
  JSON parsed = Parse(first, &errors);
  EXPECT_EQ(errors, "");
  EXPECT_EQ(parsed.dump(), first);
  EXPECT_EQ(parsed.Members().size(), value.Members().size());
  for (const auto& [key, member] : value.Members()) {
    EXPECT_EQ(parsed.Members().count(key), 1u) << key;
  }
}

// Random byte soup, mostly made of JSON's own characters: the parser must
// end every text with a value or one of the conversion exceptions.
TEST(JSONParserTest, HostileTextsEndInAValueOrAConversionError) {
  const char alphabet[] = "[]{}\":,\\u0123456789abcdefE.-+tnrl \x01\xff";
  std::mt19937 random(12345);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof(alphabet) - 2);
  std::uniform_int_distribution<std::size_t> length(0, 64);
  testing::internal::CaptureStderr();
  for (int round = 0; round < 20000; ++round) {
    std::string text(length(random), ' ');
    for (char& c : text) {
      c = alphabet[pick(random)];
    }
    try {
      JSON value = JSON::Load(text);
      (void)value.dump();
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
  }
  testing::internal::GetCapturedStderr();
}

}  // namespace
