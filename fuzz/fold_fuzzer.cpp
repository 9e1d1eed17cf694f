// Fuzz target: the text fold (NFKC, case folding, traditional to
// simplified) on any bytes, with the options taken from the first byte.
//
// Properties:
// - it never reads outside the text, and any bytes fold without a crash;
// - valid UTF-8 folds to valid UTF-8, and folding the result again changes
//   nothing;
// - a text returned unchanged is the input itself, not a copy;
// - the offset map: its spans are ordered, do not overlap and lie within
//   both texts; OriginalBegin and OriginalEnd never decrease, stay within
//   the original text, and OriginalBegin(p) <= OriginalEnd(q) for p < q;
//   for valid text, every character boundary of the folded text maps to a
//   character boundary of the original.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.hpp"
#include "encoder/TextFold.hpp"

using namespace kelp::typing::text::encoder;

namespace {

// Strict UTF-8: the length of the sequence at s[i], or 0.
std::size_t ValidLength(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char b0 = b(0);
  std::size_t n = b0 < 0x80 ? 1 : b0 >= 0xC2 && b0 <= 0xDF ? 2 : b0 >= 0xE0 && b0 <= 0xEF ? 3
                : b0 >= 0xF0 && b0 <= 0xF4 ? 4 : 0;
  if (n == 0 || s.size() - i < n) {
    return 0;
  }
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(k) & 0xC0) != 0x80) {
      return 0;
    }
  }
  if ((b0 == 0xE0 && b(1) < 0xA0) || (b0 == 0xED && b(1) >= 0xA0) ||
      (b0 == 0xF0 && b(1) < 0x90) || (b0 == 0xF4 && b(1) >= 0x90)) {
    return 0;
  }
  return n;
}

bool IsValid(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = ValidLength(s, i);
    if (n == 0) {
      return false;
    }
    i += n;
  }
  return true;
}

bool IsBoundary(std::string_view s, std::size_t i) {
  return i == 0 || i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const FoldOptions options{(data[0] & 1) != 0, (data[0] & 2) != 0, (data[0] & 4) != 0};
  // The text in a buffer of its own size, so that a read past it is caught.
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const TextFold fold(options);
  std::string buffer;
  FoldMap map;
  const std::string_view folded = fold.Fold(text, buffer, &map);
  if (folded.data() != text.data() && folded == text) {
    fuzz::Fail("an unchanged text was copied", text);
  }
  if (fold.Fold(text) != folded) {
    fuzz::Fail("the two Fold calls disagree", text);
  }

  if (map.OriginalSize() != text.size() || map.FoldedSize() != folded.size()) {
    fuzz::Fail("the map's sizes are not the texts'", text, folded);
  }
  std::size_t folded_end = 0;
  std::size_t original_end = 0;
  for (const FoldMap::Span& s : map.Spans()) {
    if (s.folded_begin < folded_end || s.original_begin < original_end ||
        s.folded_end <= s.folded_begin || s.original_end <= s.original_begin ||
        s.folded_end > folded.size() || s.original_end > text.size()) {
      fuzz::Fail("spans out of order, empty or out of bounds", text, folded);
    }
    folded_end = s.folded_end;
    original_end = s.original_end;
  }
  const bool valid = IsValid(text);
  std::size_t last_begin = 0;
  std::size_t last_end = 0;
  for (std::size_t p = 0; p <= folded.size(); ++p) {
    const std::size_t begin = map.OriginalBegin(p);
    const std::size_t end = map.OriginalEnd(p);
    if (begin < last_begin || end < last_end || begin > text.size() || end > text.size()) {
      fuzz::Fail("the map is not monotonic or leaves the text", text, folded);
    }
    if (p > 0 && map.OriginalBegin(p - 1) > end) {
      fuzz::Fail("a range maps to an inverted range", text, folded);
    }
    if (valid && IsBoundary(folded, p) && (!IsBoundary(text, begin) || !IsBoundary(text, end))) {
      fuzz::Fail("a character boundary maps inside a character", text, folded);
    }
    last_begin = begin;
    last_end = end;
  }

  if (valid) {
    const std::string once(folded);
    if (!IsValid(once)) {
      fuzz::Fail("valid text folded to invalid UTF-8", text, once);
    }
    std::string again_buffer;
    const std::string_view again = fold.Fold(once, again_buffer);
    if (again != once) {
      fuzz::Fail("folding twice differs from folding once", once, again);
    }
  }
  return 0;
}
