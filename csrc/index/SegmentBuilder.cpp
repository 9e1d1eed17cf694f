#include "index/SegmentBuilder.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

namespace kelp::typing::text::index {

namespace {

// Appends the postings of one term after another, and sums each term's
// postings up in blocks when it ends.
class TermWriter {
 public:
  TermWriter(SegmentData& data, std::uint32_t block_size) : data_(data), block_size_(block_size) {}

  void Begin(std::uint32_t token) {
    token_ = token;
    first_ = data_.docs.size();
  }

  void Add(std::uint32_t doc, float weight) {
    data_.docs.push_back(doc);
    data_.weights.push_back(weight);
  }

  // Records the term, unless it got no posting.
  void End() {
    const std::size_t last = data_.docs.size();
    if (last == first_) {
      return;
    }
    TermInfo info{first_, static_cast<std::uint32_t>(last - first_),
                  static_cast<std::uint32_t>(data_.blocks.size()), -FLT_MAX, FLT_MAX};
    for (std::size_t start = first_; start < last; start += block_size_) {
      const std::size_t stop = std::min<std::size_t>(start + block_size_, last);
      BlockInfo block{data_.docs[stop - 1], -FLT_MAX, FLT_MAX};
      for (std::size_t i = start; i < stop; ++i) {
        block.max_weight = std::max(block.max_weight, data_.weights[i]);
        block.min_weight = std::min(block.min_weight, data_.weights[i]);
      }
      info.max_weight = std::max(info.max_weight, block.max_weight);
      info.min_weight = std::min(info.min_weight, block.min_weight);
      data_.blocks.push_back(block);
    }
    data_.term_ids.push_back(token_);
    data_.terms.push_back(info);
  }

 private:
  SegmentData& data_;
  const std::uint32_t block_size_;
  std::uint32_t token_ = 0;
  std::size_t first_ = 0;
};

struct Entry {
  std::uint32_t token;
  std::uint32_t doc;
  float weight;
};

[[noreturn]] void BadWeight(std::int64_t id, std::uint32_t token, double weight) {
  throw std::invalid_argument(
      "document id " + std::to_string(id) + ": the weight of token " + std::to_string(token) +
      (std::isfinite(weight) ? " is beyond the float range" : " is not finite"));
}

float StoredWeight(std::int64_t id, std::uint32_t token, double weight) {
  // Rounding to float may still overflow just above FLT_MAX: check the result.
  const float stored = static_cast<float>(weight);
  if (!std::isfinite(weight) || !std::isfinite(stored)) {
    BadWeight(id, token, weight);
  }
  return stored;
}

// Stable sort of `entries` by token; `scratch` is overwritten.
void SortByToken(std::vector<Entry>& entries, std::vector<Entry>& scratch) {
  if (entries.size() < (1u << 14)) {
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.token < b.token; });
    return;
  }
  scratch.resize(entries.size());
  std::vector<std::size_t> counts(1u << 16);
  for (const unsigned shift : {0u, 16u}) {
    std::fill(counts.begin(), counts.end(), 0);
    for (const Entry& e : entries) {
      ++counts[(e.token >> shift) & 0xFFFF];
    }
    std::size_t sum = 0;
    for (std::size_t& count : counts) {
      sum += std::exchange(count, sum);
    }
    for (const Entry& e : entries) {
      scratch[counts[(e.token >> shift) & 0xFFFF]++] = e;
    }
    entries.swap(scratch);
  }
}

bool TestBit(const std::vector<std::uint64_t>* bits, std::uint32_t i) {
  return bits != nullptr && ((*bits)[i >> 6] >> (i & 63)) & 1;
}

}  // namespace

void SegmentBuilder::SortIds(const std::int64_t* ids, std::size_t count,
                             std::vector<std::uint32_t>& order) {
  order.resize(count);
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [ids](std::uint32_t a, std::uint32_t b) {
    return ids[a] < ids[b] || (ids[a] == ids[b] && a < b);
  });
}

SegmentData SegmentBuilder::FromRows(const SparseRows& rows, const std::int64_t* ids,
                                     std::uint32_t first_doc, std::uint32_t block_size) {
  for (std::size_t r = 0; r < rows.rows; ++r) {
    if (rows.end(r) < rows.begin(r)) {
      throw std::invalid_argument("document id " + std::to_string(ids[r]) + " (row " +
                                  std::to_string(r) + ") ends at entry " +
                                  std::to_string(rows.end(r)) + ", before its start " +
                                  std::to_string(rows.begin(r)));
    }
  }
  std::vector<Entry> entries;
  entries.reserve(rows.rows == 0 ? 0 : rows.ends[rows.rows - 1]);
  std::vector<std::pair<std::uint32_t, double>> row;
  for (std::size_t r = 0; r < rows.rows; ++r) {
    const std::size_t begin = rows.begin(r);
    const std::size_t end = rows.end(r);
    const std::uint32_t doc = first_doc + static_cast<std::uint32_t>(r);
    bool ascending = true;
    for (std::size_t i = begin + 1; i < end && ascending; ++i) {
      ascending = rows.tokens[i - 1] < rows.tokens[i];
    }
    if (ascending) {
      for (std::size_t i = begin; i < end; ++i) {
        const std::uint32_t token = rows.tokens[i];
        entries.push_back({token, doc, StoredWeight(ids[r], token, rows.weights[i])});
      }
      continue;
    }
    row.clear();
    for (std::size_t i = begin; i < end; ++i) {
      row.emplace_back(rows.tokens[i], rows.weights[i]);
    }
    std::stable_sort(row.begin(), row.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (std::size_t i = 0; i < row.size();) {
      double weight = row[i].second;
      std::size_t j = i + 1;
      for (; j < row.size() && row[j].first == row[i].first; ++j) {
        weight += row[j].second;
      }
      entries.push_back({row[i].first, doc, StoredWeight(ids[r], row[i].first, weight)});
      i = j;
    }
  }

  SegmentData data;
  data.ids.assign(ids, ids + rows.rows);
  SortIds(ids, rows.rows, data.id_order);
  {
    std::vector<Entry> scratch;
    SortByToken(entries, scratch);
  }
  data.docs.reserve(entries.size());
  data.weights.reserve(entries.size());
  TermWriter writer(data, block_size);
  for (std::size_t i = 0; i < entries.size();) {
    const std::uint32_t token = entries[i].token;
    writer.Begin(token);
    for (; i < entries.size() && entries[i].token == token; ++i) {
      writer.Add(entries[i].doc, entries[i].weight);
    }
    writer.End();
  }
  data.term_ids.shrink_to_fit();
  data.terms.shrink_to_fit();
  data.blocks.shrink_to_fit();
  return data;
}

SegmentData SegmentBuilder::Merge(const std::vector<const Segment*>& segments,
                                  const std::vector<std::uint64_t>* removed, bool renumber,
                                  std::uint32_t block_size) {
  SegmentData data;
  if (segments.empty()) {
    return data;
  }
  const std::uint32_t first_doc = segments.front()->arrays().first_doc;
  std::size_t docs = 0;
  std::size_t postings = 0;
  for (const Segment* segment : segments) {
    docs += segment->arrays().doc_count;
    postings += segment->arrays().posting_count;
  }

  // New ordinals of the kept documents, by old ordinal less first_doc.
  std::vector<std::uint32_t> remap;
  if (renumber) {
    remap.assign(docs, kNoDocument);
  }
  data.ids.reserve(docs);
  for (const Segment* segment : segments) {
    const SegmentArrays& a = segment->arrays();
    for (std::uint32_t local = 0; local < a.doc_count; ++local) {
      const std::uint32_t doc = a.first_doc + local;
      if (renumber) {
        if (TestBit(removed, doc)) {
          continue;
        }
        remap[doc - first_doc] = static_cast<std::uint32_t>(data.ids.size());
      }
      data.ids.push_back(a.ids[local]);
    }
  }
  data.ids.shrink_to_fit();
  SortIds(data.ids.data(), data.ids.size(), data.id_order);

  data.docs.reserve(postings);
  data.weights.reserve(postings);
  std::vector<std::size_t> next(segments.size(), 0);  // each segment's next term
  TermWriter writer(data, block_size);
  while (true) {
    std::uint64_t token = UINT64_MAX;
    for (std::size_t s = 0; s < segments.size(); ++s) {
      const SegmentArrays& a = segments[s]->arrays();
      if (next[s] < a.term_count) {
        token = std::min<std::uint64_t>(token, a.term_ids[next[s]]);
      }
    }
    if (token == UINT64_MAX) {
      break;
    }
    writer.Begin(static_cast<std::uint32_t>(token));
    for (std::size_t s = 0; s < segments.size(); ++s) {
      const SegmentArrays& a = segments[s]->arrays();
      if (next[s] >= a.term_count || a.term_ids[next[s]] != token) {
        continue;
      }
      const TermInfo& term = a.terms[next[s]++];
      for (std::uint64_t i = term.first; i < term.first + term.count; ++i) {
        const std::uint32_t doc = a.docs[i];
        if (TestBit(removed, doc)) {
          continue;
        }
        writer.Add(renumber ? remap[doc - first_doc] : doc, a.weights[i]);
      }
    }
    writer.End();
  }
  data.docs.shrink_to_fit();
  data.weights.shrink_to_fit();
  data.term_ids.shrink_to_fit();
  data.terms.shrink_to_fit();
  data.blocks.shrink_to_fit();
  return data;
}

}  // namespace kelp::typing::text::index
