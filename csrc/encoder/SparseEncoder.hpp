// The path from text to sparse vector in one place: a segmenter cuts each
// text, its words are filtered into tokens, and a BM25 model counts them or
// weighs them.
//
// Tokens are the words of the cut in the chosen mode, less, with
// stop_words, the segmenter's stop words and the words made only of white
// space or Unicode punctuation (general category P); keep_space keeps the
// words made only of white space, which are otherwise left out with or
// without stop_words. Hashed vectors key each token by
// the 32-bit MurmurHash3 (x86 variant, seed 0) of its UTF-8 bytes, in
// ascending id order, tokens whose ids collide adding their weights.
//
// The segmenter and the model are shared (the Python objects hold them
// too). The encoder itself is immutable after construction; the model is
// not locked here: callers that train it must not let that overlap with
// any other use of it (the binding refuses such overlaps).
//
// Work on a batch goes by chunks of texts, each on one thread, into state
// the caller provides per chunk or per thread, so that a batch runs on
// several threads without locks: Train into a model per thread, merged
// afterwards; Encode* into one output per chunk. The const members are safe
// to call from any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text {

struct EncoderSettings {
  jieba::CutMode mode = jieba::CutMode::kDefault;
  bool hmm = true;
  // Leave out stop words and words of white space or punctuation only.
  bool stop_words = true;
  // Keep the words of white space only.
  bool keep_space = false;
};

// What an encoder computes for a text.
enum class VectorKind {
  kDocument,  // BM25 document weights
  kQuery,     // BM25 query weights: idf, summing to 1
  kQueryOnes  // each distinct token 1.0 (for stores that apply idf)
};

class SparseEncoder {
 public:
  // Scratch storage of one thread; contents on entry do not matter.
  struct Scratch {
    std::vector<jieba::WordSpan> words;
    std::vector<jieba::WordSpan> kept;
    std::vector<std::string_view> tokens;
    std::vector<BM25::IndexedWeight> weights;
    std::vector<std::pair<uint32_t, double>> hashed;
  };

  // Hashed vectors of consecutive texts: the entries of text t are
  // [ends[t - 1], ends[t]) (from 0 for the first), ids ascending.
  struct HashedVectors {
    std::vector<uint32_t> ids;
    std::vector<double> values;
    std::vector<size_t> ends;
  };

  // Word-keyed vectors of consecutive texts: each entry is a token (its
  // span in its text) and its weight, in ascending byte order of the token.
  struct WordVectors {
    std::vector<jieba::WordSpan> tokens;
    std::vector<double> values;
    std::vector<size_t> ends;
  };

  SparseEncoder(std::shared_ptr<const jieba::Jieba> jieba, EncoderSettings settings,
                std::shared_ptr<BM25> model);

  SparseEncoder(const SparseEncoder&) = delete;
  SparseEncoder& operator=(const SparseEncoder&) = delete;

  // The tokens of `text` into scratch.tokens (views of `text`), in order,
  // with their spans in scratch.kept.
  void Tokenize(std::string_view text, Scratch& scratch) const;

  // Counts each text of [texts, texts + count) that gives a token as one
  // document of `model`, which must have this encoder's b and k1.
  void Train(const std::string_view* texts, size_t count, BM25& model, Scratch& scratch) const;

  // Appends the hashed vector of each text to `out`. kDocument and kQuery
  // throw std::runtime_error "BM25 has not been initialized" for a text with
  // tokens while the model has no documents.
  void EncodeHashed(const std::string_view* texts, size_t count, VectorKind kind,
                    HashedVectors& out, Scratch& scratch) const;

  // Appends the word-keyed vector of each text to `out`.
  void EncodeWords(const std::string_view* texts, size_t count, VectorKind kind, WordVectors& out,
                   Scratch& scratch) const;

  // The id of a token: MurmurHash3 x86 32 of its bytes, seed 0.
  static uint32_t TokenId(std::string_view token) noexcept;

  const EncoderSettings& settings() const noexcept { return settings_; }
  const std::shared_ptr<const jieba::Jieba>& jieba() const noexcept { return jieba_; }
  const std::shared_ptr<BM25>& model() const noexcept { return model_; }

 private:
  // True when the settings leave `word` out.
  bool Dropped(std::string_view word) const;

  // The weights of scratch.tokens, as BM25 gives them (indices into the
  // tokens, ascending by token), or 1.0 per distinct token.
  void Weigh(VectorKind kind, Scratch& scratch) const;

  // A set of words viewing another's storage, for one question asked of
  // every token: open addressing on a short FNV-1a hash, at most a quarter
  // full, so that a miss (nearly every token) is one probe of one slot.
  class WordSet {
   public:
    void Assign(const jieba::WordTable& words);
    bool Contains(std::string_view word) const noexcept;

   private:
    static uint64_t Hash(std::string_view word) noexcept;
    std::vector<std::pair<uint64_t, std::string_view>> slots_;  // empty view: free
    size_t mask_ = 0;
    bool has_empty_ = false;
  };

  std::shared_ptr<const jieba::Jieba> jieba_;
  EncoderSettings settings_;
  std::shared_ptr<BM25> model_;
  // The segmenter's stop words, viewing its table.
  WordSet stop_words_;
};

}  // namespace kelp::typing::text
