// Encoding a batch of texts on several threads: hashed vectors handed back
// chunk by chunk, word-keyed vectors likewise, or all the hashed vectors as
// compressed sparse rows.
//
// Like CutBatch: chunks (see BatchPolicy) worked by the calling thread and
// threads - 1 workers that live for the call, each finished chunk handed to
// `take` on the calling thread in input order, its memory freed when `take`
// returns; the vectors are those of the encoder on each text alone,
// whatever the thread count.
//
// The batch reads the encoder's model without a lock: the caller must keep
// it from changing for the call, by pinning it (BM25::Pin) under the lock
// that serialises its changes. A text with tokens before the model has any
// document makes the call throw std::runtime_error "BM25 has not been
// initialized" (kDocument, kQuery).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "batch/BatchPolicy.hpp"
#include "encoder/SparseEncoder.hpp"

namespace kelp::typing::text::batch {

struct HashedChunk {
  ChunkRange texts;
  SparseEncoder::HashedVectors vectors;
};

struct WordChunk {
  ChunkRange texts;
  // Token spans point into their own text, texts.first + t, or into
  // vectors.folded[t] where the fold changed it.
  SparseEncoder::WordVectors vectors;
  // The FNV-1a hash of each token's bytes (limonp::Fnv1a).
  std::vector<uint64_t> hashes;
};

// All the vectors of a batch as compressed sparse rows: the entries of text
// t are [indptr[t], indptr[t + 1]) of indices and data, ids ascending.
struct CsrRows {
  std::vector<int64_t> indptr{0};
  std::vector<int64_t> indices;
  std::vector<double> data;
};

void EncodeBatch(const SparseEncoder& encoder, const std::string_view* texts, size_t count,
                 VectorKind kind, size_t threads, const std::function<void(HashedChunk&)>& take);

void EncodeWordsBatch(const SparseEncoder& encoder, const std::string_view* texts, size_t count,
                      VectorKind kind, size_t threads,
                      const std::function<void(WordChunk&)>& take);

CsrRows EncodeCsr(const SparseEncoder& encoder, const std::string_view* texts, size_t count,
                  VectorKind kind, size_t threads);

}  // namespace kelp::typing::text::batch
