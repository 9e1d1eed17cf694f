#include "encoder/CjkBigrams.hpp"

namespace kelp::typing::text::encoder {

namespace {

// The CJK run characters are 3 or 4 bytes long in UTF-8: lead bytes E2..E9
// and EF (U+2E80..U+FAFF) and F0..F1 (U+20000..U+3FFFF). Returns the
// length of the run character at `p`, or 0 for any other character.
uint32_t CjkLength(const unsigned char* p, size_t left) noexcept {
  const unsigned char b0 = p[0];
  if (b0 >= 0xE2 && b0 <= 0xEF && left >= 3 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
    const jieba::Rune r = (static_cast<jieba::Rune>(b0 & 0x0F) << 12) |
                          (static_cast<jieba::Rune>(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    return IsCjkRunRune(r) ? 3 : 0;
  }
  if ((b0 == 0xF0 || b0 == 0xF1) && left >= 4 && (p[1] & 0xC0) == 0x80 &&
      (p[2] & 0xC0) == 0x80 && (p[3] & 0xC0) == 0x80) {
    const jieba::Rune r = (static_cast<jieba::Rune>(b0 & 0x07) << 18) |
                          (static_cast<jieba::Rune>(p[1] & 0x3F) << 12) |
                          (static_cast<jieba::Rune>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    return IsCjkRunRune(r) ? 4 : 0;
  }
  return 0;
}

// The length of the (possibly invalid) character at `p`, to step over it.
uint32_t StepLength(const unsigned char* p, size_t left) noexcept {
  const unsigned char b0 = p[0];
  uint32_t n = b0 < 0xC0 ? 1 : b0 < 0xE0 ? 2 : b0 < 0xF0 ? 3 : 4;
  if (n > left) {
    return 1;
  }
  for (uint32_t k = 1; k < n; ++k) {
    if ((p[k] & 0xC0) != 0x80) {
      return 1;
    }
  }
  return n;
}

}  // namespace

void CjkBigrams(std::string_view text, std::vector<TextSpan>& spans) {
  spans.clear();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0xE2) {  // ASCII and two-byte characters: never in a run
      i += p[i] < 0x80 ? 1 : StepLength(p + i, n - i);
      continue;
    }
    uint32_t length = CjkLength(p + i, n - i);
    if (length == 0) {
      i += StepLength(p + i, n - i);
      continue;
    }
    // A run starts at i.
    size_t previous = i;
    size_t next = i + length;
    bool paired = false;
    while (next < n && (length = CjkLength(p + next, n - next)) != 0) {
      spans.push_back(TextSpan{static_cast<uint32_t>(previous),
                               static_cast<uint32_t>(next + length - previous)});
      paired = true;
      previous = next;
      next += length;
    }
    if (!paired) {
      spans.push_back(TextSpan{static_cast<uint32_t>(i), static_cast<uint32_t>(next - i)});
    }
    i = next;
  }
}

}  // namespace kelp::typing::text::encoder
