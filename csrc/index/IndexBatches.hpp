// Work on many documents or queries of an index in one call, so that the
// caller converts its arguments once and leaves its lock once:
//
// - StageTexts encodes a stream of texts as documents on threads, straight
//   into an index staged apart (InvertedIndex::Staging), for Append.
// - StageRows does the same for vectors encoded elsewhere, as compressed
//   sparse rows with 64-bit column numbers (SciPy's and Python's arrays).
// - SearchTexts encodes queries on threads and searches for each.
//
// Staging is all or nothing: the index itself is only read (the caller pins
// it), so that a failure part way (a text or an id of the wrong kind, an id
// held already, an interruption) leaves it as it was, and only Append, which
// the caller makes under its lock, changes it. Memory beyond the staged
// documents' own segments stays bounded: StageTexts reads its texts a batch
// at a time (kFitBatchBytes or kFitBatchTexts, see BatchPolicy), encodes a
// batch on the workers while the calling thread adds the one before to the
// staged index and reads the next one.
//
// Ids: given by an IdSource, one per document in order, or, without one,
// running numbers from one past the largest id the index holds (from 0 for
// an index holding none). Each batch's ids are checked against the index as
// it comes, so that a held id fails before the rest is encoded.
//
// The calling thread alone calls the sources, so sources that need a lock
// of the caller's (the interpreter lock) take it inside Next. The encoder's
// statistics are read without a lock: the caller pins them (BM25::Pin), as
// for the batch encoders (BatchEncode.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "batch/StagedFit.hpp"
#include "encoder/SparseEncoder.hpp"
#include "index/InvertedIndex.hpp"

namespace kelp::typing::text::index {

// Where the ids of a stream of documents come from.
class IdSource {
 public:
  virtual ~IdSource() = default;

  // Appends the next ids, at most `count` of them, to `out`; returns how
  // many it appended (fewer than `count`: the ids have ended).
  virtual std::size_t Next(std::size_t count, std::vector<std::int64_t>& out) = 0;
};

// The documents of `texts`, encoded by `encoder` (document vectors, see
// SparseEncoder::EncodeHashed) on `threads` threads (0: every core), in a
// staged index of `index`. A text that is not UTF-8 is an empty document,
// with an ERROR record naming its position. Throws std::invalid_argument
// for an id held or given twice, for ids that end before the texts ("the
// ids end after 3, before the texts") or go on after them ("there are more
// ids than texts (4)"), and for running ids past the largest int64;
// std::runtime_error for a text with tokens before the encoder is fitted;
// and what the sources throw.
InvertedIndex StageTexts(const InvertedIndex& index, const SparseEncoder& encoder,
                         batch::TextSource& texts, IdSource* ids, std::size_t threads);

// Compressed sparse rows: the entries of row r are [indptr[r], indptr[r +
// 1]) of indices and values; indices are token ids.
struct CsrInput {
  const std::int64_t* indptr = nullptr;
  std::size_t offset_count = 0;  // rows + 1
  const std::int64_t* indices = nullptr;
  std::size_t index_count = 0;
  const double* values = nullptr;
  std::size_t value_count = 0;
};

// The documents of `rows` in a staged index of `index`, as StageTexts
// (but ids held are left for Append to refuse). Throws
// std::invalid_argument "vectors: ..." for no offsets, offsets that do not
// start at 0, decrease or pass the end of the indices, and other counts of
// indices and values; "vector <row>: index <i> is outside [0, 2**32)"; for
// ids as StageTexts does, and for weights as InvertedIndex::Add.
InvertedIndex StageRows(const InvertedIndex& index, const CsrInput& rows, IdSource* ids);

// The hits of each of texts[0, count) as a query (SparseEncoder's query
// vectors, kQuery), as InvertedIndex::SearchMany gives them, the encoding
// and the searches on `threads` threads (0: every core).
SearchResults SearchTexts(const InvertedIndex& index, const SparseEncoder& encoder,
                          const std::string_view* texts, std::size_t count, std::size_t k,
                          std::size_t threads);

}  // namespace kelp::typing::text::index
