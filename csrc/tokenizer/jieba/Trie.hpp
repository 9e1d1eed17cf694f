// The index behind the dictionary: words as rune sequences, mapped to their
// entries.
//
// Layout. The trie is built once, from all keys, into flat arrays. Each node
// is a 24-byte record holding its entry, its rune and where its children
// are; the children of a node are one contiguous block of records, ordered by
// rune. A walk step reads one place in memory:
// - a node with up to 8 children: a scan of its block (one or two lines);
// - a node with more (the first characters of many words, about 86% of the
//   steps in Chinese text): one probe of an open-addressing table keyed by
//   (child block, rune), whose slots are copies of the child records; a
//   Bloom filter in front of it answers most misses from cache;
// - the root: a direct table indexed by rune for the Basic Multilingual Plane.
// There is one heap block per array, not one per node.
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
    Find(begin, end, 0, static_cast<size_t>(end - begin), dags, max_word_len);
  }

  // The same for the runes at positions [from, to) of the run [begin, end)
  // only: `dags` gets to - from records, the first for position `from`; end
  // indices still count from `begin`, and words may end anywhere in the run.
  // A long run can so be walked in blocks, one block's graph at a time.
  void Find(const RuneStr* begin, const RuneStr* end, size_t from, size_t to,
            std::vector<Dag>& dags, size_t max_word_len = MAX_WORD_RUNES) const {
    const size_t n = static_cast<size_t>(end - begin);
    dags.resize(to - from);
    for (size_t i = from; i < to; ++i) {
      Dag& dag = dags[i - from];
      dag.rune_str = begin[i];
      ForEachWordAt(begin, n, i, max_word_len,
                    [&dag](size_t j, const DictUnit* unit) { dag.ends.push_back(DagEnd{j, unit}); });
    }
  }

  // The words starting at position i of the run of n runes at `begin`, as
  // the word graph lists them, without building it: calls visit(j, unit) for
  // the single-rune element (j = i, unit null when the dictionary lacks the
  // rune), then for every longer word of at most `max_word_len` runes, j
  // being the index of its last rune, by increasing j.
  template <typename Visit>
  void ForEachWordAt(const RuneStr* begin, size_t n, size_t i, size_t max_word_len,
                     Visit&& visit) const {
    const Node* node = RootChild(begin[i].rune);
    const DictUnit* unit = node != nullptr ? node->unit : nullptr;
    Touch(unit);
    visit(i, unit);
    for (size_t j = i + 1; node != nullptr && j < n && j - i + 1 <= max_word_len; ++j) {
      node = Child(*node, begin[j].rune);
      if (node != nullptr && node->unit != nullptr) {
        Touch(node->unit);
        visit(j, node->unit);
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

  // One node per distinct key prefix; callers outside the trie only pass
  // pointers to it back to Step and UnitOf.
  struct Node {
    const DictUnit* unit = nullptr;  // the word ending here, or null
    Rune label = 0;                  // the rune leading into this node
    uint32_t first_child = 0;        // children: [first_child, first_child + child_count)
    uint32_t child_count = 0;
    uint32_t block = 0;              // first_child of the parent; 0 only for the root
  };

  // Stepwise walks, for merging the words of two tries rune by rune: the
  // node of the one-rune prefix `rune`, then of the prefix one rune longer,
  // or null once no key starts so. UnitOf gives the entry of the word a
  // node ends (null for a mere prefix).
  const Node* Start(Rune rune) const noexcept { return RootChild(rune); }
  const Node* Step(const Node& node, Rune rune) const noexcept { return Child(node, rune); }
  static const DictUnit* UnitOf(const Node& node) noexcept { return node.unit; }

  // Number of nodes, the root included.
  size_t NodeCount() const noexcept { return nodes_.size(); }

  // Bytes held by the trie's arrays.
  size_t MemoryBytes() const noexcept {
    return nodes_.capacity() * sizeof(Node) + wide_.capacity() * sizeof(Node) +
           wide_filter_.capacity() * sizeof(uint64_t) + root_table_.capacity() * sizeof(uint32_t);
  }

 private:
  // Blocks up to this size are scanned; larger ones are found through wide_.
  static constexpr uint32_t kScanMax = 8;

  template <typename KeyOf>
  void Build(size_t count, KeyOf key_of, const std::vector<const DictUnit*>& units);
  void BuildLookupTables();

  const Node* RootChild(Rune rune) const noexcept {
    if (rune < root_table_.size()) {
      const uint32_t index = root_table_[rune];
      return index != 0 ? &nodes_[index] : nullptr;
    }
    return Child(nodes_[0], rune);
  }

  const Node* Child(const Node& parent, Rune rune) const noexcept {
    const uint32_t count = parent.child_count;
    if (count <= kScanMax) {
      const Node* child = nodes_.data() + parent.first_child;
      for (const Node* stop = child + count; child != stop; ++child) {
        if (child->label == rune) {
          return child;
        }
      }
      return nullptr;
    }
    // Most runes that follow a wide node are not among its children; the
    // filter (small enough to stay in cache) says so without a probe.
    const uint64_t key = (uint64_t{parent.first_child} << 32) | rune;
    const uint64_t mix = key * 0xC2B2AE3D27D4EB4Full;
    const uint64_t bit1 = mix >> filter_shift_;
    const uint64_t bit2 = (mix >> (filter_shift_ - filter_bits_)) & filter_mask_;
    if (((wide_filter_[bit1 >> 6] >> (bit1 & 63)) & (wide_filter_[bit2 >> 6] >> (bit2 & 63)) & 1) ==
        0) {
      return nullptr;
    }
    // Linear probing; a slot with block 0 is free (no child has block 0).
    size_t slot = WideSlot(parent.first_child, rune);
    while (true) {
      const Node& candidate = wide_[slot];
      if (candidate.block == parent.first_child && candidate.label == rune) {
        return &candidate;
      }
      if (candidate.block == 0) {
        return nullptr;
      }
      slot = (slot + 1) & wide_mask_;
    }
  }

  size_t WideSlot(uint32_t block, Rune rune) const noexcept {
    const uint64_t key = (uint64_t{block} << 32) | rune;
    return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> wide_shift_);
  }

  // Starts loading an entry that the scoring step will read soon.
  static void Touch(const DictUnit* unit) noexcept {
#if defined(__GNUC__)
    if (unit != nullptr) {
      __builtin_prefetch(&unit->weight);
    }
#else
    (void)unit;
#endif
  }

  template <typename It, typename RuneOf>
  const DictUnit* FindWord(It begin, It end, RuneOf rune_of) const {
    if (begin == end) {
      return nullptr;
    }
    const Node* node = RootChild(rune_of(*begin));
    for (It it = begin + 1; node != nullptr && it != end; ++it) {
      node = Child(*node, rune_of(*it));
    }
    return node != nullptr ? node->unit : nullptr;
  }

  // nodes_[0] is the root, which stands for the empty word.
  std::vector<Node> nodes_;
  // Copies of the children of every node with more than kScanMax children,
  // at most half full; empty slots have block 0.
  std::vector<Node> wide_;
  size_t wide_mask_ = 0;
  unsigned wide_shift_ = 63;
  // A two-bit Bloom filter over the (block, rune) keys of wide_, about 8
  // bits per key: some 4% false positives, a few hundred kilobytes.
  std::vector<uint64_t> wide_filter_;
  unsigned filter_bits_ = 6;  // log2 of the filter's size in bits
  unsigned filter_shift_ = 58;
  uint64_t filter_mask_ = 63;
  // root_table_[r]: index of the root's child for rune r, or 0; covers the
  // root's children up to U+FFFF.
  std::vector<uint32_t> root_table_;
};

}  // namespace kelp::typing::text::jieba
