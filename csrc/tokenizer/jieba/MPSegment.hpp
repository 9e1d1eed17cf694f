// Maximum-probability segmentation: of all ways to cut a run of runes into
// dictionary words, the one whose summed log-probability is highest.
//
// For each run the dictionary lists the words starting at every rune (the
// word graph); positions are scored from the end backwards, and the cut
// walks forward along the best choices. A rune from which no dictionary word
// starts stands alone, scored with the dictionary's minimum weight. Of two
// choices with equal scores the first listed wins, so the shorter word.
//
// Cost: the work is linear in the number of (position, word) pairs. The
// scoring walks the trie from each position and scores the words as it
// meets them, so the word graph (some 300 bytes per rune as a list of Dag
// records) is never built: a run keeps only its best choice per position, 16
// bytes per rune, and a run of a hundred million runes does not cost tens of
// gigabytes. The dictionary is borrowed and must outlive the segmenter. Every cut is const and keeps its state in the call:
// one segmenter serves any number of threads at once.
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

  // The best way on from one position of a run: the first word (null: the
  // rune alone) and the summed weight from the position to the run's end.
  struct Choice {
    const DictUnit* unit;
    double weight;
  };

  // Working storage of the rune-level cut; a sentence-level call keeps one
  // for all its runs, so that it is allocated once per call rather than once
  // per run. Contents on entry do not matter.
  struct Workspace {
    std::vector<Choice> best;   // one per position of the run
  };

  // Rune level: appends the words of [begin, end) to `ranges` as ranges.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges,
           size_t max_word_len = MAX_WORD_RUNES) const {
    Workspace workspace;
    Cut(begin, end, ranges, max_word_len, workspace);
  }

  // The same with the caller's working storage.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges,
           size_t max_word_len, Workspace& workspace) const {
    Score(begin, end, max_word_len, workspace);
    ForEachPiece(workspace, [&](size_t first, size_t last) {
      ranges.push_back(WordRange{begin + first, begin + last});
    });
  }

  // Scores the run [begin, end) into workspace.best, position by position
  // from the end backwards: a position's best choice needs only the choices
  // after it. Of two choices with equal scores the first listed (shorter)
  // word wins, and a score that is not a number never wins.
  void Score(const RuneStr* begin, const RuneStr* end, size_t max_word_len,
             Workspace& workspace) const {
    const size_t n = static_cast<size_t>(end - begin);
    std::vector<Choice>& best = workspace.best;
    best.resize(n);
    const double min_weight = dict_trie_->MinWeight();
    for (size_t i = n; i-- > 0;) {
      Choice choice{nullptr, SCORE_FLOOR};
      // The words from position i in the word graph's order: the single
      // rune first, then by increasing length.
      dict_trie_->ForEachWordAt(begin, n, i, max_word_len, [&](size_t last, const DictUnit* unit) {
        const size_t next = last + 1;
        double score = next < n ? best[next].weight : 0.0;
        score += unit != nullptr ? unit->weight : min_weight;
        if (score > choice.weight) {
          choice = Choice{unit, score};
        }
      });
      best[i] = choice;
    }
  }

  // Calls piece(first, last) for each word along the scored choices, in
  // order; positions count from the start of the run.
  template <typename Piece>
  static void ForEachPiece(const Workspace& workspace, Piece&& piece) {
    const std::vector<Choice>& best = workspace.best;
    const size_t n = best.size();
    size_t i = 0;
    while (i < n) {
      const DictUnit* unit = best[i].unit;
      const size_t length = unit != nullptr ? unit->word.size() : 1;
      piece(i, i + length - 1);
      i += length;
    }
  }

  // Appends the ranges along the best choices of `dags`, a scored graph of
  // the whole run [begin, end).
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
  // lives for one sentence-level call and reuses one workspace for all runs.
  struct RuneCut {
    const MPSegment* segment;
    size_t max_word_len;
    Workspace workspace;
    void operator()(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges) {
      segment->Cut(begin, end, ranges, max_word_len, workspace);
    }
  };

  const DictTrie* dict_trie_;
  PosTagger tagger_;
};

}  // namespace kelp::typing::text::jieba
