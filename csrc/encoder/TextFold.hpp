// Folds text before it is cut, so that forms a reader takes for the same
// word become the same bytes: NFKC (ＡＢＣ１２３ -> ABC123, ﬁ -> fi,
// e + U+0301 -> é, compatibility ideographs -> unified ones), then case
// folding as Python's str.casefold (Straße -> strasse, Σ and ς -> σ), then
// traditional characters to simplified ones (國 -> 国), each an option.
//
// NFKC is the full algorithm (compatibility decomposition, canonical
// ordering, canonical composition, Hangul) over the tables that
// tools/gen_fold_tables.py generates from Python's Unicode database, which
// also gives the case folding. The character table comes from CC-CEDICT
// (see FoldTables.cpp). With NFKC and case folding both on, the fold is
// casefold(NFKC(x)), repeated in the rare spots where casefolding leaves a
// combining mark that NFKC would move or join (U+0130 followed by a mark of
// a lower class), so that folding folded text changes nothing.
//
// Offsets: the fold can fill a FoldMap that maps every byte range of the
// folded text back to the original characters that produced it.
//
// Invalid UTF-8 (stray or cut-off bytes, overlong forms, surrogates, values
// above U+10FFFF) is copied through byte by byte, unchanged; the valid text
// around it folds as usual.
//
// Cost: one pass. Text that no fold changes is scanned once and not copied
// (Fold returns the input itself). ASCII costs a compare per byte; the CJK
// ideographs of U+3400..U+9FFF one table read each for the character table;
// other characters a binary search among the entries of their 256-code-point
// page, and a full normalization only where NFKC must see combining marks
// together. The fold holds only its options: every call is const, and one
// TextFold serves any number of threads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "encoder/FoldMap.hpp"

namespace kelp::typing::text::encoder {

struct FoldOptions {
  bool nfkc = true;
  bool casefold = true;
  bool t2s = true;  // traditional to simplified characters
};

class TextFold {
 public:
  explicit TextFold(FoldOptions options = {}) noexcept : options_(options) {}

  const FoldOptions& Options() const noexcept { return options_; }

  // True when no fold is on: Fold returns every text as it is.
  bool IsIdentity() const noexcept {
    return !options_.nfkc && !options_.casefold && !options_.t2s;
  }

  // Folds `text`. When no fold changes it, returns `text` itself and leaves
  // `buffer` untouched: nothing is copied, and a caller that sees
  // `result.data() == text.data()` can go on with its own text. Otherwise
  // `buffer` is replaced by the folded text and the result views it. With
  // `map`, the map is reset to describe the result (empty when unchanged).
  // Throws std::length_error for a text, or a folded text with a map, of
  // 4 GiB or more.
  std::string_view Fold(std::string_view text, std::string& buffer,
                        FoldMap* map = nullptr) const;

  // The folded text as a string of its own.
  std::string Fold(std::string_view text) const {
    std::string buffer;
    const std::string_view folded = Fold(text, buffer);
    return folded.data() == text.data() ? std::string(text) : buffer;
  }

 private:
  FoldOptions options_;
};

}  // namespace kelp::typing::text::encoder
