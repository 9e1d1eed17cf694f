#include "tokenizer/jieba/MixSegment.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SegmentFixture.hpp"
#include "tokenizer/jieba/MPSegment.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace jieba = kelp::typing::text::jieba;
using jieba::MixSegment;
using namespace razoduviva_test;

namespace {

class MixSegmentTest : public SegmentFixture {
 protected:
  Strings Cut(const std::string& sentence, bool hmm = true) const {
    const MixSegment segment(dict_.get(), model_.get());
    Strings words = {"stale"};
    segment.Cut(sentence, words, hmm);
    return words;
  }
};

// AB is a word; K is a one-rune word of the main dictionary only.
const std::string kDict = kA + kB + " 50 n\n" + kK + " 10 n\n" + kC + " 40 n\n";

TEST_F(MixSegmentTest, StretchesOfSingleRunesGoToTheHmm) {
  // The example: A B K x D y with AB a word, K a main-dictionary rune, D a
  // user-dictionary rune, x and y unknown. AB stays; K x is one stretch
  // (joined by the model); D stays; y is a stretch of its own.
  Load(kDict, kD + "\n");
  EXPECT_EQ(Cut(kA + kB + kK + kX + kD + kY), (Strings{kA + kB, kK + kX, kD, kY}));
  // Without the user word D, D and y form one stretch (not joined).
  Load(kDict);
  EXPECT_EQ(Cut(kA + kB + kK + kX + kD + kY), (Strings{kA + kB, kK + kX, kD, kY}));
  EXPECT_EQ(Cut(kK + kX), (Strings{kK + kX}));
}

TEST_F(MixSegmentTest, UserOneRuneWordEndsTheStretch) {
  // K X would be joined by the model; a user word K stays alone and X is
  // decoded on its own.
  Load(kDict, kK + " 3 n\n");
  EXPECT_EQ(Cut(kK + kX), (Strings{kK, kX}));
  EXPECT_EQ(Cut(kY + kK + kX), (Strings{kY, kK, kX}));
  // A one-rune user word between two unknown runes: three words.
  Load(kDict, kE + "\n");
  EXPECT_EQ(Cut(kY + kE + kD), (Strings{kY, kE, kD}));
}

TEST_F(MixSegmentTest, WithoutHmmTheResultIsTheDictionaryCut) {
  Load(kDict, kD + "\n");
  const jieba::MPSegment mp(dict_.get());
  for (const std::string& sentence :
       {kA + kB + kK + kX + kD + kY, std::string("abc 12.5"), kK + kX + " " + kC + kA + kB,
        std::string()}) {
    Strings expected;
    mp.Cut(sentence, expected);
    EXPECT_EQ(Cut(sentence, false), expected) << sentence;
  }
  // With no one-rune pieces the HMM step changes nothing.
  EXPECT_EQ(Cut(kA + kB + kA + kB), (Strings{kA + kB, kA + kB}));
}

TEST_F(MixSegmentTest, AsciiRunsComeOutWholeWithHmm) {
  Load(kDict);
  EXPECT_EQ(Cut("xyz"), (Strings{"xyz"}));
  EXPECT_EQ(Cut("xyz", false), (Strings{"x", "y", "z"}));
  EXPECT_EQ(Cut("v2.5" + kA + kB + "3.14"), (Strings{"v2", ".", "5", kA + kB, "3.14"}));
}

TEST_F(MixSegmentTest, TrailingUnknownRuneIsDecodedAlone) {
  Load(kDict);
  EXPECT_EQ(Cut(kA + kB + kX), (Strings{kA + kB, kX}));
  EXPECT_EQ(Cut(kK + kA + kB + kX), (Strings{kK, kA + kB, kX}));
}

TEST_F(MixSegmentTest, EmptyAndSeparators) {
  Load(kDict);
  EXPECT_EQ(Cut(""), Strings{});
  EXPECT_EQ(Cut(kK + " " + kX), (Strings{kK, " ", kX}));
}

TEST_F(MixSegmentTest, SpansAndWordsAgree) {
  Load(kDict, kD + "\n");
  const MixSegment segment(dict_.get(), model_.get());
  const std::string sentence = "ab " + kA + kB + kK + kX + "\xEF\xBC\x8C" + kD + kY + "9";
  std::vector<jieba::Word> words;
  std::vector<jieba::WordSpan> spans = {{1, 2, 3, 4}};
  segment.Cut(sentence, words, true);
  segment.Cut(sentence, spans, true);
  ASSERT_EQ(spans.size(), words.size());
  for (size_t k = 0; k < words.size(); ++k) {
    EXPECT_EQ(sentence.substr(spans[k].byte_offset, spans[k].byte_length), words[k].text);
    EXPECT_EQ(spans[k].byte_offset, words[k].byte_offset);
    EXPECT_EQ(spans[k].rune_offset, words[k].rune_offset);
    EXPECT_EQ(spans[k].rune_length, words[k].rune_length);
  }
}

TEST_F(MixSegmentTest, TagsWithTheMixedCut) {
  Load(kDict);
  const MixSegment segment(dict_.get(), model_.get());
  std::vector<std::pair<std::string, std::string>> tagged;
  EXPECT_TRUE(segment.Tag(kA + kB + "abc" + kK + kX, tagged));
  const std::vector<std::pair<std::string, std::string>> expected = {
      {kA + kB, "n"}, {"abc", "eng"}, {kK + kX, "x"}};
  EXPECT_EQ(tagged, expected);
  EXPECT_EQ(segment.GetDictTrie(), dict_.get());
}

}  // namespace
