// The batch calls: chunking, thread counts, order, results equal to the
// per-text ones, and a fit that commits all or nothing.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "SegmentFixture.hpp"
#include "batch/BatchCut.hpp"
#include "batch/BatchEncode.hpp"
#include "batch/BatchPolicy.hpp"
#include "batch/StagedFit.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/limonp/Logging.hpp"

namespace batch = kelp::typing::text::batch;
namespace jieba = kelp::typing::text::jieba;
namespace limonp = kelp::typing::text::limonp;
using kelp::typing::text::BM25;
using kelp::typing::text::EncoderSettings;
using kelp::typing::text::SparseEncoder;
using kelp::typing::text::VectorKind;
using namespace razoduviva_test;

namespace {

// Hands out `texts` in batches; throws once `fail_at` texts have been read.
class VectorSource : public batch::TextSource {
 public:
  explicit VectorSource(const Strings& texts, size_t fail_at = SIZE_MAX)
      : texts_(texts), fail_at_(fail_at) {}

  bool Next(size_t max_bytes, size_t max_texts, std::vector<std::string_view>& out) override {
    out.clear();
    size_t bytes = 0;
    while (position_ < texts_.size() && out.size() < max_texts && bytes < max_bytes) {
      if (position_ == fail_at_) {
        throw std::runtime_error("source failed");
      }
      out.push_back(texts_[position_]);
      bytes += texts_[position_++].size();
    }
    return !out.empty();
  }

 private:
  const Strings& texts_;
  size_t fail_at_;
  size_t position_ = 0;
};

class BatchTest : public testing::Test {
 protected:
  void SetUp() override {
    facade_ = std::make_shared<jieba::Jieba>(
        dir_.Write("dict.txt", kA + kB + " 10 n\n" + kE + kF + " 10 n\n" + kC + " 5 n\n"),
        dir_.Write("hmm.txt", JoiningModel()), "", dir_.Write("idf.txt", kA + kB + " 2\n"),
        dir_.Write("stop.txt", kC + "\n"));
    // Texts of every length, so that chunks end on both of their limits.
    const Strings pieces = {kA + kB, kC, " ", kE + kF, kK + kX, "ab 12", kD};
    for (size_t t = 0; t < 5000; ++t) {
      std::string text;
      for (size_t k = 0; k < (t * 7) % 40; ++k) {
        text += pieces[(t + k * 3) % pieces.size()];
      }
      texts_.push_back(text);
    }
    views_.assign(texts_.begin(), texts_.end());
  }

  SparseEncoder Encoder(std::shared_ptr<BM25> model = std::make_shared<BM25>()) const {
    return SparseEncoder(facade_, EncoderSettings(), std::move(model));
  }

  ScratchDir dir_;
  std::shared_ptr<jieba::Jieba> facade_;
  Strings texts_;
  std::vector<std::string_view> views_;
};

TEST(BatchPolicyTest, ChunksCoverTheBatchWithinTheirLimits) {
  const std::string big(batch::kChunkBytes + 1, 'a');
  std::vector<std::string_view> texts(3 * batch::kChunkTexts, "x");
  texts[5] = big;  // ends its chunk on bytes
  const std::vector<batch::ChunkRange> chunks = batch::SplitIntoChunks(texts.data(), texts.size());
  ASSERT_FALSE(chunks.empty());
  EXPECT_EQ(chunks.front(), (batch::ChunkRange{0, 6}));
  for (size_t k = 0; k < chunks.size(); ++k) {
    EXPECT_EQ(chunks[k].first, k == 0 ? 0 : chunks[k - 1].last);
    EXPECT_GT(chunks[k].size(), 0u);
    EXPECT_LE(chunks[k].size(), batch::kChunkTexts);
  }
  EXPECT_EQ(chunks.back().last, texts.size());
  EXPECT_TRUE(batch::SplitIntoChunks(texts.data(), 0).empty());
  EXPECT_EQ(batch::ResolveThreads(3), 3u);
  EXPECT_GE(batch::ResolveThreads(0), 1u);
}

// Every text's words, in order, as its own cut gives them, on any number
// of threads; chunks come back in order and cover the batch.
TEST_F(BatchTest, CutEqualsCuttingEachText) {
  for (const size_t threads : {1u, 2u, 7u}) {
    size_t next = 0;
    batch::CutBatch(*facade_, views_.data(), views_.size(), jieba::CutMode::kSearch, true, threads,
                    [&](batch::CutChunk& chunk) {
                      ASSERT_EQ(chunk.texts.first, next);
                      next = chunk.texts.last;
                      ASSERT_EQ(chunk.hashes.size(), chunk.spans.size());
                      size_t begin = 0;
                      for (size_t t = chunk.texts.first; t < chunk.texts.last; ++t) {
                        std::vector<jieba::WordSpan> expected;
                        facade_->Cut(jieba::CutMode::kSearch, views_[t], expected, true);
                        const size_t end = chunk.ends[t - chunk.texts.first];
                        ASSERT_EQ(std::vector<jieba::WordSpan>(chunk.spans.begin() + begin,
                                                               chunk.spans.begin() + end),
                                  expected);
                        begin = end;
                      }
                    });
    EXPECT_EQ(next, views_.size());
  }
}

TEST_F(BatchTest, EncodeEqualsEncodingEachText) {
  const SparseEncoder encoder = Encoder();
  VectorSource source(texts_);
  batch::Fit(encoder, source, 2);
  SparseEncoder::Scratch scratch;
  for (const size_t threads : {1u, 3u}) {
    const batch::CsrRows rows =
        batch::EncodeCsr(encoder, views_.data(), views_.size(), VectorKind::kDocument, threads);
    ASSERT_EQ(rows.indptr.size(), views_.size() + 1);
    size_t next = 0;
    batch::EncodeWordsBatch(encoder, views_.data(), views_.size(), VectorKind::kQuery, threads,
                            [&](batch::WordChunk& chunk) {
                              ASSERT_EQ(chunk.texts.first, next);
                              next = chunk.texts.last;
                              SparseEncoder::WordVectors expected;
                              encoder.EncodeWords(views_.data() + chunk.texts.first,
                                                  chunk.texts.size(), VectorKind::kQuery,
                                                  expected, scratch);
                              EXPECT_EQ(chunk.vectors.values, expected.values);
                              EXPECT_EQ(chunk.vectors.ends, expected.ends);
                              EXPECT_EQ(chunk.hashes.size(), expected.tokens.size());
                            });
    EXPECT_EQ(next, views_.size());
    for (size_t t = 0; t < views_.size(); t += 97) {
      SparseEncoder::HashedVectors one;
      encoder.EncodeHashed(&views_[t], 1, VectorKind::kDocument, one, scratch);
      const auto begin = static_cast<size_t>(rows.indptr[t]);
      ASSERT_EQ(static_cast<size_t>(rows.indptr[t + 1]) - begin, one.ids.size());
      for (size_t k = 0; k < one.ids.size(); ++k) {
        EXPECT_EQ(rows.indices[begin + k], one.ids[k]);
        EXPECT_EQ(rows.data[begin + k], one.values[k]);
      }
    }
  }
}

// The staged fit gives the model of training text by text, whatever the
// thread count and the batch boundaries.
TEST_F(BatchTest, FitEqualsTrainingTextByText) {
  const SparseEncoder reference = Encoder();
  SparseEncoder::Scratch scratch;
  SparseEncoder::Counts counts(reference);
  reference.Train(views_.data(), views_.size(), counts, scratch);
  reference.Commit(counts);
  for (const size_t threads : {1u, 2u, 5u}) {
    const SparseEncoder encoder = Encoder();
    VectorSource source(texts_);
    batch::Fit(encoder, source, threads);
    EXPECT_EQ(encoder.model()->serialize(), reference.model()->serialize()) << threads;
  }
}

// A source that fails part way, or a model pinned by a reader, leaves the
// model as it was; a fit on a model with documents adds to them.
TEST_F(BatchTest, FitCommitsAllOrNothing) {
  auto model = std::make_shared<BM25>();
  model->train(Strings{"x", "y"});
  const std::string before = model->serialize();
  const SparseEncoder encoder = Encoder(model);
  VectorSource failing(texts_, 3000);
  EXPECT_THROW(batch::Fit(encoder, failing, 2), std::runtime_error);
  EXPECT_EQ(model->serialize(), before);
  {
    const BM25::Pin pin(*model);
    VectorSource source(texts_);
    EXPECT_THROW(batch::Fit(encoder, source, 2), std::runtime_error);
    EXPECT_EQ(model->serialize(), before);
  }
  VectorSource source(texts_);
  batch::Fit(encoder, source, 2);
  EXPECT_GT(model->doc_count(), 1);
  const SparseEncoder fresh = Encoder();
  const Strings none;
  VectorSource empty(none);
  batch::Fit(fresh, empty, 2);
  EXPECT_EQ(fresh.model()->doc_count(), 0);
}

// The messages of the records a thread writes.
class Messages : public limonp::LogSink {
 public:
  void Write(const Record& record) noexcept override {
    const std::lock_guard<std::mutex> lock(mutex_);
    texts.emplace_back(record.message);
  }
  std::vector<std::string> texts;

 private:
  std::mutex mutex_;
};

// A text that is not UTF-8 counts as empty, with one record naming its
// place in the batch (in the whole stream, for a fit); the rest of the
// batch is as usual, on any number of threads.
TEST_F(BatchTest, TextsThatAreNotUtf8CountAsEmpty) {
  Strings texts = {kA + kB, "\xFF" + kA, kE + kF, "\xED\xA0\x80", kC};
  const std::vector<std::string_view> views(texts.begin(), texts.end());
  for (const size_t threads : {1u, 3u}) {
    Messages messages;
    const limonp::ScopedLogSink records(&messages);
    std::vector<size_t> words;
    batch::CutBatch(*facade_, views.data(), views.size(), jieba::CutMode::kDefault, true, threads,
                    [&](batch::CutChunk& chunk) {
                      size_t begin = 0;
                      for (const size_t end : chunk.ends) {
                        words.push_back(end - begin);
                        begin = end;
                      }
                    });
    EXPECT_EQ(words, (std::vector<size_t>{1, 0, 1, 0, 1}));
    EXPECT_EQ(messages.texts, (std::vector<std::string>{
                                  "item 1 of the batch is not valid UTF-8: it counts as empty",
                                  "item 3 of the batch is not valid UTF-8: it counts as empty"}));
  }
  Messages messages;
  const limonp::ScopedLogSink records(&messages);
  const SparseEncoder encoder = Encoder();
  VectorSource source(texts);
  batch::Fit(encoder, source, 2);
  EXPECT_EQ(encoder.model()->doc_count(), 2);  // A B and E F; C is a stop word
  EXPECT_EQ(messages.texts.size(), 2u);
}

}  // namespace
