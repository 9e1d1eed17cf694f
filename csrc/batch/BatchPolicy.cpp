#include "batch/BatchPolicy.hpp"

#include "batch/OrderedChunks.hpp"

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

}  // namespace kelp::typing::text::batch
