#include "encoder/FoldMap.hpp"

#include <algorithm>

namespace kelp::typing::text::encoder {

namespace {

// The last span that starts before folded position `limit` (at or before,
// with `inclusive`), or nullptr.
const FoldMap::Span* LastSpanFrom(const std::vector<FoldMap::Span>& spans, size_t limit,
                                  bool inclusive) {
  const auto after = inclusive
      ? std::upper_bound(spans.begin(), spans.end(), limit,
                         [](size_t p, const FoldMap::Span& s) { return p < s.folded_begin; })
      : std::lower_bound(spans.begin(), spans.end(), limit,
                         [](const FoldMap::Span& s, size_t p) { return s.folded_begin < p; });
  return after == spans.begin() ? nullptr : &*(after - 1);
}

}  // namespace

size_t FoldMap::OriginalBegin(size_t folded) const noexcept {
  folded = std::min(folded, folded_size_);
  const Span* span = LastSpanFrom(spans_, folded, true);
  if (span == nullptr) {
    return folded;
  }
  if (folded < span->folded_end) {
    return span->original_begin;
  }
  return folded - span->folded_end + span->original_end;
}

size_t FoldMap::OriginalEnd(size_t folded) const noexcept {
  folded = std::min(folded, folded_size_);
  const Span* span = LastSpanFrom(spans_, folded, false);
  if (span == nullptr) {
    return folded;
  }
  if (folded <= span->folded_end) {
    return span->original_end;
  }
  return folded - span->folded_end + span->original_end;
}

}  // namespace kelp::typing::text::encoder
