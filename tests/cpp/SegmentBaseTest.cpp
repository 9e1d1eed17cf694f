#include "tokenizer/jieba/SegmentBase.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tokenizer/jieba/PreFilter.hpp"
#include "tokenizer/jieba/RuneSet.hpp"

namespace jieba = kelp::typing::text::jieba;
namespace limonp = kelp::typing::text::limonp;
using jieba::Word;
using jieba::WordRange;
using Strings = std::vector<std::string>;

namespace {

// A segmenter whose rune-level cut keeps each run whole, so the output shows
// exactly the runs the driver handed out.
class RunSegment : public jieba::SegmentBase {
 public:
  void Cut(const jieba::RuneStr* begin, const jieba::RuneStr* end,
           std::vector<WordRange>& ranges) const {
    ranges.push_back(WordRange{begin, end - 1});
  }
  void Cut(std::string_view sentence, Strings& words) const override {
    CutToStrings(sentence, words, [this](auto b, auto e, auto& r) { Cut(b, e, r); });
  }
  void Cut(std::string_view sentence, std::vector<Word>& words) const {
    CutToWords(sentence, words, [this](auto b, auto e, auto& r) { Cut(b, e, r); });
  }

};

Strings Runs(const std::string& sentence) {
  RunSegment segment;
  Strings words = {"stale"};
  segment.Cut(sentence, words);
  return words;
}

const std::string kComma = "\xEF\xBC\x8C";   // fullwidth comma
const std::string kStop = "\xE3\x80\x82";    // ideographic full stop
const std::string kZhong = "\xE4\xB8\xAD";   // a CJK rune

TEST(SeparatorTest, DefaultSetIsTheFiveSeparatorRunes) {
  EXPECT_EQ(jieba::SPECIAL_SEPARATORS.size(), 9u);
  const struct {
    std::string sentence;
    Strings runs;
  } cases[] = {
      {"", {}},
      {"a b", {"a", " ", "b"}},
      {"ab" + kComma + kComma + "cd", {"ab", kComma, kComma, "cd"}},
      {" ab\t", {" ", "ab", "\t"}},
      {kStop, {kStop}},
      {"x\ny" + kStop + kZhong, {"x", "\n", "y", kStop, kZhong}},
      // Carriage return, ASCII comma and full stop, ideographic space: not separators.
      {"a\r,b.c\xE3\x80\x80" "d", {"a\r,b.c\xE3\x80\x80" "d"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Runs(c.sentence), c.runs) << "[" << c.sentence << "]";
  }
}

TEST(SeparatorTest, WordsCarryOffsetsIntoTheSentence) {
  RunSegment segment;
  std::vector<Word> words = {Word{"stale", 1, 1, 1}};
  segment.Cut(kZhong + "a" + kComma + "b", words);
  const std::vector<Word> expected = {
      {kZhong + "a", 0, 0, 2},
      {kComma, 4, 2, 1},
      {"b", 7, 3, 1},
  };
  EXPECT_EQ(words, expected);
}

TEST(SeparatorTest, InvalidUtf8LogsAndYieldsNoWords) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(Runs("ab\xE4"), Strings{});
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" csrc/tokenizer/jieba/PreFilter.hpp:"), std::string::npos) << log;
  EXPECT_NE(log.find(" ERROR decode failed. \n"), std::string::npos) << log;
}

TEST(ResetSeparatorsTest, ReplacesTheSet) {
  RunSegment segment;
  ASSERT_TRUE(segment.ResetSeparators("/"));
  Strings words;
  segment.Cut("a b/c", words);
  EXPECT_EQ(words, (Strings{"a b", "/", "c"}));

  ASSERT_TRUE(segment.ResetSeparators(""));
  segment.Cut("a b/c", words);
  EXPECT_EQ(words, (Strings{"a b/c"}));
}

TEST(ResetSeparatorsTest, RepeatedRuneLogsAndKeepsEarlierRunes) {
  RunSegment segment;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(segment.ResetSeparators("/" + kComma + "-" + kComma + "+"));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" csrc/tokenizer/jieba/SegmentBase.hpp:"), std::string::npos) << log;
  EXPECT_NE(log.find(" ERROR " + kComma + " already exists\n"), std::string::npos) << log;
  Strings words;
  segment.Cut("a/b" + kComma + "c-d+e", words);
  EXPECT_EQ(words, (Strings{"a", "/", "b", kComma, "c", "-", "d+e"}));
}

TEST(ResetSeparatorsTest, InvalidUtf8LogsAndEmptiesTheSet) {
  RunSegment segment;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(segment.ResetSeparators("/\xF8"));
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" ERROR decode /\xF8 failed\n"), std::string::npos) << log;
  Strings words;
  segment.Cut("a b", words);
  EXPECT_EQ(words, (Strings{"a b"}));
}

TEST(PreFilterTest, HandsOutRunsAndSeparatorsInOrder) {
  jieba::RuneSet separators;
  separators.Insert(' ');
  const std::string sentence = "  ab c ";
  jieba::PreFilter filter(separators, sentence);
  std::vector<std::pair<uint32_t, uint32_t>> runs;  // (first rune offset, rune count)
  while (filter.HasMore()) {
    const jieba::PreFilter::Range r = filter.NextRange();
    ASSERT_LT(r.begin, r.end);
    runs.emplace_back(r.begin->rune_offset, static_cast<uint32_t>(r.end - r.begin));
  }
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {0, 1}, {1, 1}, {2, 2}, {4, 1}, {5, 1}, {6, 1}};
  EXPECT_EQ(runs, expected);
}

TEST(PreFilterTest, RejectsTextsOf4GiBBeforeReadingThem) {
  EXPECT_NO_THROW(jieba::PreFilter::CheckTextLength(jieba::MAX_TEXT_BYTES));
  EXPECT_THROW(jieba::PreFilter::CheckTextLength(jieba::MAX_TEXT_BYTES + 1), std::length_error);

  // A sentence view over 4 GiB of address space that faults on any read:
  // the driver must refuse it by its length alone.
  const size_t len = size_t{1} << 32;
  void* region = mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (region == MAP_FAILED) {
    GTEST_SKIP() << "cannot reserve 4 GiB of address space";
  }
  const std::string_view huge(static_cast<const char*>(region), len);
  RunSegment segment;
  Strings words = {"kept"};
  try {
    segment.Cut(huge, words);
    ADD_FAILURE() << "no exception";
  } catch (const std::length_error& e) {
    EXPECT_NE(std::string(e.what()).find("4294967296 bytes is too long"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(words, Strings{"kept"});
  std::vector<Word> offsets;
  EXPECT_THROW(segment.Cut(huge, offsets), std::length_error);
  munmap(region, len);
}

TEST(RuneSetTest, InsertContainsAndGrowth) {
  // Runes in the bitmap (below U+10000), in the hashed part, and the one
  // value that marks a free hashed slot.
  jieba::RuneSet set;
  EXPECT_FALSE(set.Contains(0));
  EXPECT_FALSE(set.Contains(0x1F600));
  EXPECT_FALSE(set.Contains(UINT32_MAX));
  EXPECT_TRUE(set.Insert(UINT32_MAX));
  EXPECT_TRUE(set.Contains(UINT32_MAX));
  EXPECT_FALSE(set.Contains(0x1F600));
  EXPECT_FALSE(set.Insert(UINT32_MAX));
  const jieba::Rune bases[] = {0, 0xF000, 0x20000};
  for (jieba::Rune base : bases) {
    for (jieba::Rune r = 0; r < 3000; r += 3) {
      EXPECT_TRUE(set.Insert(base + r));
    }
    EXPECT_FALSE(set.Insert(base + 300));
  }
  EXPECT_EQ(set.size(), 3001u);
  for (jieba::Rune base : bases) {
    for (jieba::Rune r = 0; r < 3000; ++r) {
      EXPECT_EQ(set.Contains(base + r), r % 3 == 0) << base + r;
    }
  }
  EXPECT_FALSE(set.Contains(0x10000 + 0xF000));
  EXPECT_FALSE(set.Contains(0xFFFF));
  EXPECT_TRUE(set.Contains(UINT32_MAX));
  set.Clear();
  EXPECT_TRUE(set.empty());
  EXPECT_FALSE(set.Contains(0));
  EXPECT_FALSE(set.Contains(0x20000));
  EXPECT_FALSE(set.Contains(UINT32_MAX));
}

}  // namespace
