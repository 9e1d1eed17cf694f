#include "index/Segment.hpp"

#include <algorithm>

namespace kelp::typing::text::index {

Segment::Segment(const SegmentArrays& arrays, std::shared_ptr<const void> storage, bool mapped)
    : arrays_(arrays), storage_(std::move(storage)), mapped_(mapped) {
  // About one term per bucket, at most 2^24 buckets.
  unsigned bits = 0;
  while (bits < 24 && (std::size_t{1} << bits) < arrays_.term_count) {
    ++bits;
  }
  bucket_shift_ = 32 - bits;
  const std::size_t buckets = std::size_t{1} << bits;
  buckets_.assign(buckets + 1, 0);
  std::size_t t = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    buckets_[b] = static_cast<std::uint32_t>(t);
    while (t < arrays_.term_count &&
           (bits == 0 ? 0 : arrays_.term_ids[t] >> bucket_shift_) == b) {
      ++t;
    }
  }
  buckets_[buckets] = static_cast<std::uint32_t>(arrays_.term_count);
}

std::shared_ptr<const Segment> Segment::Own(SegmentData data, std::uint32_t first_doc,
                                            std::uint32_t block_size) {
  auto owned = std::make_shared<const SegmentData>(std::move(data));
  SegmentArrays arrays;
  arrays.first_doc = first_doc;
  arrays.doc_count = static_cast<std::uint32_t>(owned->ids.size());
  arrays.block_size = block_size;
  arrays.ids = owned->ids.data();
  arrays.id_order = owned->id_order.data();
  arrays.term_count = owned->term_ids.size();
  arrays.term_ids = owned->term_ids.data();
  arrays.terms = owned->terms.data();
  arrays.posting_count = owned->docs.size();
  arrays.docs = owned->docs.data();
  arrays.weights = owned->weights.data();
  arrays.block_count = owned->blocks.size();
  arrays.blocks = owned->blocks.data();
  return std::make_shared<const Segment>(arrays, std::move(owned), false);
}

std::pair<const std::uint32_t*, const std::uint32_t*> Segment::Ordinals(
    std::int64_t id) const noexcept {
  const std::uint32_t* first = arrays_.id_order;
  const std::uint32_t* last = first + arrays_.doc_count;
  const std::int64_t* ids = arrays_.ids;
  first = std::lower_bound(first, last, id,
                           [ids](std::uint32_t local, std::int64_t v) { return ids[local] < v; });
  last = std::upper_bound(first, last, id,
                          [ids](std::int64_t v, std::uint32_t local) { return v < ids[local]; });
  return {first, last};
}

std::size_t Segment::HeldBytes() const noexcept {
  std::size_t bytes = buckets_.capacity() * sizeof(std::uint32_t);
  if (!mapped_) {
    const SegmentArrays& a = arrays_;
    bytes += a.doc_count * (sizeof(std::int64_t) + sizeof(std::uint32_t)) +
             a.term_count * (sizeof(std::uint32_t) + sizeof(TermInfo)) +
             a.posting_count * (sizeof(std::uint32_t) + sizeof(float)) +
             a.block_count * sizeof(BlockInfo);
  }
  return bytes;
}

}  // namespace kelp::typing::text::index
