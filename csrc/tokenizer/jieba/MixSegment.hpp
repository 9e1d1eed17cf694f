// Mixed segmentation, the normal cut mode: the maximum-probability
// dictionary cut first, then every stretch of consecutive one-rune pieces
// that are not user-dictionary words is re-cut by the HMM segmenter, so that
// words missing from the dictionary (names, new words, ASCII words and
// numbers) come out whole.
//
// Multi-rune dictionary words are never re-cut. A one-rune word that only
// the main dictionary lists goes to the HMM like an unknown character; a
// one-rune user word stays a word and ends the stretch.
//
// The dictionary and the model are borrowed and must outlive the segmenter.
// Every cut is const and keeps its working state in the call: one segmenter
// serves any number of threads at once.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/HMMSegment.hpp"
#include "tokenizer/jieba/HmmSegmentBase.hpp"
#include "tokenizer/jieba/MPSegment.hpp"
#include "tokenizer/jieba/PosTagger.hpp"
#include "tokenizer/jieba/SegmentTagged.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::jieba {

class MixSegment : public HmmSegmentBase<MixSegment, SegmentTagged> {
 public:
  // Working storage of the rune-level cut. A sentence-level call keeps one
  // for all its runs, so that its vectors are allocated once per call
  // rather than once per run; contents on entry do not matter.
  using Workspace = MPSegment::Workspace;

  MixSegment(const DictTrie* dictTrie, const HMMModel* model)
      : mp_segment_(dictTrie), hmm_segment_(model) {}

  // The sentence-level cuts and the rune-level cut without a workspace.
  using HmmSegmentBase<MixSegment, SegmentTagged>::Cut;

  // Rune level: appends the words of [begin, end) to `ranges`, with the
  // caller's working storage.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges, bool hmm,
           Workspace& workspace) const {
    if (!hmm) {
      mp_segment_.Cut(begin, end, ranges, MAX_WORD_RUNES, workspace);
      return;
    }
    const DictTrie& dict = *mp_segment_.GetDictTrie();
    mp_segment_.Score(begin, end, MAX_WORD_RUNES, workspace);
    // Walks the dictionary pieces straight from the scored choices. A piece
    // the HMM may re-cut is one rune that no user dictionary lists; a
    // stretch of such pieces is pending from `loose` up to the current one.
    const RuneStr* loose = nullptr;
    MPSegment::ForEachPiece(workspace, [&](size_t first, size_t last) {
      const RuneStr* piece = begin + first;
      if (first == last && !dict.IsUserSingleRuneWord(piece->rune)) {
        if (loose == nullptr) {
          loose = piece;
        }
        return;
      }
      if (loose != nullptr) {
        hmm_segment_.Cut(loose, piece, ranges);
        loose = nullptr;
      }
      ranges.push_back(WordRange{piece, begin + last});
    });
    if (loose != nullptr) {
      hmm_segment_.Cut(loose, end, ranges);
    }
  }

  bool Tag(std::string_view sentence,
           std::vector<std::pair<std::string, std::string>>& result) const override {
    return tagger_.Tag(sentence, result, *this);
  }

  const DictTrie* GetDictTrie() const override { return mp_segment_.GetDictTrie(); }

 private:
  MPSegment mp_segment_;
  HMMSegment hmm_segment_;
  PosTagger tagger_;
};

}  // namespace kelp::typing::text::jieba
