#include "encoder/TextFold.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "encoder/FoldTables.hpp"

namespace kelp::typing::text::encoder {

namespace {

using fold_tables::FoldEntry;
using fold_tables::Rune;

// The rune of a byte that starts no valid UTF-8 sequence.
constexpr Rune kInvalid = 0xFFFFFFFFu;
constexpr size_t kMaxTextBytes = UINT32_MAX;

// The most code points one character folds to without the segment path:
// NFKC gives at most 18, and case folding makes each at most 3.
constexpr size_t kMaxSingle = 64;

// Hangul syllables (Unicode's algorithmic decomposition and composition).
constexpr Rune kSBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
constexpr Rune kLCount = 19, kVCount = 21, kTCount = 28;
constexpr Rune kNCount = kVCount * kTCount, kSCount = kLCount * kNCount;

bool InCjkBlock(Rune r) noexcept {
  return r >= fold_tables::kT2sBlockFirst && r <= fold_tables::kT2sBlockLast;
}

bool IsHangulSyllable(Rune r) noexcept { return r >= kSBase && r < kSBase + kSCount; }

// Decodes one well-formed UTF-8 sequence: its length, or 0 when the bytes
// at `p` start none.
uint32_t DecodeValid(const unsigned char* p, size_t left, Rune& rune) noexcept {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    rune = b0;
    return 1;
  }
  if (b0 < 0xC2) {
    return 0;
  }
  if (b0 < 0xE0) {
    if (left < 2 || (p[1] & 0xC0) != 0x80) {
      return 0;
    }
    rune = (static_cast<Rune>(b0 & 0x1F) << 6) | (p[1] & 0x3F);
    return 2;
  }
  if (b0 < 0xF0) {
    if (left < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) {
      return 0;
    }
    rune = (static_cast<Rune>(b0 & 0x0F) << 12) | (static_cast<Rune>(p[1] & 0x3F) << 6) |
           (p[2] & 0x3F);
    return (rune < 0x800 || (rune >= 0xD800 && rune <= 0xDFFF)) ? 0 : 3;
  }
  if (b0 < 0xF5) {
    if (left < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80) {
      return 0;
    }
    rune = (static_cast<Rune>(b0 & 0x07) << 18) | (static_cast<Rune>(p[1] & 0x3F) << 12) |
           (static_cast<Rune>(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    return (rune < 0x10000 || rune > 0x10FFFF) ? 0 : 4;
  }
  return 0;
}

// Writes the UTF-8 form of a code point; returns its length.
size_t Encode(Rune r, char* out) noexcept {
  if (r < 0x80) {
    out[0] = static_cast<char>(r);
    return 1;
  }
  if (r < 0x800) {
    out[0] = static_cast<char>(0xC0 | (r >> 6));
    out[1] = static_cast<char>(0x80 | (r & 0x3F));
    return 2;
  }
  if (r < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (r >> 12));
    out[1] = static_cast<char>(0x80 | ((r >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (r & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (r >> 18));
  out[1] = static_cast<char>(0x80 | ((r >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((r >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (r & 0x3F));
  return 4;
}

// The entry of a code point outside ASCII, the CJK block and the Hangul
// syllables, or nullptr when no fold touches it.
const FoldEntry* FindEntry(Rune r) noexcept {
  if (r > 0x10FFFF) {
    return nullptr;
  }
  const size_t page = r >> fold_tables::kPageBits;
  const FoldEntry* first = fold_tables::ENTRIES + fold_tables::PAGE_STARTS[page];
  const FoldEntry* last = fold_tables::ENTRIES + fold_tables::PAGE_STARTS[page + 1];
  const FoldEntry* found = std::lower_bound(
      first, last, r, [](const FoldEntry& e, Rune key) { return e.rune < key; });
  return found != last && found->rune == r ? found : nullptr;
}

const FoldEntry* EntryOf(Rune r) noexcept {
  if (r < 0x80 || InCjkBlock(r) || IsHangulSyllable(r)) {
    return nullptr;
  }
  return FindEntry(r);
}

uint8_t CombiningClass(Rune r) noexcept {
  const FoldEntry* entry = EntryOf(r);
  return entry == nullptr ? 0 : entry->ccc;
}

Rune Simplified(Rune r) noexcept {
  if (r < fold_tables::kT2sBlockFirst) {
    return r;
  }
  if (r <= fold_tables::kT2sBlockLast) {
    const uint16_t index = fold_tables::T2S_BLOCK[r - fold_tables::kT2sBlockFirst];
    return index == 0 ? r : fold_tables::T2S_TARGETS[index];
  }
  const FoldEntry* entry = EntryOf(r);
  if (entry == nullptr || (entry->flags & fold_tables::kT2s) == 0) {
    return r;
  }
  const fold_tables::T2sPair* first = fold_tables::T2S_OTHER;
  const fold_tables::T2sPair* last = first + fold_tables::T2S_OTHER_COUNT;
  const fold_tables::T2sPair* found = std::lower_bound(
      first, last, r,
      [](const fold_tables::T2sPair& p, Rune key) { return p.traditional < key; });
  return found != last && found->traditional == r ? found->simplified : r;
}

// The primary composite of a pair, or 0.
Rune Compose(Rune first, Rune second) noexcept {
  if (first >= kLBase && first < kLBase + kLCount && second >= kVBase &&
      second < kVBase + kVCount) {
    return kSBase + ((first - kLBase) * kVCount + (second - kVBase)) * kTCount;
  }
  if (IsHangulSyllable(first) && (first - kSBase) % kTCount == 0 && second > kTBase &&
      second < kTBase + kTCount) {
    return first + (second - kTBase);
  }
  const fold_tables::Composition* begin = fold_tables::COMPOSITIONS;
  const fold_tables::Composition* end = begin + fold_tables::COMPOSITION_COUNT;
  const fold_tables::Composition* found = std::lower_bound(
      begin, end, std::make_pair(first, second),
      [](const fold_tables::Composition& c, const std::pair<Rune, Rune>& key) {
        return c.first < key.first || (c.first == key.first && c.second < key.second);
      });
  return found != end && found->first == first && found->second == second ? found->composite : 0;
}

// One decoded character of the input.
struct Char {
  Rune rune = 0;
  uint32_t length = 0;  // 0 past the end of the text
  const FoldEntry* entry = nullptr;
  bool boundary = true;  // see fold_tables::kBoundary
};

// A code point being folded in a segment, with the original bytes
// [from, to) it came from.
struct Piece {
  Rune rune;
  uint8_t ccc;
  uint32_t from;
  uint32_t to;
};

// The state of one Fold call.
class Folder {
 public:
  Folder(const FoldOptions& options, std::string_view text, std::string& buffer, FoldMap* map)
      : options_(options),
        text_(text),
        bytes_(reinterpret_cast<const unsigned char*>(text.data())),
        buffer_(buffer),
        map_(map) {}

  // True when some fold changed the text; the folded text is then in the
  // buffer.
  bool Run() {
    const size_t n = text_.size();
    size_t i = 0;
    Char current = Peek(0);
    while (current.length != 0) {
      const size_t end = i + current.length;
      // Runs of ASCII followed by ASCII need no look-up at all.
      if (current.rune < 0x80 && end < n && bytes_[end] < 0x80) {
        if (options_.casefold && current.rune - 'A' < 26u) {
          const char lower = static_cast<char>(current.rune + 32);
          Replace(i, end, &lower, 1, true);
        }
        i = end;
        current = Char{bytes_[end], 1, nullptr, true};
        continue;
      }
      Char next = Peek(end);
      if (!options_.nfkc || next.boundary) {
        FoldSingle(i, current);
        i = end;
        current = next;
        continue;
      }
      if (current.rune == kInvalid) {
        // Copied; the marks after it form a segment of their own.
        i = end;
        current = next;
        continue;
      }
      size_t segment_end = end;
      while (next.length != 0 && !next.boundary) {
        segment_end += next.length;
        next = Peek(segment_end);
      }
      FoldSegment(i, segment_end);
      i = segment_end;
      current = next;
    }
    if (!changed_) {
      return false;
    }
    buffer_.append(text_.data() + pending_, n - pending_);
    if (map_ != nullptr) {
      CheckMapLimit();
      map_->Finish(buffer_.size());
    }
    return true;
  }

 private:
  Char Peek(size_t i) const noexcept {
    if (i >= text_.size()) {
      return Char{};
    }
    Char c;
    if (bytes_[i] < 0x80) {
      c.rune = bytes_[i];
      c.length = 1;
      return c;
    }
    c.length = DecodeValid(bytes_ + i, text_.size() - i, c.rune);
    if (c.length == 0) {
      c.rune = kInvalid;
      c.length = 1;
      return c;
    }
    if (!InCjkBlock(c.rune) && !IsHangulSyllable(c.rune)) {
      c.entry = FindEntry(c.rune);
      c.boundary = c.entry == nullptr || (c.entry->flags & fold_tables::kBoundary) != 0;
    }
    return c;
  }

  // Replaces original bytes [begin, end) with `n` folded bytes. `one_char`:
  // one character became one character (of the same length, the map can
  // then go on byte for byte).
  void Replace(size_t begin, size_t end, const char* bytes, size_t n, bool one_char) {
    if (!changed_) {
      changed_ = true;
      buffer_.clear();
      buffer_.reserve(text_.size() + text_.size() / 8 + 16);
    }
    buffer_.append(text_.data() + pending_, begin - pending_);
    if (map_ != nullptr) {
      CheckMapLimit(n);
    }
    if (map_ != nullptr && !(one_char && n == end - begin)) {
      const auto at = static_cast<uint32_t>(buffer_.size());
      map_->Add(FoldMap::Span{at, static_cast<uint32_t>(at + n), static_cast<uint32_t>(begin),
                              static_cast<uint32_t>(end)});
    }
    buffer_.append(bytes, n);
    pending_ = end;
  }

  // The map's offsets are 32-bit: the folded text, with `more` bytes to
  // come, must stay below 4 GiB.
  void CheckMapLimit(size_t more = 0) const {
    if (buffer_.size() + more >= kMaxTextBytes) {
      throw std::length_error("TextFold: the folded text is too long for its offsets");
    }
  }

  // Case folding of one code point into `out`; returns the count written.
  static size_t CaseFold(Rune r, const FoldEntry* entry, Rune* out) noexcept {
    if (r < 0x80) {
      out[0] = r - 'A' < 26u ? r + 32 : r;
      return 1;
    }
    if (entry != nullptr && entry->casefold_length != 0) {
      std::copy_n(fold_tables::POOL + entry->casefold, entry->casefold_length, out);
      return entry->casefold_length;
    }
    out[0] = r;
    return 1;
  }

  // A character that NFKC leaves to itself (its neighbours cannot change
  // it), or any character when NFKC is off.
  void FoldSingle(size_t at, const Char& c) {
    if (c.rune < 0x80) {
      if (options_.casefold && c.rune - 'A' < 26u) {
        const char lower = static_cast<char>(c.rune + 32);
        Replace(at, at + 1, &lower, 1, true);
      }
      return;
    }
    if (InCjkBlock(c.rune)) {
      if (options_.t2s) {
        const uint16_t index = fold_tables::T2S_BLOCK[c.rune - fold_tables::kT2sBlockFirst];
        if (index != 0) {
          char out[4];
          const size_t n = Encode(fold_tables::T2S_TARGETS[index], out);
          Replace(at, at + c.length, out, n, true);
        }
      }
      return;
    }
    if (c.entry == nullptr) {
      return;  // no fold touches it (invalid bytes included)
    }
    Rune first[kMaxSingle];
    size_t count = 1;
    first[0] = c.rune;
    if (options_.nfkc && c.entry->nfkc_length != 0) {
      count = c.entry->nfkc_length;
      std::copy_n(fold_tables::POOL + c.entry->nfkc, count, first);
    }
    Rune second[kMaxSingle];
    Rune* result = first;
    if (options_.casefold) {
      size_t folded = 0;
      for (size_t k = 0; k < count; ++k) {
        const FoldEntry* entry = first[k] == c.rune ? c.entry : EntryOf(first[k]);
        folded += CaseFold(first[k], entry, second + folded);
      }
      count = folded;
      result = second;
    }
    if (options_.t2s) {
      for (size_t k = 0; k < count; ++k) {
        result[k] = Simplified(result[k]);
      }
    }
    if (count == 1 && result[0] == c.rune) {
      return;
    }
    char out[kMaxSingle * 4];
    size_t n = 0;
    for (size_t k = 0; k < count; ++k) {
      n += Encode(result[k], out + n);
    }
    Replace(at, at + c.length, out, n, count == 1);
  }

  // Appends the full compatibility decomposition of `p` to `pieces_`.
  void Decompose(const Piece& p) {
    if (IsHangulSyllable(p.rune)) {
      const Rune s = p.rune - kSBase;
      pieces_.push_back(Piece{kLBase + s / kNCount, 0, p.from, p.to});
      pieces_.push_back(Piece{kVBase + (s % kNCount) / kTCount, 0, p.from, p.to});
      if (s % kTCount != 0) {
        pieces_.push_back(Piece{kTBase + s % kTCount, 0, p.from, p.to});
      }
      return;
    }
    const FoldEntry* entry = EntryOf(p.rune);
    if (entry == nullptr || entry->nfkd_length == 0) {
      pieces_.push_back(Piece{p.rune, entry == nullptr ? uint8_t{0} : entry->ccc, p.from, p.to});
      return;
    }
    for (size_t k = 0; k < entry->nfkd_length; ++k) {
      const Rune r = fold_tables::POOL[entry->nfkd + k];
      pieces_.push_back(Piece{r, CombiningClass(r), p.from, p.to});
    }
  }

  // NFKC of the code points in `source`, into `pieces_`.
  void Normalize(const std::vector<Piece>& source) {
    pieces_.clear();
    for (const Piece& p : source) {
      Decompose(p);
    }
    // Canonical ordering: a stable sort of each run of non-starters.
    for (size_t k = 1; k < pieces_.size(); ++k) {
      const Piece moving = pieces_[k];
      if (moving.ccc == 0) {
        continue;
      }
      size_t j = k;
      while (j > 0 && pieces_[j - 1].ccc > moving.ccc) {
        pieces_[j] = pieces_[j - 1];
        --j;
      }
      pieces_[j] = moving;
    }
    // Canonical composition.
    if (pieces_.empty()) {
      return;
    }
    size_t starter = 0;
    // A text that starts with a non-starter composes nothing with it.
    unsigned last_class = pieces_[0].ccc == 0 ? 0 : 256;
    size_t kept = 1;
    for (size_t k = 1; k < pieces_.size(); ++k) {
      const Piece p = pieces_[k];
      // p is blocked from the starter when a code point between them is a
      // starter or of a class not below p's.
      if (last_class < p.ccc || last_class == 0) {
        const Rune composite = Compose(pieces_[starter].rune, p.rune);
        if (composite != 0) {
          Piece& s = pieces_[starter];
          s.rune = composite;
          s.from = std::min(s.from, p.from);
          s.to = std::max(s.to, p.to);
          continue;
        }
      }
      if (p.ccc == 0) {
        starter = kept;
      }
      last_class = p.ccc;
      pieces_[kept++] = p;
    }
    pieces_.resize(kept);
  }

  // Case folds `pieces_` into `folded_`; true when anything changed.
  bool CaseFoldPieces() {
    folded_.clear();
    bool changed = false;
    Rune out[3];
    for (const Piece& p : pieces_) {
      const size_t n = CaseFold(p.rune, EntryOf(p.rune), out);
      changed = changed || n != 1 || out[0] != p.rune;
      for (size_t k = 0; k < n; ++k) {
        folded_.push_back(Piece{out[k], CombiningClass(out[k]), p.from, p.to});
      }
    }
    return changed;
  }

  // A piece of text that NFKC must normalize as a whole: original bytes
  // [begin, end), from a boundary character (or the start of the text) to
  // the next one.
  void FoldSegment(size_t begin, size_t end) {
    source_.clear();
    for (size_t i = begin; i < end;) {
      Rune r;
      const uint32_t length = DecodeValid(bytes_ + i, end - i, r);
      // Invalid bytes are boundaries and never inside a segment.
      source_.push_back(Piece{r, 0, static_cast<uint32_t>(i), static_cast<uint32_t>(i + length)});
      i += length;
    }
    Normalize(source_);
    std::vector<Piece>* result = &pieces_;
    if (options_.casefold && CaseFoldPieces()) {
      // Case folding can leave marks that NFKC moves or joins: fold again
      // until nothing changes (two passes at most for Unicode 14; the
      // bound only guards against a table error).
      for (int pass = 0; pass < 8; ++pass) {
        source_.swap(folded_);
        Normalize(source_);
        CaseFoldPieces();
        if (SameRunes(folded_, source_)) {
          break;
        }
      }
      result = &folded_;
    }
    std::vector<Piece>& out = *result;
    if (options_.t2s) {
      for (Piece& p : out) {
        p.rune = Simplified(p.rune);
      }
    }
    EmitSegment(begin, end, out);
  }

  static bool SameRunes(const std::vector<Piece>& a, const std::vector<Piece>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Piece& x, const Piece& y) { return x.rune == y.rune; });
  }

  // Writes the folded code points of original bytes [begin, end). The
  // pieces are grouped so that groups follow each other in both texts: a
  // code point that came from before the end of the group before it (moved
  // by canonical ordering) joins that group.
  void EmitSegment(size_t begin, size_t end, std::vector<Piece>& out) {
    groups_.clear();  // (first piece, from, to)
    for (size_t k = 0; k < out.size(); ++k) {
      Group g{k, k + 1, out[k].from, out[k].to};
      while (!groups_.empty() && g.from < groups_.back().to) {
        const Group& last = groups_.back();
        g = Group{last.first, g.last, std::min(last.from, g.from), std::max(last.to, g.to)};
        groups_.pop_back();
      }
      groups_.push_back(g);
    }
    // Original bytes that no code point came from (none in practice) join
    // the group before them; the groups cover [begin, end).
    if (!groups_.empty()) {
      groups_.front().from = static_cast<uint32_t>(begin);
      for (size_t k = 0; k + 1 < groups_.size(); ++k) {
        groups_[k].to = groups_[k + 1].from;
      }
      groups_.back().to = static_cast<uint32_t>(end);
    }
    for (const Group& g : groups_) {
      std::string& bytes = scratch_;
      bytes.clear();
      char encoded[4];
      for (size_t k = g.first; k < g.last; ++k) {
        bytes.append(encoded, Encode(out[k].rune, encoded));
      }
      if (text_.compare(g.from, g.to - g.from, bytes) == 0) {
        continue;
      }
      Rune r;
      const bool one_char = g.last - g.first == 1 &&
                            DecodeValid(bytes_ + g.from, g.to - g.from, r) == g.to - g.from;
      Replace(g.from, g.to, bytes.data(), bytes.size(), one_char);
    }
  }

  struct Group {
    size_t first;
    size_t last;
    uint32_t from;
    uint32_t to;
  };

  const FoldOptions& options_;
  std::string_view text_;
  const unsigned char* bytes_;
  std::string& buffer_;
  FoldMap* map_;
  bool changed_ = false;
  size_t pending_ = 0;  // original bytes from here on are not yet in the buffer
  // Working storage of the segment path, reused within the call.
  std::vector<Piece> source_;
  std::vector<Piece> pieces_;
  std::vector<Piece> folded_;
  std::vector<Group> groups_;
  std::string scratch_;
};

}  // namespace

std::string_view TextFold::Fold(std::string_view text, std::string& buffer,
                                FoldMap* map) const {
  if (text.size() >= kMaxTextBytes) {
    throw std::length_error("TextFold: the text is too long for its offsets");
  }
  if (map != nullptr) {
    map->Reset(text.size());
  }
  if (IsIdentity() || text.empty()) {
    return text;
  }
  Folder folder(options_, text, buffer, map);
  if (!folder.Run()) {
    return text;
  }
  return std::string_view(buffer);
}

}  // namespace kelp::typing::text::encoder
