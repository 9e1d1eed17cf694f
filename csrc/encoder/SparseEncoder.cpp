#include "encoder/SparseEncoder.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "encoder/MurmurHash3.hpp"
#include "encoder/UnicodeClasses.hpp"
#include "tokenizer/limonp/ByteStream.hpp"
#include "tokenizer/limonp/Errors.hpp"
#include "tokenizer/limonp/Hash.hpp"

namespace kelp::typing::text {

namespace {

std::string ShortestText(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

// Replaces `first` with the position of the first occurrence of each
// distinct token of `tokens`, in that order, and `counts` with how often
// each occurs. `slots` is scratch: an open-addressing set of distinct
// tokens, at most half full, so that a document costs a hash and a probe
// per token.
void Distinct(const std::vector<std::string_view>& tokens, std::vector<uint32_t>& slots,
              std::vector<size_t>& first, std::vector<uint32_t>& counts) {
  size_t size = 16;
  while (size < 2 * tokens.size()) {
    size *= 2;
  }
  slots.assign(size, 0);  // distinct number + 1; 0: free
  first.clear();
  counts.clear();
  const size_t mask = size - 1;
  for (size_t k = 0; k < tokens.size(); ++k) {
    const std::string_view token = tokens[k];
    for (size_t i = limonp::Fnv1a(token) & mask;; i = (i + 1) & mask) {
      if (slots[i] == 0) {
        slots[i] = static_cast<uint32_t>(first.size() + 1);
        first.push_back(k);
        counts.push_back(1);
        break;
      }
      if (tokens[first[slots[i] - 1]] == token) {
        ++counts[slots[i] - 1];
        break;
      }
    }
  }
}

void AddCounts(TokenCounts& to, const TokenCounts& from) {
  to.Merge(from, [](std::int64_t& total, std::int64_t add) {
    if (__builtin_add_overflow(total, add, &total)) {
      total = INT64_MAX;
    }
  });
}

}  // namespace

SparseEncoder::Counts::Counts(const SparseEncoder& encoder)
    : Counts(encoder.model()->b(), encoder.model()->k1()) {}

void SparseEncoder::Counts::Merge(const Counts& other) {
  words.merge(other.words);
  bigrams.merge(other.bigrams);
  AddCounts(word_documents, other.word_documents);
}

namespace {

constexpr char kCountsMagic[] = "razoduviva.Counts";  // with its NUL
constexpr uint32_t kCountsFormat = 1;

void WriteTable(limonp::ByteWriter& out, const TokenCounts& table) {
  out.WriteU64(table.size());
  table.ForEachSorted([&out](std::string_view token, std::int64_t count) {
    out.WriteBytes(token);
    out.WriteI64(count);
  });
}

void ReadTable(limonp::ByteReader& in, TokenCounts& table) {
  const size_t count = in.ReadCount(8 + 8, "document counts");
  table.Reserve(count);
  std::string_view previous;
  for (size_t k = 0; k < count; ++k) {
    const std::string_view token = in.ReadBytes("token");
    if (k > 0 && !(previous < token)) {
      limonp::ThrowCorruptState("document counts out of order");
    }
    table[token] = in.ReadI64("document count");
    previous = token;
  }
}

}  // namespace

std::string SparseEncoder::Counts::Serialize() const {
  std::string state;
  limonp::ByteWriter out(state);
  out.WriteRaw(std::string_view(kCountsMagic, sizeof(kCountsMagic)));
  out.WriteU32(kCountsFormat);
  out.WriteBytes(words.serialize());
  out.WriteBytes(bigrams.serialize());
  WriteTable(out, word_documents);
  return state;
}

SparseEncoder::Counts SparseEncoder::Counts::Deserialize(std::string_view state) {
  limonp::ByteReader in(state);
  if (in.remaining() < sizeof(kCountsMagic) ||
      in.ReadRaw(sizeof(kCountsMagic), "magic") != std::string_view(kCountsMagic, sizeof(kCountsMagic))) {
    limonp::ThrowCorruptState("not razoduviva encoder statistics");
  }
  if (in.ReadU32("format") != kCountsFormat) {
    throw limonp::StateError("encoder statistics of a format this build does not read");
  }
  BM25 words = BM25::deserialize(in.ReadBytes("word model"));
  BM25 bigrams = BM25::deserialize(in.ReadBytes("bigram model"));
  Counts counts(words.b(), words.k1());
  counts.words = std::move(words);
  counts.bigrams = std::move(bigrams);
  ReadTable(in, counts.word_documents);
  in.ExpectEnd();
  return counts;
}

SparseEncoder::SparseEncoder(std::shared_ptr<const jieba::Jieba> jieba, EncoderSettings settings,
                             std::shared_ptr<BM25> words)
    : jieba_(std::move(jieba)), settings_(std::move(settings)), fold_(settings_.fold) {
  words_.model = std::move(words);
  if (jieba_ == nullptr || words_.model == nullptr) {
    throw std::invalid_argument("SparseEncoder: a segmenter and a model are needed");
  }
  const BM25& model = *words_.model;
  // BM25 computes with any b and k1; outside these ranges document weights
  // leave (0, 1) and stop meaning anything.
  if (!(model.b() >= 0.0 && model.b() <= 1.0)) {
    throw std::invalid_argument("b must be from 0 to 1, not " + ShortestText(model.b()));
  }
  if (!(std::isfinite(model.k1()) && model.k1() >= 0.0)) {
    throw std::invalid_argument("k1 must be a finite number of 0 or more, not " +
                                ShortestText(model.k1()));
  }
  if (!(std::isfinite(settings_.bigrams) && settings_.bigrams >= 0.0)) {
    throw std::invalid_argument("bigrams must be a finite number of 0 or more, not " +
                                ShortestText(settings_.bigrams));
  }
  if (has_bigrams()) {
    bigrams_.model = std::make_shared<BM25>(model.b(), model.k1());
  }
  if (settings_.idf == IdfKind::kDocuments) {
    words_.document_counts = std::make_shared<TokenCounts>();
  }
  // The stop words, folded as every text is, so that a traditional text
  // folded to simplified meets the simplified stop word.
  std::vector<std::string> stop_words;
  if (settings_.own_stop_words) {
    stop_words = *settings_.own_stop_words;
  } else {
    const jieba::WordTable& table = jieba_->StopWords();
    for (size_t k = 0; k < table.size(); ++k) {
      stop_words.emplace_back(table.Word(k));
    }
  }
  if (!fold_.IsIdentity()) {
    for (std::string& word : stop_words) {
      word = fold_.Fold(word);
    }
  }
  stop_words_.Assign(std::move(stop_words));
}

uint64_t SparseEncoder::WordSet::Hash(std::string_view word) noexcept {
  const uint64_t hash = limonp::Fnv1a(word);
  return hash ^ (hash >> 29);
}

void SparseEncoder::WordSet::Assign(std::vector<std::string> words) {
  words_ = std::move(words);
  size_t slots = 16;
  while (slots < 4 * words_.size()) {
    slots *= 2;
  }
  slots_.assign(slots, {});
  mask_ = slots - 1;
  has_empty_ = false;
  for (const std::string& word : words_) {
    if (word.empty()) {
      has_empty_ = true;
      continue;
    }
    const uint64_t hash = Hash(word);
    size_t i = hash & mask_;
    while (!slots_[i].second.empty()) {
      if (slots_[i].second == word) {
        break;  // a repeat
      }
      i = (i + 1) & mask_;
    }
    slots_[i] = {hash, word};
  }
}

bool SparseEncoder::WordSet::Contains(std::string_view word) const noexcept {
  if (word.empty()) {
    return has_empty_;
  }
  const uint64_t hash = Hash(word);
  for (size_t i = hash & mask_; !slots_[i].second.empty(); i = (i + 1) & mask_) {
    if (slots_[i].first == hash && slots_[i].second == word) {
      return true;
    }
  }
  return false;
}

uint32_t SparseEncoder::TokenId(std::string_view token) noexcept {
  return encoder::MurmurHash3x86_32(token, 0);
}

void SparseEncoder::Tokenize(std::string_view text, Scratch& scratch) const {
  scratch.folded = fold_.IsIdentity() ? text : fold_.Fold(text, scratch.folded_buffer);
  const std::string_view folded = scratch.folded;
  jieba_->Cut(settings_.mode, folded, scratch.words, settings_.hmm);
  scratch.tokens.clear();
  scratch.kept.clear();
  for (const jieba::WordSpan& span : scratch.words) {
    const std::string_view word = folded.substr(span.byte_offset, span.byte_length);
    if (Dropped(word)) {
      continue;
    }
    scratch.tokens.push_back(word);
    scratch.kept.push_back(span);
  }
  scratch.bigrams.clear();
  scratch.bigram_spans.clear();
  if (has_bigrams()) {
    encoder::CjkBigrams(folded, scratch.bigram_spans);
    for (const encoder::TextSpan& span : scratch.bigram_spans) {
      scratch.bigrams.push_back(folded.substr(span.offset, span.length));
    }
  }
}

bool SparseEncoder::Dropped(std::string_view word) const {
  if (!settings_.stop_words) {
    return !settings_.keep_space && encoder::IsSpaceWord(word);
  }
  if (encoder::IsSpaceOrPunctuationWord(word)) {
    return !(settings_.keep_space && encoder::IsSpaceWord(word));
  }
  return stop_words_.Contains(word);
}

void SparseEncoder::Train(const std::string_view* texts, size_t count, Counts& counts,
                          Scratch& scratch) const {
  for (size_t t = 0; t < count; ++t) {
    Tokenize(texts[t], scratch);
    // Each field counts the texts that give it a token: a text of stop
    // words alone is a document of bigrams, one of Latin words only a
    // document of words.
    if (!scratch.tokens.empty()) {
      counts.words.train(scratch.tokens.data(), scratch.tokens.size());
      if (words_.document_counts != nullptr) {
        DistinctTokens(scratch.tokens, scratch);
        for (const std::string_view token : scratch.distinct_tokens) {
          counts.word_documents[token] += 1;
        }
      }
    }
    if (!scratch.bigrams.empty()) {
      if (settings_.idf == IdfKind::kDocuments) {
        DistinctTokens(scratch.bigrams, scratch);
        counts.bigrams.train_distinct(scratch.distinct_tokens.data(),
                                      scratch.distinct_tokens.size(), scratch.bigrams.size());
      } else {
        counts.bigrams.train(scratch.bigrams.data(), scratch.bigrams.size());
      }
    }
  }
}

void SparseEncoder::Commit(const Counts& counts) const {
  for (const Field* field : {&words_, &bigrams_}) {
    if (field->model != nullptr && field->model->pinned()) {
      field->model->merge(*field->model);  // refuses with the model's own message
    }
  }
  for (const BM25* from : {&counts.words, &counts.bigrams}) {
    if (from->b() != words_.model->b() || from->k1() != words_.model->k1()) {
      words_.model->merge(*from);  // refuses with the model's own message
    }
  }
  const auto add = [](BM25& to, const BM25& from) {
    if (from.doc_count() == 0 && from.doc_token_frequency().empty()) {
      return;  // nothing counted: keep `to` exactly as it is
    }
    if (to.doc_count() == 0 && to.doc_token_frequency().empty()) {
      to = from;
    } else {
      to.merge(from);
    }
  };
  add(*words_.model, counts.words);
  if (words_.document_counts != nullptr) {
    AddCounts(*words_.document_counts, counts.word_documents);
  }
  if (has_bigrams()) {
    add(*bigrams_.model, counts.bigrams);
  }
}

SparseEncoder::Counts SparseEncoder::Statistics(bool words) const {
  Counts counts(*this);
  if (words) {
    counts.words = *words_.model;
  }
  if (words_.document_counts != nullptr) {
    counts.word_documents = *words_.document_counts;
  }
  if (has_bigrams()) {
    counts.bigrams = *bigrams_.model;
  }
  return counts;
}

void SparseEncoder::CheckFitted(VectorKind kind, const Scratch& scratch) const {
  if (kind == VectorKind::kQueryOnes || (scratch.tokens.empty() && scratch.bigrams.empty())) {
    return;
  }
  if (!words_.model->ready()) {
    throw std::runtime_error(
        "the SparseEncoder is not fitted: call fit(texts) on documents first (BM25 has not "
        "been initialized)");
  }
}

bool SparseEncoder::WeighsBigrams(VectorKind kind, const Scratch& scratch) const {
  // A bigram field that has counted no document (a corpus without CJK
  // text) has nothing to weigh with, and no document to meet.
  return !scratch.bigrams.empty() &&
         (kind == VectorKind::kQueryOnes || bigrams_.model->ready());
}

void SparseEncoder::DistinctTokens(const std::vector<std::string_view>& tokens,
                                   Scratch& scratch) {
  Distinct(tokens, scratch.distinct, scratch.first, scratch.counts);
  scratch.distinct_tokens.clear();
  for (const size_t k : scratch.first) {
    scratch.distinct_tokens.push_back(tokens[k]);
  }
}

void SparseEncoder::Weigh(VectorKind kind, const Field& field,
                          const std::vector<std::string_view>& tokens, double scale,
                          bool key_order, Scratch& scratch) const {
  std::vector<BM25::IndexedWeight>& weights = scratch.weights;
  if (kind == VectorKind::kDocument) {
    // c / (K + c) as BM25::encode_document weighs, with K as it computes
    // it, bit for bit; in token order only where the caller needs it.
    Distinct(tokens, scratch.distinct, scratch.first, scratch.counts);
    const BM25& model = *field.model;
    const double length = static_cast<double>(tokens.size());
    const double K =
        ((length / model.doc_length_average()) * model.b() + (1 - model.b())) * model.k1();
    weights.clear();
    for (size_t d = 0; d < scratch.first.size(); ++d) {
      const double c = static_cast<double>(scratch.counts[d]);
      weights.push_back(BM25::IndexedWeight{scratch.first[d], c / (K + c)});
    }
    if (key_order) {
      std::sort(weights.begin(), weights.end(),
                [&tokens](const BM25::IndexedWeight& a, const BM25::IndexedWeight& b) {
                  return tokens[a.index] < tokens[b.index];
                });
    }
    return;
  }
  if (kind == VectorKind::kQuery && settings_.idf == IdfKind::kOccurrences) {
    field.model->encode_query(tokens.data(), tokens.size(), weights);
  } else {
    // Each distinct token once, at its first occurrence, in byte order.
    weights.clear();
    for (size_t k = 0; k < tokens.size(); ++k) {
      weights.push_back(BM25::IndexedWeight{k, 1.0});
    }
    std::stable_sort(weights.begin(), weights.end(),
                     [&tokens](const BM25::IndexedWeight& a, const BM25::IndexedWeight& b) {
                       return tokens[a.index] < tokens[b.index];
                     });
    weights.erase(
        std::unique(weights.begin(), weights.end(),
                    [&tokens](const BM25::IndexedWeight& a, const BM25::IndexedWeight& b) {
                      return tokens[a.index] == tokens[b.index];
                    }),
        weights.end());
    if (kind == VectorKind::kQuery) {
      // ln(1 + (N - df + 0.5) / (df + 0.5)), summing to 1.
      const double documents = static_cast<double>(field.model->doc_count());
      double sum = 0.0;
      for (BM25::IndexedWeight& w : weights) {
        const std::int64_t* found = field.DocumentCounts()->Find(tokens[w.index]);
        const double df = found != nullptr ? static_cast<double>(*found) : 0.0;
        w.weight = std::log1p((documents - df + 0.5) / (df + 0.5));
        sum += w.weight;
      }
      for (BM25::IndexedWeight& w : weights) {
        w.weight /= sum;
      }
    }
  }
  if (scale != 1.0) {
    for (BM25::IndexedWeight& w : weights) {
      w.weight *= scale;
    }
  }
}

void SparseEncoder::EncodeHashed(const std::string_view* texts, size_t count, VectorKind kind,
                                 HashedVectors& out, Scratch& scratch) const {
  std::vector<std::pair<uint32_t, double>>& hashed = scratch.hashed;
  const double bigram_scale = kind == VectorKind::kDocument ? 1.0 : settings_.bigrams;
  for (size_t t = 0; t < count; ++t) {
    Tokenize(texts[t], scratch);
    CheckFitted(kind, scratch);
    hashed.clear();
    if (!scratch.tokens.empty()) {
      Weigh(kind, words_, scratch.tokens, 1.0, false, scratch);
      for (const BM25::IndexedWeight& w : scratch.weights) {
        hashed.emplace_back(WordId(scratch.tokens[w.index]), w.weight);
      }
    }
    if (WeighsBigrams(kind, scratch)) {
      Weigh(kind, bigrams_, scratch.bigrams, bigram_scale, false, scratch);
      for (const BM25::IndexedWeight& w : scratch.weights) {
        hashed.emplace_back(BigramId(scratch.bigrams[w.index]), w.weight);
      }
    }
    // Stable: colliding tokens add up in the order of their fields, and of
    // their bytes within a field.
    std::stable_sort(hashed.begin(), hashed.end(),
                     [](const std::pair<uint32_t, double>& a, const std::pair<uint32_t, double>& b) {
                       return a.first < b.first;
                     });
    for (size_t k = 0; k < hashed.size(); ++k) {
      if (k > 0 && hashed[k].first == hashed[k - 1].first) {
        out.values.back() += hashed[k].second;
      } else {
        out.ids.push_back(hashed[k].first);
        out.values.push_back(hashed[k].second);
      }
    }
    out.ends.push_back(out.ids.size());
  }
}

void SparseEncoder::EncodeWords(const std::string_view* texts, size_t count, VectorKind kind,
                                WordVectors& out, Scratch& scratch) const {
  const double bigram_scale = kind == VectorKind::kDocument ? 1.0 : settings_.bigrams;
  for (size_t t = 0; t < count; ++t) {
    Tokenize(texts[t], scratch);
    CheckFitted(kind, scratch);
    out.folded.emplace_back(scratch.folded.data() == texts[t].data() ? std::string_view()
                                                                      : scratch.folded);
    if (!scratch.tokens.empty()) {
      Weigh(kind, words_, scratch.tokens, 1.0, true, scratch);
      for (const BM25::IndexedWeight& w : scratch.weights) {
        out.tokens.push_back(scratch.kept[w.index]);
        out.values.push_back(w.weight);
      }
    }
    out.ends.push_back(out.tokens.size());
    if (WeighsBigrams(kind, scratch)) {
      Weigh(kind, bigrams_, scratch.bigrams, bigram_scale, true, scratch);
      for (const BM25::IndexedWeight& w : scratch.weights) {
        out.bigrams.push_back(scratch.bigram_spans[w.index]);
        out.bigram_values.push_back(w.weight);
      }
    }
    out.bigram_ends.push_back(out.bigrams.size());
  }
}

}  // namespace kelp::typing::text
