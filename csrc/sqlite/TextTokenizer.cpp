#include "sqlite/TextTokenizer.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "encoder/UnicodeClasses.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::sqlite {

namespace {

// A piece is cut once it is this long, at the next separator.
constexpr size_t kPieceBytes = size_t{1} << 16;

const unsigned char* Bytes(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

// Where the valid UTF-8 from `at` ends: the first byte the decoder refuses,
// or the end of the text.
size_t ValidEnd(std::string_view text, size_t at) {
  const unsigned char* p = Bytes(text);
  jieba::Rune rune;
  while (at < text.size()) {
    const uint32_t taken = jieba::DecodeRune(p + at, text.size() - at, rune);
    if (taken == 0) {
      break;
    }
    at += taken;
  }
  return at;
}

// Past the bytes from `at` that start no rune.
size_t SkipInvalid(std::string_view text, size_t at) {
  const unsigned char* p = Bytes(text);
  jieba::Rune rune;
  while (at < text.size() && jieba::DecodeRune(p + at, text.size() - at, rune) == 0) {
    ++at;
  }
  return at;
}

// The end of the piece that starts at `begin` in valid text ending at `end`:
// just after the first separator at or past kPieceBytes, or `end`. The
// separators are the segmenter's: space, tab, line feed, U+FF0C and U+3002
// (EF BC 8C, E3 80 82); in valid UTF-8 a lead byte always starts a
// character, so matching bytes finds characters.
size_t PieceEnd(std::string_view text, size_t begin, size_t end) {
  if (end - begin <= kPieceBytes) {
    return end;
  }
  const unsigned char* p = Bytes(text);
  for (size_t i = begin + kPieceBytes; i < end; ++i) {
    const unsigned char c = p[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      return i + 1;
    }
    if (i + 2 < end && ((c == 0xEF && p[i + 1] == 0xBC && p[i + 2] == 0x8C) ||
                        (c == 0xE3 && p[i + 1] == 0x80 && p[i + 2] == 0x82))) {
      return i + 3;
    }
  }
  return end;
}

// Leaves out every word of `words` equal to an earlier one, keeping the
// order: equal parts at one position count once. A long word has a few
// parts, compared pairwise; a huge one (a run of letters the HMM keeps
// whole) many, found through a sort.
void KeepFirstOfEach(std::vector<std::string_view>& words, std::vector<size_t>& order) {
  size_t kept = 0;
  if (words.size() <= 32) {
    for (size_t k = 0; k < words.size(); ++k) {
      if (std::find(words.begin(), words.begin() + kept, words[k]) == words.begin() + kept) {
        words[kept++] = words[k];
      }
    }
  } else {
    order.resize(words.size());
    for (size_t k = 0; k < order.size(); ++k) {
      order[k] = k;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&words](size_t a, size_t b) { return words[a] < words[b]; });
    // Each run of equal words keeps its first (the sort is stable); the
    // others are marked by emptying them, as no part is empty.
    size_t first = 0;
    for (size_t k = 1; k < order.size(); ++k) {
      if (words[order[k]] == words[order[first]]) {
        words[order[k]] = std::string_view();
      } else {
        first = k;
      }
    }
    for (const std::string_view word : words) {
      if (!word.empty()) {
        words[kept++] = word;
      }
    }
  }
  words.resize(kept);
}

}  // namespace

struct TextTokenizer::Scratch {
  std::vector<jieba::WordSpan> spans;
  std::vector<uint8_t> lead;            // search mode: 1 for the words of the default cut
  std::vector<std::string_view> parts;  // the kept words inside one long word
  std::vector<size_t> order;
};

TextTokenizer::TextTokenizer(std::shared_ptr<const jieba::Jieba> jieba,
                             const TokenizerOptions& options)
    : jieba_(std::move(jieba)), options_(options), fold_(options.fold) {
  if (jieba_ == nullptr) {
    throw std::invalid_argument("TextTokenizer: a segmenter is needed");
  }
  // Folded as every text is, so that the folded words meet them.
  const jieba::WordTable& stop_words = jieba_->StopWords();
  folded_stop_words_.reserve(stop_words.size());
  for (size_t k = 0; k < stop_words.size(); ++k) {
    folded_stop_words_.push_back(fold_.Fold(stop_words.Word(k)));
  }
  stop_words_.reserve(folded_stop_words_.size());
  for (const std::string& word : folded_stop_words_) {
    stop_words_.insert(word);
  }
}

bool TextTokenizer::Dropped(std::string_view word) const {
  if (!options_.stop_words) {
    return encoder::IsSpaceWord(word);
  }
  return encoder::IsSpaceOrPunctuationWord(word) || stop_words_.count(word) != 0;
}

int TextTokenizer::Tokenize(std::string_view text, Use use, TokenSink& sink) const {
  std::string buffer;
  encoder::FoldMap map;
  std::string_view folded = text;
  if (!fold_.IsIdentity()) {
    folded = fold_.Fold(text, buffer, &map);
  }
  if (folded.size() > jieba::MAX_TEXT_BYTES) {
    throw std::length_error("razoduviva: a text of 4 GiB or more");
  }
  const encoder::FoldMap* const mapped = folded.data() == text.data() ? nullptr : &map;
  const bool valid = jieba::IsValidUtf8(folded);
  Scratch scratch;
  size_t at = 0;
  while (at < folded.size()) {
    const size_t valid_end = valid ? folded.size() : ValidEnd(folded, at);
    while (at < valid_end) {
      const size_t piece_end = PieceEnd(folded, at, valid_end);
      const int rc =
          CutPiece(folded.substr(at, piece_end - at), at, mapped, use, scratch, sink);
      if (rc != 0) {
        return rc;
      }
      at = piece_end;
    }
    at = SkipInvalid(folded, at);
  }
  return 0;
}

int TextTokenizer::CutPiece(std::string_view piece, size_t base, const encoder::FoldMap* map,
                            Use use, Scratch& scratch, TokenSink& sink) const {
  std::vector<jieba::WordSpan>& spans = scratch.spans;
  jieba_->Cut(options_.mode, piece, spans, options_.hmm);

  const auto word = [&](const jieba::WordSpan& span) {
    return piece.substr(span.byte_offset, span.byte_length);
  };
  const auto emit = [&](std::string_view text, bool colocated) {
    // `text` views the piece: its place there is its place in the fold.
    const size_t begin = base + static_cast<size_t>(text.data() - piece.data());
    const size_t end = begin + text.size();
    const auto [first, last] =
        map != nullptr ? map->ToOriginal(begin, end) : std::pair<size_t, size_t>(begin, end);
    return sink.Add(Token{text, static_cast<uint32_t>(first), static_cast<uint32_t>(last),
                          colocated});
  };

  if (options_.mode != jieba::CutMode::kSearch) {
    for (const jieba::WordSpan& span : spans) {
      const std::string_view text = word(span);
      if (!Dropped(text)) {
        if (const int rc = emit(text, false)) {
          return rc;
        }
      }
    }
    return 0;
  }

  // The words of the default cut follow each other; the parts of one of
  // them come just before it and end after it starts. So, from the back, a
  // word that ends where the last lead word starts (or before) is a lead
  // word, and any other word is a part of the lead word after it.
  std::vector<uint8_t>& lead = scratch.lead;
  lead.assign(spans.size(), 0);
  uint64_t boundary = UINT64_MAX;
  for (size_t i = spans.size(); i-- > 0;) {
    if (uint64_t{spans[i].byte_offset} + spans[i].byte_length <= boundary) {
      lead[i] = 1;
      boundary = spans[i].byte_offset;
    }
  }
  std::vector<std::string_view>& parts = scratch.parts;
  size_t first_part = 0;
  for (size_t i = 0; i < spans.size(); ++i) {
    if (lead[i] == 0) {
      continue;
    }
    parts.clear();
    for (size_t k = first_part; k < i; ++k) {
      const std::string_view text = word(spans[k]);
      if (!Dropped(text)) {
        parts.push_back(text);
      }
    }
    first_part = i + 1;
    KeepFirstOfEach(parts, scratch.order);
    const std::string_view whole = word(spans[i]);
    size_t next = 0;
    if (!Dropped(whole)) {
      if (const int rc = emit(whole, false)) {
        return rc;
      }
    } else if (!parts.empty()) {
      if (const int rc = emit(parts[next++], false)) {
        return rc;
      }
    } else {
      continue;
    }
    if (use == Use::kQuery) {
      continue;
    }
    for (; next < parts.size(); ++next) {
      if (const int rc = emit(parts[next], true)) {
        return rc;
      }
    }
  }
  return 0;
}

}  // namespace kelp::typing::text::sqlite
