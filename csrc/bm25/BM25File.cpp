// The model file: BM25::to_json, BM25::dump and BM25::load.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bm25/BM25.hpp"
#include "json/JSON.hpp"
#include "tokenizer/limonp/FileUtil.hpp"

namespace kelp::typing::text {

namespace {

using json::JSON;

// The total length of `count` documents of average length `average`, which
// the file does not keep: rounded to an integer, and clamped to 0..INT64_MAX
// (a total length is never negative; a file may hold any count or average).
std::int64_t ImpliedTotalLength(double average, std::int64_t count) noexcept {
  const double total = average * static_cast<double>(count);
  // 2^63, the first double above INT64_MAX.
  constexpr double LIMIT = 9223372036854775808.0;
  if (total >= LIMIT) {
    return std::numeric_limits<std::int64_t>::max();
  }
  if (!(total > 0.0)) {  // NaN too
    return 0;
  }
  return std::llround(total);
}

const JSON* FindMember(const JSON& root, const char* name) {
  const JSON::ObjectMap& members = root.Members();
  auto it = members.find(name);
  return it == members.end() ? nullptr : &it->second;
}

}  // namespace

std::string BM25::to_json() const { return to_json_value().dump(1, "  "); }

JSON BM25::to_json_value() const {
  JSON root;
  JSON& frequency = root["_doc_token_frequency"];
  frequency = json::Object();
  // In byte order, so that every insertion lands at the end of the object.
  _doc_token_frequency.ForEachSorted([&frequency](std::string_view token, std::int64_t count) {
    frequency[std::string(token)] = count;
  });
  root["_doc_count"] = _doc_count;
  root["_doc_length_average"] = _doc_length_average;
  root["_b"] = _b;
  root["_k1"] = _k1;
  return root;
}

void BM25::dump(const std::string& path) const {
  limonp::ReplaceFile(path, to_json(), "Failed to dump: ");
}

void BM25::load(std::string_view json_data) {
  _check_not_pinned();
  if (json_data.empty()) {
    throw std::runtime_error("json data should not be empty");
  }
  // Everything is read into locals and checked; the model changes only
  // after the last check has passed.
  TokenCounts loaded;
  std::int64_t doc_count = 0;
  double doc_length_average = 0.0;
  double b = 0.0;
  double k1 = 0.0;
  {
    const JSON root = JSON::Load(json_data);
    bool ok = false;
    const JSON* frequency = FindMember(root, "_doc_token_frequency");
    if (frequency != nullptr) {
      const JSON::ObjectMap& tokens = frequency->Members();
      loaded.Reserve(tokens.size());
      for (const auto& [token, count] : tokens) {
        const std::int64_t value = count.AsInteger(ok);
        if (!ok) {
          throw std::runtime_error("load doc_token_frequency failed");
        }
        loaded[token] = value;
      }
    }
    const JSON* member = FindMember(root, "_doc_count");
    doc_count = member != nullptr ? member->AsInteger(ok) : (ok = false, 0);
    if (!ok) {
      throw std::runtime_error("load doc_count failed");
    }
    member = FindMember(root, "_doc_length_average");
    doc_length_average = member != nullptr ? member->AsFloat(ok) : (ok = false, 0.0);
    if (!ok) {
      throw std::runtime_error("load doc_length_average failed");
    }
    member = FindMember(root, "_b");
    b = member != nullptr ? member->AsFloat(ok) : (ok = false, 0.0);
    if (!ok) {
      throw std::runtime_error("load b failed");
    }
    member = FindMember(root, "_k1");
    k1 = member != nullptr ? member->AsFloat(ok) : (ok = false, 0.0);
    if (!ok) {
      throw std::runtime_error("load k1 failed");
    }
  }
  // Tokens that the text does not mention keep their current counts.
  if (!_doc_token_frequency.empty()) {
    loaded.Reserve(loaded.size() + _doc_token_frequency.size());
    _doc_token_frequency.ForEach([&loaded](std::string_view token, std::int64_t count) {
      const std::uint64_t hash = loaded.Hash(token);
      if (loaded.Find(token, hash) == nullptr) {
        loaded.Upsert(token, hash) = count;
      }
    });
  }
  _doc_token_frequency.swap(loaded);
  _doc_count = doc_count;
  _doc_total_length = ImpliedTotalLength(doc_length_average, doc_count);
  _doc_length_average = doc_length_average;
  _b = b;
  _k1 = k1;
}

void BM25::restore_exact(double b, double k1, std::int64_t total_length, double average) {
  _check_not_pinned();
  if (!std::isfinite(b) || !std::isfinite(k1) || total_length < 0) {
    throw std::invalid_argument("restore_exact: b and k1 must be finite, the total length 0 or more");
  }
  _b = b;
  _k1 = k1;
  _doc_total_length = total_length;
  _doc_length_average = average;
}

}  // namespace kelp::typing::text
