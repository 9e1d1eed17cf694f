// How the batch calls divide their work: the thread count, the chunks a
// batch is cut into (the unit a thread works on at a time), and the size of
// the batches a streaming fit reads; and what they do with a text that is
// not valid UTF-8: it counts as empty (no words, an empty vector, no
// document), with one ERROR record that names its position, so that one bad
// text never costs the rest of the batch.
//
// A chunk is about kChunkBytes of text or kChunkTexts texts, whichever
// comes first: large enough that handing it over costs nothing next to its
// work, small enough that the threads finish together and that the results
// of a few chunks at a time are held before the caller takes them.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace kelp::typing::text::batch {

inline constexpr size_t kChunkBytes = 64 * 1024;
inline constexpr size_t kChunkTexts = 1024;
// A streaming fit reads its texts in batches of this much: enough to keep
// every thread busy, small enough that memory does not grow with the corpus.
inline constexpr size_t kFitBatchBytes = 8 << 20;
inline constexpr size_t kFitBatchTexts = 1 << 16;

// Texts [first, last) of a batch.
struct ChunkRange {
  size_t first = 0;
  size_t last = 0;

  size_t size() const noexcept { return last - first; }
  friend bool operator==(const ChunkRange& a, const ChunkRange& b) {
    return a.first == b.first && a.last == b.last;
  }
};

// The threads a batch call runs on: `requested`, or every core the process
// may use (see AvailableThreads) for 0.
size_t ResolveThreads(size_t requested);

// Consecutive chunks covering texts [0, count), in order; none for none.
std::vector<ChunkRange> SplitIntoChunks(const std::string_view* texts, size_t count);

// Replaces `out` with the texts of `range`, each text that is not valid
// UTF-8 replaced by an empty one after an ERROR record naming its position,
// `first_position` plus its index in `texts`.
void ValidTexts(const std::string_view* texts, ChunkRange range, size_t first_position,
                std::vector<std::string_view>& out);

}  // namespace kelp::typing::text::batch
