#include "tokenizer/limonp/LocalVector.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace limonp = kelp::typing::text::limonp;

namespace {

using Vec = limonp::LocalVector<uint32_t>;

static_assert(std::is_nothrow_move_constructible_v<Vec>);
static_assert(std::is_nothrow_move_assignable_v<Vec>);

Vec Filled(uint32_t n) {
  Vec v;
  for (uint32_t i = 0; i < n; ++i) {
    v.push_back(i * 7 + 1);
  }
  return v;
}

void ExpectElements(const Vec& v, uint32_t n) {
  ASSERT_EQ(v.size(), n);
  for (uint32_t i = 0; i < n; ++i) {
    EXPECT_EQ(v[i], i * 7 + 1) << "at " << i;
  }
  EXPECT_EQ(v.end() - v.begin(), static_cast<std::ptrdiff_t>(n));
}

TEST(LocalVectorTest, FreshVectorIsEmptyAndInline) {
  Vec v;
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(v.size(), 0u);
  EXPECT_EQ(v.capacity(), 16u);
  EXPECT_TRUE(v.is_inline());
  EXPECT_EQ(v.begin(), v.end());
}

TEST(LocalVectorTest, GrowsFromInlineToDoublingHeapBlocks) {
  Vec v = Filled(16);
  EXPECT_TRUE(v.is_inline());
  EXPECT_EQ(v.capacity(), 16u);

  v.push_back(16 * 7 + 1);
  EXPECT_FALSE(v.is_inline());
  EXPECT_EQ(v.capacity(), 32u);
  ExpectElements(v, 17);

  for (uint32_t i = 17; i < 33; ++i) {
    v.push_back(i * 7 + 1);
  }
  EXPECT_EQ(v.capacity(), 64u);
  ExpectElements(v, 33);

  v.clear();
  EXPECT_TRUE(v.is_inline());
  EXPECT_EQ(v.capacity(), 16u);
  EXPECT_TRUE(v.empty());
}

TEST(LocalVectorTest, ReserveMovesToTheHeapOnlyAboveCapacity) {
  Vec v = Filled(3);
  v.reserve(10);
  EXPECT_TRUE(v.is_inline());
  EXPECT_EQ(v.capacity(), 16u);

  v.reserve(17);
  EXPECT_FALSE(v.is_inline());
  EXPECT_EQ(v.capacity(), 17u);
  ExpectElements(v, 3);

  for (uint32_t i = 3; i < 18; ++i) {
    v.push_back(i * 7 + 1);
  }
  EXPECT_EQ(v.capacity(), 34u);
  ExpectElements(v, 18);

  v.reserve(20);
  EXPECT_EQ(v.capacity(), 34u);
}

TEST(LocalVectorTest, PushBackOfOwnElementSurvivesGrowth) {
  Vec v = Filled(16);
  v.push_back(v[3]);
  EXPECT_EQ(v[16], v[3]);
}

TEST(LocalVectorTest, CopyOfHeapVectorHasSameSizeCapacityAndOwnBlock) {
  Vec source = Filled(20);
  ASSERT_EQ(source.capacity(), 32u);
  Vec copy(source);
  EXPECT_EQ(copy.capacity(), 32u);
  EXPECT_FALSE(copy.is_inline());
  EXPECT_NE(copy.data(), source.data());
  ExpectElements(copy, 20);
  source[0] = 999;
  EXPECT_EQ(copy[0], 1u);
}

TEST(LocalVectorTest, CopyOfInlineVectorStaysInline) {
  const Vec source = Filled(5);
  Vec copy(source);
  EXPECT_TRUE(copy.is_inline());
  EXPECT_EQ(copy.capacity(), 16u);
  ExpectElements(copy, 5);
}

TEST(LocalVectorTest, CopyAssignmentTakesSourceStorageShape) {
  Vec heap_target = Filled(40);
  heap_target = Filled(4);
  EXPECT_TRUE(heap_target.is_inline());
  ExpectElements(heap_target, 4);

  Vec inline_target = Filled(2);
  Vec big = Filled(17);
  big.reserve(50);
  inline_target = big;
  EXPECT_EQ(inline_target.capacity(), 50u);
  ExpectElements(inline_target, 17);

  Vec& alias = inline_target;
  inline_target = alias;
  EXPECT_EQ(inline_target.capacity(), 50u);
  ExpectElements(inline_target, 17);
}

TEST(LocalVectorTest, MoveStealsHeapBlockAndEmptiesSource) {
  Vec source = Filled(20);
  const uint32_t* block = source.data();
  Vec moved(std::move(source));
  EXPECT_EQ(moved.data(), block);
  ExpectElements(moved, 20);
  EXPECT_TRUE(source.empty());
  EXPECT_TRUE(source.is_inline());
  EXPECT_EQ(source.capacity(), 16u);

  Vec small = Filled(3);
  Vec target = Filled(30);
  target = std::move(small);
  EXPECT_TRUE(target.is_inline());
  ExpectElements(target, 3);
  EXPECT_TRUE(small.empty());
}

}  // namespace
