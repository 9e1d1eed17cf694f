// The path from text to sparse vector in one place: a text is folded, a
// segmenter cuts it, its words are filtered into tokens, and BM25 counts
// them or weighs them; beside the words, the character bigrams of its CJK
// runs form a second field with statistics of their own.
//
// Folds (each an option, queries and documents alike): NFKC, case folding,
// traditional characters to simplified ones (see TextFold).
//
// Word tokens are the words of the cut in the chosen mode, less, with
// stop_words, the stop words (the segmenter's, or a list of the encoder's
// own) and the words made only of white space or Unicode punctuation
// (general category P); keep_space keeps the words made only of white
// space, which are otherwise left out with or without stop_words.
//
// Bigram tokens (with bigrams > 0): the character bigrams of the folded
// text's CJK runs, a run of one character giving that character (see
// CjkBigrams). They have a BM25 model of their own: a document count and an
// average length counted in bigrams.
//
// Vectors: a document's vector holds both fields' document weights; a
// query's holds its word query weights plus `bigrams` times its bigram
// query weights, each field's query weights summing to 1. So a dot product
// is the word score plus `bigrams` times the bigram score. Query weights
// use the idf of `idf`: kOccurrences is the model file's,
// ln((N + 1) / (n + 0.5)) with n a token's occurrences (negative for a
// token that occurs more often than there are documents); kDocuments is
// ln(1 + (N - df + 0.5) / (df + 0.5)) with df the number of documents that
// hold it, never negative, for which the encoder counts df.
//
// Hashed ids: a word token's is the 32-bit MurmurHash3 (x86 variant, seed
// 0) of its UTF-8 bytes. With the bigram field the two fields split the id
// space by its top bit: a word's id is that hash with the top bit clear, a
// bigram's the hash of its bytes with the top bit set, so that no word id
// ever meets a bigram id and the word 北京 and the bigram 北京 are
// different features. Entries are in ascending id order; tokens whose ids
// collide (within a field) add their weights.
//
// The segmenter and the statistics are shared (the Python objects hold
// them too). The encoder itself is immutable after construction; the
// statistics are not locked here: callers that change them must not let
// that overlap with any other use (the binding pins the word model, which
// every change checks). Work on a batch goes by chunks of texts, each on
// one thread, into state the caller provides per chunk or per thread: Train
// into Counts per thread, merged afterwards; Encode* into one output per
// chunk. The const members are safe to call from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"
#include "bm25/TokenCounts.hpp"
#include "encoder/CjkBigrams.hpp"
#include "encoder/TextFold.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text {

// Which idf the query weights use.
enum class IdfKind { kOccurrences, kDocuments };

struct EncoderSettings {
  jieba::CutMode mode = jieba::CutMode::kDefault;
  bool hmm = true;
  // Leave out stop words and words of white space or punctuation only.
  bool stop_words = true;
  // Keep the words of white space only.
  bool keep_space = false;
  // No fold unless asked: the encoder of old files.
  encoder::FoldOptions fold{false, false, false};
  // The weight of the bigram field in a query; 0: no bigram field.
  double bigrams = 0.0;
  IdfKind idf = IdfKind::kOccurrences;
  // With stop_words, these words instead of the segmenter's stop words.
  std::optional<std::vector<std::string>> own_stop_words;
};

// What an encoder computes for a text.
enum class VectorKind {
  kDocument,  // BM25 document weights
  kQuery,     // BM25 query weights: idf, summing to 1 in each field
  kQueryOnes  // each distinct token 1.0 (bigrams: `bigrams`), for stores that apply idf
};

class SparseEncoder {
 public:
  // The top bit of an id with the bigram field: clear for words, set for
  // bigrams.
  static constexpr uint32_t kBigramBit = 0x80000000u;

  // One field's statistics: its BM25 model and, for kDocuments, the number
  // of documents holding each token. The word model counts occurrences, as
  // its model file says; the bigram model, which nothing else reads, counts
  // documents instead with kDocuments (BM25::train_distinct), so that its
  // token counts are the document counts and no second table is kept.
  struct Field {
    std::shared_ptr<BM25> model;
    std::shared_ptr<TokenCounts> document_counts;  // the words' with kDocuments
    // The document counts idf reads: document_counts, or the model's own.
    const TokenCounts* DocumentCounts() const noexcept {
      return document_counts != nullptr ? document_counts.get() : &model->doc_token_frequency();
    }
  };

  // What a fit counts, per thread or in all: both fields. Also how
  // statistics travel (pickles, the shards of a cluster fit): Serialize
  // writes the magic "razoduviva.Counts\0", a u32 format (1), the BM25
  // states of both fields, then the words' document counts as a u64 count
  // and (bytes token, i64 count) pairs in ascending byte order.
  struct Counts {
    Counts(double b, double k1) : words(b, k1), bigrams(b, k1) {}
    explicit Counts(const SparseEncoder& encoder);
    BM25 words;
    BM25 bigrams;
    TokenCounts word_documents;
    // Adds `other`'s counts to these.
    void Merge(const Counts& other);
    std::string Serialize() const;
    // Throws limonp::StateError for bytes that are not such a state.
    static Counts Deserialize(std::string_view state);
  };

  // Scratch storage of one thread; contents on entry do not matter.
  struct Scratch {
    std::string folded_buffer;
    std::string_view folded;  // the text the tokens view: the input, or folded_buffer
    std::vector<jieba::WordSpan> words;
    std::vector<jieba::WordSpan> kept;
    std::vector<std::string_view> tokens;
    std::vector<encoder::TextSpan> bigram_spans;
    std::vector<std::string_view> bigrams;
    std::vector<BM25::IndexedWeight> weights;
    std::vector<std::pair<uint32_t, double>> hashed;
    std::vector<uint32_t> distinct;
    std::vector<size_t> first;
    std::vector<uint32_t> counts;
    std::vector<std::string_view> distinct_tokens;
  };

  // Hashed vectors of consecutive texts: the entries of text t are
  // [ends[t - 1], ends[t]) (from 0 for the first), ids ascending.
  struct HashedVectors {
    std::vector<uint32_t> ids;
    std::vector<double> values;
    std::vector<size_t> ends;
  };

  // Token-keyed vectors of consecutive texts, in ascending byte order of the
  // tokens within each field. A token is a span of its text, or of
  // `folded[t]` when that is not empty (the fold changed the text).
  struct WordVectors {
    std::vector<jieba::WordSpan> tokens;
    std::vector<double> values;
    std::vector<size_t> ends;
    std::vector<encoder::TextSpan> bigrams;
    std::vector<double> bigram_values;
    std::vector<size_t> bigram_ends;
    std::vector<std::string> folded;
  };

  // `words` holds the word field's model, which must not be null; the other
  // statistics start empty.
  SparseEncoder(std::shared_ptr<const jieba::Jieba> jieba, EncoderSettings settings,
                std::shared_ptr<BM25> words);

  SparseEncoder(const SparseEncoder&) = delete;
  SparseEncoder& operator=(const SparseEncoder&) = delete;

  // The word tokens of `text` into scratch.tokens, viewing scratch.folded,
  // in order, with their spans in scratch.kept; with the bigram field, its
  // tokens into scratch.bigrams (spans in scratch.bigram_spans).
  void Tokenize(std::string_view text, Scratch& scratch) const;

  // Counts each text of [texts, texts + count) that gives a token as one
  // document of each field.
  void Train(const std::string_view* texts, size_t count, Counts& counts, Scratch& scratch) const;

  // Adds `counts` to the encoder's statistics (a field of no document is
  // passed over). Throws std::runtime_error, changing nothing, while a
  // model is pinned, and std::invalid_argument for other b or k1.
  void Commit(const Counts& counts) const;

  // A copy of the encoder's statistics; with `words` false, the word
  // model stays empty (it travels as the BM25 of model()), its document
  // counts included all the same.
  Counts Statistics(bool words = true) const;

  // Appends the hashed vector of each text to `out`. kDocument and kQuery
  // throw std::runtime_error for a text with tokens before any fit.
  void EncodeHashed(const std::string_view* texts, size_t count, VectorKind kind,
                    HashedVectors& out, Scratch& scratch) const;

  // Appends the token-keyed vector of each text to `out`.
  void EncodeWords(const std::string_view* texts, size_t count, VectorKind kind, WordVectors& out,
                   Scratch& scratch) const;

  // MurmurHash3 x86 32 of a token's bytes, seed 0: the id of a word when
  // the encoder has no bigram field.
  static uint32_t TokenId(std::string_view token) noexcept;
  // The id of a word token with this encoder's settings.
  uint32_t WordId(std::string_view word) const noexcept {
    return has_bigrams() ? TokenId(word) & ~kBigramBit : TokenId(word);
  }
  // The id of a bigram token: TokenId with the top bit set.
  static uint32_t BigramId(std::string_view bigram) noexcept {
    return TokenId(bigram) | kBigramBit;
  }

  const EncoderSettings& settings() const noexcept { return settings_; }
  const std::shared_ptr<const jieba::Jieba>& jieba() const noexcept { return jieba_; }
  const std::shared_ptr<BM25>& model() const noexcept { return words_.model; }
  const Field& words() const noexcept { return words_; }
  const Field& bigrams() const noexcept { return bigrams_; }
  bool has_bigrams() const noexcept { return settings_.bigrams > 0.0; }

 private:
  // True when the settings leave `word` out.
  bool Dropped(std::string_view word) const;

  // The weights of `tokens` in `field` into scratch.weights (indices of
  // each distinct token's first occurrence; ascending by token for queries,
  // and for documents with `key_order`), times `scale` for queries.
  void Weigh(VectorKind kind, const Field& field, const std::vector<std::string_view>& tokens,
             double scale, bool key_order, Scratch& scratch) const;

  // The distinct tokens of `tokens` into scratch.distinct_tokens.
  static void DistinctTokens(const std::vector<std::string_view>& tokens, Scratch& scratch);

  // Throws when a text with tokens is to be weighed before any fit.
  void CheckFitted(VectorKind kind, const Scratch& scratch) const;

  // True when the bigrams of scratch go into the vector.
  bool WeighsBigrams(VectorKind kind, const Scratch& scratch) const;

  // A set of words, for one question asked of every token: open addressing
  // on a short FNV-1a hash, at most a quarter full, so that a miss (nearly
  // every token) is one probe of one slot. Owns its words.
  class WordSet {
   public:
    void Assign(std::vector<std::string> words);
    bool Contains(std::string_view word) const noexcept;

   private:
    static uint64_t Hash(std::string_view word) noexcept;
    std::vector<std::string> words_;
    std::vector<std::pair<uint64_t, std::string_view>> slots_;  // empty view: free
    size_t mask_ = 0;
    bool has_empty_ = false;
  };

  std::shared_ptr<const jieba::Jieba> jieba_;
  EncoderSettings settings_;
  encoder::TextFold fold_;
  Field words_;
  Field bigrams_;
  // The stop words, folded as the text is.
  WordSet stop_words_;
};

}  // namespace kelp::typing::text
