#include "batch/BatchPolicy.hpp"

#include "batch/OrderedChunks.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::batch {

size_t ResolveThreads(size_t requested) { return requested == 0 ? AvailableThreads() : requested; }

std::vector<ChunkRange> SplitIntoChunks(const std::string_view* texts, size_t count) {
  std::vector<ChunkRange> chunks;
  size_t bytes = 0;
  for (size_t k = 0; k < count; ++k) {
    if (chunks.empty() || bytes >= kChunkBytes || chunks.back().size() >= kChunkTexts) {
      chunks.push_back(ChunkRange{k, k});
      bytes = 0;
    }
    chunks.back().last = k + 1;
    bytes += texts[k].size();
  }
  return chunks;
}

void ValidTexts(const std::string_view* texts, ChunkRange range, size_t first_position,
                std::vector<std::string_view>& out) {
  out.assign(texts + range.first, texts + range.last);
  for (size_t t = 0; t < out.size(); ++t) {
    if (!jieba::IsValidUtf8(out[t])) {
      LIMONP_LOG(limonp::LL_ERROR) << "item " << first_position + range.first + t
                                   << " of the batch is not valid UTF-8: it counts as empty";
      out[t] = std::string_view();
    }
  }
}

}  // namespace kelp::typing::text::batch
