#include "encoder/FoldMap.hpp"

#include <gtest/gtest.h>

#include <utility>

namespace kelp::typing::text::encoder {
namespace {

// The map of "xＡyﬁz" folded to "xayfiz": 9 original bytes, 6 folded.
FoldMap TwoSpans() {
  FoldMap map;
  map.Reset(9);
  map.Add(FoldMap::Span{1, 2, 1, 4});  // Ａ -> a
  map.Add(FoldMap::Span{3, 5, 5, 8});  // ﬁ -> fi
  map.Finish(6);
  return map;
}

TEST(FoldMap, EmptyMapIsTheIdentity) {
  FoldMap map;
  map.Reset(10);
  EXPECT_EQ(map.ToOriginal(2, 7), std::make_pair(size_t{2}, size_t{7}));
  EXPECT_EQ(map.ToOriginal(4, 4), std::make_pair(size_t{4}, size_t{4}));
}

TEST(FoldMap, PositionsMapAroundAndInsideSpans) {
  const FoldMap map = TwoSpans();
  const struct {
    size_t folded;
    size_t begin;
    size_t end;
  } cases[] = {
      {0, 0, 0}, {1, 1, 1}, {2, 4, 4}, {3, 5, 5}, {4, 5, 8}, {5, 8, 8}, {6, 9, 9},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(map.OriginalBegin(c.folded), c.begin) << c.folded;
    EXPECT_EQ(map.OriginalEnd(c.folded), c.end) << c.folded;
  }
}

TEST(FoldMap, RangesCoverWholeSpans) {
  const FoldMap map = TwoSpans();
  EXPECT_EQ(map.ToOriginal(1, 2), std::make_pair(size_t{1}, size_t{4}));
  EXPECT_EQ(map.ToOriginal(3, 4), std::make_pair(size_t{5}, size_t{8}));  // f of ﬁ
  EXPECT_EQ(map.ToOriginal(4, 5), std::make_pair(size_t{5}, size_t{8}));  // i of ﬁ
  EXPECT_EQ(map.ToOriginal(0, 6), std::make_pair(size_t{0}, size_t{9}));
  EXPECT_EQ(map.ToOriginal(2, 3), std::make_pair(size_t{4}, size_t{5}));
}

TEST(FoldMap, PositionsPastTheEndClampAndRangesNeverInvert) {
  const FoldMap map = TwoSpans();
  EXPECT_EQ(map.ToOriginal(6, 100), std::make_pair(size_t{9}, size_t{9}));
  EXPECT_EQ(map.ToOriginal(5, 3), std::make_pair(size_t{8}, size_t{8}));
  size_t last_begin = 0;
  size_t last_end = 0;
  for (size_t p = 0; p <= 8; ++p) {
    EXPECT_GE(map.OriginalBegin(p), last_begin);
    EXPECT_GE(map.OriginalEnd(p), last_end);
    EXPECT_LE(map.OriginalEnd(p), map.OriginalSize());
    last_begin = map.OriginalBegin(p);
    last_end = map.OriginalEnd(p);
  }
}

}  // namespace
}  // namespace kelp::typing::text::encoder
