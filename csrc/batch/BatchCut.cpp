#include "batch/BatchCut.hpp"

#include "batch/OrderedChunks.hpp"
#include "tokenizer/limonp/Hash.hpp"

namespace kelp::typing::text::batch {

void HashWords(std::string_view text, const std::vector<jieba::WordSpan>& spans,
               std::vector<uint64_t>& hashes) {
  for (const jieba::WordSpan& span : spans) {
    hashes.push_back(limonp::Fnv1a(text.data() + span.byte_offset, span.byte_length));
  }
}

void CutBatch(const jieba::Jieba& jieba, const std::string_view* texts, size_t count,
              jieba::CutMode mode, bool hmm, size_t threads,
              const std::function<void(CutChunk&)>& take) {
  const std::vector<ChunkRange> ranges = SplitIntoChunks(texts, count);
  std::vector<CutChunk> chunks(ranges.size());
  OrderedChunks runner(ranges.size(), ResolveThreads(threads), [&](size_t k, size_t) {
    CutChunk& chunk = chunks[k];
    chunk.texts = ranges[k];
    chunk.ends.reserve(ranges[k].size());
    std::vector<std::string_view> valid;
    ValidTexts(texts, ranges[k], 0, valid);
    std::vector<jieba::WordSpan> spans;
    for (const std::string_view text : valid) {
      jieba.Cut(mode, text, spans, hmm);
      chunk.spans.insert(chunk.spans.end(), spans.begin(), spans.end());
      HashWords(text, spans, chunk.hashes);
      chunk.ends.push_back(chunk.spans.size());
    }
  });
  size_t k;
  while (runner.Next(k)) {
    take(chunks[k]);
    chunks[k] = CutChunk();
  }
}

}  // namespace kelp::typing::text::batch
