// Full mode: every dictionary word found in the sentence, overlapping words
// included, plus each rune that no longer word covers, ordered by start and
// then by end.
//
// A one-rune dictionary word is listed only where no longer word starts at
// its position and no earlier word reaches over it, so full mode never lists
// a rune twice as a word of its own.
//
// A run is walked in blocks of kGraphBlock positions, each block's word
// graph built just before it is read, so that a long run never holds its
// whole graph (some 300 bytes per rune).
//
// The dictionary is borrowed and must outlive the segmenter. Every cut is
// const and keeps its working state (the word graph) in the call: one
// segmenter serves any number of threads at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/jieba/Dag.hpp"
#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/SegmentBase.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text::jieba {

class FullSegment : public SegmentBase {
  // The rune-level cut, as the sentence driver calls it; keeps one word
  // graph for all the runs of a sentence-level call.
  struct RuneCut {
    const FullSegment* segment;
    std::vector<Dag> dags;
    void operator()(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges) {
      segment->Cut(begin, end, ranges, dags);
    }
  };

 public:
  explicit FullSegment(const DictTrie* dictTrie) : dict_trie_(dictTrie) {}

  void Cut(std::string_view sentence, std::vector<std::string>& words) const override {
    CutToStrings(sentence, words, RuneCut{this, {}});
  }

  // The words with their offsets.
  void Cut(std::string_view sentence, std::vector<Word>& words) const {
    CutToWords(sentence, words, RuneCut{this, {}});
  }

  // The words as spans of the sentence.
  void Cut(std::string_view sentence, std::vector<WordSpan>& spans) const {
    DriveSentence(sentence, RuneCut{this, {}},
                  [&](const std::vector<WordRange>& ranges) { GetSpansFromWordRanges(ranges, spans); });
  }

  // Rune level: appends the full-mode words of [begin, end) to `ranges`.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges) const {
    std::vector<Dag> dags;
    Cut(begin, end, ranges, dags);
  }

  // Positions whose word graph is built at a time.
  static constexpr size_t kGraphBlock = 1024;

  // The same, with the word graph built in `dags` (contents on entry do not
  // matter), so that a caller can keep its storage across runs.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges,
           std::vector<Dag>& dags) const {
    const size_t n = static_cast<size_t>(end - begin);
    // One past the last rune covered by a dictionary word seen so far.
    size_t covered = 0;
    dags.clear();
    for (size_t from = 0; from < n; from += kGraphBlock) {
      const size_t to = n - from > kGraphBlock ? from + kGraphBlock : n;
      dags.clear();
      dict_trie_->Find(begin, end, from, to, dags, MAX_WORD_RUNES);
      for (size_t i = from; i < to; ++i) {
        const Dag& dag = dags[i - from];
        for (const DagEnd& end_of_word : dag.ends) {
          const size_t e = static_cast<size_t>(end_of_word.end_index);
          const DictUnit* unit = end_of_word.unit;
          if (unit != nullptr && unit->word.size() >= 2) {
            ranges.push_back(WordRange{begin + i, begin + e});
          } else if (dag.ends.size() == 1 && covered <= i) {
            ranges.push_back(WordRange{begin + i, begin + e});
          }
          if (unit != nullptr && i + unit->word.size() > covered) {
            covered = i + unit->word.size();
          }
        }
      }
    }
  }

 private:
  const DictTrie* dict_trie_;
};

}  // namespace kelp::typing::text::jieba
