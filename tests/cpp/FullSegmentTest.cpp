#include "tokenizer/jieba/FullSegment.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SegmentFixture.hpp"

namespace jieba = kelp::typing::text::jieba;
using jieba::FullSegment;
using namespace razoduviva_test;

namespace {

class FullSegmentTest : public SegmentFixture {
 protected:
  Strings Cut(const std::string& sentence) const {
    const FullSegment segment(dict_.get());
    Strings words = {"stale"};
    segment.Cut(sentence, words);
    return words;
  }
};

TEST_F(FullSegmentTest, OverlappingWordsAndUncoveredRunes) {
  // AB, BE, ABE and the one-rune words A, B, E; F is unknown.
  Load(kA + kB + " 3 n\n" + kB + kE + " 3 n\n" + kA + kB + kE + " 2 n\n" + kA + " 5 n\n" + kB +
       " 5 n\n" + kE + " 5 n\n");
  EXPECT_EQ(Cut(kA + kB + kE + kF), (Strings{kA + kB, kA + kB + kE, kB + kE, kF}));
}

TEST_F(FullSegmentTest, TableOfCases) {
  Load(kA + kB + " 3 n\n" + kC + " 5 n\n" + kK + kX + kY + " 1 n\n");
  const struct {
    std::string sentence;
    Strings words;
  } cases[] = {
      // No rune known: every rune once, in order.
      {kD + kE + kF, {kD, kE, kF}},
      // AB and nothing else starting with these runes.
      {kA + kB + kX + kY, {kA + kB, kX, kY}},
      // A one-rune word where nothing longer starts and nothing covers it.
      {kC + kA + kB + kC, {kC, kA + kB, kC}},
      // K X Y covers X and Y.
      {kK + kX + kY + kD, {kK + kX + kY, kD}},
      // A prefix of a word is not a word.
      {kK + kX, {kK, kX}},
      {kA + kB + " " + kC, {kA + kB, " ", kC}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Cut(c.sentence), c.words) << c.sentence;
  }
}

TEST_F(FullSegmentTest, WordsCarryOffsets) {
  Load(kA + kB + " 3 n\n" + kB + kE + " 3 n\n");
  const FullSegment segment(dict_.get());
  std::vector<jieba::Word> words;
  segment.Cut("x" + kA + kB + kE, words);
  const std::vector<jieba::Word> expected = {
      {"x", 0, 0, 1}, {kA + kB, 1, 1, 2}, {kB + kE, 4, 2, 2}};
  EXPECT_EQ(words, expected);
}

}  // namespace

namespace {

TEST_F(FullSegmentTest, LongRunsListWhatOneWordGraphWould) {
  // Words over two runes, in a run of several graph blocks: the words that
  // cross a block boundary and the coverage mark carried over it.
  Load(kA + kB + " 3 n\n" + kB + kA + kB + " 2 n\n" + kA + kA + kA + kA + " 1 n\n" + kA + " 4 n\n");
  std::string sentence;
  unsigned seed = 9;
  for (size_t k = 0; k < 2 * FullSegment::kGraphBlock + 500; ++k) {
    seed = seed * 1103515245u + 12345u;
    sentence += (seed >> 16) % 3 == 0 ? kB : kA;
  }
  jieba::RuneStrVector runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(sentence, runes));
  // The rule, read straight over one graph of the whole run.
  std::vector<jieba::Dag> dags;
  dict_->Find(runes.begin(), runes.end(), dags);
  std::vector<std::pair<size_t, size_t>> expected;
  size_t covered = 0;
  for (size_t i = 0; i < dags.size(); ++i) {
    for (const jieba::DagEnd& end : dags[i].ends) {
      const size_t length = end.unit != nullptr ? end.unit->word.size() : 1;
      if (length >= 2 || (dags[i].ends.size() == 1 && covered <= i)) {
        expected.emplace_back(i, end.end_index);
      }
      if (end.unit != nullptr && i + length > covered) {
        covered = i + length;
      }
    }
  }
  std::vector<jieba::WordRange> got;
  FullSegment(dict_.get()).Cut(runes.begin(), runes.end(), got);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t k = 0; k < got.size(); ++k) {
    EXPECT_EQ(static_cast<size_t>(got[k].first - runes.begin()), expected[k].first) << k;
    EXPECT_EQ(static_cast<size_t>(got[k].last - runes.begin()), expected[k].second) << k;
  }
}

}  // namespace
