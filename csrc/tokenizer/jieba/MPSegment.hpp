// Maximum-probability segmentation: of all ways to cut a run of runes into
// dictionary words, the one whose summed log-probability is highest.
//
// For each run the dictionary lists the words starting at every rune (the
// word graph); positions are scored from the end backwards, and the cut
// walks forward along the best choices. A rune from which no dictionary word
// starts stands alone, scored with the dictionary's minimum weight. Of two
// choices with equal scores the first listed wins, so the shorter word.
//
// Cost: the sentence-level cuts build every run's word graph in one vector
// per call; the work is linear in the number of (position, word) pairs. The
// dictionary is borrowed and must outlive the segmenter. Every cut is const
// and keeps its state in the call: one segmenter serves any number of
// threads at once.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/jieba/Dag.hpp"
#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/PosTagger.hpp"
#include "tokenizer/jieba/SegmentTagged.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::jieba {

class MPSegment : public SegmentTagged {
 public:
  explicit MPSegment(const DictTrie* dict_trie) : dict_trie_(dict_trie) {}

  // The words of `sentence`, with words of up to MAX_WORD_RUNES runes.
  void Cut(std::string_view sentence, std::vector<std::string>& words) const override {
    Cut(sentence, words, MAX_WORD_RUNES);
  }

  void Cut(std::string_view sentence, std::vector<std::string>& words, size_t max_word_len) const {
    CutToStrings(sentence, words, RuneCut{this, max_word_len, {}});
  }

  // The words with their offsets.
  void Cut(std::string_view sentence, std::vector<Word>& words,
           size_t max_word_len = MAX_WORD_RUNES) const {
    CutToWords(sentence, words, RuneCut{this, max_word_len, {}});
  }

  // Rune level: appends the words of [begin, end) to `ranges` as ranges.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges,
           size_t max_word_len = MAX_WORD_RUNES) const {
    std::vector<Dag> dags;
    Cut(begin, end, ranges, max_word_len, dags);
  }

  // The same, with the word graph built in `dags`, which the caller keeps
  // across runs so that its storage is allocated once per call rather than
  // once per run. Its contents on entry do not matter; on return it holds the
  // scored graph of this run.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges,
           size_t max_word_len, std::vector<Dag>& dags) const {
    dags.clear();
    if (begin == end) {
      return;
    }
    dict_trie_->Find(begin, end, dags, max_word_len);
    CalcDP(dags);
    CutByDag(begin, end, dags, ranges);
  }

  // Appends the ranges along the best choices of scored `dags`.
  void CutByDag(const RuneStr* begin, const RuneStr* end, const std::vector<Dag>& dags,
                std::vector<WordRange>& ranges) const {
    const size_t n = static_cast<size_t>(end - begin);
    size_t i = 0;
    while (i < n) {
      const DictUnit* unit = dags[i].best_unit;
      const size_t length = unit != nullptr ? unit->word.size() : 1;
      ranges.push_back(WordRange{begin + i, begin + i + length - 1});
      i += length;
    }
  }

  bool Tag(std::string_view sentence,
           std::vector<std::pair<std::string, std::string>>& result) const override {
    return tagger_.Tag(sentence, result, *this);
  }

  const DictTrie* GetDictTrie() const override { return dict_trie_; }

 private:
  // The rune-level cut with a fixed word limit, for the sentence driver; it
  // lives for one sentence-level call and reuses one word graph for all runs.
  struct RuneCut {
    const MPSegment* segment;
    size_t max_word_len;
    std::vector<Dag> dags;
    void operator()(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges) {
      segment->Cut(begin, end, ranges, max_word_len, dags);
    }
  };

  // Scores every position from the end backwards: best_weight is the best
  // summed weight from the position to the end of the run, best_unit the
  // first word of that best path (null: the rune alone). A score must be
  // strictly greater to replace the current best, so ties keep the earlier
  // (shorter) word and a score that is not a number never wins.
  void CalcDP(std::vector<Dag>& dags) const {
    const size_t n = dags.size();
    const double min_weight = dict_trie_->MinWeight();
    for (size_t i = n; i-- > 0;) {
      Dag& dag = dags[i];
      dag.best_unit = nullptr;
      dag.best_weight = SCORE_FLOOR;
      for (const DagEnd& end : dag.ends) {
        const size_t next = static_cast<size_t>(end.end_index) + 1;
        double score = next < n ? dags[next].best_weight : 0.0;
        score += end.unit != nullptr ? end.unit->weight : min_weight;
        if (score > dag.best_weight) {
          dag.best_unit = end.unit;
          dag.best_weight = score;
        }
      }
    }
  }

  const DictTrie* dict_trie_;
  PosTagger tagger_;
};

}  // namespace kelp::typing::text::jieba
