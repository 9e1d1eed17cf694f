// The index behind the dictionary: words as rune sequences, mapped to their
// entries.
//
// Layout. The trie is built once, from all keys, into flat arrays: node i has
// its children in one contiguous block of node indices, ordered by rune, and
// the rune that leads into node i is labels_[i]. A child is found by a short
// linear scan of the sibling labels (binary search for blocks of more than 8).
// The root, which has a child for nearly every character of the dictionary,
// also has a direct table indexed by rune for the Basic Multilingual Plane.
// A node costs 20 bytes and there is one heap block per array, not one per
// node; a walk step is one or two reads from memory that sits together.
//
// Ownership: the trie owns its arrays; entries belong to the dictionary,
// which keeps them at fixed addresses for the trie's whole life.
//
// Thread-safety: read-only after construction; every Find is const and
// writes only to the caller's output, so any number of threads may search at
// once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/jieba/Dag.hpp"
#include "tokenizer/jieba/DictUnit.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::jieba {

class Trie {
 public:
  // Indexes keys[i] with the entry units[i]. Empty keys are ignored; of two
  // equal keys the later one wins. Throws std::invalid_argument when the two
  // vectors differ in length.
  Trie(const std::vector<RuneVector>& keys, const std::vector<const DictUnit*>& units);

  // Indexes every entry of `units` under its own word (same rules). The
  // entries must outlive the trie and stay where they are.
  explicit Trie(const std::vector<DictUnit>& units);

  Trie(const Trie&) = delete;
  Trie& operator=(const Trie&) = delete;

  // Word-graph form. Resizes `dags` to one record per rune of [begin, end)
  // (pass an empty vector: records already there keep their lists and are
  // appended to) and lists in each record the words starting at its rune: the
  // single-rune element first, present even when the dictionary lacks the
  // rune (with a null entry), then every longer word of at most
  // `max_word_len` runes by increasing end index.
  void Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& dags,
            size_t max_word_len = MAX_WORD_RUNES) const {
    const size_t n = static_cast<size_t>(end - begin);
    dags.resize(n);
    for (size_t i = 0; i < n; ++i) {
      Dag& dag = dags[i];
      dag.rune_str = begin[i];
      uint32_t node = RootChild(begin[i].rune);
      dag.ends.push_back(DagEnd{i, node != kNone ? nodes_[node].unit : nullptr});
      for (size_t j = i + 1; node != kNone && j < n && j - i + 1 <= max_word_len; ++j) {
        node = Child(node, begin[j].rune);
        if (node != kNone && nodes_[node].unit != nullptr) {
          dag.ends.push_back(DagEnd{j, nodes_[node].unit});
        }
      }
    }
  }

  // Single-word form: the entry of exactly the runes [begin, end), or null
  // (also for an empty range and for a mere prefix of longer words).
  const DictUnit* Find(const RuneStr* begin, const RuneStr* end) const {
    return FindWord(begin, end, [](const RuneStr& r) { return r.rune; });
  }

  // The same lookup for a key given as bare runes.
  const DictUnit* Find(const Rune* begin, const Rune* end) const {
    return FindWord(begin, end, [](Rune r) { return r; });
  }

  // Number of nodes, the root included.
  size_t NodeCount() const noexcept { return nodes_.size(); }

  // Bytes held by the trie's arrays.
  size_t MemoryBytes() const noexcept {
    return nodes_.capacity() * sizeof(Node) + labels_.capacity() * sizeof(Rune) +
           root_table_.capacity() * sizeof(uint32_t);
  }

 private:
  struct Node {
    uint32_t first_child = 0;
    uint32_t child_count = 0;
    const DictUnit* unit = nullptr;
  };

  // No node has index 0 as a child: 0 is the root.
  static constexpr uint32_t kNone = 0;
  // Sibling blocks up to this size are scanned; larger ones are bisected.
  static constexpr uint32_t kLinearScanMax = 8;

  template <typename KeyOf>
  void Build(size_t count, KeyOf key_of, const std::vector<const DictUnit*>& units);

  uint32_t RootChild(Rune rune) const noexcept {
    if (rune < root_table_.size()) {
      return root_table_[rune];
    }
    return Child(0, rune);
  }

  uint32_t Child(uint32_t node, Rune rune) const noexcept {
    const Node& parent = nodes_[node];
    const uint32_t first = parent.first_child;
    const uint32_t count = parent.child_count;
    const Rune* labels = labels_.data() + first;
    if (count <= kLinearScanMax) {
      for (uint32_t k = 0; k < count; ++k) {
        if (labels[k] == rune) {
          return first + k;
        }
      }
      return kNone;
    }
    uint32_t lo = 0;
    uint32_t hi = count;
    while (lo < hi) {
      const uint32_t mid = lo + (hi - lo) / 2;
      if (labels[mid] < rune) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo < count && labels[lo] == rune ? first + lo : kNone;
  }

  template <typename It, typename RuneOf>
  const DictUnit* FindWord(It begin, It end, RuneOf rune_of) const {
    if (begin == end) {
      return nullptr;
    }
    uint32_t node = RootChild(rune_of(*begin));
    for (It it = begin + 1; node != kNone && it != end; ++it) {
      node = Child(node, rune_of(*it));
    }
    return node != kNone ? nodes_[node].unit : nullptr;
  }

  // nodes_[0] is the root, which stands for the empty word.
  std::vector<Node> nodes_;
  // labels_[i]: the rune leading into node i (unused for the root).
  std::vector<Rune> labels_;
  // root_table_[r]: the root's child for rune r, or kNone; covers the root's
  // children up to U+FFFF. Larger runes go through the root's sibling block.
  std::vector<uint32_t> root_table_;
};

}  // namespace kelp::typing::text::jieba
