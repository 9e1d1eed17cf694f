#include "tokenizer/jieba/Trie.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace kelp::typing::text::jieba {

namespace {

// A key as a view of its runes.
struct KeyView {
  const Rune* data;
  size_t size;
};

}  // namespace

Trie::Trie(const std::vector<RuneVector>& keys, const std::vector<const DictUnit*>& units) {
  if (keys.size() != units.size()) {
    throw std::invalid_argument("Trie: " + std::to_string(keys.size()) + " keys but " +
                                std::to_string(units.size()) + " entries");
  }
  Build(keys.size(), [&keys](size_t i) { return KeyView{keys[i].data(), keys[i].size()}; }, units);
}

Trie::Trie(const std::vector<DictUnit>& units) {
  std::vector<const DictUnit*> pointers;
  pointers.reserve(units.size());
  for (const DictUnit& unit : units) {
    pointers.push_back(&unit);
  }
  Build(units.size(),
        [&units](size_t i) { return KeyView{units[i].word.data(), units[i].word.size()}; },
        pointers);
}

// Sorts the keys (stably, so equal keys keep their order and the later one
// is assigned last), then lays the nodes out breadth first: the children of
// a node are the groups of its key range that share their next rune, and
// they are appended as one block. Cost: the sort, plus one pass per key rune.
template <typename KeyOf>
void Trie::Build(size_t count, KeyOf key_of, const std::vector<const DictUnit*>& units) {
  std::vector<uint32_t> order;
  order.reserve(count);
  size_t total_runes = 0;
  for (size_t i = 0; i < count; ++i) {
    const KeyView key = key_of(i);
    if (key.size != 0) {
      order.push_back(static_cast<uint32_t>(i));
      total_runes += key.size;
    }
  }
  if (count > std::numeric_limits<uint32_t>::max() ||
      total_runes >= std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("Trie: too many keys for 32-bit node indices");
  }
  std::stable_sort(order.begin(), order.end(), [&key_of](uint32_t a, uint32_t b) {
    const KeyView ka = key_of(a);
    const KeyView kb = key_of(b);
    return std::lexicographical_compare(ka.data, ka.data + ka.size, kb.data, kb.data + kb.size);
  });

  // One node per distinct prefix; total_runes + 1 bounds that.
  nodes_.clear();
  labels_.clear();
  nodes_.emplace_back();
  labels_.push_back(0);

  struct Pending {
    uint32_t node;
    uint32_t lo;  // key range in `order` sharing the node's prefix
    uint32_t hi;
    uint32_t depth;  // length of that prefix
  };
  std::vector<Pending> queue;
  queue.push_back(Pending{0, 0, static_cast<uint32_t>(order.size()), 0});
  for (size_t head = 0; head < queue.size(); ++head) {
    const Pending p = queue[head];
    uint32_t lo = p.lo;
    // Keys that end here sort first in the range; the last of them wins.
    while (lo < p.hi && key_of(order[lo]).size == p.depth) {
      nodes_[p.node].unit = units[order[lo]];
      ++lo;
    }
    if (lo == p.hi) {
      continue;
    }
    const uint32_t first_child = static_cast<uint32_t>(nodes_.size());
    while (lo < p.hi) {
      const Rune rune = key_of(order[lo]).data[p.depth];
      uint32_t group_end = lo + 1;
      while (group_end < p.hi && key_of(order[group_end]).data[p.depth] == rune) {
        ++group_end;
      }
      const uint32_t child = static_cast<uint32_t>(nodes_.size());
      nodes_.emplace_back();
      labels_.push_back(rune);
      queue.push_back(Pending{child, lo, group_end, p.depth + 1});
      lo = group_end;
    }
    nodes_[p.node].first_child = first_child;
    nodes_[p.node].child_count = static_cast<uint32_t>(nodes_.size()) - first_child;
  }
  nodes_.shrink_to_fit();
  labels_.shrink_to_fit();

  // The root's direct table, sized to its largest child below U+10000.
  const Node& root = nodes_[0];
  root_table_.clear();
  Rune largest = 0;
  bool any = false;
  for (uint32_t k = 0; k < root.child_count; ++k) {
    const Rune rune = labels_[root.first_child + k];
    if (rune <= 0xFFFF) {
      largest = rune;
      any = true;
    }
  }
  if (any) {
    root_table_.assign(static_cast<size_t>(largest) + 1, kNone);
    for (uint32_t k = 0; k < root.child_count; ++k) {
      const Rune rune = labels_[root.first_child + k];
      if (rune <= 0xFFFF) {
        root_table_[rune] = root.first_child + k;
      }
    }
  }
}

}  // namespace kelp::typing::text::jieba
