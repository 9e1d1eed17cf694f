#include "encoder/UnicodeClasses.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using kelp::typing::text::encoder::IsSpaceOrPunctuation;
using kelp::typing::text::encoder::IsSpaceOrPunctuationWord;
using kelp::typing::text::encoder::Rune;
using kelp::typing::text::encoder::RuneRange;
using kelp::typing::text::encoder::SpaceOrPunctuationRanges;
using kelp::typing::text::encoder::UNICODE_CLASSES_VERSION;

struct RuneCase {
  Rune rune;
  bool member;
  const char* why;
};

const RuneCase kRuneCases[] = {
    // White space as str.isspace() has it.
    {0x0020, true, "space"},
    {0x0009, true, "tab"},
    {0x000A, true, "line feed"},
    {0x000D, true, "carriage return"},
    {0x001C, true, "U+001C, bidirectional class B"},
    {0x001F, true, "U+001F, bidirectional class S"},
    {0x0085, true, "next line (Cc, bidirectional class B)"},
    {0x00A0, true, "no-break space"},
    {0x2028, true, "line separator (Zl)"},
    {0x2029, true, "paragraph separator (Zp)"},
    {0x3000, true, "ideographic space"},
    {0x0000, false, "NUL"},
    {0x007F, false, "delete"},
    {0x200B, false, "zero width space (Cf)"},
    {0x180E, false, "Mongolian vowel separator (Cf since Unicode 6.3)"},
    {0xFEFF, false, "byte order mark (Cf)"},
    {0x00AD, false, "soft hyphen (Cf)"},
    // Punctuation, category P.
    {0xFF0C, true, "fullwidth comma (Po)"},
    {0x3002, true, "ideographic full stop (Po)"},
    {0x3001, true, "ideographic comma (Po)"},
    {0x300A, true, "left double angle bracket (Ps)"},
    {0x300B, true, "right double angle bracket (Pe)"},
    {0x2014, true, "em dash (Pd)"},
    {0x2026, true, "horizontal ellipsis (Po)"},
    {0x2018, true, "left single quotation mark (Pi)"},
    {0x2019, true, "right single quotation mark (Pf)"},
    {0x00B7, true, "middle dot (Po)"},
    {0x005F, true, "low line (Pc)"},
    {0x0040, true, "@"},
    {0xFF01, true, "fullwidth exclamation mark"},
    {0x2E3A, true, "two-em dash (Pd)"},
    {0x1E95E, true, "Adlam initial exclamation mark: the table's last range"},
    // Symbols are not punctuation.
    {0x0024, false, "$ (Sc)"},
    {0x002B, false, "+ (Sm)"},
    {0x0060, false, "` (Sk)"},
    {0xFFE5, false, "fullwidth yen sign (Sc)"},
    {0xFF5E, false, "fullwidth tilde (Sm)"},
    {0x1F600, false, "grinning face (So)"},
    // Letters and digits.
    {0x4E2D, false, "中"},
    {0x4E00, false, "first CJK unified ideograph"},
    {0x9FFF, false, "last of the CJK Unified Ideographs block"},
    {0x20000, false, "CJK extension B"},
    {0x0061, false, "a"},
    {0x0031, false, "1"},
    {0xFF41, false, "fullwidth a"},
    // Runes the lenient decoder yields that are not characters.
    {0xD800, false, "a surrogate"},
    {0x10FFFF, false, "the last code point"},
    {0x110000, false, "above the last code point"},
    {0x1FFFFF, false, "the largest four-byte rune"},
    {0xFFFFFFFF, false, "the largest rune value"},
};

TEST(UnicodeClassesTest, Characters) {
  for (const RuneCase& c : kRuneCases) {
    EXPECT_EQ(IsSpaceOrPunctuation(c.rune), c.member) << c.why;
  }
}

TEST(UnicodeClassesTest, RangesAreSortedDisjointAndNotAdjacent) {
  const auto ranges = SpaceOrPunctuationRanges();
  ASSERT_GT(ranges.size, 100u);
  const RuneRange* previous = nullptr;
  for (const RuneRange& range : ranges) {
    EXPECT_LE(range.first, range.last);
    EXPECT_LE(range.last, 0x10FFFFu);
    if (previous != nullptr) {
      // A gap of at least one code point; touching ranges would be one.
      EXPECT_GT(range.first, previous->last + 1)
          << std::hex << previous->first << "-" << previous->last << " then " << range.first;
    }
    previous = &range;
  }
}

TEST(UnicodeClassesTest, FastPathsAgreeWithTheRanges) {
  // Every rune up to past the last code point, against a plain walk of the
  // ranges: the ASCII bit set, the CJK shortcut and the search must agree.
  const auto ranges = SpaceOrPunctuationRanges();
  const RuneRange* range = ranges.begin();
  for (Rune rune = 0; rune <= 0x110010; ++rune) {
    while (range != ranges.end() && range->last < rune) {
      ++range;
    }
    const bool in_table = range != ranges.end() && range->first <= rune;
    ASSERT_EQ(IsSpaceOrPunctuation(rune), in_table) << std::hex << "U+" << rune;
  }
}

TEST(UnicodeClassesTest, VersionIsRecorded) {
  const std::string version = UNICODE_CLASSES_VERSION;
  EXPECT_EQ(version.find_first_not_of("0123456789."), std::string::npos) << version;
  EXPECT_EQ(std::count(version.begin(), version.end(), '.'), 2) << version;
}

struct WordCase {
  std::string utf8;
  bool expected;
  const char* why;
};

const WordCase kWordCases[] = {
    {"", false, "empty"},
    {" ", true, "a space"},
    {"\t\r\n", true, "control white space"},
    {"\xE3\x80\x80", true, "ideographic space"},
    {"\xEF\xBC\x8C", true, "，"},
    {"\xE3\x80\x82\xE2\x80\xA6\xE2\x80\x94\xE2\x80\x94", true, "。…——"},
    {"\xE3\x80\x8A \xE3\x80\x8B", true, "《 》: space and punctuation mixed"},
    {"!?", true, "ASCII punctuation"},
    {std::string(40, '.') + "\xE3\x80\x81", true, "41 code points: beyond the inline buffer"},
    {std::string(40, '.') + "a", false, "a letter after 40 members"},
    {"a", false, "a letter"},
    {"\xE4\xB8\xAD", false, "中"},
    {"\xE4\xB8\xAD\xEF\xBC\x8C", false, "中，"},
    {"\xEF\xBC\x8C\xE4\xB8\xAD", false, "，中"},
    {", a", false, "a letter at the end"},
    {"$", false, "a symbol"},
    {"\xF0\x9F\x98\x80", false, "an emoji"},
    {"\xE2\x80\x8B", false, "zero width space"},
    {std::string("\0", 1), false, "NUL"},
    {"\xE3\x80", false, "a sequence cut short"},
    {"\xEF\xBC\x8C\xE3\x80", false, "，then a sequence cut short"},
    {"\xFF", false, "a byte that starts no sequence"},
    {"\xEF\xBC\x8C\xF8\x80\x80\x80\x80", false, "，then a five-byte lead"},
    // The decoder is strict: an overlong space is no space at all.
    {"\xC0\xA0", false, "the overlong form of a space"},
};

TEST(UnicodeClassesTest, Words) {
  for (const WordCase& c : kWordCases) {
    EXPECT_EQ(IsSpaceOrPunctuationWord(c.utf8), c.expected) << c.why;
  }
}

}  // namespace
