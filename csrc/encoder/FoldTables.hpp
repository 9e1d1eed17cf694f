// The data of TextFold, generated into FoldTables.cpp by
// tools/gen_fold_tables.py: per code point its NFKC and case folding, the
// composition pairs, and the traditional-to-simplified characters.
//
// Layout. ASCII, the Hangul syllables and the block U+3400..U+9FFF (CJK
// Extension A, Yijing symbols, CJK Unified Ideographs) have no entries: the
// fold handles ASCII itself, the syllables algorithmically, and the block
// only through T2S_BLOCK. Every other code point that some fold changes, or
// that NFKC must see together with its neighbours, has one FoldEntry,
// sorted by code point; PAGE_STARTS[p] .. PAGE_STARTS[p + 1] are the
// entries of the 256 code points p * 256 .. p * 256 + 255.
//
// All of it is constant data; reading it is safe from any number of threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::encoder::fold_tables {

using jieba::Rune;

// An entry's flags.
enum : std::uint8_t {
  // NFKC: nothing before this code point can change what NFKC makes of the
  // text from here on (its class and that of the first code point of its
  // decomposition are 0, and that code point composes with nothing before
  // it). Text can be normalized in pieces that start at such code points.
  kBoundary = 1,
  // The code point has a simplified form in T2S_OTHER.
  kT2s = 2,
};

// One code point's folds: each a run of POOL (offset, length), length 0
// when the fold leaves the code point as it is.
struct FoldEntry {
  Rune rune;
  std::uint16_t nfkc;         // NFKC of the code point alone
  std::uint16_t nfkd;         // its full compatibility decomposition
  std::uint16_t casefold;     // str.casefold of it
  std::uint8_t nfkc_length;
  std::uint8_t nfkd_length;
  std::uint8_t casefold_length;
  std::uint8_t ccc;           // canonical combining class
  std::uint8_t flags;
};

// A primary composite and the pair it composes from.
struct Composition {
  Rune first;
  Rune second;
  Rune composite;
};

struct T2sPair {
  Rune traditional;
  Rune simplified;
};

inline constexpr unsigned kPageBits = 8;
inline constexpr std::size_t kPageCount = (0x10FFFF >> kPageBits) + 1;
inline constexpr Rune kT2sBlockFirst = 0x3400;
inline constexpr Rune kT2sBlockLast = 0x9FFF;
inline constexpr std::size_t kT2sBlockSize = kT2sBlockLast - kT2sBlockFirst + 1;

// The Unicode version of the tables ("14.0.0").
extern const char UNICODE_VERSION[];

extern const Rune POOL[];
extern const FoldEntry ENTRIES[];
extern const std::size_t ENTRY_COUNT;
extern const std::array<std::uint16_t, kPageCount + 1> PAGE_STARTS;

// Sorted by (first, second).
extern const Composition COMPOSITIONS[];
extern const std::size_t COMPOSITION_COUNT;

// For the block: 0, or 1 + the index in T2S_TARGETS of the simplified form.
extern const std::array<std::uint16_t, kT2sBlockSize> T2S_BLOCK;
extern const Rune* const T2S_TARGETS;
// Sorted by the traditional character.
extern const T2sPair T2S_OTHER[];
extern const std::size_t T2S_OTHER_COUNT;

}  // namespace kelp::typing::text::encoder::fold_tables
