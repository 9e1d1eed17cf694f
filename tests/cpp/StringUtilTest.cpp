#include "tokenizer/limonp/StringUtil.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <string>
#include <vector>

#include "TestFiles.hpp"

namespace limonp = kelp::typing::text::limonp;

namespace {

using Pieces = std::vector<std::string>;

struct SplitCase {
  std::string src;
  std::string pattern;
  size_t maxsplit;
  Pieces pieces;
};

constexpr size_t kNoLimit = std::string::npos;

const SplitCase kSplitCases[] = {
    {"a b", " ", kNoLimit, {"a", "b"}},
    {"a  b", " ", kNoLimit, {"a", "", "b"}},
    {"a b ", " ", kNoLimit, {"a", "b"}},
    {" a", " ", kNoLimit, {"", "a"}},
    {"", " ", kNoLimit, {}},
    {"abc", " ", kNoLimit, {"abc"}},
    {"a b c", " ", 1, {"a", "b c"}},
    {"a b c", " ", 0, {"a b c"}},
    {" ", " ", kNoLimit, {""}},
    {"a,b:c", ",:", kNoLimit, {"a", "b", "c"}},
    {"a,b", "", kNoLimit, {"a,b"}},
    {"x|;y", "|;", kNoLimit, {"x", "", "y"}},
};

TEST(SplitTest, TableOfSourcesPatternsAndLimits) {
  for (const SplitCase& c : kSplitCases) {
    Pieces res = {"stale"};
    limonp::Split(c.src, res, c.pattern, c.maxsplit);
    EXPECT_EQ(res, c.pieces) << "src [" << c.src << "] pattern [" << c.pattern << "]";

    std::vector<std::string_view> views = {"stale"};
    limonp::SplitViews(c.src, views, c.pattern, c.maxsplit);
    EXPECT_EQ(Pieces(views.begin(), views.end()), c.pieces) << "views of [" << c.src << "]";
  }
}

TEST(SplitTest, MultiByteTextSplitsOnlyAtPatternBytes) {
  Pieces res;
  limonp::Split("\xE4\xB8\xAD 1 n\r", res, " ");
  EXPECT_EQ(res, (Pieces{"\xE4\xB8\xAD", "1", "n\r"}));
}

TEST(TrimSpacesTest, RemovesAsciiWhiteSpaceOnly) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"\t x y \r\n", "x y"},
      {"   ", ""},
      {"", ""},
      {"\v\fa\v\f", "a"},
      {"\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0"},
      {" \xE3\x80\x80x ", "\xE3\x80\x80x"},
  };
  for (const auto& c : cases) {
    std::string s = c.in;
    std::string& returned = limonp::TrimSpaces(s);
    EXPECT_EQ(s, c.out);
    EXPECT_EQ(&returned, &s);
  }
}

TEST(TrimSpacesTest, IgnoresTheProcessLocale) {
  // In some locales isspace() says yes to bytes like 0xA0 or 0x85.
  const std::string previous = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "C.UTF-8");
  std::string s = "\x85x\xA0";
  limonp::TrimSpaces(s);
  EXPECT_EQ(s, "\x85x\xA0");
  std::setlocale(LC_ALL, previous.c_str());
}

TEST(HasPrefixTest, ComparesLeadingBytes) {
  EXPECT_TRUE(limonp::HasPrefix("#comment", "#"));
  EXPECT_TRUE(limonp::HasPrefix("abc", ""));
  EXPECT_TRUE(limonp::HasPrefix("abc", "abc"));
  EXPECT_FALSE(limonp::HasPrefix(" #x", "#"));
  EXPECT_FALSE(limonp::HasPrefix("ab", "abc"));
  EXPECT_FALSE(limonp::HasPrefix("", "#"));
}

TEST(StringToNumberTest, ReadsLikeAtofAndAtoiInTheCLocale) {
  const struct {
    std::string text;
    double value;
  } doubles[] = {
      {"3", 3.0},        {" \t-2.5", -2.5}, {"1e3x", 1000.0}, {"abc", 0.0},
      {"", 0.0},         {"+7", 7.0},       {".5", 0.5},      {"12\r", 12.0},
      {"0x10", 16.0},    {"5 6", 5.0},
  };
  for (const auto& c : doubles) {
    EXPECT_DOUBLE_EQ(limonp::StringToDouble(c.text), c.value) << c.text;
  }
  // The view ends where its piece ends, even inside a longer line.
  const std::string line = "word 12 n";
  EXPECT_DOUBLE_EQ(limonp::StringToDouble(std::string_view(line).substr(5, 1)), 1.0);
  // Long texts take the slow path and read the same.
  EXPECT_DOUBLE_EQ(limonp::StringToDouble(std::string(100, ' ') + "4.25"), 4.25);

  const struct {
    std::string text;
    long long value;
  } integers[] = {
      {"42", 42},   {" -7", -7},  {"3.9", 3},  {"x1", 0},
      {"", 0},      {"+8", 8},    {"99999999999999999999999", LLONG_MAX},
  };
  for (const auto& c : integers) {
    EXPECT_EQ(limonp::StringToInteger(c.text), c.value) << c.text;
  }
}

// Switches LC_NUMERIC to a locale whose decimal separator is a comma: an
// installed one, or one compiled with localedef into a scratch folder.
// Returns false when neither is possible.
bool UseDecimalCommaLocale(const std::string& scratch) {
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE.utf8", "fr_FR.utf8"}) {
    if (std::setlocale(LC_NUMERIC, name) != nullptr) {
      return true;
    }
  }
  const std::string command = "localedef -i de_DE -f UTF-8 " + scratch + "/de_DE.UTF-8 >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    return false;
  }
  setenv("LOCPATH", scratch.c_str(), 1);
  return std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
}

TEST(StringToNumberTest, DecimalPointDoesNotFollowTheProcessLocale) {
  const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
  razoduviva_test::ScratchDir scratch;
  if (!UseDecimalCommaLocale(scratch.Path(""))) {
    GTEST_SKIP() << "no locale with a decimal comma available";
  }
  // The process locale now reads "0.5" as 0 ...
  EXPECT_EQ(std::atof("0.5"), 0.0);
  // ... and the data-file reader still reads 0.5.
  EXPECT_DOUBLE_EQ(limonp::StringToDouble("0.5"), 0.5);
  EXPECT_DOUBLE_EQ(limonp::StringToDouble("-3.25e1"), -32.5);
  std::setlocale(LC_NUMERIC, previous.c_str());
  unsetenv("LOCPATH");
}

}  // namespace
