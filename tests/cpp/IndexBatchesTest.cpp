// Documents and queries of an index in batches: staged from texts or rows,
// equal to encoding and adding one batch at once, on any thread count and
// over several of the stream's batches; ids given, running or refused.
#include "index/IndexBatches.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "SegmentFixture.hpp"
#include "batch/BatchPolicy.hpp"
#include "batch/StagedFit.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace idx = kelp::typing::text::index;
namespace batch = kelp::typing::text::batch;
namespace jieba = kelp::typing::text::jieba;
using kelp::typing::text::BM25;
using kelp::typing::text::EncoderSettings;
using kelp::typing::text::SparseEncoder;
using kelp::typing::text::VectorKind;
using namespace razoduviva_test;

namespace {

// Hands out `texts` in batches; throws once `fail_at` texts have been read.
class Texts : public batch::TextSource {
 public:
  explicit Texts(const std::vector<std::string_view>& texts, size_t fail_at = SIZE_MAX)
      : texts_(texts), fail_at_(fail_at) {}

  bool Next(size_t max_bytes, size_t max_texts, std::vector<std::string_view>& out) override {
    out.clear();
    size_t bytes = 0;
    while (position_ < texts_.size() && out.size() < max_texts && bytes < max_bytes) {
      if (position_ == fail_at_) {
        throw std::runtime_error("source failed");
      }
      bytes += texts_[position_].size();
      out.push_back(texts_[position_++]);
    }
    return !out.empty();
  }

 private:
  const std::vector<std::string_view>& texts_;
  size_t fail_at_;
  size_t position_ = 0;
};

class Ids : public idx::IdSource {
 public:
  explicit Ids(std::vector<std::int64_t> ids) : ids_(std::move(ids)) {}

  size_t Next(size_t count, std::vector<std::int64_t>& out) override {
    const size_t got = std::min(count, ids_.size() - position_);
    out.insert(out.end(), ids_.begin() + position_, ids_.begin() + position_ + got);
    position_ += got;
    return got;
  }

 private:
  std::vector<std::int64_t> ids_;
  size_t position_ = 0;
};

std::string Message(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "no std::invalid_argument";
}

class IndexBatchesTest : public testing::Test {
 protected:
  void SetUp() override {
    facade_ = std::make_shared<jieba::Jieba>(
        dir_.Write("dict.txt", kA + kB + " 10 n\n" + kE + kF + " 10 n\n" + kC + " 5 n\n"),
        dir_.Write("hmm.txt", JoiningModel()), "", dir_.Write("idf.txt", kA + kB + " 2\n"),
        dir_.Write("stop.txt", kC + "\n"));
    encoder_ = std::make_unique<SparseEncoder>(facade_, EncoderSettings(), std::make_shared<BM25>());
    // More texts than a batch of the stream holds, some empty, one not UTF-8.
    const Strings pieces = {kA + kB, kC, " ", kE + kF, kK + kX, "ab 12", kD};
    for (size_t t = 0; t < batch::kFitBatchTexts + 3000; ++t) {
      std::string text;
      for (size_t k = 0; k < (t * 7) % 13; ++k) {
        text += pieces[(t + k * 3) % pieces.size()];
      }
      texts_.push_back(text);
    }
    texts_[17] = "\xFF" + kA;
    views_.assign(texts_.begin(), texts_.end());
    Texts all(views_);
    batch::Fit(*encoder_, all, 2);
  }

  // The index of adding every text's document vector at once, with `ids`.
  idx::InvertedIndex Reference(const std::vector<std::int64_t>& ids) const {
    std::vector<std::string_view> valid(views_);
    valid[17] = {};
    SparseEncoder::HashedVectors vectors;
    SparseEncoder::Scratch scratch;
    encoder_->EncodeHashed(valid.data(), valid.size(), VectorKind::kDocument, vectors, scratch);
    idx::InvertedIndex index;
    index.Add(idx::SparseRows::Of(vectors), ids.data());
    return index;
  }

  ScratchDir dir_;
  std::shared_ptr<jieba::Jieba> facade_;
  std::unique_ptr<SparseEncoder> encoder_;
  Strings texts_;
  std::vector<std::string_view> views_;
};

TEST_F(IndexBatchesTest, StagedTextsEqualAddingTheirVectors) {
  std::vector<std::int64_t> given(views_.size());
  for (size_t t = 0; t < given.size(); ++t) {
    given[t] = 3 * static_cast<std::int64_t>(t) - 50;
  }
  const std::string expected = Reference(given).Serialize();
  for (const size_t threads : {1u, 2u, 3u}) {
    idx::InvertedIndex index;
    Texts texts(views_);
    Ids ids(given);
    index.Append(idx::StageTexts(index, *encoder_, texts, &ids, threads));
    EXPECT_EQ(index.Serialize(), expected) << threads;
  }
  // Running ids continue after the largest held, removed ones aside.
  idx::InvertedIndex index;
  const std::vector<std::int64_t> first = {7, 1000000, -3};
  const std::vector<std::string_view> three(views_.begin(), views_.begin() + 3);
  Texts head(three);
  Ids head_ids(first);
  index.Append(idx::StageTexts(index, *encoder_, head, &head_ids, 2));
  index.Remove(&first[1], 1);
  const std::vector<std::string_view> rest(views_.begin() + 3, views_.end());
  Texts tail(rest);
  index.Append(idx::StageTexts(index, *encoder_, tail, nullptr, 2));
  std::vector<std::int64_t> all = first;
  for (size_t t = 3; t < views_.size(); ++t) {
    all.push_back(static_cast<std::int64_t>(t) + 5);  // from 8
  }
  index.Remove(&first[1], 1);
  idx::InvertedIndex reference = Reference(all);
  reference.Remove(&first[1], 1);
  EXPECT_EQ(index.Serialize(), reference.Serialize());
}

// Refusals name the problem; the index is never changed by the staging.
TEST_F(IndexBatchesTest, StagingRefusesBadIds) {
  idx::InvertedIndex index;
  const std::vector<std::string_view> two(views_.begin(), views_.begin() + 2);
  {
    Texts texts(two);
    Ids ids({5, 6});
    index.Append(idx::StageTexts(index, *encoder_, texts, &ids, 1));
  }
  const std::string before = index.Serialize();
  const auto stage = [&](const std::vector<std::string_view>& views, std::vector<std::int64_t> given,
                         size_t fail_at = SIZE_MAX) {
    Texts texts(views, fail_at);
    Ids ids(std::move(given));
    return idx::StageTexts(index, *encoder_, texts, &ids, 2);
  };
  EXPECT_EQ(Message([&] { stage(two, {1}); }), "the ids end after 1, before the texts do");
  EXPECT_EQ(Message([&] { stage(two, {1, 2, 3}); }), "there are more ids than texts (2)");
  EXPECT_EQ(Message([&] { stage(two, {1, 6}); }), "document id 6 is already in the index");
  EXPECT_EQ(Message([&] { stage(two, {1, 1}); }), "document id 1 is given twice");
  std::vector<std::int64_t> many(views_.size());
  for (size_t t = 0; t < many.size(); ++t) {
    many[t] = static_cast<std::int64_t>(t) + 100;
  }
  many.back() = 100;  // a repeat in a later batch of the stream
  EXPECT_EQ(Message([&] { stage(views_, many); }), "document id 100 is given twice");
  Texts failing(views_, batch::kFitBatchTexts + 100);  // in the stream's second batch
  EXPECT_THROW(idx::StageTexts(index, *encoder_, failing, nullptr, 2), std::runtime_error);

  const std::int64_t largest = std::numeric_limits<std::int64_t>::max();
  const std::vector<std::string_view> single(views_.begin(), views_.begin() + 1);
  const auto running = [&](const std::vector<std::string_view>& views) {
    Texts texts(views);
    index.Append(idx::StageTexts(index, *encoder_, texts, nullptr, 1));
  };
  const std::string past =
      "the running ids would pass 9223372036854775807, the largest int64: give the ids";
  index.Append(stage(single, {largest - 1}));
  running(single);  // the largest int64
  EXPECT_EQ(index.LargestId(), largest);
  EXPECT_EQ(Message([&] { running(single); }), past);
  index.Remove(&largest, 1);
  EXPECT_EQ(Message([&] { running(two); }), past);

  // An encoder without statistics cannot weigh documents.
  const SparseEncoder unfitted(facade_, EncoderSettings(), std::make_shared<BM25>());
  Texts texts(two);
  Ids fresh({1, 2});
  EXPECT_THROW(idx::StageTexts(index, unfitted, texts, &fresh, 2), std::runtime_error);
  const std::int64_t below = largest - 1;
  index.Remove(&below, 1);
  EXPECT_EQ(index.Serialize(), before);
}

TEST_F(IndexBatchesTest, StagedRowsAreCheckedAndNarrowed) {
  const std::int64_t indptr[] = {0, 2, 2, 4};
  const std::int64_t indices[] = {4294967295, 7, 7, 7};
  const double values[] = {0.5, 1.0, 0.25, 0.25};
  idx::InvertedIndex index;
  Ids ids({10, 11, 12});
  index.Append(idx::StageRows(index, idx::CsrInput{indptr, 4, indices, 4, values, 4}, &ids));
  ASSERT_EQ(index.size(), 3u);
  const std::uint32_t tokens[] = {7, 4294967295};
  const double weights[] = {2.0, 1.0};
  EXPECT_EQ(index.Search(tokens, weights, 2, 5),
            (std::vector<idx::Hit>{{10, 2.5}, {12, 1.0}}));  // 12's two 7s add up
  index.Append(idx::StageRows(index, idx::CsrInput{indptr, 2, indices, 4, values, 4}, nullptr));
  EXPECT_TRUE(index.Contains(13));

  const auto stage = [&](const idx::CsrInput& rows) { idx::StageRows(index, rows, nullptr); };
  const std::int64_t negative[] = {1, -1};
  const std::int64_t wide[] = {4294967296};
  const std::int64_t decreasing[] = {0, 2, 1};
  const std::int64_t late[] = {1, 2};
  const std::string offsets =
      "vectors: the row offsets (indptr) must start at 0, never decrease, and end at most at the "
      "number of indices";
  EXPECT_EQ(Message([&] { stage({indptr, 2, negative, 2, values, 2}); }),
            "vector 0: index -1 is outside [0, 2**32)");
  EXPECT_EQ(Message([&] { stage({indptr, 4, indices, 4, values, 3}); }),
            "vectors: 4 indices but 3 values");
  EXPECT_EQ(Message([&] { stage({indptr, 2, wide, 1, values, 1}); }), offsets);
  EXPECT_EQ(Message([&] { stage({late, 2, wide, 1, values, 1}); }), offsets);
  EXPECT_EQ(Message([&] { stage({decreasing, 3, indices, 4, values, 4}); }), offsets);
  EXPECT_EQ(Message([&] { stage({indptr, 0, indices, 4, values, 4}); }), offsets);
  const std::int64_t one[] = {0, 1};
  EXPECT_EQ(Message([&] { stage({one, 2, wide, 1, values, 1}); }),
            "vector 0: index 4294967296 is outside [0, 2**32)");
  Ids few({1, 2});
  EXPECT_EQ(Message([&] { idx::StageRows(index, {indptr, 4, indices, 4, values, 4}, &few); }),
            "the ids end after 2, before the vectors do");
  EXPECT_EQ(index.size(), 4u);
}

// Queries from text: the hits of encoding each query and searching for it.
TEST_F(IndexBatchesTest, SearchTextsEqualsSearchingEachQuery) {
  idx::InvertedIndex index;
  Texts texts(views_);
  index.Append(idx::StageTexts(index, *encoder_, texts, nullptr, 2));
  const std::vector<std::string_view> queries(views_.begin() + 100, views_.begin() + 400);
  for (const size_t threads : {1u, 3u}) {
    const idx::SearchResults results =
        idx::SearchTexts(index, *encoder_, queries.data(), queries.size(), 5, threads);
    ASSERT_EQ(results.ends.size(), queries.size());
    SparseEncoder::Scratch scratch;
    for (size_t q = 0; q < queries.size(); ++q) {
      SparseEncoder::HashedVectors vector;
      encoder_->EncodeHashed(&queries[q], 1, VectorKind::kQuery, vector, scratch);
      const auto hits = index.Search(vector.ids.data(), vector.values.data(), vector.ids.size(), 5);
      const size_t begin = q == 0 ? 0 : results.ends[q - 1];
      ASSERT_EQ(results.ends[q] - begin, hits.size()) << q;
      for (size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(results.ids[begin + i], hits[i].id);
        EXPECT_EQ(results.scores[begin + i], hits[i].score);
      }
    }
  }
}

}  // namespace
