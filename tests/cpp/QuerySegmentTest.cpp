#include "tokenizer/jieba/QuerySegment.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SegmentFixture.hpp"

namespace jieba = kelp::typing::text::jieba;
using jieba::QuerySegment;
using namespace razoduviva_test;

namespace {

class QuerySegmentTest : public SegmentFixture {
 protected:
  Strings Cut(const std::string& sentence, bool hmm = true) const {
    const QuerySegment segment(dict_.get(), model_.get());
    Strings words = {"stale"};
    segment.Cut(sentence, words, hmm);
    return words;
  }
};

TEST_F(QuerySegmentTest, PairsThenTriplesThenTheWord) {
  // ABEF is the mixed cut's one word; AB, EF and BEF are words, BE and ABE
  // are not (ABE is only a prefix of ABEF).
  Load(kA + kB + kE + kF + " 100 n\n" + kA + kB + " 1 n\n" + kE + kF + " 1 n\n" + kB + kE + kF +
       " 1 n\n");
  EXPECT_EQ(Cut(kA + kB + kE + kF),
            (Strings{kA + kB, kE + kF, kB + kE + kF, kA + kB + kE + kF}));
}

TEST_F(QuerySegmentTest, ThreeAndTwoRuneWords) {
  Load(kA + kB + kE + " 100 n\n" + kA + kB + " 1 n\n" + kB + kE + " 1 n\n" + kC + kD +
       " 100 n\n" + kC + " 1 n\n");
  EXPECT_EQ(Cut(kA + kB + kE), (Strings{kA + kB, kB + kE, kA + kB + kE}));
  EXPECT_EQ(Cut(kC + kD), (Strings{kC + kD}));
  EXPECT_EQ(Cut(kC + kD + " " + kA + kB + kE),
            (Strings{kC + kD, " ", kA + kB, kB + kE, kA + kB + kE}));
}

TEST_F(QuerySegmentTest, NothingIsDeduplicated) {
  // ABAB is one word; AB occurs in it twice, BA is not a word.
  Load(kA + kB + kA + kB + " 100 n\n" + kA + kB + " 1 n\n");
  EXPECT_EQ(Cut(kA + kB + kA + kB), (Strings{kA + kB, kA + kB, kA + kB + kA + kB}));
}

TEST_F(QuerySegmentTest, HmmFlagReachesTheMixedCut) {
  Load(kA + kB + " 3 n\n");
  EXPECT_EQ(Cut(kK + kX), (Strings{kK + kX}));
  EXPECT_EQ(Cut(kK + kX, false), (Strings{kK, kX}));
  EXPECT_EQ(Cut(""), Strings{});
}

}  // namespace
