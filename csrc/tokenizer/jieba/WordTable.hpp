// A read-only table of words, each with a double, or a plain set of words.
//
// Built once from a list of entries, then only searched. The words sit back
// to back in one sorted buffer with a 32-bit end offset each, and the values
// in a parallel array: about 12 bytes per word beyond its own bytes, far
// less than a node-based hash map (which needs 60 or more), so that a table
// of hundreds of thousands of words costs a few megabytes. A lookup is a
// binary search: about 18 comparisons for 300,000 words.
//
// State (Save, Load): the three buffers as they are, so that loading costs
// a copy and a check, not a sort:
//   bytes  the words back to back, in ascending byte order;
//   u64    the word count n, then n u32 end offsets;
//   u64    the value count (0 for a plain set, else n), then the f64 values.
// A table saved and loaded saves to the same bytes again.
//
// Thread-safety: const after Assign or Load; any number of threads may search
// at once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/limonp/ByteStream.hpp"

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

  // Appends the state (see the top of this file).
  void Save(limonp::ByteWriter& out) const {
    out.WriteBytes(keys_);
    out.WriteU64(ends_.size());
    for (const uint32_t end : ends_) {
      out.WriteU32(end);
    }
    out.WriteU64(values_.size());
    for (const double value : values_) {
      out.WriteF64(value);
    }
  }

  // Replaces the contents with a state read from `in`, after checking what
  // lookups rely on: the ends ascend (not strictly: the empty word) up to
  // the end of the words, the words ascend strictly in byte order, and
  // there is one value per word or none. Throws limonp::StateError, naming
  // `name`, and then leaves the table as it was.
  void Load(limonp::ByteReader& in, const char* name = "word table") {
    const std::string label(name);
    const std::string_view keys = in.ReadBytes((label + " words").c_str());
    if (keys.size() > UINT32_MAX) {
      limonp::ThrowCorruptState(label + " holds more than 4 GiB of words");
    }
    const std::string ends_label = label + " word ends";
    const size_t count = in.ReadCount(sizeof(uint32_t), ends_label.c_str());
    std::vector<uint32_t> ends;
    ends.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      const uint32_t end = in.ReadU32(ends_label.c_str());
      const uint32_t begin = i == 0 ? 0 : ends.back();
      if (end < begin || end > keys.size()) {
        limonp::ThrowCorruptState(label + " word " + std::to_string(i) + " ends at " +
                                  std::to_string(end) + ", outside " + std::to_string(begin) +
                                  ".." + std::to_string(keys.size()));
      }
      if (i > 0) {
        const uint32_t previous = i == 1 ? 0 : ends[i - 2];
        if (keys.substr(previous, begin - previous) >= keys.substr(begin, end - begin)) {
          limonp::ThrowCorruptState(label + " word " + std::to_string(i) +
                                    " does not follow the one before it in byte order");
        }
      }
      ends.push_back(end);
    }
    if ((ends.empty() ? 0 : ends.back()) != keys.size()) {
      limonp::ThrowCorruptState(label + " has " + std::to_string(keys.size()) +
                                " bytes of words, but its words end at " +
                                std::to_string(ends.empty() ? 0 : ends.back()));
    }
    const std::string values_label = label + " values";
    const size_t value_count = in.ReadCount(sizeof(double), values_label.c_str());
    if (value_count != 0 && value_count != count) {
      limonp::ThrowCorruptState(label + " has " + std::to_string(value_count) + " values for " +
                                std::to_string(count) + " words");
    }
    std::vector<double> values;
    values.reserve(value_count);
    for (size_t i = 0; i < value_count; ++i) {
      values.push_back(in.ReadF64(values_label.c_str()));
    }
    std::string key_buffer(keys);
    keys_.swap(key_buffer);
    ends_.swap(ends);
    values_.swap(values);
  }

  size_t size() const noexcept { return ends_.size(); }
  bool empty() const noexcept { return ends_.empty(); }
  // Whether the table holds a value per word (false for a plain set, and
  // for an empty table).
  bool HasValues() const noexcept { return !values_.empty(); }

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
