// A segment: an immutable part of an index, documents with consecutive
// ordinals and the postings of their tokens, as flat arrays that a file maps
// as they are.
//
// Documents are numbered by ordinals global to their index; a segment holds
// [first_doc, first_doc + doc_count). Per document: its id (`ids`, by
// ordinal), and `id_order`, the segment's local ordinals sorted by (id,
// ordinal) for finding a document by id. Per term, in ascending token order:
// its token (`term_ids`) and a TermInfo locating its postings, which are
// (global ordinal, float weight) pairs in ascending ordinal order, split
// between `docs` and `weights`, and cut into blocks of `block_size` postings
// (the last one shorter) each summed up by a BlockInfo. The pruned search
// skips blocks by their last document and bounds scores by their extreme
// weights.
//
// The arrays live in `storage`: a mapped file, an aligned copy of one, or
// vectors built in memory (SegmentData). A segment only reads them, so any
// number of threads may search it at once. Cost beyond the arrays: a
// bucket table for finding terms, about 4 bytes per term, built by the
// constructor in one pass over the terms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

namespace kelp::typing::text::index {

// Where the postings of a term are: docs and weights [first, first + count),
// blocks [first_block, first_block + ceil(count / block_size)); its extreme
// weights.
struct TermInfo {
  std::uint64_t first;
  std::uint32_t count;
  std::uint32_t first_block;
  float max_weight;
  float min_weight;
};

// A block of postings: its last ordinal and its extreme weights.
struct BlockInfo {
  std::uint32_t last_doc;
  float max_weight;
  float min_weight;
};

static_assert(sizeof(TermInfo) == 24 && std::is_trivially_copyable_v<TermInfo>);
static_assert(sizeof(BlockInfo) == 12 && std::is_trivially_copyable_v<BlockInfo>);

// No ordinal takes this value: cursors use it for "past the end".
inline constexpr std::uint32_t kNoDocument = UINT32_MAX;

// The arrays of a segment (see the top of this file), borrowed.
struct SegmentArrays {
  std::uint32_t first_doc = 0;
  std::uint32_t doc_count = 0;
  std::uint32_t block_size = 1;  // a power of two
  const std::int64_t* ids = nullptr;
  const std::uint32_t* id_order = nullptr;
  std::size_t term_count = 0;
  const std::uint32_t* term_ids = nullptr;
  const TermInfo* terms = nullptr;
  std::size_t posting_count = 0;
  const std::uint32_t* docs = nullptr;
  const float* weights = nullptr;
  std::size_t block_count = 0;
  const BlockInfo* blocks = nullptr;
};

// The arrays of a segment built in memory.
struct SegmentData {
  std::vector<std::int64_t> ids;
  std::vector<std::uint32_t> id_order;
  std::vector<std::uint32_t> term_ids;
  std::vector<TermInfo> terms;
  std::vector<std::uint32_t> docs;
  std::vector<float> weights;
  std::vector<BlockInfo> blocks;
};

class Segment {
 public:
  // Views `arrays`, which `storage` keeps alive; `mapped` says whether they
  // are a file's mapping (which the index never copies into memory).
  Segment(const SegmentArrays& arrays, std::shared_ptr<const void> storage, bool mapped);

  // A segment owning `data`, its documents starting at ordinal `first_doc`.
  static std::shared_ptr<const Segment> Own(SegmentData data, std::uint32_t first_doc,
                                            std::uint32_t block_size);

  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  const SegmentArrays& arrays() const noexcept { return arrays_; }
  bool mapped() const noexcept { return mapped_; }

  // The postings of `token`, or null when no document here has it.
  const TermInfo* Find(std::uint32_t token) const noexcept {
    const std::size_t bucket = bucket_shift_ >= 32 ? 0 : token >> bucket_shift_;
    const std::uint32_t* ids = arrays_.term_ids;
    for (std::uint32_t t = buckets_[bucket], last = buckets_[bucket + 1]; t < last; ++t) {
      if (ids[t] >= token) {
        return ids[t] == token ? arrays_.terms + t : nullptr;
      }
    }
    return nullptr;
  }

  // The local ordinals of the documents whose id is `id` (more than one only
  // when earlier ones were removed), as a range of id_order.
  std::pair<const std::uint32_t*, const std::uint32_t*> Ordinals(std::int64_t id) const noexcept;

  // Bytes of memory the segment holds itself: its arrays unless mapped, and
  // its bucket table.
  std::size_t HeldBytes() const noexcept;

 private:
  SegmentArrays arrays_;
  std::shared_ptr<const void> storage_;
  bool mapped_;
  // Terms whose token has the high bits b (token >> bucket_shift_) are
  // [buckets_[b], buckets_[b + 1]): tokens are hashes, so a bucket holds
  // about one term.
  unsigned bucket_shift_ = 32;
  std::vector<std::uint32_t> buckets_;
};

}  // namespace kelp::typing::text::index
