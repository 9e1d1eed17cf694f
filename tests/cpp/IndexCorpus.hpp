// Random corpora for the index tests, and the brute-force scorer the
// index's searches must agree with exactly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "index/InvertedIndex.hpp"
#include "index/SparseRows.hpp"
#include "index/TopK.hpp"

namespace razoduviva_test {

namespace idx = kelp::typing::text::index;

// Rows as the index takes them, owning their arrays.
struct Rows {
  std::vector<std::uint32_t> tokens;
  std::vector<double> weights;
  std::vector<std::size_t> ends;
  std::vector<std::int64_t> ids;

  void Append(const std::vector<std::pair<std::uint32_t, double>>& row, std::int64_t id) {
    for (const auto& [token, weight] : row) {
      tokens.push_back(token);
      weights.push_back(weight);
    }
    ends.push_back(tokens.size());
    ids.push_back(id);
  }
  idx::SparseRows View() const {
    return idx::SparseRows{tokens.data(), weights.data(), ends.data(), ends.size()};
  }
  std::vector<std::pair<std::uint32_t, double>> Row(std::size_t r) const {
    std::vector<std::pair<std::uint32_t, double>> row;
    for (std::size_t i = r == 0 ? 0 : ends[r - 1]; i < ends[r]; ++i) {
      row.emplace_back(tokens[i], weights[i]);
    }
    return row;
  }
};

// What the index should hold: id -> (token, stored float weight), tokens ascending.
using Model = std::map<std::int64_t, std::vector<std::pair<std::uint32_t, float>>>;

inline void AddToModel(Model& model, const Rows& rows) {
  for (std::size_t r = 0; r < rows.ids.size(); ++r) {
    std::map<std::uint32_t, double> merged;
    for (const auto& [token, weight] : rows.Row(r)) {
      merged[token] += weight;
    }
    auto& doc = model[rows.ids[r]];
    for (const auto& [token, weight] : merged) {
      doc.emplace_back(token, static_cast<float>(weight));
    }
  }
}

// The k best hits by the definition: shared tokens' products added in
// ascending token order from 0.0, ties to the smaller id. The product goes
// through a volatile so that no compiler fuses it into the addition.
inline std::vector<idx::Hit> BruteForce(const Model& model,
                                        const std::vector<std::pair<std::uint32_t, double>>& query,
                                        std::size_t k) {
  std::map<std::uint32_t, double> q;
  for (const auto& [token, weight] : query) {
    q[token] += weight;
  }
  std::vector<idx::Hit> hits;
  for (const auto& [id, doc] : model) {
    double score = 0.0;
    bool shared = false;
    for (const auto& [token, weight] : doc) {
      const auto found = q.find(token);
      if (found != q.end()) {
        volatile double product = found->second * static_cast<double>(weight);
        score += product;
        shared = true;
      }
    }
    if (shared) {
      hits.push_back({id, score});
    }
  }
  std::sort(hits.begin(), hits.end(), idx::TopK::Better);
  hits.resize(std::min(hits.size(), k));
  return hits;
}

// Random documents over a vocabulary of `vocabulary` hashed tokens, a few
// common and many rare; weights drawn from a few values when `coarse`
// (ties), with some negative ones when `negative`. With `skewed`, two more
// tokens are in nine documents of ten with small weights, and in half the
// queries: the long, low lists that pruning leaves out.
class CorpusMaker {
 public:
  CorpusMaker(unsigned seed, std::size_t vocabulary, bool coarse, bool negative,
              bool skewed = false)
      : random_(seed), coarse_(coarse), negative_(negative), skewed_(skewed) {
    for (std::size_t t = 0; t < vocabulary; ++t) {
      tokens_.push_back(static_cast<std::uint32_t>(random_()));
    }
  }

  std::uint32_t Token() {
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(random_);
    return tokens_[static_cast<std::size_t>(u * u * u * static_cast<double>(tokens_.size()))];
  }
  // A token no document has (almost surely).
  std::uint32_t Stranger() { return static_cast<std::uint32_t>(random_()); }

  double Weight() {
    if (coarse_) {
      static constexpr double kValues[] = {0.25, 0.5, 1.0, 1.5};
      const double w = kValues[random_() % 4];
      return negative_ && random_() % 8 == 0 ? -w : w;
    }
    const double w = std::uniform_real_distribution<double>(0.01, 2.0)(random_);
    return negative_ && random_() % 8 == 0 ? -w : w;
  }

  std::vector<std::pair<std::uint32_t, double>> Document(std::size_t max_length) {
    std::map<std::uint32_t, double> doc;
    const std::size_t length = random_() % (max_length + 1);
    for (std::size_t i = 0; i < length; ++i) {
      doc[Token()] = Weight();
    }
    for (std::uint32_t common = 0; skewed_ && common < 2; ++common) {
      if (random_() % 10 != 0) {
        doc[kCommon + common] = 0.01 * static_cast<double>(1 + random_() % 8);
      }
    }
    return {doc.begin(), doc.end()};
  }

  // `count` documents with ids from `first_id` (some repeating an earlier
  // one of the batch word for word, for ties).
  Rows Documents(std::size_t count, std::int64_t first_id, std::size_t max_length = 12) {
    Rows rows;
    for (std::size_t i = 0; i < count; ++i) {
      if (i > 0 && random_() % 6 == 0) {
        rows.Append(rows.Row(random_() % i), first_id + static_cast<std::int64_t>(i));
      } else {
        rows.Append(Document(max_length), first_id + static_cast<std::int64_t>(i));
      }
    }
    return rows;
  }

  // A query: common and rare tokens, now and then a token no document has,
  // a repeated token, a zero or negative weight, or all weights equal.
  std::vector<std::pair<std::uint32_t, double>> Query(std::size_t max_length = 8) {
    std::vector<std::pair<std::uint32_t, double>> query;
    const std::size_t length = random_() % (max_length + 1);
    const bool equal = random_() % 4 == 0;
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint32_t token = random_() % 10 == 0 ? Stranger() : Token();
      double weight = equal ? 1.0 : std::uniform_real_distribution<double>(0.0, 3.0)(random_);
      const unsigned kind = random_() % 12;
      if (kind == 0) {
        weight = 0.0;
      } else if (kind == 1) {
        weight = -weight;
      }
      query.emplace_back(token, weight);
      if (random_() % 16 == 0) {
        query.emplace_back(token, weight);  // repeated: the weights add up
      }
    }
    for (std::uint32_t common = 0; skewed_ && common < 2; ++common) {
      if (random_() % 2 == 0) {
        query.emplace_back(kCommon + common, 1.0);
      }
    }
    return query;
  }

  std::mt19937_64& random() { return random_; }

 private:
  static constexpr std::uint32_t kCommon = 0x7FFFFFF0;

  std::mt19937_64 random_;
  std::vector<std::uint32_t> tokens_;
  bool coarse_;
  bool negative_;
  bool skewed_;
};

inline std::vector<idx::Hit> SearchOf(const idx::InvertedIndex& index,
                                      const std::vector<std::pair<std::uint32_t, double>>& query,
                                      std::size_t k, idx::SearchMode mode) {
  std::vector<std::uint32_t> tokens;
  std::vector<double> weights;
  for (const auto& [token, weight] : query) {
    tokens.push_back(token);
    weights.push_back(weight);
  }
  return index.Search(tokens.data(), weights.data(), tokens.size(), k, mode);
}

}  // namespace razoduviva_test
