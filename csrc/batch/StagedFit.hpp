// Fitting an encoder's model on a stream of texts, all or nothing.
//
// TrainStaged reads the source batch by batch (kFitBatchBytes or
// kFitBatchTexts, see BatchPolicy), so memory does not grow with the
// corpus. The workers (threads - 1, living for the call) train a model per
// thread on the chunks of one batch while the calling thread reads the next
// one from the source, then joins the work; once a batch is done the
// per-thread counts merge into staging counts. Only the commit changes the
// encoder's statistics, and only with those of the whole source:
// a source that throws part way (a text of the wrong kind, an interruption)
// leaves the model as it was. The result equals training on the texts one
// by one in order, whatever the thread count: texts that give no token are
// skipped.
//
// The calling thread alone calls the source, so a source that needs a lock
// of the caller's (the interpreter lock) takes it inside Next.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "bm25/BM25.hpp"
#include "encoder/SparseEncoder.hpp"

namespace kelp::typing::text::batch {

// Where a streaming fit gets its texts.
class TextSource {
 public:
  virtual ~TextSource() = default;

  // Replaces `texts` with the next texts of the source, until they hold
  // `max_bytes` of text or `max_texts` texts or the source ends; false when
  // none were left. The texts must stay valid until the call after next:
  // the previous batch is still being trained on while this one is read.
  virtual bool Next(size_t max_bytes, size_t max_texts, std::vector<std::string_view>& texts) = 0;
};

// The statistics of every text of `source` as `encoder` analyses it, in
// counts of their own (both fields, with the encoder's b and k1).
SparseEncoder::Counts TrainStaged(const SparseEncoder& encoder, TextSource& source, size_t threads);

// TrainStaged, then SparseEncoder::Commit of what it counted.
void Fit(const SparseEncoder& encoder, TextSource& source, size_t threads);

}  // namespace kelp::typing::text::batch
