#include "index/IndexBatches.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "batch/BatchEncode.hpp"
#include "batch/BatchPolicy.hpp"
#include "batch/OrderedChunks.hpp"

namespace kelp::typing::text::index {

namespace {

// The ids of a stream's documents, a batch at a time: the source's, or
// running numbers from one past the largest id held.
class BatchIds {
 public:
  BatchIds(const InvertedIndex& index, IdSource* source) : source_(source) {
    if (source_ == nullptr) {
      const std::optional<std::int64_t> largest = index.LargestId();
      left_ = !largest || *largest < std::numeric_limits<std::int64_t>::max();
      next_ = largest && left_ ? *largest + 1 : 0;
    }
  }

  // Replaces `out` with the ids of the next `count` documents.
  void Take(std::size_t count, const char* documents, std::vector<std::int64_t>& out) {
    out.clear();
    if (source_ != nullptr) {
      const std::size_t got = source_->Next(count, out);
      taken_ += got;
      if (got < count) {
        throw std::invalid_argument("the ids end after " + std::to_string(taken_) +
                                    ", before the " + documents + " do");
      }
      return;
    }
    if (count == 0) {
      return;
    }
    constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max();
    if (!left_ || count - 1 > static_cast<std::uint64_t>(kLargest - next_)) {
      throw std::invalid_argument("the running ids would pass " + std::to_string(kLargest) +
                                  ", the largest int64: give the ids");
    }
    for (std::size_t i = 0; i < count; ++i) {
      out.push_back(next_ + static_cast<std::int64_t>(i));
    }
    const std::int64_t last = out.back();
    left_ = last < kLargest;
    next_ = left_ ? last + 1 : 0;
  }

  // Throws when the source holds more ids than there were documents.
  void Finish(const char* documents) {
    std::vector<std::int64_t> extra;
    if (source_ != nullptr && source_->Next(1, extra) != 0) {
      throw std::invalid_argument(std::string("there are more ids than ") + documents + " (" +
                                  std::to_string(taken_) + ")");
    }
  }

 private:
  IdSource* source_;
  std::size_t taken_ = 0;
  std::int64_t next_ = 0;
  bool left_ = true;
};

void Append(const SparseEncoder::HashedVectors& chunk, SparseEncoder::HashedVectors& all) {
  const std::size_t base = all.ids.size();
  all.ids.insert(all.ids.end(), chunk.ids.begin(), chunk.ids.end());
  all.values.insert(all.values.end(), chunk.values.begin(), chunk.values.end());
  for (const std::size_t end : chunk.ends) {
    all.ends.push_back(base + end);
  }
}

// Adds the vectors of `pending` with `ids` to `staged`, and empties it.
void AddPending(InvertedIndex& staged, SparseEncoder::HashedVectors& pending,
                const std::vector<std::int64_t>& ids) {
  staged.Add(SparseRows::Of(pending), ids.data());
  pending.ids.clear();
  pending.values.clear();
  pending.ends.clear();
}

}  // namespace

InvertedIndex StageTexts(const InvertedIndex& index, const SparseEncoder& encoder,
                         batch::TextSource& texts, IdSource* ids, std::size_t threads) {
  const std::size_t thread_count = batch::ResolveThreads(threads);
  InvertedIndex staged = index.Staging();
  BatchIds running(index, ids);
  std::vector<SparseEncoder::Scratch> scratch(thread_count);
  std::vector<std::vector<std::string_view>> valid(thread_count);
  std::vector<std::string_view> batch;
  std::vector<std::string_view> next;
  std::vector<std::int64_t> batch_ids;
  std::vector<std::int64_t> pending_ids;
  SparseEncoder::HashedVectors pending;  // the batch before, to add
  std::size_t position = 0;              // of the batch's first text in the source
  bool more = texts.Next(batch::kFitBatchBytes, batch::kFitBatchTexts, batch);
  while (more) {
    running.Take(batch.size(), "texts", batch_ids);
    index.CheckNewIds(batch_ids.data(), batch_ids.size());
    const std::vector<batch::ChunkRange> ranges = batch::SplitIntoChunks(batch.data(), batch.size());
    std::vector<SparseEncoder::HashedVectors> chunks(ranges.size());
    // Declared after what its workers read, so that on an exception it
    // stops and joins them first.
    batch::OrderedChunks runner(ranges.size(), thread_count, [&](std::size_t k, std::size_t thread) {
      batch::ValidTexts(batch.data(), ranges[k], position, valid[thread]);
      encoder.EncodeHashed(valid[thread].data(), ranges[k].size(), VectorKind::kDocument,
                           chunks[k], scratch[thread]);
    });
    AddPending(staged, pending, pending_ids);
    more = texts.Next(batch::kFitBatchBytes, batch::kFitBatchTexts, next);
    std::size_t k;
    while (runner.Next(k)) {
      Append(chunks[k], pending);
      chunks[k] = SparseEncoder::HashedVectors();
    }
    pending_ids.swap(batch_ids);
    position += batch.size();
    batch.swap(next);
  }
  AddPending(staged, pending, pending_ids);
  running.Finish("texts");
  return staged;
}

InvertedIndex StageRows(const InvertedIndex& index, const CsrInput& rows, IdSource* ids) {
  if (rows.index_count != rows.value_count) {
    throw std::invalid_argument("vectors: " + std::to_string(rows.index_count) + " indices but " +
                                std::to_string(rows.value_count) + " values");
  }
  const std::int64_t* indptr = rows.indptr;
  bool sound = rows.offset_count > 0 && indptr[0] == 0;
  for (std::size_t r = 1; sound && r < rows.offset_count; ++r) {
    sound = indptr[r - 1] <= indptr[r];
  }
  if (!sound || static_cast<std::uint64_t>(indptr[rows.offset_count - 1]) > rows.index_count) {
    throw std::invalid_argument(
        "vectors: the row offsets (indptr) must start at 0, never decrease, and end at most at "
        "the number of indices");
  }
  const std::size_t count = rows.offset_count - 1;
  std::vector<std::uint32_t> tokens(static_cast<std::size_t>(indptr[count]));
  std::vector<std::size_t> ends(count);
  for (std::size_t r = 0; r < count; ++r) {
    for (auto i = static_cast<std::size_t>(indptr[r]); i < static_cast<std::size_t>(indptr[r + 1]);
         ++i) {
      const std::int64_t token = rows.indices[i];
      if (token < 0 || token > std::int64_t{UINT32_MAX}) {
        throw std::invalid_argument("vector " + std::to_string(r) + ": index " +
                                    std::to_string(token) + " is outside [0, 2**32)");
      }
      tokens[i] = static_cast<std::uint32_t>(token);
    }
    ends[r] = static_cast<std::size_t>(indptr[r + 1]);
  }
  std::vector<std::int64_t> row_ids;
  BatchIds running(index, ids);
  running.Take(count, "vectors", row_ids);
  running.Finish("vectors");
  InvertedIndex staged = index.Staging();
  staged.Add(SparseRows{tokens.data(), rows.values, ends.data(), count}, row_ids.data());
  return staged;
}

SearchResults SearchTexts(const InvertedIndex& index, const SparseEncoder& encoder,
                          const std::string_view* texts, std::size_t count, std::size_t k,
                          std::size_t threads) {
  SparseEncoder::HashedVectors queries;
  queries.ends.reserve(count);
  batch::EncodeBatch(encoder, texts, count, VectorKind::kQuery, threads,
                     [&queries](batch::HashedChunk& chunk) { Append(chunk.vectors, queries); });
  return index.SearchMany(SparseRows::Of(queries), k, threads);
}

}  // namespace kelp::typing::text::index
