// Where each part of a folded text came from: maps byte ranges of the text
// TextFold wrote back to byte ranges of the text it read.
//
// The map holds one Span for each piece of the fold that changed the
// length of a character or joined or split characters (ＡＢＣ -> ABC,
// ﬁ -> fi, e + U+0301 -> é, ß -> ss): such a piece maps as a whole, so every
// folded byte of it maps to all the original characters that produced it.
// Everything between two spans is a copy, or a change of one character
// into one of the same length (A -> a, 國 -> 国), and maps byte for byte.
// Text that no fold changed has an empty map: folded and original offsets
// are the same.
//
// Guarantees: OriginalBegin and OriginalEnd are monotonic, stay within the
// original text, and a position on a character boundary of the folded text
// maps to a character boundary of the original. A position inside a folded
// character maps inside the original character when that character kept
// its length, else to the edges of its span.
//
// Cost: 16 bytes per span; a look-up is a binary search over the spans. Not
// synchronized: a map is filled by one fold and then read, from any number
// of threads once filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kelp::typing::text::encoder {

class FoldMap {
 public:
  // Folded bytes [folded_begin, folded_end) came from original bytes
  // [original_begin, original_end). Spans are ordered and do not overlap,
  // in either text.
  struct Span {
    uint32_t folded_begin;
    uint32_t folded_end;
    uint32_t original_begin;
    uint32_t original_end;

    friend bool operator==(const Span& a, const Span& b) {
      return a.folded_begin == b.folded_begin && a.folded_end == b.folded_end &&
             a.original_begin == b.original_begin && a.original_end == b.original_end;
    }
  };

  // Makes the map the identity of a text of `size` bytes.
  void Reset(size_t size) noexcept {
    spans_.clear();
    original_size_ = size;
    folded_size_ = size;
  }

  // Appends a span after the last one; TextFold calls it as it writes.
  void Add(const Span& span) { spans_.push_back(span); }

  // Closes the map: the folded text has `folded_size` bytes.
  void Finish(size_t folded_size) noexcept { folded_size_ = folded_size; }

  // The smallest original range that produced folded bytes [begin, end);
  // positions past the folded text count as its end. An empty range maps
  // to the empty range at OriginalBegin(begin).
  std::pair<size_t, size_t> ToOriginal(size_t begin, size_t end) const noexcept {
    const size_t first = OriginalBegin(begin);
    return {first, end <= begin ? first : OriginalEnd(end)};
  }

  // Where the original of the folded byte at `folded` starts.
  size_t OriginalBegin(size_t folded) const noexcept;

  // Where the original of the folded bytes before `folded` ends.
  size_t OriginalEnd(size_t folded) const noexcept;

  const std::vector<Span>& Spans() const noexcept { return spans_; }
  size_t OriginalSize() const noexcept { return original_size_; }
  size_t FoldedSize() const noexcept { return folded_size_; }

 private:
  std::vector<Span> spans_;
  size_t original_size_ = 0;
  size_t folded_size_ = 0;
};

}  // namespace kelp::typing::text::encoder
