#include "tokenizer/jieba/Trie.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kelp::typing::text::jieba {

namespace {

// A key as a view of its runes.
struct KeyView {
  const Rune* data;
  size_t size;
};

// Asks the kernel to back the not yet touched storage of a large array with
// huge pages: the walk reads the node arrays at random, and with 4 KiB pages
// nearly every read would also miss the TLB. Only a hint; ignored where
// transparent huge pages are off.
template <typename T>
void AdviseHugePages(const std::vector<T>& v) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  const uintptr_t begin = reinterpret_cast<uintptr_t>(v.data());
  const uintptr_t end = begin + v.capacity() * sizeof(T);
  const uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const uintptr_t last = end & ~(kHuge - 1);
  if (last >= first + 2 * kHuge) {
    madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
  }
#else
  (void)v;
#endif
}

// Replaces `v` by a copy of exactly its size, advised for huge pages before
// it is written.
template <typename T>
void CompactForLookup(std::vector<T>& v) {
  std::vector<T> compact;
  compact.reserve(v.size());
  AdviseHugePages(compact);
  compact.assign(v.begin(), v.end());
  v.swap(compact);
}

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

// Copies the keys into one rune buffer, sorts them (equal keys by their
// position, so the later one is assigned last), then lays the nodes out
// breadth first: the children of a node are the groups of its key range that
// share their next rune, appended as one block. Cost: the sort, which mostly
// compares a two-rune prefix held in the sorted records, plus one pass per
// key rune over the buffer.
template <typename KeyOf>
void Trie::Build(size_t count, KeyOf key_of, const std::vector<const DictUnit*>& units) {
  if (count >= std::numeric_limits<uint32_t>::max()) {
    throw std::length_error("Trie: too many keys for 32-bit indices");
  }
  // Non-empty keys, their runes packed in `runes` at [start, start + size).
  struct Key {
    uint64_t prefix;  // first two runes, for a quick first comparison
    uint32_t index;   // position in the caller's vectors
    uint32_t start;
    uint32_t size;
  };
  std::vector<Key> keys;
  keys.reserve(count);
  std::vector<Rune> runes;
  for (size_t i = 0; i < count; ++i) {
    const KeyView key = key_of(i);
    if (key.size == 0) {
      continue;
    }
    if (runes.size() + key.size >= std::numeric_limits<uint32_t>::max()) {
      throw std::length_error("Trie: too many runes for 32-bit indices");
    }
    const uint64_t second = key.size > 1 ? key.data[1] : 0;
    keys.push_back(Key{(uint64_t{key.data[0]} << 32) | second, static_cast<uint32_t>(i),
                       static_cast<uint32_t>(runes.size()), static_cast<uint32_t>(key.size)});
    runes.insert(runes.end(), key.data, key.data + key.size);
  }
  const Rune* const all = runes.data();
  std::sort(keys.begin(), keys.end(), [all](const Key& a, const Key& b) {
    // Equal prefixes can still differ in length ("A" and "A" + U+0000) or later.
    if (a.prefix != b.prefix) {
      return a.prefix < b.prefix;
    }
    const Rune* pa = all + a.start;
    const Rune* pb = all + b.start;
    if (std::lexicographical_compare(pa, pa + a.size, pb, pb + b.size)) {
      return true;
    }
    if (std::lexicographical_compare(pb, pb + b.size, pa, pa + a.size)) {
      return false;
    }
    return a.index < b.index;
  });

  nodes_.clear();
  nodes_.reserve(runes.size() + 1);  // one node per distinct prefix at most
  nodes_.emplace_back();

  struct Pending {
    uint32_t node;
    uint32_t lo;     // range in `keys` sharing the node's prefix
    uint32_t hi;
    uint32_t depth;  // length of that prefix
  };
  std::vector<Pending> queue;
  queue.push_back(Pending{0, 0, static_cast<uint32_t>(keys.size()), 0});
  for (size_t head = 0; head < queue.size(); ++head) {
    const Pending p = queue[head];
    uint32_t lo = p.lo;
    // Keys that end here sort first in the range; the last of them wins.
    while (lo < p.hi && keys[lo].size == p.depth) {
      nodes_[p.node].unit = units[keys[lo].index];
      ++lo;
    }
    if (lo == p.hi) {
      continue;
    }
    const uint32_t first_child = static_cast<uint32_t>(nodes_.size());
    while (lo < p.hi) {
      const Rune rune = all[keys[lo].start + p.depth];
      uint32_t group_end = lo + 1;
      while (group_end < p.hi && all[keys[group_end].start + p.depth] == rune) {
        ++group_end;
      }
      const uint32_t child = static_cast<uint32_t>(nodes_.size());
      Node& node = nodes_.emplace_back();
      node.label = rune;
      node.block = first_child;
      queue.push_back(Pending{child, lo, group_end, p.depth + 1});
      lo = group_end;
    }
    nodes_[p.node].first_child = first_child;
    nodes_[p.node].child_count = static_cast<uint32_t>(nodes_.size()) - first_child;
  }
  CompactForLookup(nodes_);
  BuildLookupTables();
}

void Trie::BuildLookupTables() {
  // The root's direct table, sized to its largest child below U+10000.
  const Node& root = nodes_[0];
  root_table_.clear();
  Rune largest = 0;
  bool any = false;
  for (uint32_t k = 0; k < root.child_count; ++k) {
    const Rune rune = nodes_[root.first_child + k].label;
    if (rune <= 0xFFFF) {
      largest = rune;
      any = true;
    }
  }
  if (any) {
    root_table_.assign(static_cast<size_t>(largest) + 1, 0);
    for (uint32_t k = 0; k < root.child_count; ++k) {
      const Rune rune = nodes_[root.first_child + k].label;
      if (rune <= 0xFFFF) {
        root_table_[rune] = root.first_child + k;
      }
    }
  }

  // The children of wide nodes, in a table at most half full.
  size_t wide_children = 0;
  for (const Node& node : nodes_) {
    if (node.child_count > kScanMax) {
      wide_children += node.child_count;
    }
  }
  wide_.clear();
  if (wide_children == 0) {
    return;
  }
  size_t slots = 16;
  unsigned bits = 4;
  while (slots < 2 * wide_children) {
    slots *= 2;
    ++bits;
  }
  wide_.reserve(slots);
  AdviseHugePages(wide_);
  wide_.assign(slots, Node{});
  wide_mask_ = slots - 1;
  wide_shift_ = 64 - bits;
  filter_bits_ = 6;
  while ((uint64_t{1} << filter_bits_) < 8 * wide_children) {
    ++filter_bits_;
  }
  filter_shift_ = 64 - filter_bits_;
  filter_mask_ = (uint64_t{1} << filter_bits_) - 1;
  wide_filter_.assign(size_t{1} << (filter_bits_ - 6), 0);
  for (const Node& node : nodes_) {
    if (node.child_count <= kScanMax) {
      continue;
    }
    for (uint32_t k = 0; k < node.child_count; ++k) {
      const Node& child = nodes_[node.first_child + k];
      size_t slot = WideSlot(child.block, child.label);
      while (wide_[slot].block != 0) {
        slot = (slot + 1) & wide_mask_;
      }
      wide_[slot] = child;
      const uint64_t key = (uint64_t{child.block} << 32) | child.label;
      const uint64_t mix = key * 0xC2B2AE3D27D4EB4Full;
      const uint64_t bit1 = mix >> filter_shift_;
      const uint64_t bit2 = (mix >> (filter_shift_ - filter_bits_)) & filter_mask_;
      wide_filter_[bit1 >> 6] |= uint64_t{1} << (bit1 & 63);
      wide_filter_[bit2 >> 6] |= uint64_t{1} << (bit2 & 63);
    }
  }
}

}  // namespace kelp::typing::text::jieba
