// Decoded text and result words of the segmentation code.
//
// A UTF-8 text is decoded once into RuneStr records: each code point with its
// byte and rune position. Segmenters work on runs of those records and return
// WordRanges, which are cut back out of the source bytes as Words.
// EncodeRunes writes runes back as UTF-8 (for saved states only).
//
// All offsets are 32-bit, so a text must be shorter than 4 GiB
// (MAX_TEXT_BYTES); the decoder refuses longer texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "tokenizer/limonp/LocalVector.hpp"

namespace kelp::typing::text::jieba {

// A Unicode code point (U+0000 to U+10FFFF, no surrogate, when decoded).
using Rune = uint32_t;

// One decoded rune and where it sits in its text.
struct RuneStr {
  Rune rune = 0;
  uint32_t byte_offset = 0;  // offset of its first byte in the text
  uint32_t byte_length = 0;  // 1 to 4
  uint32_t rune_offset = 0;  // index among the text's runes
  uint32_t rune_length = 0;  // runes the record stands for; the decoder sets 1

  friend bool operator==(const RuneStr& a, const RuneStr& b) {
    return a.rune == b.rune && a.byte_offset == b.byte_offset &&
           a.byte_length == b.byte_length && a.rune_offset == b.rune_offset &&
           a.rune_length == b.rune_length;
  }
};
static_assert(std::is_trivially_copyable_v<RuneStr>);

using RuneVector = limonp::LocalVector<Rune>;
using RuneStrVector = limonp::LocalVector<RuneStr>;

// The runes first..last (both inclusive) of one RuneStrVector; valid while
// that vector exists unchanged.
struct WordRange {
  const RuneStr* first = nullptr;
  const RuneStr* last = nullptr;

  // Number of runes covered.
  size_t Length() const noexcept { return static_cast<size_t>(last - first) + 1; }
};

// A result word: its bytes copied from the source text, and where it was.
struct Word {
  std::string text;
  uint32_t byte_offset = 0;
  uint32_t rune_offset = 0;
  uint32_t rune_length = 0;

  friend bool operator==(const Word& a, const Word& b) {
    return a.text == b.text && a.byte_offset == b.byte_offset &&
           a.rune_offset == b.rune_offset && a.rune_length == b.rune_length;
  }
};

// Longest text the 32-bit offsets can describe: 4 GiB minus one byte.
inline constexpr size_t MAX_TEXT_BYTES = UINT32_MAX;

// Decodes the rune at `p`, with `remaining` (>= 1) bytes left in the text,
// as DecodeRunesInString does. Returns the number of bytes taken, or 0 when
// no rune can be decoded there.
//
// Strict UTF-8, as Python's decoder reads it: a continuation byte where a
// lead byte belongs, a lead byte not followed by enough continuation bytes,
// an overlong form (C0, C1, E0 80..9F, F0 80..8F), an encoded surrogate
// (ED A0..BF) and anything above U+10FFFF (F4 90.., F5..FF) are all refused.
// A text this decoder accepts is one every other strict reader accepts, so
// the words cut out of it are valid UTF-8 too.
inline uint32_t DecodeRune(const unsigned char* p, size_t remaining, Rune& rune) noexcept {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    rune = b0;
    return 1;
  }
  const auto continues = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  // Three bytes (CJK, most of the text here) first, the checks joined into
  // one branch: continuation bytes, no overlong form (below U+0800), no
  // surrogate.
  if ((b0 & 0xF0) == 0xE0) {
    if (remaining < 3) {
      return 0;
    }
    const Rune decoded = (static_cast<Rune>(b0 & 0x0F) << 12) |
                         (static_cast<Rune>(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    if (!continues(p[1]) | !continues(p[2]) | (decoded < 0x800) | ((decoded & 0xF800) == 0xD800)) {
      return 0;
    }
    rune = decoded;
    return 3;
  }
  if (b0 < 0xC2) {
    return 0;  // a continuation byte, or the lead of an overlong pair
  }
  if (b0 < 0xE0) {
    if (remaining < 2 || !continues(p[1])) {
      return 0;
    }
    rune = (static_cast<Rune>(b0 & 0x1F) << 6) | (p[1] & 0x3F);
    return 2;
  }
  if (b0 < 0xF5) {
    if (remaining < 4 || !continues(p[1]) || !continues(p[2]) || !continues(p[3]) ||
        (b0 == 0xF0 && p[1] < 0x90) || (b0 == 0xF4 && p[1] >= 0x90)) {
      return 0;
    }
    rune = (static_cast<Rune>(b0 & 0x07) << 18) | (static_cast<Rune>(p[1] & 0x3F) << 12) |
           (static_cast<Rune>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    return 4;
  }
  return 0;
}

// True when the `len` bytes at `s` are valid UTF-8 (see DecodeRune).
bool IsValidUtf8(const char* s, size_t len) noexcept;

inline bool IsValidUtf8(std::string_view s) noexcept { return IsValidUtf8(s.data(), s.size()); }

// Decodes the `len` bytes at `s` into `runes` (cleared first). True on
// success; on failure `runes` is left empty. Failure: bytes that are not
// strict UTF-8 (see DecodeRune), a null `s` with a non-zero `len`, or `len`
// above MAX_TEXT_BYTES. It never reads at or past `s + len` and writes
// nothing to the log.
//
// Texts of up to 16 runes stay in the inline buffer; from 34 bytes on,
// len / 2 records are reserved up front.
bool DecodeRunesInString(const char* s, size_t len, RuneStrVector& runes);

// The same decoding, keeping only the code points.
bool DecodeRunesInString(const char* s, size_t len, RuneVector& runes);

inline bool DecodeRunesInString(std::string_view s, RuneStrVector& runes) {
  return DecodeRunesInString(s.data(), s.size(), runes);
}

inline bool DecodeRunesInString(std::string_view s, RuneVector& runes) {
  return DecodeRunesInString(s.data(), s.size(), runes);
}

// Appends the UTF-8 form of each rune to `out`. The decoder reads that form
// back as the same rune, for every rune it can produce; values above
// 0x1FFFFF are written as U+FFFD.
void EncodeRunes(const Rune* runes, size_t count, std::string& out);

// Appends one Word per range of `wrs`, in order, to `words`; words already
// there stay. The ranges must point into the records decoded from `s`.
void GetWordsFromWordRanges(std::string_view s, const std::vector<WordRange>& wrs,
                            std::vector<Word>& words);

// Replaces the contents of `words` with the text of each range of `wrs`, in
// order. Strings already in `words` are reused, so a caller that keeps its
// vector across calls allocates only for words longer than the strings'
// inline room.
void GetStringsFromWordRanges(std::string_view s, const std::vector<WordRange>& wrs,
                              std::vector<std::string>& words);

}  // namespace kelp::typing::text::jieba
