// Small string helpers for line-oriented data files: splitting on a set of
// single-byte separators, trimming ASCII white space, a prefix test, and
// number reading that does not depend on the process locale.
//
// All functions are pure (no shared state) and safe to call from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kelp::typing::text::limonp {

// Splits `src` at every byte that occurs in `pattern` and replaces the
// contents of `res` with the pieces, which view `src`.
//
// Each separator ends one piece: two adjacent separators give an empty piece
// between them, a separator at the very beginning gives an empty first piece,
// a separator at the very end adds no trailing piece, and an empty `src`
// gives no pieces at all. An empty `pattern` matches nothing. Once `res`
// holds `maxsplit` pieces, the rest of `src` is the last piece.
inline void SplitViews(std::string_view src, std::vector<std::string_view>& res,
                       std::string_view pattern,
                       size_t maxsplit = std::string_view::npos) {
  res.clear();
  size_t start = 0;
  while (start < src.size()) {
    const size_t found = pattern.empty() ? std::string_view::npos
                                         : src.find_first_of(pattern, start);
    if (found == std::string_view::npos || res.size() >= maxsplit) {
      res.push_back(src.substr(start));
      return;
    }
    res.push_back(src.substr(start, found - start));
    start = found + 1;
  }
}

// The same split, with pieces copied into strings.
inline void Split(std::string_view src, std::vector<std::string>& res, std::string_view pattern,
                  size_t maxsplit = std::string::npos) {
  std::vector<std::string_view> pieces;
  SplitViews(src, pieces, pattern, maxsplit);
  res.assign(pieces.begin(), pieces.end());
}

// Calls `handle(line)` for every line of `content`: lines end at a line feed
// (not included), a last line without one counts too, and a final line feed
// starts no further line.
template <typename Handle>
void ForEachLine(std::string_view content, Handle&& handle) {
  size_t pos = 0;
  while (pos < content.size()) {
    const size_t feed = content.find('\n', pos);
    if (feed == std::string_view::npos) {
      handle(content.substr(pos));
      return;
    }
    handle(content.substr(pos, feed - pos));
    pos = feed + 1;
  }
}

// An upper bound of the number of lines ForEachLine finds in `content`.
inline size_t LineCountBound(std::string_view content) {
  size_t lines = 1;
  for (const char c : content) {
    lines += c == '\n';
  }
  return lines;
}

// White space of the data files: bytes 0x09 to 0x0D and 0x20. Bytes of 0x80
// and above never count, whatever the process locale says.
inline constexpr bool IsAsciiSpace(unsigned char c) noexcept {
  return c == 0x20 || (c >= 0x09 && c <= 0x0D);
}

// Removes leading and trailing white space from `s` in place; returns `s`.
inline std::string& TrimSpaces(std::string& s) {
  size_t end = s.size();
  while (end > 0 && IsAsciiSpace(static_cast<unsigned char>(s[end - 1]))) {
    --end;
  }
  s.erase(end);
  size_t begin = 0;
  while (begin < s.size() && IsAsciiSpace(static_cast<unsigned char>(s[begin]))) {
    ++begin;
  }
  s.erase(0, begin);
  return s;
}

// True when `s` starts with `prefix`.
inline bool HasPrefix(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Reads `text` as C's atof does in the "C" locale: leading white space is
// skipped, the longest numeric prefix is taken, and 0.0 is the result when
// there is none. Independent of the process locale, so a host program that
// switches LC_NUMERIC (Python's locale.setlocale) cannot turn "0.5" into 0.
double StringToDouble(std::string_view text);

// Reads `text` as C's atoi does in the "C" locale (decimal, leading white
// space skipped, 0 when there is no number), except that a value out of
// range saturates instead of being undefined.
long long StringToInteger(std::string_view text);

}  // namespace kelp::typing::text::limonp
