// Text to the tokens of a full-text index: the FTS5 tokenizer's work,
// without SQLite.
//
// The text is folded (TextFold: NFKC, case folding, traditional to
// simplified, as the options say) and the folded text is cut; each word
// that is kept becomes a token whose bytes are the folded word and whose
// offsets are the bytes of the ORIGINAL text it came from (through the
// fold's FoldMap), so that a highlighter marks the characters the reader
// wrote. Left out, as SparseEncoder leaves them out: the segmenter's stop
// words (folded too) and words of white space or punctuation only (with
// stop_words off, white space alone).
//
// Search mode: the cut gives the dictionary words inside a long word
// before the word itself; here the long word comes first and the words
// inside it follow as colocated tokens (the same position), so that a
// query for a part finds the whole without the whole being split. Repeats
// among them are left out. If the long word itself is left out, its first
// kept part takes its place. Query text gets the lead tokens only: the
// parts are in the index already, and a query word that brought its parts
// as alternatives would match every text holding any of them.
//
// Text that is not valid UTF-8 (which the segmenter refuses whole) is
// tokenized stretch by stretch between the bad bytes. Long text is cut in
// pieces of about 64 KiB that end after a separator (space, tab, line
// feed, U+FF0C, U+3002), where the segmenter splits anyway, so the tokens
// are those of one cut while the working memory stays small.
//
// Cost: the fold and the cut, plus a hash probe among the stop words per
// word; making a tokenizer hashes the stop words (a few thousand). The tokenizer is immutable and every call keeps its working
// state in the call: one tokenizer serves any number of threads at once.
// The segmenter is shared and must not be changed (words added or removed)
// while tokenizers use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "encoder/FoldMap.hpp"
#include "encoder/TextFold.hpp"
#include "sqlite/TokenizerOptions.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text::sqlite {

// One token: its bytes (valid while the call that gave it runs) and the
// byte range [begin, end) of the original text it stands for.
struct Token {
  std::string_view text;
  uint32_t begin;
  uint32_t end;
  bool colocated;  // at the position of the token before it
};

// Takes the tokens of a text in order; a non-zero result stops the
// tokenizer, which returns that value.
class TokenSink {
 public:
  virtual int Add(const Token& token) = 0;

 protected:
  ~TokenSink() = default;
};

class TextTokenizer {
 public:
  // What the text is.
  enum class Use {
    kDocument,  // text to index, or to highlight: every token
    kQuery,     // the words of a query: the lead tokens only
  };

  // `jieba` must be non-null; only the cut and the stop words of `options`
  // are read (the paths are the caller's business).
  TextTokenizer(std::shared_ptr<const jieba::Jieba> jieba, const TokenizerOptions& options);

  TextTokenizer(const TextTokenizer&) = delete;
  TextTokenizer& operator=(const TextTokenizer&) = delete;

  // Hands the tokens of `text` to `sink`, in order; returns 0, or the first
  // non-zero value the sink returned. Throws std::length_error for a text of
  // 4 GiB or more, and what the sink throws.
  int Tokenize(std::string_view text, Use use, TokenSink& sink) const;

  const TokenizerOptions& options() const noexcept { return options_; }

 private:
  struct Scratch;

  // Cuts the valid UTF-8 `piece`, which starts at byte `base` of the folded
  // text, and hands its tokens on.
  int CutPiece(std::string_view piece, size_t base, const encoder::FoldMap* map, Use use,
               Scratch& scratch, TokenSink& sink) const;

  bool Dropped(std::string_view word) const;

  std::shared_ptr<const jieba::Jieba> jieba_;
  TokenizerOptions options_;
  encoder::TextFold fold_;
  // The segmenter's stop words, folded, and a set viewing them: a hash
  // probe per word instead of a binary search, which took a third of the
  // time.
  std::vector<std::string> folded_stop_words_;
  std::unordered_set<std::string_view> stop_words_;
};

}  // namespace kelp::typing::text::sqlite
