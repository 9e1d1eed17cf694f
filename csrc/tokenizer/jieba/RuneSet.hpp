// A set of runes: a bitmap for the Basic Multilingual Plane, sized to the
// largest such rune inserted, and flat open addressing (linear probing, at
// most half full) for the rest.
//
// Used for the separator runes that the pre-filter tests every rune of a
// sentence against, and for the dictionary's one-rune user words. A lookup of
// a BMP rune is one bit test in a table of at most 8 KiB; others cost a
// multiply, a shift and, almost always, one or two probes into one array.
// Both beat std::unordered_set, which chases a node pointer per lookup.
//
// Writes (Insert, Clear) must not overlap with anything else; concurrent
// Contains calls are fine.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::jieba {

class RuneSet {
 public:
  RuneSet() = default;

  // Adds `rune`; false when it was already there.
  bool Insert(Rune rune) {
    if (rune < kBitmapLimit) {
      const size_t word = rune >> 6;
      if (word >= bitmap_.size()) {
        bitmap_.resize(word + 1, 0);
      }
      const uint64_t bit = uint64_t{1} << (rune & 63);
      if ((bitmap_[word] & bit) != 0) {
        return false;
      }
      bitmap_[word] |= bit;
      ++size_;
      return true;
    }
    if (rune == kEmpty) {
      const bool added = !has_empty_key_;
      has_empty_key_ = true;
      size_ += added ? 1 : 0;
      return added;
    }
    if ((hashed_ + 1) * 2 > slots_.size()) {
      Grow();
    }
    size_t i = Slot(rune);
    while (slots_[i] != kEmpty) {
      if (slots_[i] == rune) {
        return false;
      }
      i = (i + 1) & mask_;
    }
    slots_[i] = rune;
    ++hashed_;
    ++size_;
    return true;
  }

  bool Contains(Rune rune) const noexcept {
    const size_t word = rune >> 6;
    if (word < bitmap_.size()) {
      return ((bitmap_[word] >> (rune & 63)) & 1) != 0;
    }
    if (rune < kBitmapLimit) {
      return false;
    }
    if (rune == kEmpty) {
      return has_empty_key_;
    }
    if (slots_.empty()) {
      return false;
    }
    size_t i = Slot(rune);
    while (true) {
      const Rune slot = slots_[i];
      if (slot == rune) {
        return true;
      }
      if (slot == kEmpty) {
        return false;
      }
      i = (i + 1) & mask_;
    }
  }

  void Clear() noexcept {
    bitmap_.clear();
    slots_.clear();
    mask_ = 0;
    shift_ = 32;
    hashed_ = 0;
    size_ = 0;
    has_empty_key_ = false;
  }

  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Every rune of the set, ascending.
  std::vector<Rune> Sorted() const {
    std::vector<Rune> runes;
    runes.reserve(size_);
    for (size_t word = 0; word < bitmap_.size(); ++word) {
      for (uint64_t bits = bitmap_[word]; bits != 0; bits &= bits - 1) {
        runes.push_back(static_cast<Rune>(word * 64 + static_cast<size_t>(__builtin_ctzll(bits))));
      }
    }
    const size_t bitmapped = runes.size();
    for (const Rune rune : slots_) {
      if (rune != kEmpty) {
        runes.push_back(rune);
      }
    }
    if (has_empty_key_) {
      runes.push_back(kEmpty);
    }
    std::sort(runes.begin() + static_cast<std::ptrdiff_t>(bitmapped), runes.end());
    return runes;
  }

 private:
  // No decoded rune reaches this value (the decoder's largest is 0x1FFFFF),
  // so it marks a free slot; it is still accepted as a key, kept apart.
  static constexpr Rune kEmpty = UINT32_MAX;
  // Runes below this live in the bitmap.
  static constexpr Rune kBitmapLimit = 0x10000;

  size_t Slot(Rune rune) const noexcept {
    // Fibonacci hashing: the high bits of the product are well mixed.
    return static_cast<uint32_t>(rune * 2654435769u) >> shift_;
  }

  void Grow() {
    const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<Rune> old(capacity, kEmpty);
    old.swap(slots_);
    mask_ = capacity - 1;
    shift_ = 32;
    for (size_t c = capacity; c > 1; c >>= 1) {
      --shift_;
    }
    for (Rune rune : old) {
      if (rune != kEmpty) {
        size_t i = Slot(rune);
        while (slots_[i] != kEmpty) {
          i = (i + 1) & mask_;
        }
        slots_[i] = rune;
      }
    }
  }

  std::vector<uint64_t> bitmap_;
  std::vector<Rune> slots_;
  size_t mask_ = 0;
  unsigned shift_ = 32;
  size_t hashed_ = 0;  // runes in slots_
  size_t size_ = 0;
  bool has_empty_key_ = false;
};

}  // namespace kelp::typing::text::jieba
