#include "tokenizer/jieba/Unicode.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

namespace jieba = kelp::typing::text::jieba;
using jieba::RuneStr;
using jieba::RuneStrVector;
using jieba::RuneVector;

namespace {

std::vector<RuneStr> Records(const RuneStrVector& runes) {
  return std::vector<RuneStr>(runes.begin(), runes.end());
}

std::string Describe(const std::vector<RuneStr>& records) {
  std::string out;
  for (const RuneStr& r : records) {
    out += "(" + std::to_string(r.rune) + "," + std::to_string(r.byte_offset) + "," +
           std::to_string(r.byte_length) + "," + std::to_string(r.rune_offset) + "," +
           std::to_string(r.rune_length) + ")";
  }
  return out;
}

struct DecodeCase {
  const char* name;
  std::string bytes;
  std::vector<RuneStr> records;  // (rune, byte_offset, byte_length, rune_offset, rune_length)
};

const DecodeCase kDecodeCases[] = {
    {"ascii", "abc", {{0x61, 0, 1, 0, 1}, {0x62, 1, 1, 1, 1}, {0x63, 2, 1, 2, 1}}},
    {"two CJK", "\xE4\xB8\xAD\xE6\x96\x87", {{0x4E2D, 0, 3, 0, 1}, {0x6587, 3, 3, 1, 1}}},
    {"mixed", "a\xE4\xB8\xAD", {{0x61, 0, 1, 0, 1}, {0x4E2D, 1, 3, 1, 1}}},
    {"four bytes", "\xF0\x9F\x98\x80", {{0x1F600, 0, 4, 0, 1}}},
    {"two bytes", "\xC3\xA9!", {{0xE9, 0, 2, 0, 1}, {0x21, 2, 1, 1, 1}}},
    // The edges of strict UTF-8 that still decode.
    {"last before surrogates", "\xED\x9F\xBF", {{0xD7FF, 0, 3, 0, 1}}},
    {"first after surrogates", "\xEE\x80\x80", {{0xE000, 0, 3, 0, 1}}},
    {"last code point", "\xF4\x8F\xBF\xBF", {{0x10FFFF, 0, 4, 0, 1}}},
    {"shortest three bytes", "\xE0\xA0\x80", {{0x800, 0, 3, 0, 1}}},
    {"NUL byte", std::string("a\0b", 3), {{0x61, 0, 1, 0, 1}, {0, 1, 1, 1, 1}, {0x62, 2, 1, 2, 1}}},
};

TEST(DecodeTest, TableOfTexts) {
  for (const DecodeCase& c : kDecodeCases) {
    RuneStrVector runes;
    runes.push_back(RuneStr{9, 9, 9, 9, 9});  // stale content must go
    ASSERT_TRUE(jieba::DecodeRunesInString(c.bytes.data(), c.bytes.size(), runes)) << c.name;
    EXPECT_EQ(Records(runes), c.records) << c.name << ": " << Describe(Records(runes));

    RuneVector plain;
    ASSERT_TRUE(jieba::DecodeRunesInString(c.bytes, plain)) << c.name;
    ASSERT_EQ(plain.size(), c.records.size()) << c.name;
    for (size_t i = 0; i < plain.size(); ++i) {
      EXPECT_EQ(plain[i], c.records[i].rune) << c.name << " at " << i;
    }
  }
}

TEST(DecodeTest, FailuresLeaveTheOutputEmpty) {
  const std::string failing[] = {
      "a\xE4\xB8",             // cut off by the end of the text
      "\xE4",                  // lone lead byte
      "abc\xF0\x9F\x98",       // four-byte sequence cut off
      "\xDF",                  // two-byte lead at the very end
      "a\xF8\x80\x80\x80\x80", // leads F8..FF never decode
      "\xFF",
      "\xFE\x80\x80\x80",
      // Not strict UTF-8, which the words of a cut must be.
      "\x80\x41",                       // continuation byte as lead
      std::string("\xC0\x80", 2),        // overlong zero
      "\xC1\xBF",                       // overlong two bytes
      "\xE0\x9F\xBF",                   // overlong three bytes
      "\xF0\x8F\xBF\xBF",               // overlong four bytes
      "\xED\xA0\x80",                   // encoded surrogate U+D800
      "\xED\xBF\xBF",                   // encoded surrogate U+DFFF
      "\xF4\x90\x80\x80",               // above U+10FFFF
      "\xF7\xBF\xBF\xBF",
      "\xE4\x41\xAD",                   // a lead byte without its continuation
      "\xC3(",
      "\xa1" "abc",
  };
  for (const std::string& bytes : failing) {
    RuneStrVector runes;
    runes.push_back(RuneStr{1, 0, 1, 0, 1});
    EXPECT_FALSE(jieba::DecodeRunesInString(bytes.data(), bytes.size(), runes));
    EXPECT_TRUE(runes.empty());
    RuneVector plain;
    plain.push_back(7);
    EXPECT_FALSE(jieba::DecodeRunesInString(bytes, plain));
    EXPECT_TRUE(plain.empty());
  }
  for (int lead = 0xF8; lead <= 0xFF; ++lead) {
    const std::string bytes = std::string("ab") + static_cast<char>(lead) + "\x80\x80\x80\x80";
    RuneStrVector runes;
    EXPECT_FALSE(jieba::DecodeRunesInString(bytes.data(), bytes.size(), runes)) << lead;
  }
}

TEST(DecodeTest, ValidityAgreesWithTheDecoder) {
  const std::string texts[] = {"", "plain ascii text, long enough for the word steps",
                               "\xE4\xB8\xAD\xE6\x96\x87 and ascii", "abcdefgh\xED\xA0\x80",
                               "abcdefghijklmnop\xE4\xB8", "\xF0\x9F\x98\x80"};
  for (const std::string& text : texts) {
    RuneStrVector runes;
    EXPECT_EQ(jieba::IsValidUtf8(text), jieba::DecodeRunesInString(text, runes)) << text;
  }
}

TEST(DecodeTest, LongFailureReleasesItsReservation) {
  const std::string bytes = std::string(100, 'a') + "\xE4";
  RuneStrVector runes;
  EXPECT_FALSE(jieba::DecodeRunesInString(bytes.data(), bytes.size(), runes));
  EXPECT_TRUE(runes.empty());
  EXPECT_TRUE(runes.is_inline());
}

TEST(DecodeTest, EmptyTextAndNullPointer) {
  RuneStrVector runes;
  EXPECT_TRUE(jieba::DecodeRunesInString(nullptr, 0, runes));
  EXPECT_TRUE(runes.empty());
  EXPECT_FALSE(jieba::DecodeRunesInString(nullptr, 3, runes));
  EXPECT_TRUE(runes.empty());
  RuneVector plain;
  EXPECT_TRUE(jieba::DecodeRunesInString(nullptr, 0, plain));
  EXPECT_FALSE(jieba::DecodeRunesInString(nullptr, 1, plain));
}

TEST(DecodeTest, ReservesHalfTheByteLengthFrom34Bytes) {
  // 13 CJK runes and one letter: 40 bytes, 14 runes, 20 reserved up front.
  std::string cjk;
  for (int i = 0; i < 13; ++i) {
    cjk += "\xE4\xB8\xAD";
  }
  cjk += "a";
  RuneStrVector runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(cjk.data(), cjk.size(), runes));
  EXPECT_EQ(runes.size(), 14u);
  EXPECT_EQ(runes.capacity(), 20u);

  // 33 ASCII bytes start inline and grow 16 -> 32 -> 64.
  const std::string ascii(33, 'x');
  ASSERT_TRUE(jieba::DecodeRunesInString(ascii.data(), ascii.size(), runes));
  EXPECT_EQ(runes.size(), 33u);
  EXPECT_EQ(runes.capacity(), 64u);

  // 16 runes stay inline.
  const std::string sixteen(16, 'y');
  ASSERT_TRUE(jieba::DecodeRunesInString(sixteen.data(), sixteen.size(), runes));
  EXPECT_TRUE(runes.is_inline());
}

TEST(DecodeTest, NeverReadsPastTheGivenLength) {
  // The text sits at the very end of a readable page, followed by a page
  // that faults on any access.
  const long page = 4096;
  char* region = static_cast<char*>(
      mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(region, MAP_FAILED);
  ASSERT_EQ(mprotect(region + page, page, PROT_NONE), 0);
  const std::string tails[] = {"\xE4\xB8", "\xF0\x9F\x98", "\xDF", "ab"};
  for (const std::string& tail : tails) {
    char* start = region + page - tail.size();
    tail.copy(start, tail.size());
    RuneStrVector runes;
    jieba::DecodeRunesInString(start, tail.size(), runes);
  }
  munmap(region, 2 * page);
}

TEST(DecodeTest, RefusesTextsOf4GiBWithoutReadingThem) {
  // Address space only: no page of it can be read, so a decoder that got
  // past the length test would crash here.
  const size_t len = size_t{1} << 32;
  void* region = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) {
    GTEST_SKIP() << "cannot reserve 4 GiB of address space";
  }
  const char* text = static_cast<const char*>(region);
  RuneStrVector runes;
  EXPECT_FALSE(jieba::DecodeRunesInString(text, len, runes));
  EXPECT_TRUE(runes.empty());
  RuneVector plain;
  EXPECT_FALSE(jieba::DecodeRunesInString(text, len, plain));
  munmap(region, len);
}

TEST(WordsTest, RangeBecomesTextAndOffsets) {
  const std::string text = "a\xE4\xB8\xAD\xE6\x96\x87" "b";
  RuneStrVector runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(text, runes));
  const std::vector<jieba::WordRange> ranges = {
      {&runes[1], &runes[2]}, {&runes[0], &runes[0]}, {&runes[3], &runes[3]}};
  EXPECT_EQ(ranges[0].Length(), 2u);

  std::vector<jieba::Word> words = {jieba::Word{"kept", 5, 6, 7}};
  jieba::GetWordsFromWordRanges(text, ranges, words);
  const std::vector<jieba::Word> expected = {
      {"kept", 5, 6, 7},
      {"\xE4\xB8\xAD\xE6\x96\x87", 1, 1, 2},
      {"a", 0, 0, 1},
      {"b", 7, 3, 1},
  };
  EXPECT_EQ(words, expected);

  std::vector<std::string> strings = {"x", "y", "z", "too many"};
  jieba::GetStringsFromWordRanges(text, ranges, strings);
  EXPECT_EQ(strings, (std::vector<std::string>{"\xE4\xB8\xAD\xE6\x96\x87", "a", "b"}));
}

}  // namespace
