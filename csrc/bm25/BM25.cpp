#include "bm25/BM25.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace kelp::typing::text {

namespace {

constexpr const char* EMPTY_TRAINING = "trainning tokens_vec should not be empty";
constexpr const char* NOT_INITIALIZED = "BM25 has not been initialized";
constexpr const char* PINNED =
    "the model is in use: a SparseEncoder in another thread is encoding with it";

// The decimal text under which an id is counted.
struct IdText {
  explicit IdText(std::int64_t id) noexcept {
    length = static_cast<std::size_t>(std::to_chars(buffer, buffer + sizeof(buffer), id).ptr - buffer);
  }
  std::string_view view() const noexcept { return std::string_view(buffer, length); }
  char buffer[24];
  std::size_t length;
};

// total += add, stopping at INT64_MAX (or INT64_MIN) instead of
// overflowing: training counts from 0 never get there, but a loaded file
// may start a count, or the document count, anywhere, and a merge adds such
// counts, negative ones included.
inline void SaturatingAdd(std::int64_t& total, std::int64_t add) noexcept {
  if (__builtin_add_overflow(total, add, &total)) {
    total = add < 0 ? std::numeric_limits<std::int64_t>::min()
                    : std::numeric_limits<std::int64_t>::max();
  }
}

// The shortest text that reads back as `value`.
std::string ShortestText(double value) {
  char buffer[32];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

std::vector<std::string_view> Views(const std::vector<std::string>& tokens) {
  return std::vector<std::string_view>(tokens.begin(), tokens.end());
}

}  // namespace

BM25::BM25(double b, double k1) : _b(b), _k1(k1) {
  if (!std::isfinite(b) || !std::isfinite(k1)) {
    throw std::invalid_argument("BM25: b and k1 must be finite numbers");
  }
}

void BM25::train(const std::vector<std::string>& tokens_vec) {
  const std::vector<std::string_view> views = Views(tokens_vec);
  train(views.data(), views.size());
}

void BM25::train(const std::vector<std::int64_t>& tokens_vec) {
  train(tokens_vec.data(), tokens_vec.size());
}

void BM25::train(const std::string_view* tokens, std::size_t size) {
  _check_not_pinned();
  if (size == 0) {
    throw std::runtime_error(EMPTY_TRAINING);
  }
  _train(tokens, size);
}

void BM25::train_distinct(const std::string_view* distinct, std::size_t size,
                          std::size_t length) {
  _check_not_pinned();
  if (size == 0 || length < size) {
    throw std::runtime_error(EMPTY_TRAINING);
  }
  for (std::size_t i = 0; i < size; ++i) {
    SaturatingAdd(_doc_token_frequency[distinct[i]], 1);
  }
  _finish_document(length);
}

void BM25::train(const std::int64_t* tokens, std::size_t size) {
  _check_not_pinned();
  if (size == 0) {
    throw std::runtime_error(EMPTY_TRAINING);
  }
  _train(tokens, size);
}

void BM25::train(const std::vector<std::vector<std::int64_t>>& tokens_vec_list) {
  _check_not_pinned();
  if (tokens_vec_list.empty()) {
    throw std::runtime_error(EMPTY_TRAINING);
  }
  for (const std::vector<std::int64_t>& tokens : tokens_vec_list) {
    _train(tokens.data(), tokens.size());
  }
}

void BM25::_train(const std::string_view* tokens, std::size_t size) {
  if (size == 0) {
    return;
  }
  // Adding 1 per occurrence ends with the same counts as adding each
  // distinct token's count once, without building the document's own
  // frequency table first.
  for (std::size_t i = 0; i < size; ++i) {
    SaturatingAdd(_doc_token_frequency[tokens[i]], 1);
  }
  _finish_document(size);
}

void BM25::_train(const std::int64_t* tokens, std::size_t size) {
  if (size == 0) {
    return;
  }
  std::vector<Distinct> distinct;
  _token_frequency(tokens, size, distinct);
  for (const Distinct& d : distinct) {
    const IdText text(tokens[d.first]);
    SaturatingAdd(_doc_token_frequency[text.view()], static_cast<std::int64_t>(d.count));
  }
  _finish_document(size);
}

void BM25::_finish_document(std::size_t length) {
  SaturatingAdd(_doc_count, 1);
  SaturatingAdd(_doc_total_length, static_cast<std::int64_t>(length));
  _doc_length_average = static_cast<double>(_doc_total_length) / static_cast<double>(_doc_count);
}

void BM25::merge(const BM25& other) {
  _check_not_pinned();
  // Exact comparison: weights from models with other parameters do not add.
  if (other._b != _b || other._k1 != _k1) {
    throw std::invalid_argument("merge: b and k1 must be equal: " + ShortestText(_b) + ", " +
                                ShortestText(_k1) + " and " + ShortestText(other._b) + ", " +
                                ShortestText(other._k1));
  }
  // Read first: `other` may be this model. The token counts go first, as
  // the one step that can fail (std::bad_alloc, before any count changes).
  const std::int64_t documents = other._doc_count;
  const std::int64_t total_length = other._doc_total_length;
  _doc_token_frequency.Merge(other._doc_token_frequency, SaturatingAdd);
  SaturatingAdd(_doc_count, documents);
  SaturatingAdd(_doc_total_length, total_length);
  _doc_length_average =
      _doc_count == 0
          ? 0.0
          : static_cast<double>(_doc_total_length) / static_cast<double>(_doc_count);
}

void BM25::_check_not_pinned() const {
  if (pinned()) {
    throw std::runtime_error(PINNED);
  }
}

bool BM25::operator==(const BM25& other) const {
  if (_b != other._b || _k1 != other._k1 || _doc_count != other._doc_count ||
      _doc_total_length != other._doc_total_length ||
      _doc_length_average != other._doc_length_average ||
      _doc_token_frequency.size() != other._doc_token_frequency.size()) {
    return false;
  }
  bool same = true;
  _doc_token_frequency.ForEach([&](std::string_view token, std::int64_t count) {
    const std::int64_t* found = same ? other._doc_token_frequency.Find(token) : nullptr;
    same = found != nullptr && *found == count;
  });
  return same;
}

bool BM25::ready() const noexcept {
  return _doc_count != 0 && std::fabs(_doc_length_average) >= 1e-9;
}

void BM25::_check_ready() const {
  if (!ready()) {
    throw std::runtime_error(NOT_INITIALIZED);
  }
}

void BM25::_token_frequency(const std::string_view* tokens, std::size_t size,
                            std::vector<Distinct>& out) const {
  // A throwaway open-addressing table over positions in `out`; hashes are
  // the model's own, so the caller can reuse them for model lookups.
  out.clear();
  if (size >= std::numeric_limits<std::uint32_t>::max() / 2) {
    throw std::length_error("BM25: token list too long");
  }
  std::size_t capacity = 16;
  while (capacity < 2 * size) {
    capacity *= 2;
  }
  constexpr std::uint32_t EMPTY = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> slots(capacity, EMPTY);
  const std::size_t mask = capacity - 1;
  out.reserve(size < 4096 ? size : 4096);
  for (std::size_t i = 0; i < size; ++i) {
    const std::string_view token = tokens[i];
    const std::uint64_t hash = _doc_token_frequency.Hash(token);
    std::size_t s = hash & mask;
    while (true) {
      const std::uint32_t slot = slots[s];
      if (slot == EMPTY) {
        slots[s] = static_cast<std::uint32_t>(out.size());
        out.push_back(Distinct{i, 1, hash});
        break;
      }
      Distinct& d = out[slot];
      if (d.hash == hash && tokens[d.first] == token) {
        ++d.count;
        break;
      }
      s = (s + 1) & mask;
    }
  }
}

void BM25::_token_frequency(const std::int64_t* tokens, std::size_t size,
                            std::vector<Distinct>& out) const {
  std::vector<std::pair<std::int64_t, std::size_t>> order(size);
  for (std::size_t i = 0; i < size; ++i) {
    order[i] = {tokens[i], i};
  }
  std::sort(order.begin(), order.end());
  out.clear();
  for (const auto& [id, index] : order) {
    if (!out.empty() && tokens[out.back().first] == id) {
      ++out.back().count;
    } else {
      out.push_back(Distinct{index, 1, 0});
    }
  }
}

void BM25::_sort_by_key(const std::string_view* tokens, std::vector<Distinct>& distinct) {
  // Most comparisons are settled by BigEndianPrefix; equal prefixes fall
  // back to comparing the bytes. Sorting compact (prefix, position) pairs
  // moves less than sorting the records themselves.
  std::vector<std::pair<std::uint64_t, std::size_t>> order(distinct.size());
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    order[i] = {BigEndianPrefix(tokens[distinct[i].first]), i};
  }
  std::sort(order.begin(), order.end(),
            [tokens, &distinct](const std::pair<std::uint64_t, std::size_t>& x,
                                const std::pair<std::uint64_t, std::size_t>& y) {
              if (x.first != y.first) {
                return x.first < y.first;
              }
              return tokens[distinct[x.second].first] < tokens[distinct[y.second].first];
            });
  std::vector<Distinct> sorted;
  sorted.reserve(distinct.size());
  for (const auto& entry : order) {
    sorted.push_back(distinct[entry.second]);
  }
  distinct.swap(sorted);
}

double BM25::_document_saturation(std::size_t length) const {
  const double L = static_cast<double>(length);
  return ((L / _doc_length_average) * _b + (1 - _b)) * _k1;
}

void BM25::_document_weights(const std::vector<Distinct>& distinct, std::size_t length,
                             std::vector<IndexedWeight>& out) const {
  const double K = _document_saturation(length);
  out.reserve(distinct.size());
  for (const Distinct& d : distinct) {
    const double c = static_cast<double>(d.count);
    out.push_back(IndexedWeight{d.first, c / (K + c)});
  }
}

double BM25::_idf(std::string_view key, std::uint64_t hash) const {
  const std::int64_t* found = _doc_token_frequency.Find(key, hash);
  const double n = found != nullptr ? static_cast<double>(*found) : 1.0;
  // In double, so that a loaded count of INT64_MAX cannot overflow.
  const double N1 = static_cast<double>(_doc_count) + 1.0;
  return std::log(N1 / (n + 0.5));
}

double BM25::idf(std::string_view token) const {
  return _idf(token, _doc_token_frequency.Hash(token));
}

namespace {

// Divides each weight by the sum of all of them, added in key order. No
// guard: a zero sum gives infinities or NaN, as the formula says.
void Normalize(std::vector<BM25::IndexedWeight>& weights) {
  double sum = 0.0;
  for (const BM25::IndexedWeight& w : weights) {
    sum += w.weight;
  }
  for (BM25::IndexedWeight& w : weights) {
    w.weight /= sum;
  }
}

}  // namespace

template <typename Token>
void BM25::_encode_document(const Token* tokens, std::size_t size,
                            std::vector<IndexedWeight>& out) const {
  out.clear();
  if (size == 0) {
    return;
  }
  _check_ready();
  std::vector<Distinct> distinct;
  _token_frequency(tokens, size, distinct);
  if constexpr (std::is_same_v<Token, std::string_view>) {
    _sort_by_key(tokens, distinct);  // ids come in ascending order already
  }
  _document_weights(distinct, size, out);
}

template <typename Token>
void BM25::_encode_query(const Token* tokens, std::size_t size,
                         std::vector<IndexedWeight>& out) const {
  out.clear();
  if (size == 0) {
    return;
  }
  _check_ready();
  // A repeated query token keeps one weight: query frequency does not count.
  std::vector<Distinct> distinct;
  _token_frequency(tokens, size, distinct);
  if constexpr (std::is_same_v<Token, std::string_view>) {
    _sort_by_key(tokens, distinct);  // ids come in ascending order already
  }
  out.reserve(distinct.size());
  for (const Distinct& d : distinct) {
    if constexpr (std::is_same_v<Token, std::string_view>) {
      out.push_back(IndexedWeight{d.first, _idf(tokens[d.first], d.hash)});
    } else {
      const IdText text(tokens[d.first]);
      out.push_back(IndexedWeight{d.first, idf(text.view())});
    }
  }
  Normalize(out);
}

void BM25::encode_document(const std::string_view* tokens, std::size_t size,
                           std::vector<IndexedWeight>& out) const {
  _encode_document(tokens, size, out);
}

void BM25::encode_document(const std::int64_t* tokens, std::size_t size,
                           std::vector<IndexedWeight>& out) const {
  _encode_document(tokens, size, out);
}

void BM25::encode_query(const std::string_view* tokens, std::size_t size,
                        std::vector<IndexedWeight>& out) const {
  _encode_query(tokens, size, out);
}

void BM25::encode_query(const std::int64_t* tokens, std::size_t size,
                        std::vector<IndexedWeight>& out) const {
  _encode_query(tokens, size, out);
}

namespace {

// The sparse vector of a token list: `encode`, an encoder over borrowed
// tokens, weighs the list, and each weight is keyed by its token (the
// weights' indices point into the list and ascend by token).
template <typename Map, typename Token, typename Encode>
Map ToSparseVector(const std::vector<Token>& tokens_vec, Encode&& encode) {
  std::vector<BM25::IndexedWeight> weights;
  if constexpr (std::is_same_v<Token, std::string>) {
    encode(Views(tokens_vec).data(), tokens_vec.size(), weights);
  } else {
    encode(tokens_vec.data(), tokens_vec.size(), weights);
  }
  Map result;
  for (const BM25::IndexedWeight& w : weights) {
    result.emplace_hint(result.end(), tokens_vec[w.index], w.weight);
  }
  return result;
}

}  // namespace

BM25::SparseVector BM25::encode_document(const std::vector<std::string>& tokens_vec) const {
  const auto encode = [this](auto&&... borrowed) { encode_document(borrowed...); };
  return ToSparseVector<SparseVector>(tokens_vec, encode);
}

BM25::IdSparseVector BM25::encode_document(const std::vector<std::int64_t>& tokens_vec) const {
  const auto encode = [this](auto&&... borrowed) { encode_document(borrowed...); };
  return ToSparseVector<IdSparseVector>(tokens_vec, encode);
}

BM25::SparseVector BM25::encode_query(const std::vector<std::string>& tokens_vec) const {
  const auto encode = [this](auto&&... borrowed) { encode_query(borrowed...); };
  return ToSparseVector<SparseVector>(tokens_vec, encode);
}

BM25::IdSparseVector BM25::encode_query(const std::vector<std::int64_t>& tokens_vec) const {
  const auto encode = [this](auto&&... borrowed) { encode_query(borrowed...); };
  return ToSparseVector<IdSparseVector>(tokens_vec, encode);
}

}  // namespace kelp::typing::text
