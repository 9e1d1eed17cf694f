// Search mode: the mixed cut, and before each word longer than two runes the
// dictionary words of two and then of three runes inside it.
//
// A three-rune word contributes its dictionary pairs and then itself; a
// longer word its pairs, its triples and then itself; words of one or two
// runes only themselves. Nothing is deduplicated. The n-gram test walks the
// trie from the root for each candidate; no further word graph is built.
//
// The dictionary and the model are borrowed and must outlive the segmenter.
// Every cut is const and keeps its working state in the call: one segmenter
// serves any number of threads at once.
#pragma once

#include <cstddef>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/HmmSegmentBase.hpp"
#include "tokenizer/jieba/MixSegment.hpp"
#include "tokenizer/jieba/SegmentBase.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::jieba {

class QuerySegment : public HmmSegmentBase<QuerySegment, SegmentBase> {
 public:
  // Working storage of the rune-level cut, kept by a sentence-level call for
  // all its runs; contents on entry do not matter.
  struct Workspace {
    MixSegment::Workspace mix;
    std::vector<WordRange> words;
  };

  QuerySegment(const DictTrie* dictTrie, const HMMModel* model)
      : mix_segment_(dictTrie, model), dict_trie_(dictTrie) {}

  // The sentence-level cuts and the rune-level cut without a workspace.
  using HmmSegmentBase<QuerySegment, SegmentBase>::Cut;

  // Rune level: appends the search-mode words of [begin, end) to `ranges`,
  // with the caller's working storage.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges, bool hmm,
           Workspace& workspace) const {
    std::vector<WordRange>& words = workspace.words;
    words.clear();
    words.reserve(static_cast<size_t>(end - begin));
    mix_segment_.Cut(begin, end, words, hmm, workspace.mix);
    for (const WordRange& word : words) {
      const size_t length = word.Length();
      if (length > 2) {
        for (size_t k = 0; k + 1 < length; ++k) {
          if (dict_trie_->Find(word.first + k, word.first + k + 2) != nullptr) {
            ranges.push_back(WordRange{word.first + k, word.first + k + 1});
          }
        }
      }
      if (length > 3) {
        for (size_t k = 0; k + 2 < length; ++k) {
          if (dict_trie_->Find(word.first + k, word.first + k + 3) != nullptr) {
            ranges.push_back(WordRange{word.first + k, word.first + k + 2});
          }
        }
      }
      ranges.push_back(word);
    }
  }

 private:
  MixSegment mix_segment_;
  const DictTrie* dict_trie_;
};

}  // namespace kelp::typing::text::jieba
