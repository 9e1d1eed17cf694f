#include "index/InvertedIndex.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "IndexCorpus.hpp"

namespace {

using namespace razoduviva_test;
using idx::Hit;
using idx::InvertedIndex;
using idx::SearchMode;

static_assert(std::is_nothrow_move_constructible_v<InvertedIndex>);
static_assert(!std::is_copy_constructible_v<InvertedIndex>);

std::string Show(const std::vector<Hit>& hits) {
  std::string text;
  for (const Hit& hit : hits) {
    char score[32];
    std::snprintf(score, sizeof(score), "%.17g", hit.score);
    text += "(" + std::to_string(hit.id) + ", " + score + ") ";
  }
  return text;
}

// Both modes give exactly the brute force's hits for many queries and k
// from 1 to past the number of hits.
void ExpectExact(const InvertedIndex& index, const Model& model, CorpusMaker& maker,
                 std::size_t queries, const std::string& context) {
  for (std::size_t q = 0; q < queries; ++q) {
    const auto query = maker.Query();
    const auto all = BruteForce(model, query, SIZE_MAX);
    for (const std::size_t k : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{10},
                                all.size(), all.size() + 7}) {
      const std::vector<Hit> expected(all.begin(), all.begin() + std::min(k, all.size()));
      const auto pruned = SearchOf(index, query, k, SearchMode::kPruned);
      const auto exhaustive = SearchOf(index, query, k, SearchMode::kExhaustive);
      ASSERT_EQ(pruned, expected) << context << " query " << q << " k " << k << "\n pruned "
                                  << Show(pruned) << "\n wanted " << Show(expected);
      ASSERT_EQ(exhaustive, expected) << context << " query " << q << " k " << k;
    }
  }
}

struct Corpus {
  unsigned seed;
  std::size_t vocabulary;
  std::size_t documents;
  std::size_t batches;
  bool coarse;
  bool negative;
  bool skewed;
};

// The pruned search is exact whatever the corpus: few or many terms, weights
// tied or not, negative stored weights, long lists of small weights beside
// short ones of large weights, documents over many windows of ordinals,
// added in several batches (several segments, merged as they come), and
// documents removed and added again under the same id.
TEST(InvertedIndexTest, SearchesEqualBruteForce) {
  const Corpus corpora[] = {
      {1, 40, 600, 1, true, false, false},     {2, 40, 600, 3, true, true, false},
      {3, 400, 2000, 1, false, false, false},  {4, 400, 2000, 5, false, true, true},
      {5, 2000, 3000, 2, true, false, false},  {6, 15, 1500, 4, false, false, true},
      {7, 3, 300, 1, true, false, false},      {8, 1000, 200, 7, false, true, false},
      {9, 3000, 20000, 3, false, false, true}, {10, 300, 12000, 2, true, true, true},
  };
  for (const Corpus& corpus : corpora) {
    const std::string context = "seed " + std::to_string(corpus.seed);
    CorpusMaker maker(corpus.seed, corpus.vocabulary, corpus.coarse, corpus.negative,
                      corpus.skewed);
    InvertedIndex index;
    Model model;
    std::int64_t next_id = -static_cast<std::int64_t>(corpus.documents);  // negative ids too
    for (std::size_t b = 0; b < corpus.batches; ++b) {
      const Rows rows = maker.Documents(corpus.documents / corpus.batches, next_id);
      next_id += static_cast<std::int64_t>(rows.ids.size());
      index.Add(rows.View(), rows.ids.data());
      AddToModel(model, rows);
    }
    ASSERT_EQ(index.size(), model.size()) << context;
    ExpectExact(index, model, maker, 60, context);

    // Remove every third document, then add some of them back, changed.
    std::vector<std::int64_t> gone;
    for (const auto& [id, doc] : model) {
      if (maker.random()() % 3 == 0) {
        gone.push_back(id);
      }
    }
    ASSERT_EQ(index.Remove(gone.data(), gone.size()), gone.size()) << context;
    for (const std::int64_t id : gone) {
      model.erase(id);
    }
    ASSERT_EQ(index.size(), model.size()) << context;
    ExpectExact(index, model, maker, 40, context + " after removals");

    Rows back;
    for (std::size_t i = 0; i < gone.size(); i += 2) {
      back.Append(maker.Document(12), gone[i]);
    }
    index.Add(back.View(), back.ids.data());
    AddToModel(model, back);
    ExpectExact(index, model, maker, 40, context + " after adding back");
  }
}

// Documents added one at a time make many small segments, merged as they
// come; a search sees all of them.
TEST(InvertedIndexTest, AddsOneAtATime) {
  CorpusMaker maker(11, 100, true, false);
  InvertedIndex index;
  Model model;
  for (std::int64_t id = 0; id < 300; ++id) {
    Rows rows;
    rows.Append(maker.Document(10), id * 7);
    index.Add(rows.View(), rows.ids.data());
    AddToModel(model, rows);
  }
  EXPECT_LE(index.Stats().segments, 10u);
  ExpectExact(index, model, maker, 50, "one at a time");
}

TEST(InvertedIndexTest, EmptyQueriesAndIndexesFindNothing) {
  InvertedIndex index;
  const std::uint32_t token = 5;
  const double weight = 1.0;
  EXPECT_TRUE(index.Search(&token, &weight, 1, 10).empty());
  Rows rows;
  rows.Append({{5, 1.0}}, 1);
  rows.Append({}, 2);  // no tokens: held, never found
  index.Add(rows.View(), rows.ids.data());
  EXPECT_EQ(index.size(), 2u);
  EXPECT_TRUE(index.Search(nullptr, nullptr, 0, 10).empty());
  EXPECT_TRUE(index.Search(&token, &weight, 1, 0).empty());
  const std::uint32_t other = 6;
  EXPECT_TRUE(index.Search(&other, &weight, 1, 10).empty());
  EXPECT_EQ(index.Search(&token, &weight, 1, 10), (std::vector<Hit>{{1, 1.0}}));
}

// A zero weight still makes a hit; a negative one may make a negative score.
TEST(InvertedIndexTest, ZeroAndNegativeScoresAreHits) {
  InvertedIndex index;
  Rows rows;
  rows.Append({{1, 2.0}, {2, 1.0}}, 10);
  rows.Append({{2, 3.0}}, 20);
  rows.Append({{1, 0.0}}, 30);
  index.Add(rows.View(), rows.ids.data());
  const std::uint32_t tokens[] = {1, 2};
  const double weights[] = {1.0, -1.0};
  for (const SearchMode mode : {SearchMode::kPruned, SearchMode::kExhaustive}) {
    EXPECT_EQ(index.Search(tokens, weights, 2, 5, mode),
              (std::vector<Hit>{{10, 1.0}, {30, 0.0}, {20, -3.0}}));
    const double zero[] = {0.0, 0.0};
    EXPECT_EQ(index.Search(tokens, zero, 2, 2, mode), (std::vector<Hit>{{10, 0.0}, {20, 0.0}}));
  }
}

// A row's entries may come in any order, a token more than once.
TEST(InvertedIndexTest, TakesRowsInAnyOrder) {
  InvertedIndex index;
  Rows rows;
  rows.Append({{9, 1.0}, {3, 0.5}, {9, 0.25}, {1, 2.0}}, 1);
  index.Add(rows.View(), rows.ids.data());
  const std::uint32_t tokens[] = {9, 3, 1};
  const double weights[] = {1.0, 1.0, 1.0};
  EXPECT_EQ(index.Search(tokens, weights, 3, 1), (std::vector<Hit>{{1, 1.25 + 0.5 + 2.0}}));
  EXPECT_EQ(index.Stats().postings, 3u);
}

TEST(InvertedIndexTest, RefusesBadDocumentsAndChangesNothing) {
  InvertedIndex index;
  Rows first;
  first.Append({{1, 1.0}}, 7);
  index.Add(first.View(), first.ids.data());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::vector<std::pair<std::uint32_t, double>> row;
    std::int64_t id;
    std::string message;
  } const cases[] = {
      {{{1, 1.0}}, 7, "document id 7 is already in the index"},
      {{{1, nan}}, 8, "document id 8: the weight of token 1 is not finite"},
      {{{2, 1e39}}, 9, "document id 9: the weight of token 2 is beyond the float range"},
      {{{2, 3e38}, {2, 3e38}}, 10, "the weight of token 2"},
  };
  for (const Case& c : cases) {
    Rows rows;
    rows.Append({{5, 1.0}}, 100);  // a good document first: it must not stay
    rows.Append(c.row, c.id);
    try {
      index.Add(rows.View(), rows.ids.data());
      ADD_FAILURE() << c.message;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
    EXPECT_EQ(index.size(), 1u);
    EXPECT_FALSE(index.Contains(100));
  }
  Rows twice;
  twice.Append({}, 3);
  twice.Append({}, 3);
  EXPECT_THROW(index.Add(twice.View(), twice.ids.data()), std::invalid_argument);
  EXPECT_EQ(index.Ids(), std::vector<std::int64_t>{7});
}

TEST(InvertedIndexTest, RemovesHeldIdsOnly) {
  InvertedIndex index;
  Rows rows;
  for (std::int64_t id = 0; id < 5; ++id) {
    rows.Append({{1, 1.0 + static_cast<double>(id)}}, id);
  }
  index.Add(rows.View(), rows.ids.data());
  const std::int64_t gone[] = {3, 42, 3, 0};
  EXPECT_EQ(index.Remove(gone, 4), 2u);
  EXPECT_EQ(index.Ids(), (std::vector<std::int64_t>{1, 2, 4}));
  EXPECT_FALSE(index.Contains(3));
  EXPECT_EQ(index.Remove(gone, 4), 0u);
  Rows back;
  back.Append({{1, 9.0}}, 3);
  index.Add(back.View(), back.ids.data());
  EXPECT_EQ(index.Ids(), (std::vector<std::int64_t>{1, 2, 4, 3}));
  const std::uint32_t token = 1;
  const double weight = 1.0;
  EXPECT_EQ(index.Search(&token, &weight, 1, 2), (std::vector<Hit>{{3, 9.0}, {4, 5.0}}));
}

// Documents staged apart join the index as if added to it: the same
// searches and the same file, removals before the append included; an
// append that cannot take effect changes nothing.
TEST(InvertedIndexTest, AppendsStagedDocuments) {
  CorpusMaker maker(31, 200, true, false);
  const Rows first = maker.Documents(700, 0);
  const Rows second = maker.Documents(1500, 5000);
  InvertedIndex added;
  added.Add(first.View(), first.ids.data());
  added.Add(second.View(), second.ids.data());
  const std::int64_t gone[] = {3, 5003};
  added.Remove(gone, 2);

  InvertedIndex index;
  index.Add(first.View(), first.ids.data());
  InvertedIndex staged = index.Staging();
  EXPECT_EQ(staged.size(), 0u);
  for (std::size_t at = 0; at < 1500; at += 500) {  // several segments
    Rows part;
    for (std::size_t r = at; r < at + 500; ++r) {
      part.Append(second.Row(r), second.ids[r]);
    }
    staged.Add(part.View(), part.ids.data());
  }
  EXPECT_EQ(staged.size(), 1500u);
  index.Remove(gone, 1);  // removals meanwhile are fine
  {
    const InvertedIndex::Pin pin(index);
    EXPECT_THROW(index.Append(std::move(staged)), std::runtime_error);
  }
  index.Append(std::move(staged));
  EXPECT_EQ(staged.size(), 0u);
  index.Remove(gone + 1, 1);
  EXPECT_EQ(index.size(), added.size());
  EXPECT_EQ(index.Serialize(), added.Serialize());
  Model model;
  AddToModel(model, first);
  AddToModel(model, second);
  model.erase(3);
  model.erase(5003);
  ExpectExact(index, model, maker, 30, "appended");

  // A held id, or documents added since Staging(): refused, nothing changed.
  const std::string before = index.Serialize();
  InvertedIndex clash = index.Staging();
  Rows held;
  held.Append({{1, 1.0}}, 9999);
  held.Append({{1, 1.0}}, 4);
  clash.Add(held.View(), held.ids.data());
  EXPECT_THROW(index.Append(std::move(clash)), std::invalid_argument);
  InvertedIndex late = index.Staging();
  Rows one;
  one.Append({{2, 1.0}}, 10000);
  late.Add(one.View(), one.ids.data());
  index.Add(one.View(), one.ids.data());
  EXPECT_THROW(index.Append(std::move(late)), std::logic_error);
  index.Remove(one.ids.data(), 1);
  EXPECT_EQ(index.size(), added.size());
  EXPECT_EQ(index.Serialize(), before);
}

TEST(InvertedIndexTest, LargestIdSkipsRemovedDocuments) {
  InvertedIndex index;
  EXPECT_FALSE(index.LargestId());
  Rows rows;
  rows.Append({{1, 1.0}}, -7);
  rows.Append({{1, 1.0}}, 40);
  rows.Append({}, 41);
  index.Add(rows.View(), rows.ids.data());
  Rows more;
  more.Append({{1, 1.0}}, 12);
  index.Add(more.View(), more.ids.data());
  EXPECT_EQ(index.LargestId(), 41);
  const std::int64_t gone[] = {41, 40};
  index.Remove(gone, 1);
  EXPECT_EQ(index.LargestId(), 40);
  index.Remove(gone + 1, 1);
  EXPECT_EQ(index.LargestId(), 12);
  const std::int64_t rest[] = {12, -7};
  index.Remove(rest, 2);
  EXPECT_FALSE(index.LargestId());
}

// While a search reads it without the caller's lock, changes are refused.
TEST(InvertedIndexTest, RefusesChangesWhilePinned) {
  InvertedIndex index;
  Rows rows;
  rows.Append({{1, 1.0}}, 1);
  {
    const InvertedIndex::Pin pin(index);
    EXPECT_THROW(index.Add(rows.View(), rows.ids.data()), std::runtime_error);
    const std::int64_t id = 1;
    EXPECT_THROW(index.Remove(&id, 1), std::runtime_error);
    EXPECT_THROW(index.set_blob("x"), std::runtime_error);
    EXPECT_EQ(index.size(), 0u);
    InvertedIndex other;
    const InvertedIndex::Pin other_pin(other);
    const InvertedIndex moved(std::move(other));
    EXPECT_FALSE(moved.pinned());  // the pin stays with its object
  }
  EXPECT_FALSE(index.pinned());
  index.Add(rows.View(), rows.ids.data());
  EXPECT_EQ(index.size(), 1u);
}

TEST(InvertedIndexTest, RefusesBadQueryWeights) {
  InvertedIndex index;
  const std::uint32_t tokens[] = {1, 2};
  const double infinite[] = {1.0, std::numeric_limits<double>::infinity()};
  const double huge[] = {1e300, 1.0};
  EXPECT_THROW(index.Search(tokens, infinite, 2, 1), std::invalid_argument);
  EXPECT_THROW(index.Search(tokens, huge, 2, 1), std::invalid_argument);
  const std::size_t ends[] = {1, 2};
  const idx::SparseRows queries{tokens, infinite, ends, 2};
  try {
    index.SearchMany(queries, 3, 2);
    ADD_FAILURE();
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "query 1: query weight 0 (of token 2) is not finite");
  }
}

// Many queries on any number of threads: the hits of each alone.
TEST(InvertedIndexTest, SearchManyEqualsOneByOne) {
  CorpusMaker maker(21, 300, false, true);
  InvertedIndex index;
  const Rows rows = maker.Documents(3000, 0);
  index.Add(rows.View(), rows.ids.data());
  Rows queries;
  for (int q = 0; q < 200; ++q) {
    queries.Append(maker.Query(), q);
  }
  for (const SearchMode mode : {SearchMode::kPruned, SearchMode::kExhaustive}) {
    for (const std::size_t threads : {1u, 2u, 3u, 8u, 0u}) {
      const idx::SearchResults results = index.SearchMany(queries.View(), 7, threads, mode);
      ASSERT_EQ(results.ends.size(), 200u);
      for (std::size_t q = 0; q < 200; ++q) {
        const auto one = SearchOf(index, queries.Row(q), 7, mode);
        const std::size_t begin = q == 0 ? 0 : results.ends[q - 1];
        ASSERT_EQ(results.ends[q] - begin, one.size()) << q;
        for (std::size_t i = 0; i < one.size(); ++i) {
          EXPECT_EQ(results.ids[begin + i], one[i].id);
          EXPECT_EQ(results.scores[begin + i], one[i].score);
        }
      }
    }
  }
}

}  // namespace
