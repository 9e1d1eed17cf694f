// Scoring a query against one segment, into a TopK shared by the segments
// of an index: exhaustively, or with dynamic pruning that gives the same
// hits.
//
// The score of a document is the sum, over the tokens it shares with the
// query taken in ascending token order, of query weight x stored weight
// (the float widened to double), added left to right in double from 0.0. A
// document is a hit when it shares at least one token with the query
// (whatever the weights, zero included). Both scorers give exactly this
// sum, so their hits, scores and order agree bit for bit.
//
// Both work on windows of kWindow consecutive ordinals, term at a time
// within a window, into an accumulator of the window's documents.
//
// Exhaustive: every posting of the query's terms, the terms in ascending
// token order, so that the accumulator holds the scores themselves.
//
// Pruned (MaxScore over windows, with block maxima): a term's bound is the
// largest product of its query weight with one of its stored weights (at
// least 0); in a window, the largest with a weight of its blocks there.
// Terms whose bounds add up to less than the k-th score held so far may be
// left out: a document having only those cannot enter. Windows start at the
// next posting of a term that may not be left out, by whole-segment bounds.
// A window whose bounds add up to less than the k-th score is skipped
// whole. Otherwise the terms that may be left out are (those of them with
// too few postings in the window to be worth looking up are added up
// instead); the others' postings there are added up, the documents so
// found are kept while their partial sum plus the bounds of the terms left
// out and not yet looked at can reach the k-th score, and those terms are
// looked up one at a time, the largest bound first, for the documents still
// kept. The few that can still enter get their score proper, summed in
// token order. When every term is added up, the window is scored as the
// exhaustive search does. When no product can be negative and the segment
// holds no removed document, the k-th score is known from the start to be
// at least the k-th largest block maximum of a term (k blocks summarise k
// documents, each scoring at least that product), so that pruning starts at
// once. Bounds take query weights of either sign: a negative weight bounds
// by the smallest stored weight. Every comparison of a bound or partial sum
// with the k-th score keeps a margin for the rounding of sums taken in
// another order than the score's own, so that no document that would enter
// is ever skipped.
//
// Cost: no allocation once the scratch has grown to the largest query. The
// functions are stateless; a Scratch belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "index/Segment.hpp"
#include "index/TopK.hpp"

namespace kelp::typing::text::index {

// A position in the postings of one query term.
struct PostingCursor {
  const std::uint32_t* docs;
  const float* weights;
  const BlockInfo* blocks;
  std::uint32_t count;
  std::uint32_t pos;
  std::uint32_t doc;   // docs[pos], or kNoDocument past the end
  std::uint32_t rank;  // the term's place in the query
  std::uint32_t seek;  // where Holds looks from, in the current window
  unsigned block_shift;
  bool negative;  // the query weight is negative: bounds come from minima
  double q;       // the query weight
  double bound;   // the largest product of the term, at least 0

  double Product(std::uint32_t at) const noexcept {
    return q * static_cast<double>(weights[at]);
  }

  // The largest product of the postings from here to the first ordinal at
  // or past `end`, at least 0, by the blocks they fall in (doc must not be
  // kNoDocument).
  double BoundBefore(std::uint32_t end) const noexcept;

  // The position of the first posting whose ordinal is at least `target`,
  // from here on (count when none).
  std::uint32_t Find(std::uint32_t target) const noexcept;

  // Moves to the first posting whose ordinal is at least `target`.
  void SkipTo(std::uint32_t target) noexcept {
    pos = Find(target);
    doc = pos < count ? docs[pos] : kNoDocument;
  }

  // Whether the term has `target`, looking forward from `seek` (which it
  // moves there); targets must come in ascending order.
  bool Holds(std::uint32_t target) noexcept;
};

class SegmentSearch {
 public:
  // Buffers of the searches of one thread; their contents between calls
  // are the search's own.
  // Ordinals per window: 128 KB of sums (in the level 2 cache), a bit per
  // ordinal.
  static constexpr std::uint32_t kWindow = 16384;

  // Buffers of the searches of one thread; their contents between calls
  // are the search's own.
  struct Scratch {
    // The query: tokens strictly ascending, weights merged (see Prepare).
    std::vector<std::uint32_t> tokens;
    std::vector<double> weights;
    std::vector<std::pair<std::uint32_t, double>> sorting;
    std::vector<PostingCursor> cursors;
    std::vector<double> prefix;          // prefix[i]: sum of the i smallest bounds
    // The window's bounds by cursor, the cursors by those bounds, and the
    // sums of the smallest ones; the documents kept, with partial sums.
    std::vector<double> window_bounds;
    std::vector<std::uint32_t> window_order;
    std::vector<std::uint32_t> window_stops;  // by cursor: its first posting past the window
    std::vector<std::uint32_t> query_order;   // the cursors in the query's order
    std::vector<double> window_prefix;
    std::vector<std::pair<std::uint32_t, double>> kept;
    std::vector<double> block_bounds;
    std::vector<double> products;        // by rank, for the document at hand
    std::vector<std::uint64_t> matched;  // ranks holding a product
    // A window: sums by ordinal less the window's first, 0.0 between
    // windows, and a bit for each ordinal that has one.
    std::vector<double> sums;
    std::vector<std::uint64_t> marks;
    TopK top;
  };

  // Takes the query (tokens[i], weights[i]) for i < size into the scratch:
  // sorted by token, the weights of a repeated token added in the given
  // order. Throws std::invalid_argument when a weight is not finite, or a
  // token's weight has a magnitude above 1e250 (beyond which sums could
  // overflow).
  static void Prepare(const std::uint32_t* tokens, const double* weights, std::size_t size,
                      Scratch& scratch);

  // Offers the hits of the prepared query among the documents of `segment`
  // to scratch.top, leaving out those whose bit is set in `removed` (by
  // global ordinal), which must be null when none of the segment's postings
  // belongs to a removed document.
  static void Exhaustive(const Segment& segment, const std::uint64_t* removed, Scratch& scratch);
  static void Pruned(const Segment& segment, const std::uint64_t* removed, Scratch& scratch);
};

}  // namespace kelp::typing::text::index
