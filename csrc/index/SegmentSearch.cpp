#include "index/SegmentSearch.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

namespace kelp::typing::text::index {

namespace {

// Query weights beyond this could make sums overflow: 1e250 x FLT_MAX x
// 2^32 terms stays below DBL_MAX.
constexpr double kMaxQueryWeight = 1e250;

// A term that may be left out of a window's sums is looked up instead only
// when it has at least this many times as many postings there as the
// terms added up: looking a document up costs about as much as adding a
// few postings.
constexpr std::size_t kLookUpShare = 2;

// A window is swept (see ScoreWindow) when its postings are at least one
// in this many of its ordinals.
constexpr std::uint32_t kSweepShare = 8;

// A window's bound of a term comes from at most this many of its blocks;
// past that, the term's own bound (close to it, for long lists) is taken.
constexpr std::uint32_t kBoundBlocks = 8;

// The largest k for which a floor is taken from block maxima (it costs a
// pass over the blocks of the query's terms).
constexpr std::size_t kFloorHits = 1000;

bool Removed(const std::uint64_t* removed, std::uint32_t doc) noexcept {
  return removed != nullptr && ((removed[doc >> 6] >> (doc & 63)) & 1) != 0;
}

// The first position in [from, count) whose ordinal is at least `target`,
// `from` being a position in block `block` or its start.
std::uint32_t FindFrom(const PostingCursor& c, std::uint32_t from, std::uint32_t target) noexcept {
  if (from >= c.count) {
    return c.count;
  }
  std::uint32_t block = from >> c.block_shift;
  if (c.blocks[block].last_doc < target) {
    const std::uint32_t block_count = ((c.count - 1) >> c.block_shift) + 1;
    // Blocks before `low` end below the target; so does `high` unless past the end.
    std::uint32_t low = block + 1;
    std::uint32_t high = low;
    std::uint32_t step = 1;
    while (high < block_count && c.blocks[high].last_doc < target) {
      low = high + 1;
      high = high + step < block_count ? high + step : block_count;
      step *= 2;
    }
    const BlockInfo* found = std::partition_point(
        c.blocks + low, c.blocks + std::min(high + 1, block_count),
        [target](const BlockInfo& b) { return b.last_doc < target; });
    block = static_cast<std::uint32_t>(found - c.blocks);
    if (block >= block_count) {
      return c.count;
    }
    from = std::max(from, block << c.block_shift);
  }
  // The block's last ordinal is at least the target: the answer is in it.
  const std::uint32_t last = std::min(((from >> c.block_shift) + 1) << c.block_shift, c.count);
  const std::uint32_t* found = std::lower_bound(c.docs + from, c.docs + last, target);
  return static_cast<std::uint32_t>(found - c.docs);
}

}  // namespace

double PostingCursor::BoundBefore(std::uint32_t end) const noexcept {
  const std::uint32_t block_count = ((count - 1) >> block_shift) + 1;
  const std::uint32_t first = pos >> block_shift;
  double best = 0.0;
  for (std::uint32_t b = first; b < block_count; ++b) {
    if (b - first == kBoundBlocks) {
      return bound;  // many blocks: the term's own bound will do
    }
    const BlockInfo& block = blocks[b];
    const double product = q * static_cast<double>(negative ? block.min_weight : block.max_weight);
    best = product > best ? product : best;
    if (block.last_doc >= end - 1) {
      break;  // the next block starts past the end
    }
  }
  return best;
}

std::uint32_t PostingCursor::Find(std::uint32_t target) const noexcept {
  return FindFrom(*this, pos, target);
}

bool PostingCursor::Holds(std::uint32_t target) noexcept {
  // Few postings between two lookups as a rule: a short walk, then jumps.
  for (int step = 0; step < 8; ++step) {
    if (seek >= count || docs[seek] > target) {
      return false;
    }
    if (docs[seek] == target) {
      return true;
    }
    ++seek;
  }
  seek = FindFrom(*this, seek, target);
  return seek < count && docs[seek] == target;
}

void SegmentSearch::Prepare(const std::uint32_t* tokens, const double* weights, std::size_t size,
                            Scratch& scratch) {
  scratch.tokens.clear();
  scratch.weights.clear();
  bool ascending = true;
  for (std::size_t i = 0; i < size; ++i) {
    if (!std::isfinite(weights[i])) {
      throw std::invalid_argument("query weight " + std::to_string(i) + " (of token " +
                                  std::to_string(tokens[i]) + ") is not finite");
    }
    ascending = ascending && (i == 0 || tokens[i - 1] < tokens[i]);
  }
  if (ascending) {
    scratch.tokens.assign(tokens, tokens + size);
    scratch.weights.assign(weights, weights + size);
  } else {
    auto& sorting = scratch.sorting;
    sorting.clear();
    for (std::size_t i = 0; i < size; ++i) {
      sorting.emplace_back(tokens[i], weights[i]);
    }
    std::stable_sort(sorting.begin(), sorting.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < sorting.size(); ++i) {
      if (i > 0 && sorting[i].first == sorting[i - 1].first) {
        scratch.weights.back() += sorting[i].second;
      } else {
        scratch.tokens.push_back(sorting[i].first);
        scratch.weights.push_back(sorting[i].second);
      }
    }
  }
  for (std::size_t r = 0; r < scratch.weights.size(); ++r) {
    if (!(std::fabs(scratch.weights[r]) <= kMaxQueryWeight)) {
      throw std::invalid_argument("the query weight of token " + std::to_string(scratch.tokens[r]) +
                                  " is beyond +-1e250");
    }
  }
  const std::size_t m = scratch.tokens.size();
  scratch.products.resize(m);
  scratch.matched.assign((m + 63) / 64, 0);
}

namespace {

// The cursors of the prepared query's terms found in the segment, in the
// query's order; returns the sum of the largest |product| of each term, and
// sets `nonnegative` when no product is below 0.
double OpenCursors(const Segment& segment, SegmentSearch::Scratch& scratch, bool& nonnegative) {
  const SegmentArrays& a = segment.arrays();
  // A window's local ordinals stay below the segment's document count: the
  // sums of a small index are small, and cheap to make for one query.
  const std::size_t window =
      std::min<std::size_t>(SegmentSearch::kWindow, (a.doc_count + 63) & ~std::size_t{63});
  if (scratch.sums.size() < window) {
    scratch.sums.assign(window, 0.0);
    scratch.marks.assign(window / 64, 0);
  }
  unsigned block_shift = 0;
  while ((1u << block_shift) < a.block_size) {
    ++block_shift;
  }
  auto& cursors = scratch.cursors;
  cursors.clear();
  double magnitude = 0.0;
  nonnegative = true;
  for (std::size_t r = 0; r < scratch.tokens.size(); ++r) {
    const TermInfo* term = segment.Find(scratch.tokens[r]);
    if (term == nullptr) {
      continue;
    }
    const double q = scratch.weights[r];
    const double high = q * static_cast<double>(term->max_weight);
    const double low = q * static_cast<double>(term->min_weight);
    PostingCursor cursor;
    cursor.docs = a.docs + term->first;
    cursor.weights = a.weights + term->first;
    cursor.blocks = a.blocks + term->first_block;
    cursor.count = term->count;
    cursor.pos = 0;
    cursor.doc = cursor.docs[0];
    cursor.rank = static_cast<std::uint32_t>(r);
    cursor.seek = 0;
    cursor.block_shift = block_shift;
    cursor.negative = q < 0.0;
    cursor.q = q;
    cursor.bound = std::max({high, low, 0.0});
    magnitude += std::max(std::fabs(high), std::fabs(low));
    nonnegative = nonnegative && high >= 0.0 && low >= 0.0;
    cursors.push_back(cursor);
  }
  return magnitude;
}

// The window's first ordinal and the one past it, from the least current
// ordinal of cursors [first, last); false when they are all past the end.
bool NextWindow(const PostingCursor* c, std::size_t first, std::size_t last, std::uint32_t size,
                std::uint32_t& begin, std::uint32_t& end) {
  begin = kNoDocument;
  for (std::size_t i = first; i < last; ++i) {
    begin = std::min(begin, c[i].doc);
  }
  if (begin == kNoDocument) {
    return false;
  }
  end = begin < kNoDocument - size ? begin + size : kNoDocument;
  return true;
}

// Adds the products of `c`'s postings before position `stop` (the first
// at or past the window's end) to the window's sums, and with kMark marks
// their ordinals; moves `c` to `stop`. Returns the highest local ordinal
// added to, or 0.
template <bool kMark>
std::uint32_t AddWindow(PostingCursor& c, std::uint32_t begin, std::uint32_t stop, double* sums,
                        std::uint64_t* marks) {
  if (c.pos >= stop) {
    return 0;
  }
  const std::uint32_t* docs = c.docs;
  const float* weights = c.weights;
  const double q = c.q;
  for (std::uint32_t p = c.pos; p < stop; ++p) {
    const std::uint32_t local = docs[p] - begin;
    sums[local] += q * static_cast<double>(weights[p]);
    if (kMark) {
      marks[local >> 6] |= std::uint64_t{1} << (local & 63);
    }
  }
  const std::uint32_t highest = docs[stop - 1] - begin;
  c.pos = stop;
  c.doc = stop < c.count ? docs[stop] : kNoDocument;
  return highest;
}

// Calls take(local, sum) for each local ordinal up to `highest` whose sum
// reaches *threshold (which take may raise), in ascending order, and sets
// every sum back to 0.0; eight sums are compared at a time.
template <typename Take>
void TakeReaching(double* sums, std::uint32_t highest, const double* threshold, Take&& take) {
  for (std::uint32_t at = 0; at <= highest; at += 8) {
    double* eight = sums + at;
    bool any = false;
    for (int i = 0; i < 8; ++i) {
      any |= eight[i] >= *threshold;
    }
    if (any) {
      for (std::uint32_t i = 0; i < 8; ++i) {
        if (eight[i] >= *threshold) {
          take(at + i, eight[i]);
        }
      }
    }
    for (int i = 0; i < 8; ++i) {
      eight[i] = 0.0;
    }
  }
}

// Calls take(local) for each marked ordinal up to `highest`, in ascending
// order, clearing the marks.
template <typename Take>
void TakeMarked(std::uint64_t* marks, std::uint32_t highest, Take&& take) {
  for (std::uint32_t w = 0; w <= highest >> 6; ++w) {
    std::uint64_t bits = marks[w];
    if (bits == 0) {
      continue;
    }
    marks[w] = 0;
    for (; bits != 0; bits &= bits - 1) {
      take(w * 64 + static_cast<std::uint32_t>(__builtin_ctzll(bits)));
    }
  }
}

// Every posting of the window [begin, end) of the cursors `order[0, n)`,
// which must be in the query's order so that the sums are the scores, into
// `top`; stops[i] is cursor i's first posting past the window. Takes the
// least score that can enter and returns it, raised by the hits that
// entered. When that score is above 0 and the window is dense enough, no
// document needs marking: those untouched sum to 0.0 and cannot enter, and
// the sums are swept eight at a time.
double ScoreWindow(const SegmentArrays& a, PostingCursor* c, const std::uint32_t* order,
                   const std::uint32_t* stops, std::size_t n, std::uint32_t begin,
                   std::uint32_t end, const std::uint64_t* removed,
                   SegmentSearch::Scratch& scratch, double threshold) {
  double* sums = scratch.sums.data();
  std::uint64_t* marks = scratch.marks.data();
  std::size_t postings = 0;
  for (std::size_t i = 0; i < n; ++i) {
    postings += stops[i] - c[i].pos;
  }
  TopK& top = scratch.top;
  const auto take = [&](std::uint32_t local, double score) {
    const std::uint32_t doc = begin + local;
    const std::int64_t id = a.ids[doc - a.first_doc];
    if (top.Accepts(score, id) && !Removed(removed, doc)) {
      top.Push(score, id);
      threshold = std::max(threshold, top.threshold());
    }
  };
  std::uint32_t highest = 0;
  if (threshold > 0.0 && postings * kSweepShare >= end - begin) {
    for (std::size_t j = 0; j < n; ++j) {
      highest = std::max(highest,
                         AddWindow<false>(c[order[j]], begin, stops[order[j]], sums, marks));
    }
    TakeReaching(sums, highest, &threshold, take);
    return threshold;
  }
  for (std::size_t j = 0; j < n; ++j) {
    highest =
        std::max(highest, AddWindow<true>(c[order[j]], begin, stops[order[j]], sums, marks));
  }
  TakeMarked(marks, highest, [&](std::uint32_t local) {
    const double score = sums[local];
    sums[local] = 0.0;
    if (score >= threshold) {
      take(local, score);
    }
  });
  return threshold;
}

}  // namespace

void SegmentSearch::Exhaustive(const Segment& segment, const std::uint64_t* removed,
                               Scratch& scratch) {
  bool nonnegative;
  OpenCursors(segment, scratch, nonnegative);
  const std::size_t n = scratch.cursors.size();
  PostingCursor* c = scratch.cursors.data();
  scratch.window_order.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    scratch.window_order[i] = static_cast<std::uint32_t>(i);  // the query's order
  }
  scratch.window_stops.resize(n);
  std::uint32_t* stops = scratch.window_stops.data();
  double threshold = scratch.top.threshold();
  std::uint32_t begin;
  std::uint32_t end;
  while (NextWindow(c, 0, n, kWindow, begin, end)) {
    for (std::size_t i = 0; i < n; ++i) {
      stops[i] = c[i].doc < end ? c[i].Find(end) : c[i].pos;
    }
    threshold = ScoreWindow(segment.arrays(), c, scratch.window_order.data(), stops, n, begin,
                            end, removed, scratch, threshold);
  }
}

void SegmentSearch::Pruned(const Segment& segment, const std::uint64_t* removed,
                           Scratch& scratch) {
  bool nonnegative;
  const double magnitude = OpenCursors(segment, scratch, nonnegative);
  auto& cursors = scratch.cursors;
  const std::size_t n = cursors.size();
  if (n == 0) {
    return;
  }
  std::sort(cursors.begin(), cursors.end(), [](const PostingCursor& x, const PostingCursor& y) {
    return x.bound < y.bound || (x.bound == y.bound && x.rank < y.rank);
  });
  auto& prefix = scratch.prefix;
  prefix.resize(n + 1);
  prefix[0] = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    prefix[i + 1] = prefix[i] + cursors[i].bound;
  }
  // Sums of up to n terms taken in different orders differ by less than
  // about n x 2^-53 x magnitude; the margin is 8 times that, and more.
  const double margin = static_cast<double>(n + 4) * 0x1p-50 * magnitude;

  const SegmentArrays& a = segment.arrays();
  TopK& top = scratch.top;
  double floor = -std::numeric_limits<double>::infinity();
  if (nonnegative && removed == nullptr && top.k() <= kFloorHits) {
    // From the terms of the two largest bounds: the others rarely raise it.
    auto& products = scratch.block_bounds;
    for (std::size_t i = n > 2 ? n - 2 : 0; i < n; ++i) {
      const std::size_t blocks = ((cursors[i].count - 1) >> cursors[i].block_shift) + 1;
      if (blocks < top.k()) {
        continue;
      }
      products.resize(blocks);
      for (std::size_t b = 0; b < blocks; ++b) {
        products[b] = cursors[i].q * static_cast<double>(cursors[i].blocks[b].max_weight);
      }
      const auto kth = products.begin() + static_cast<std::ptrdiff_t>(top.k() - 1);
      std::nth_element(products.begin(), kth, products.end(), std::greater<double>());
      floor = std::max(floor, products[top.k() - 1]);
    }
  }
  double threshold = floor;
  std::size_t lower = 0;  // terms [0, lower) are non-essential in the whole segment
  const auto raise = [&] {
    threshold = std::max(top.threshold(), floor);
    while (lower < n && prefix[lower + 1] + margin < threshold) {
      ++lower;
    }
  };
  raise();
  PostingCursor* c = cursors.data();
  double* sums = scratch.sums.data();
  std::uint64_t* marks = scratch.marks.data();
  double* products = scratch.products.data();
  std::uint64_t* matched = scratch.matched.data();
  const std::size_t words = scratch.matched.size();
  scratch.window_bounds.resize(n);
  scratch.window_order.resize(n);
  scratch.window_prefix.resize(n + 1);
  double* bounds = scratch.window_bounds.data();
  std::uint32_t* order = scratch.window_order.data();
  double* window_prefix = scratch.window_prefix.data();
  auto& kept = scratch.kept;

  scratch.window_stops.resize(n);
  std::uint32_t* stops = scratch.window_stops.data();
  auto& query_order = scratch.query_order;
  query_order.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    query_order[i] = static_cast<std::uint32_t>(i);
  }
  std::sort(query_order.begin(), query_order.end(),
            [c](std::uint32_t x, std::uint32_t y) { return c[x].rank < c[y].rank; });

  std::uint32_t begin;
  std::uint32_t end;
  while (lower < n && NextWindow(c, lower, n, kWindow, begin, end)) {
    // The window's bounds and postings, and its terms in the order of
    // their bounds.
    for (std::size_t i = 0; i < n; ++i) {
      if (c[i].doc < begin) {
        c[i].SkipTo(begin);
      }
      c[i].seek = c[i].pos;
      bounds[i] = c[i].doc < end ? c[i].BoundBefore(end) : 0.0;
      stops[i] = c[i].doc < end ? c[i].Find(end) : c[i].pos;
      order[i] = static_cast<std::uint32_t>(i);
      for (std::size_t j = i; j > 0 && (bounds[order[j]] < bounds[order[j - 1]] ||
                                        (bounds[order[j]] == bounds[order[j - 1]] &&
                                         c[order[j]].rank < c[order[j - 1]].rank));
           --j) {
        std::swap(order[j], order[j - 1]);
      }
    }
    window_prefix[0] = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
      window_prefix[j + 1] = window_prefix[j] + bounds[order[j]];
    }
    if (window_prefix[n] + margin < threshold) {
      for (std::size_t i = lower; i < n; ++i) {
        if (c[i].doc < end) {
          c[i].SkipTo(end);
        }
      }
      continue;
    }
    // The terms that may be left out (their bounds add up to less than
    // the k-th score) are, but for those with too few postings here to be
    // worth looking up, which join the essential ones, the shortest first.
    std::size_t allowed = 0;
    while (allowed < n && window_prefix[allowed + 1] + margin < threshold) {
      ++allowed;
    }
    const auto postings = [&](std::uint32_t i) -> std::size_t { return stops[i] - c[i].pos; };
    std::size_t added = 0;
    for (std::size_t j = allowed; j < n; ++j) {
      added += postings(order[j]);
    }
    std::size_t essential = allowed;  // order[essential, n) are added up
    while (essential > 0) {
      // The allowed term with the fewest postings, moved to the end of the
      // allowed ones.
      std::size_t fewest = 0;
      for (std::size_t j = 1; j < essential; ++j) {
        if (postings(order[j]) < postings(order[fewest])) {
          fewest = j;
        }
      }
      if (postings(order[fewest]) >= kLookUpShare * added) {
        break;
      }
      added += postings(order[fewest]);
      std::rotate(order + fewest, order + fewest + 1, order + essential);
      --essential;
    }
    if (essential == 0) {
      // Every term is added up: in the query's order, the sums are the scores.
      threshold = ScoreWindow(a, c, query_order.data(), stops, n, begin, end, removed, scratch,
                              threshold);
      if (top.full()) {
        raise();
      }
      continue;
    }
    window_prefix[0] = 0.0;
    for (std::size_t j = 0; j < essential; ++j) {
      window_prefix[j + 1] = window_prefix[j] + bounds[order[j]];
    }

    // The documents of the essential terms whose partial sums can still
    // reach the k-th score with the others: swept when they must be above
    // 0 (see ScoreWindow).
    kept.clear();
    const double need = threshold - window_prefix[essential] - margin;
    const auto keep = [&](std::uint32_t local, double partial) {
      kept.emplace_back(begin + local, partial);
    };
    std::uint32_t highest = 0;
    if (need > 0.0 && added * kSweepShare >= end - begin) {
      for (std::size_t j = essential; j < n; ++j) {
        highest = std::max(highest,
                           AddWindow<false>(c[order[j]], begin, stops[order[j]], sums, marks));
      }
      TakeReaching(sums, highest, &need, keep);
    } else {
      for (std::size_t j = essential; j < n; ++j) {
        highest =
            std::max(highest, AddWindow<true>(c[order[j]], begin, stops[order[j]], sums, marks));
      }
      TakeMarked(marks, highest, [&](std::uint32_t local) {
        const double partial = sums[local];
        sums[local] = 0.0;
        if (partial >= need) {
          keep(local, partial);
        }
      });
    }
    // The non-essential terms, the largest bound first, for the documents
    // that can still enter.
    for (std::size_t j = essential; j-- > 0 && !kept.empty();) {
      PostingCursor& term = c[order[j]];
      const double rest = window_prefix[j] + margin;
      std::size_t still = 0;
      // Every document kept can still reach the k-th score with this term
      // (that is why it was kept). Walk the term's postings in the window
      // along the documents, or jump between them when they are few.
      const std::uint32_t stop = stops[order[j]];
      const bool walk = stop - term.pos < 16 * kept.size();
      const std::uint32_t* docs = term.docs;
      std::uint32_t at = term.pos;
      for (auto doc : kept) {
        if (walk) {
          while (at < stop && docs[at] < doc.first) {
            ++at;
          }
        } else if (at < stop && docs[at] < doc.first) {
          at = FindFrom(term, at, doc.first);
        }
        if (at < stop && docs[at] == doc.first) {
          doc.second += term.Product(at);
        }
        if (doc.second + rest >= threshold) {
          kept[still++] = doc;
        }
      }
      term.pos = at;
      term.doc = at < term.count ? docs[at] : kNoDocument;
      kept.resize(still);
    }
    for (const auto& [doc, partial] : kept) {
      if (partial + margin < threshold) {
        continue;
      }
      // The score proper: the products in ascending token order.
      for (std::size_t i = 0; i < n; ++i) {
        if (c[i].Holds(doc)) {
          products[c[i].rank] = c[i].Product(c[i].seek);
          matched[c[i].rank >> 6] |= std::uint64_t{1} << (c[i].rank & 63);
        }
      }
      double score = 0.0;
      for (std::size_t m = 0; m < words; ++m) {
        for (std::uint64_t ranks = matched[m]; ranks != 0; ranks &= ranks - 1) {
          score += products[m * 64 + static_cast<std::size_t>(__builtin_ctzll(ranks))];
        }
        matched[m] = 0;
      }
      const std::int64_t id = a.ids[doc - a.first_doc];
      if (top.Accepts(score, id) && !Removed(removed, doc)) {
        top.Push(score, id);
        if (top.full()) {
          raise();
        }
      }
    }
  }
}

}  // namespace kelp::typing::text::index
