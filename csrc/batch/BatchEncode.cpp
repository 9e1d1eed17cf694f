#include "batch/BatchEncode.hpp"

#include "batch/OrderedChunks.hpp"
#include "tokenizer/limonp/Hash.hpp"

namespace kelp::typing::text::batch {

namespace {

// Runs encode(texts, chunk, scratch) on every chunk of the batch, `texts`
// being the chunk's texts with those that are not UTF-8 emptied, and hands
// each finished chunk to take(chunk), in order.
template <typename Chunk, typename Encode, typename Take>
void RunChunks(const std::string_view* texts, size_t count, size_t threads, Encode&& encode,
               Take&& take) {
  const std::vector<ChunkRange> ranges = SplitIntoChunks(texts, count);
  const size_t thread_count = ResolveThreads(threads);
  std::vector<SparseEncoder::Scratch> scratch(thread_count);
  std::vector<std::vector<std::string_view>> valid(thread_count);
  std::vector<Chunk> chunks(ranges.size());
  OrderedChunks runner(ranges.size(), thread_count, [&](size_t k, size_t thread) {
    chunks[k].texts = ranges[k];
    ValidTexts(texts, ranges[k], 0, valid[thread]);
    encode(valid[thread].data(), chunks[k], scratch[thread]);
  });
  size_t k;
  while (runner.Next(k)) {
    take(chunks[k]);
    chunks[k] = Chunk();
  }
}

}  // namespace

void EncodeBatch(const SparseEncoder& encoder, const std::string_view* texts, size_t count,
                 VectorKind kind, size_t threads, const std::function<void(HashedChunk&)>& take) {
  RunChunks<HashedChunk>(
      texts, count, threads,
      [&](const std::string_view* valid, HashedChunk& chunk, SparseEncoder::Scratch& scratch) {
        encoder.EncodeHashed(valid, chunk.texts.size(), kind, chunk.vectors, scratch);
      },
      take);
}

void EncodeWordsBatch(const SparseEncoder& encoder, const std::string_view* texts, size_t count,
                      VectorKind kind, size_t threads,
                      const std::function<void(WordChunk&)>& take) {
  RunChunks<WordChunk>(
      texts, count, threads,
      [&](const std::string_view* valid, WordChunk& chunk, SparseEncoder::Scratch& scratch) {
        encoder.EncodeWords(valid, chunk.texts.size(), kind, chunk.vectors, scratch);
        size_t begin = 0;
        for (size_t t = 0; t < chunk.texts.size(); ++t) {
          const std::string_view text =
              chunk.vectors.folded[t].empty() ? valid[t] : chunk.vectors.folded[t];
          for (size_t i = begin; i < chunk.vectors.ends[t]; ++i) {
            const jieba::WordSpan& token = chunk.vectors.tokens[i];
            chunk.hashes.push_back(limonp::Fnv1a(text.data() + token.byte_offset, token.byte_length));
          }
          begin = chunk.vectors.ends[t];
        }
      },
      take);
}

CsrRows EncodeCsr(const SparseEncoder& encoder, const std::string_view* texts, size_t count,
                  VectorKind kind, size_t threads) {
  CsrRows rows;
  rows.indptr.reserve(count + 1);
  EncodeBatch(encoder, texts, count, kind, threads, [&rows](HashedChunk& chunk) {
    const int64_t base = rows.indptr.back();
    for (const size_t end : chunk.vectors.ends) {
      rows.indptr.push_back(base + static_cast<int64_t>(end));
    }
    rows.indices.insert(rows.indices.end(), chunk.vectors.ids.begin(), chunk.vectors.ids.end());
    rows.data.insert(rows.data.end(), chunk.vectors.values.begin(), chunk.vectors.values.end());
  });
  return rows;
}

}  // namespace kelp::typing::text::batch
