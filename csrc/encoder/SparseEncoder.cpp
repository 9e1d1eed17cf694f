#include "encoder/SparseEncoder.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <stdexcept>
#include <utility>

#include "encoder/MurmurHash3.hpp"
#include "encoder/UnicodeClasses.hpp"
#include "tokenizer/limonp/Hash.hpp"

namespace kelp::typing::text {

namespace {

std::string ShortestText(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

}  // namespace

SparseEncoder::SparseEncoder(std::shared_ptr<const jieba::Jieba> jieba, EncoderSettings settings,
                             std::shared_ptr<BM25> model)
    : jieba_(std::move(jieba)), settings_(settings), model_(std::move(model)) {
  if (jieba_ == nullptr || model_ == nullptr) {
    throw std::invalid_argument("SparseEncoder: a segmenter and a model are needed");
  }
  // BM25 computes with any b and k1; outside these ranges document weights
  // leave (0, 1) and stop meaning anything.
  if (!(model_->b() >= 0.0 && model_->b() <= 1.0)) {
    throw std::invalid_argument("b must be from 0 to 1, not " + ShortestText(model_->b()));
  }
  if (!(std::isfinite(model_->k1()) && model_->k1() >= 0.0)) {
    throw std::invalid_argument("k1 must be a finite number of 0 or more, not " +
                                ShortestText(model_->k1()));
  }
  stop_words_.Assign(jieba_->StopWords());
}

uint64_t SparseEncoder::WordSet::Hash(std::string_view word) noexcept {
  // The low bits of FNV-1a, which pick the slot, depend only on the low
  // bits of each byte; folding the high bits in lets every bit count.
  const uint64_t hash = limonp::Fnv1a(word);
  return hash ^ (hash >> 29);
}

void SparseEncoder::WordSet::Assign(const jieba::WordTable& words) {
  size_t slots = 16;
  while (slots < 4 * words.size()) {
    slots *= 2;
  }
  slots_.assign(slots, {});
  mask_ = slots - 1;
  has_empty_ = false;
  for (size_t k = 0; k < words.size(); ++k) {
    const std::string_view word = words.Word(k);
    if (word.empty()) {
      has_empty_ = true;
      continue;
    }
    const uint64_t hash = Hash(word);
    size_t i = hash & mask_;
    while (!slots_[i].second.empty()) {
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
  jieba_->Cut(settings_.mode, text, scratch.words, settings_.hmm);
  scratch.tokens.clear();
  scratch.kept.clear();
  for (const jieba::WordSpan& span : scratch.words) {
    const std::string_view word = text.substr(span.byte_offset, span.byte_length);
    if (Dropped(word)) {
      continue;
    }
    scratch.tokens.push_back(word);
    scratch.kept.push_back(span);
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

void SparseEncoder::Train(const std::string_view* texts, size_t count, BM25& model,
                          Scratch& scratch) const {
  for (size_t t = 0; t < count; ++t) {
    Tokenize(texts[t], scratch);
    if (!scratch.tokens.empty()) {
      model.train(scratch.tokens.data(), scratch.tokens.size());
    }
  }
}

void SparseEncoder::Weigh(VectorKind kind, Scratch& scratch) const {
  const std::vector<std::string_view>& tokens = scratch.tokens;
  std::vector<BM25::IndexedWeight>& weights = scratch.weights;
  if (kind != VectorKind::kQueryOnes && !tokens.empty() && !model_->ready()) {
    throw std::runtime_error(
        "the SparseEncoder is not fitted: call fit(texts) on documents first (BM25 has not "
        "been initialized)");
  }
  switch (kind) {
    case VectorKind::kDocument:
      model_->encode_document(tokens.data(), tokens.size(), weights);
      return;
    case VectorKind::kQuery:
      model_->encode_query(tokens.data(), tokens.size(), weights);
      return;
    case VectorKind::kQueryOnes:
      break;
  }
  // Each distinct token once, at its first occurrence, in byte order.
  weights.clear();
  for (size_t k = 0; k < tokens.size(); ++k) {
    weights.push_back(BM25::IndexedWeight{k, 1.0});
  }
  std::stable_sort(weights.begin(), weights.end(),
                   [&tokens](const BM25::IndexedWeight& a, const BM25::IndexedWeight& b) {
                     return tokens[a.index] < tokens[b.index];
                   });
  weights.erase(std::unique(weights.begin(), weights.end(),
                            [&tokens](const BM25::IndexedWeight& a, const BM25::IndexedWeight& b) {
                              return tokens[a.index] == tokens[b.index];
                            }),
                weights.end());
}

void SparseEncoder::EncodeHashed(const std::string_view* texts, size_t count, VectorKind kind,
                                 HashedVectors& out, Scratch& scratch) const {
  for (size_t t = 0; t < count; ++t) {
    Tokenize(texts[t], scratch);
    Weigh(kind, scratch);
    std::vector<std::pair<uint32_t, double>>& hashed = scratch.hashed;
    hashed.clear();
    for (const BM25::IndexedWeight& w : scratch.weights) {
      hashed.emplace_back(TokenId(scratch.tokens[w.index]), w.weight);
    }
    // Stable: colliding tokens add up in byte order of the tokens.
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
  for (size_t t = 0; t < count; ++t) {
    Tokenize(texts[t], scratch);
    Weigh(kind, scratch);
    for (const BM25::IndexedWeight& w : scratch.weights) {
      out.tokens.push_back(scratch.kept[w.index]);
      out.values.push_back(w.weight);
    }
    out.ends.push_back(out.tokens.size());
  }
}

}  // namespace kelp::typing::text
