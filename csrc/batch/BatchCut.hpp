// Cutting a batch of texts on several threads.
//
// The texts are cut chunk by chunk (see BatchPolicy) by the calling thread
// and threads - 1 workers, which live for the call. Each finished chunk is
// handed to `take` on the calling thread, in input order, while the workers
// go on with later chunks: the caller can turn the words into its own
// objects (Python lists, say) with a lock that only it may take, and the
// memory of a chunk goes as soon as `take` returns. The words are those of
// Jieba::Cut on each text alone, whatever the thread count.
//
// `take` may throw; the call then stops the workers and rethrows. Texts must
// stay alive and unchanged for the call; the segmenter may be shared with
// other threads (its cuts are const).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "batch/BatchPolicy.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text::batch {

// The words of the texts of one chunk.
struct CutChunk {
  ChunkRange texts;
  // The words of every text of the chunk, text after text, as spans of
  // their own text; those of text `texts.first + t` are [ends[t - 1],
  // ends[t]) (from 0 for t = 0).
  std::vector<jieba::WordSpan> spans;
  // The FNV-1a hash of each word's bytes (limonp::Fnv1a), for callers that
  // make each distinct word once.
  std::vector<uint64_t> hashes;
  std::vector<size_t> ends;
};

void CutBatch(const jieba::Jieba& jieba, const std::string_view* texts, size_t count,
              jieba::CutMode mode, bool hmm, size_t threads,
              const std::function<void(CutChunk&)>& take);

// Appends to `hashes` the FNV-1a hash of the bytes of each word of `text`
// at `spans`.
void HashWords(std::string_view text, const std::vector<jieba::WordSpan>& spans,
               std::vector<uint64_t>& hashes);

}  // namespace kelp::typing::text::batch
