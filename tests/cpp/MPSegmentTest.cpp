#include "tokenizer/jieba/MPSegment.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TestFiles.hpp"

namespace jieba = kelp::typing::text::jieba;
using jieba::DictTrie;
using jieba::MPSegment;
using jieba::Word;
using jieba::WordRange;
using Strings = std::vector<std::string>;

namespace {

class MPSegmentTest : public testing::Test {
 protected:
  // A, B, X, D and so on stand for single runes.
  std::unique_ptr<DictTrie> Dict(const std::string& content) {
    return std::make_unique<DictTrie>(dir_.Write("dict.txt", content));
  }

  static Strings Cut(const MPSegment& segment, const std::string& sentence,
                     size_t max_word_len = jieba::MAX_WORD_RUNES) {
    Strings words = {"stale"};
    segment.Cut(sentence, words, max_word_len);
    return words;
  }

  razoduviva_test::ScratchDir dir_;
};

// Total 100: A and B weigh ln 0.1, AB ln 0.05, D ln 0.75; the minimum is ln 0.05.
const char kWorkedExample[] = "A 10 a\nB 10 b\nAB 5 ab\nD 75 d\n";

TEST_F(MPSegmentTest, WorkedExample) {
  const auto dict = Dict(kWorkedExample);
  const MPSegment segment(dict.get());
  EXPECT_DOUBLE_EQ(dict->MinWeight(), std::log(0.05));

  const jieba::RuneStrVector runes = [] {
    jieba::RuneStrVector r;
    jieba::DecodeRunesInString(std::string("ABX"), r);
    return r;
  }();
  std::vector<jieba::Dag> dags;
  dict->Find(runes.begin(), runes.end(), dags);
  std::vector<WordRange> ranges;
  segment.Cut(runes.begin(), runes.end(), ranges);
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0].first, runes.begin());
  EXPECT_EQ(ranges[0].last, runes.begin() + 1);
  EXPECT_EQ(ranges[1].first, runes.begin() + 2);
  EXPECT_EQ(ranges[1].last, runes.begin() + 2);

  EXPECT_EQ(Cut(segment, "ABX"), (Strings{"AB", "X"}));
  std::vector<Word> words;
  segment.Cut("ABX", words);
  EXPECT_EQ(words, (std::vector<Word>{{"AB", 0, 0, 2}, {"X", 2, 2, 1}}));
}

TEST_F(MPSegmentTest, ScoresOfTheWorkedExample) {
  // The scoring itself, position by position, through CutByDag's input.
  const auto dict = Dict(kWorkedExample);
  jieba::RuneStrVector runes;
  jieba::DecodeRunesInString(std::string("ABX"), runes);
  std::vector<jieba::Dag> dags;
  dict->Find(runes.begin(), runes.end(), dags);
  ASSERT_EQ(dags.size(), 3u);
  // Score by hand, as the segmenter does, and compare the chosen path.
  const double x = std::log(0.05);
  const double b = x + std::log(0.1);
  const double via_a = b + std::log(0.1);
  const double via_ab = x + std::log(0.05);
  EXPECT_NEAR(x, -2.9957, 1e-4);
  EXPECT_NEAR(b, -5.2983, 1e-4);
  EXPECT_NEAR(via_a, -7.6009, 1e-4);
  EXPECT_NEAR(via_ab, -5.9915, 1e-4);
  const MPSegment segment(dict.get());
  EXPECT_EQ(Cut(segment, "ABX"), (Strings{"AB", "X"}));
}

TEST_F(MPSegmentTest, TieGoesToTheSingleRune) {
  // Total 16: A and B weigh ln 1/4, AB ln 1/16 = ln 1/4 + ln 1/4.
  const auto dict = Dict("A 4 a\nB 4 b\nAB 1 ab\nD 7 d\n");
  ASSERT_EQ(std::log(0.25) + std::log(0.25), std::log(1.0 / 16));
  const MPSegment segment(dict.get());
  EXPECT_EQ(Cut(segment, "AB"), (Strings{"A", "B"}));
}

TEST_F(MPSegmentTest, NotANumberScoreNeverWins) {
  // A negative frequency: AB weighs NaN and loses to A, B.
  const auto dict = Dict("A 4 a\nB 4 b\nAB -1 ab\nD 9 d\n");
  const MPSegment segment(dict.get());
  EXPECT_EQ(Cut(segment, "AB"), (Strings{"A", "B"}));
}

TEST_F(MPSegmentTest, SentencesAndSeparators) {
  const auto dict = Dict(kWorkedExample);
  const MPSegment segment(dict.get());
  const struct {
    std::string sentence;
    Strings words;
  } cases[] = {
      {"", {}},
      {"XYZ", {"X", "Y", "Z"}},
      {"\xE4\xB8\xAD\xE6\x96\x87", {"\xE4\xB8\xAD", "\xE6\x96\x87"}},
      {"A B", {"A", " ", "B"}},
      {"AB\xEF\xBC\x8C" "AB", {"AB", "\xEF\xBC\x8C", "AB"}},
      {"XAB\t\tD", {"X", "AB", "\t", "\t", "D"}},
      {"ABAB\r", {"AB", "AB", "\r"}},
      {"ab\xE4", {}},  // invalid UTF-8
  };
  testing::internal::CaptureStderr();
  for (const auto& c : cases) {
    EXPECT_EQ(Cut(segment, c.sentence), c.words) << c.sentence;
  }
  testing::internal::GetCapturedStderr();
}

TEST_F(MPSegmentTest, MaxWordLenOneCutsEveryRune) {
  const auto dict = Dict(kWorkedExample);
  const MPSegment segment(dict.get());
  EXPECT_EQ(Cut(segment, "ABAB", 1), (Strings{"A", "B", "A", "B"}));
  EXPECT_EQ(Cut(segment, "ABAB", 2), (Strings{"AB", "AB"}));
}

TEST_F(MPSegmentTest, LongWordsAndMaxWordLen) {
  // A 20-rune word, longer than a graph record's inline room of ends.
  std::string lines;
  std::string word;
  for (int i = 0; i < 20; ++i) {
    word += "\xE4\xB8\xAD";
    lines += word + " 1 n\n";
  }
  const auto dict = Dict(lines + "A 1000 a\n");
  const MPSegment segment(dict.get());
  EXPECT_EQ(Cut(segment, word + "A"), (Strings{word, "A"}));
  // Four words at least; of the equal-scoring cuts, ties pick the shortest
  // first word at each position, scanning from the end: 2, 6, 6, 6 runes.
  const std::string six = word.substr(0, 18);
  EXPECT_EQ(Cut(segment, word, 6), (Strings{word.substr(0, 6), six, six, six}));
}

TEST_F(MPSegmentTest, RuneLevelCutAppends) {
  const auto dict = Dict(kWorkedExample);
  const MPSegment segment(dict.get());
  jieba::RuneStrVector runes;
  jieba::DecodeRunesInString(std::string("XAB"), runes);
  std::vector<WordRange> ranges = {WordRange{runes.begin(), runes.begin()}};
  segment.Cut(runes.begin() + 1, runes.end(), ranges);
  ASSERT_EQ(ranges.size(), 2u);
  EXPECT_EQ(ranges[0].first, runes.begin());
  EXPECT_EQ(ranges[0].last, runes.begin());
  EXPECT_EQ(ranges[1].first, runes.begin() + 1);
  EXPECT_EQ(ranges[1].last, runes.begin() + 2);
  segment.Cut(runes.end(), runes.end(), ranges);
  EXPECT_EQ(ranges.size(), 2u);
}

TEST_F(MPSegmentTest, ReusedWorkspaceGivesTheSameCut) {
  const auto dict = Dict(kWorkedExample);
  const MPSegment segment(dict.get());
  jieba::RuneStrVector runes;
  jieba::DecodeRunesInString(std::string("ABXABDAB"), runes);
  MPSegment::Workspace scratch;
  std::vector<WordRange> with_scratch;
  // A longer run first leaves stale choices behind.
  segment.Cut(runes.begin(), runes.end(), with_scratch, jieba::MAX_WORD_RUNES, scratch);
  with_scratch.clear();
  segment.Cut(runes.begin() + 2, runes.begin() + 5, with_scratch, jieba::MAX_WORD_RUNES, scratch);
  std::vector<WordRange> fresh;
  segment.Cut(runes.begin() + 2, runes.begin() + 5, fresh);
  ASSERT_EQ(with_scratch.size(), fresh.size());
  for (size_t i = 0; i < fresh.size(); ++i) {
    EXPECT_EQ(with_scratch[i].first, fresh[i].first);
    EXPECT_EQ(with_scratch[i].last, fresh[i].last);
  }
  EXPECT_EQ(fresh.size(), 2u);  // X, AB
  EXPECT_EQ(scratch.best.size(), 3u);
}

TEST_F(MPSegmentTest, ConcurrentCutsMatchSerialCuts) {
  const auto dict = Dict(kWorkedExample);
  const MPSegment segment(dict.get());
  std::vector<std::string> sentences;
  for (int i = 0; i < 200; ++i) {
    std::string s;
    for (int k = 0; k < 40; ++k) {
      s += "ABXD "[(i * 7 + k * 3) % 5];
      if ((i + k) % 9 == 0) {
        s += "\xE3\x80\x82";
      }
    }
    sentences.push_back(s);
  }
  std::vector<Strings> serial;
  for (const std::string& s : sentences) {
    serial.push_back(Cut(segment, s));
  }
  std::vector<std::vector<Strings>> results(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        for (const std::string& s : sentences) {
          results[t].push_back(Cut(segment, s));
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  for (const auto& result : results) {
    ASSERT_EQ(result.size(), serial.size() * 20);
    for (size_t i = 0; i < result.size(); ++i) {
      ASSERT_EQ(result[i], serial[i % serial.size()]);
    }
  }
}

TEST_F(MPSegmentTest, IsATaggedSegmenterOverItsDictionary) {
  const auto dict = Dict(kWorkedExample);
  const MPSegment segment(dict.get());
  const jieba::SegmentTagged& tagged = segment;
  EXPECT_EQ(tagged.GetDictTrie(), dict.get());
  std::vector<std::pair<std::string, std::string>> tags;
  EXPECT_TRUE(tagged.Tag("ABX D", tags));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"AB", "ab"}, {"X", "x"}, {" ", "x"}, {"D", "d"}};
  EXPECT_EQ(tags, expected);
}

}  // namespace

namespace {

// The cut from one word graph over the whole run, scored as the definition
// says: the reference for the block-wise scoring of long runs.
std::vector<WordRange> OneGraphCut(const DictTrie& dict, const jieba::RuneStrVector& runes,
                                   size_t max_word_len) {
  std::vector<jieba::Dag> dags;
  dict.Find(runes.begin(), runes.end(), dags, max_word_len);
  const size_t n = dags.size();
  for (size_t i = n; i-- > 0;) {
    dags[i].best_unit = nullptr;
    dags[i].best_weight = jieba::SCORE_FLOOR;
    for (const jieba::DagEnd& end : dags[i].ends) {
      const size_t next = end.end_index + 1;
      double score = next < n ? dags[next].best_weight : 0.0;
      score += end.unit != nullptr ? end.unit->weight : dict.MinWeight();
      if (score > dags[i].best_weight) {
        dags[i].best_unit = end.unit;
        dags[i].best_weight = score;
      }
    }
  }
  std::vector<WordRange> ranges;
  MPSegment(&dict).CutByDag(runes.begin(), runes.end(), dags, ranges);
  return ranges;
}

TEST_F(MPSegmentTest, LongRunsCutAsOneWordGraphWould) {
  // Every word of one to four runes over a three-rune alphabet, with random
  // frequencies, so that a rune's best choice depends on the runes after it
  // in ways no local rule settles.
  std::mt19937 rng(11);
  std::string dict_text;
  std::vector<std::string> words = {""};
  for (int length = 1; length <= 4; ++length) {
    std::vector<std::string> longer;
    for (const std::string& w : words) {
      for (char c : {'a', 'b', 'c'}) {
        longer.push_back(w + c);
        dict_text += w + c + " " + std::to_string(1 + rng() % 1000) + " x\n";
      }
    }
    words = longer;
  }
  const auto dict = Dict(dict_text);
  const MPSegment segment(dict.get());
  std::string sentence;
  for (size_t k = 0; k < 3 * 1024 + 77; ++k) {
    sentence += "abc"[rng() % 3];
  }
  jieba::RuneStrVector runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(sentence, runes));
  for (size_t max_word_len : {size_t{2}, size_t{17}, jieba::MAX_WORD_RUNES}) {
    const std::vector<WordRange> expected = OneGraphCut(*dict, runes, max_word_len);
    std::vector<WordRange> got;
    segment.Cut(runes.begin(), runes.end(), got, max_word_len);
    ASSERT_EQ(got.size(), expected.size()) << max_word_len;
    for (size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(got[k].first, expected[k].first) << k;
      EXPECT_EQ(got[k].last, expected[k].last) << k;
    }
  }
}

}  // namespace
