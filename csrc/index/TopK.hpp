// The k best hits seen so far: a heap with the worst of them on top, so
// that the threshold a new hit must beat is read in one step and a hit
// enters in O(log k).
//
// Order: a hit is better than another when its score is higher, or equal
// with a smaller id. A hit enters while fewer than k are held, or when it
// is better than the worst held one (which then leaves). Scores must not be
// NaN (the index keeps them finite).
//
// Cost: no allocation once Reset has reserved min(k, bound) places. One
// object per thread; Reset makes it ready for the next query.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace kelp::typing::text::index {

struct Hit {
  std::int64_t id;
  double score;

  friend bool operator==(const Hit& a, const Hit& b) noexcept {
    return a.id == b.id && a.score == b.score;
  }
};

static_assert(std::is_trivially_copyable_v<Hit>);

class TopK {
 public:
  // Empties the heap for a query wanting `k` hits; `bound` caps the places
  // reserved (the number of documents that could be hits).
  void Reset(std::size_t k, std::size_t bound) {
    heap_.clear();
    k_ = k;
    heap_.reserve(std::min(k, bound));
  }

  bool full() const noexcept { return heap_.size() >= k_; }
  std::size_t k() const noexcept { return k_; }

  // The score a hit must reach to be considered: the worst held score when
  // full, -infinity before.
  double threshold() const noexcept {
    return full() && k_ > 0 ? heap_.front().score : -std::numeric_limits<double>::infinity();
  }

  // True when a hit (score, id) would enter now.
  bool Accepts(double score, std::int64_t id) const noexcept {
    if (!full()) {
      return true;
    }
    return k_ > 0 && Better(Hit{id, score}, heap_.front());
  }

  // Puts a hit that Accepts in, the worst one leaving when full.
  void Push(double score, std::int64_t id) {
    if (full()) {
      std::pop_heap(heap_.begin(), heap_.end(), Better);
      heap_.back() = Hit{id, score};
    } else {
      heap_.push_back(Hit{id, score});
    }
    std::push_heap(heap_.begin(), heap_.end(), Better);
  }

  // Appends the held hits to `out`, best first, and empties the heap.
  void TakeSorted(std::vector<Hit>& out) {
    std::sort_heap(heap_.begin(), heap_.end(), Better);
    out.insert(out.end(), heap_.begin(), heap_.end());
    heap_.clear();
  }

  static bool Better(const Hit& a, const Hit& b) noexcept {
    return a.score > b.score || (a.score == b.score && a.id < b.id);
  }

 private:
  std::vector<Hit> heap_;  // a heap under Better: the worst hit on top
  std::size_t k_ = 0;
};

}  // namespace kelp::typing::text::index
