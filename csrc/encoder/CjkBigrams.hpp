// The character bigrams of the CJK runs of a text, a second field beside
// the cut's words: a word the dictionary splits wrongly still shares its
// bigrams with the same word elsewhere.
//
// A CJK run is a maximal run of characters of U+2E80..U+2FDF (radicals),
// U+3005, U+3007, U+3021..U+3029, U+3038..U+303B, U+3400..U+4DBF,
// U+4E00..U+9FFF, U+F900..U+FAFF and U+20000..U+3FFFF. A run of n >= 2
// characters gives its n - 1 overlapping pairs; a run of one character
// gives that character. Anything else, invalid UTF-8 included, ends a run
// and gives nothing.
//
// Cost: one pass, no allocation beyond the output vector's. No state: safe
// from any number of threads.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::encoder {

// Bytes [offset, offset + length) of a text.
struct TextSpan {
  uint32_t offset = 0;
  uint32_t length = 0;

  friend bool operator==(const TextSpan& a, const TextSpan& b) {
    return a.offset == b.offset && a.length == b.length;
  }
};

// True for the characters of a CJK run.
constexpr bool IsCjkRunRune(jieba::Rune r) noexcept {
  return (r >= 0x4E00 && r <= 0x9FFF) || (r >= 0x3400 && r <= 0x4DBF) ||
         (r >= 0x20000 && r <= 0x3FFFF) || (r >= 0xF900 && r <= 0xFAFF) ||
         (r >= 0x2E80 && r <= 0x2FDF) || r == 0x3005 || r == 0x3007 ||
         (r >= 0x3021 && r <= 0x3029) || (r >= 0x3038 && r <= 0x303B);
}

// Replaces `spans` with the bigrams (and lone characters) of the CJK runs of
// the UTF-8 `text`, in text order. `text` must be shorter than 4 GiB.
void CjkBigrams(std::string_view text, std::vector<TextSpan>& spans);

}  // namespace kelp::typing::text::encoder
