// Where a result word sits in its sentence, without a copy of its text.
//
// The binding cuts with the interpreter lock released into spans, and only
// afterwards, with the lock held, builds each word's Python string straight
// from the sentence buffer: one copy per word instead of two.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::jieba {

struct WordSpan {
  uint32_t byte_offset = 0;  // first byte of the word in the sentence
  uint32_t byte_length = 0;
  uint32_t rune_offset = 0;  // index of the word's first rune in the sentence
  uint32_t rune_length = 0;

  friend bool operator==(const WordSpan& a, const WordSpan& b) {
    return a.byte_offset == b.byte_offset && a.byte_length == b.byte_length &&
           a.rune_offset == b.rune_offset && a.rune_length == b.rune_length;
  }
};
static_assert(std::is_trivially_copyable_v<WordSpan>);

// Replaces the contents of `spans` with one span per range of `wrs`, in order.
inline void GetSpansFromWordRanges(const std::vector<WordRange>& wrs,
                                   std::vector<WordSpan>& spans) {
  spans.resize(wrs.size());
  for (size_t k = 0; k < wrs.size(); ++k) {
    const RuneStr& first = *wrs[k].first;
    const RuneStr& last = *wrs[k].last;
    spans[k] = WordSpan{first.byte_offset, last.byte_offset + last.byte_length - first.byte_offset,
                        first.rune_offset,
                        last.rune_offset + last.rune_length - first.rune_offset};
  }
}

}  // namespace kelp::typing::text::jieba
