// A read-only table of words, each with a double, or a plain set of words.
//
// Built once from a list of entries, then only searched. The words sit back
// to back in one sorted buffer with a 32-bit end offset each, and the values
// in a parallel array: about 12 bytes per word beyond its own bytes, far
// less than a node-based hash map (which needs 60 or more), so that a table
// of hundreds of thousands of words costs a few megabytes. A lookup is a
// binary search: about 18 comparisons for 300,000 words.
//
// Thread-safety: const after Assign; any number of threads may search at once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelp::typing::text::jieba {

class WordTable {
 public:
  // One entry: a word (viewing memory that lives until Assign returns) and
  // its value.
  using Entry = std::pair<std::string_view, double>;

  // Replaces the contents with `entries`; of two equal words the later entry
  // wins. With `keep_values` false the table is a plain set.
  void Assign(const std::vector<Entry>& entries, bool keep_values) {
    std::vector<uint32_t> order(entries.size());
    for (size_t i = 0; i < order.size(); ++i) {
      order[i] = static_cast<uint32_t>(i);
    }
    // Stable, so equal words keep their file order and the last one is kept.
    std::stable_sort(order.begin(), order.end(), [&entries](uint32_t a, uint32_t b) {
      return entries[a].first < entries[b].first;
    });
    size_t distinct = 0;
    size_t bytes = 0;
    for (size_t k = 0; k < order.size(); ++k) {
      if (k + 1 == order.size() || entries[order[k]].first != entries[order[k + 1]].first) {
        ++distinct;
        bytes += entries[order[k]].first.size();
      }
    }
    if (bytes > UINT32_MAX) {
      throw std::length_error("word table: more than 4 GiB of words");
    }
    std::string keys;
    std::vector<uint32_t> ends;
    std::vector<double> values;
    keys.reserve(bytes);
    ends.reserve(distinct);
    values.reserve(keep_values ? distinct : 0);
    for (size_t k = 0; k < order.size(); ++k) {
      if (k + 1 == order.size() || entries[order[k]].first != entries[order[k + 1]].first) {
        keys.append(entries[order[k]].first);
        ends.push_back(static_cast<uint32_t>(keys.size()));
        if (keep_values) {
          values.push_back(entries[order[k]].second);
        }
      }
    }
    keys_.swap(keys);
    ends_.swap(ends);
    values_.swap(values);
  }

  size_t size() const noexcept { return ends_.size(); }
  bool empty() const noexcept { return ends_.empty(); }

  bool Contains(std::string_view word) const { return Index(word) != kNotFound; }

  // The value of `word`, or null when the table does not hold it (or is a
  // plain set).
  const double* Find(std::string_view word) const {
    const size_t i = Index(word);
    return i != kNotFound && !values_.empty() ? &values_[i] : nullptr;
  }

  // The i-th word in byte order.
  std::string_view Word(size_t i) const {
    const uint32_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(keys_).substr(begin, ends_[i] - begin);
  }

  // Bytes held by the table's buffers.
  size_t MemoryBytes() const noexcept {
    return keys_.capacity() + ends_.capacity() * sizeof(uint32_t) +
           values_.capacity() * sizeof(double);
  }

 private:
  static constexpr size_t kNotFound = SIZE_MAX;

  size_t Index(std::string_view word) const {
    size_t lo = 0;
    size_t hi = ends_.size();
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (Word(mid) < word) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo < ends_.size() && Word(lo) == word ? lo : kNotFound;
  }

  std::string keys_;
  std::vector<uint32_t> ends_;
  std::vector<double> values_;
};

}  // namespace kelp::typing::text::jieba
