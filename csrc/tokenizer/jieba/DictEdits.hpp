// Words added to or removed from a dictionary at run time, laid over it.
//
// Each entry either gives a word a weight and tag of its own (a new word, or
// a new weight and tag for a word the dictionary has) or removes the word.
// The merged view lists the words of both: an entry here wins over the
// dictionary's entry for the same word, and a removed word is absent, as if
// the dictionary never had it. A one-rune word added here counts as a user
// word (the mixed cut keeps it whole); a removed one no longer does.
//
// An edit set is built once from all its entries and never changes; whoever
// changes the words builds a new set, so a cut that holds a set sees one
// state of the dictionary from start to end. Building costs a trie over the
// entries only, so it stays cheap while the entries are few compared with
// the dictionary.
//
// Cost of a walk: one bit test per position of a run; only where a changed
// word starts with the position's rune is the edits' own small trie stepped
// beside the dictionary's, while it still holds a prefix of the text.
//
// The base trie and the base set of one-rune user words are borrowed and
// must outlive the set. The trie points into the set's own entries, so it
// neither copies nor moves. Read-only after construction: any number of
// threads may read it at once.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tokenizer/jieba/DictUnit.hpp"
#include "tokenizer/jieba/RuneSet.hpp"
#include "tokenizer/jieba/Trie.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::jieba {

class DictEdits {
 public:
  struct Entry {
    std::string word;  // UTF-8
    bool removed = false;
    double weight = 0.0;  // the entry's log-probability, unless removed
    std::string tag;
  };

  // `entries` hold distinct words that are valid UTF-8 and not empty.
  DictEdits(const std::vector<Entry>& entries, const Trie& base, const RuneSet& base_user_singles)
      : base_(base), base_user_singles_(base_user_singles) {
    units_.resize(entries.size());
    std::vector<RuneVector> keys(entries.size());
    std::vector<const DictUnit*> targets(entries.size());
    for (size_t k = 0; k < entries.size(); ++k) {
      const Entry& entry = entries[k];
      DecodeRunesInString(entry.word, keys[k]);
      DictUnit& unit = units_[k];
      unit.word = keys[k];
      unit.weight = entry.weight;
      unit.tag = entry.tag;
      targets[k] = entry.removed ? &removed_ : &unit;
      if (!keys[k].empty()) {
        first_runes_.Insert(keys[k][0]);
      }
      if (keys[k].size() == 1) {
        (entry.removed ? removed_singles_ : added_singles_).Insert(keys[k][0]);
      }
    }
    trie_ = std::make_unique<Trie>(keys, targets);
  }

  DictEdits(const DictEdits&) = delete;
  DictEdits& operator=(const DictEdits&) = delete;

  // The merged words starting at position i of the run of n runes at
  // `begin`, in the order of Trie::ForEachWordAt: the single-rune element
  // first (null when neither holds the rune as a word), then every longer
  // word by increasing end.
  template <typename Visit>
  void ForEachWordAt(const RuneStr* begin, size_t n, size_t i, size_t max_word_len,
                     Visit&& visit) const {
    if (!first_runes_.Contains(begin[i].rune)) {
      // No changed word starts here: the dictionary's own walk.
      base_.ForEachWordAt(begin, n, i, max_word_len, std::forward<Visit>(visit));
      return;
    }
    const Trie::Node* base = base_.Start(begin[i].rune);
    const Trie::Node* edit = trie_->Start(begin[i].rune);
    visit(i, Merge(base, edit));
    for (size_t j = i + 1; (base != nullptr || edit != nullptr) && j < n && j - i + 1 <= max_word_len;
         ++j) {
      if (base != nullptr) {
        base = base_.Step(*base, begin[j].rune);
      }
      if (edit != nullptr) {
        edit = trie_->Step(*edit, begin[j].rune);
      }
      if (const DictUnit* unit = Merge(base, edit)) {
        visit(j, unit);
      }
    }
  }

  // The merged entry of exactly the runes [begin, end), or null.
  const DictUnit* Find(const RuneStr* begin, const RuneStr* end) const {
    if (const DictUnit* unit = trie_->Find(begin, end)) {
      return unit == &removed_ ? nullptr : unit;
    }
    return base_.Find(begin, end);
  }

  bool IsUserSingleRuneWord(Rune rune) const noexcept {
    if (added_singles_.Contains(rune)) {
      return true;
    }
    return !removed_singles_.Contains(rune) && base_user_singles_.Contains(rune);
  }

 private:
  const DictUnit* Merge(const Trie::Node* base, const Trie::Node* edit) const noexcept {
    if (edit != nullptr && Trie::UnitOf(*edit) != nullptr) {
      const DictUnit* unit = Trie::UnitOf(*edit);
      return unit == &removed_ ? nullptr : unit;
    }
    return base != nullptr ? Trie::UnitOf(*base) : nullptr;
  }

  std::vector<DictUnit> units_;  // one per entry; a removed entry's is unused
  // What a removed word maps to in trie_.
  DictUnit removed_;
  std::unique_ptr<Trie> trie_;
  RuneSet added_singles_;
  RuneSet removed_singles_;
  // The first runes of the changed words: a walk from any other rune is the
  // dictionary's alone.
  RuneSet first_runes_;
  const Trie& base_;
  const RuneSet& base_user_singles_;
};

}  // namespace kelp::typing::text::jieba
