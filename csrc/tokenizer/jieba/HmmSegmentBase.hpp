// The sentence-level cuts of the segmenters whose cut can leave out the HMM
// step (MixSegment, QuerySegment), written once over their rune-level cut.
//
// A CRTP base: `Derived` supplies its working storage, `Derived::Workspace`,
// and the rune-level cut
//   void Cut(const RuneStr* begin, const RuneStr* end,
//            std::vector<WordRange>& ranges, bool hmm, Workspace& workspace) const;
// which appends the words of [begin, end) to `ranges`. This template adds the
// cuts of a sentence into strings (the virtual Cut of SegmentBase, with the
// HMM step), Words and WordSpans, and the rune-level cut that makes its own
// workspace. `Base` is the interface the segmenter offers: SegmentBase, or
// SegmentTagged for one that also tags.
//
// Cost: nothing over writing the cuts out in each class. Everything is
// inline and bound at compile time, so the sentence driver calls the
// derived rune-level cut directly, with no virtual call per run, and a
// sentence-level call keeps one Workspace for all the runs of its sentence.
//
// Thread-safety as for SegmentBase: every cut is const and keeps its working
// state in the call. A derived class names these cuts with
// `using HmmSegmentBase<...>::Cut;`, since its own rune-level Cut hides them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/SegmentBase.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text::jieba {

template <typename Derived, typename Base>
class HmmSegmentBase : public Base {
 public:
  void Cut(std::string_view sentence, std::vector<std::string>& words) const override {
    Cut(sentence, words, true);
  }

  void Cut(std::string_view sentence, std::vector<std::string>& words, bool hmm) const {
    this->CutToStrings(sentence, words, RuneCut{&Self(), hmm, {}});
  }

  // The words with their offsets.
  void Cut(std::string_view sentence, std::vector<Word>& words, bool hmm) const {
    this->CutToWords(sentence, words, RuneCut{&Self(), hmm, {}});
  }

  // The words as spans of the sentence.
  void Cut(std::string_view sentence, std::vector<WordSpan>& spans, bool hmm) const {
    this->DriveSentence(sentence, RuneCut{&Self(), hmm, {}},
                        [&](const std::vector<WordRange>& ranges) { GetSpansFromWordRanges(ranges, spans); });
  }

  // Rune level: appends the words of [begin, end) to `ranges`, with working
  // storage for this call alone.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges,
           bool hmm) const {
    typename Derived::Workspace workspace;
    Self().Cut(begin, end, ranges, hmm, workspace);
  }

 protected:
  // Only as the base of `Derived`.
  HmmSegmentBase() = default;

 private:
  // The rune-level cut, as the sentence driver calls it; lives for one
  // sentence-level call.
  struct RuneCut {
    const Derived* segment;
    bool hmm;
    typename Derived::Workspace workspace;
    void operator()(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges) {
      segment->Cut(begin, end, ranges, hmm, workspace);
    }
  };

  const Derived& Self() const noexcept { return static_cast<const Derived&>(*this); }
};

}  // namespace kelp::typing::text::jieba
