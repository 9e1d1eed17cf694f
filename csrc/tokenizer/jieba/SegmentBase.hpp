// The base of every segmenter: its separator runes, the abstract
// sentence-level Cut, and the one way a sentence becomes words.
//
// A concrete segmenter supplies only a rune-level cut, which appends the
// WordRanges of one run of runes; the sentence-level driver here decodes the
// sentence (PreFilter), splits it at the separators, calls that cut for each
// run and turns the ranges into words. Each separator is a word of its own.
//
// Thread-safety: after construction a segmenter is read-only, and every cut
// keeps its working state in the call, so any number of threads may cut with
// one segmenter at once. ResetSeparators must not overlap with any cut.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/PreFilter.hpp"
#include "tokenizer/jieba/RuneSet.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::jieba {

// Space, tab, line feed, fullwidth comma U+FF0C, ideographic full stop U+3002.
inline constexpr std::string_view SPECIAL_SEPARATORS{" \t\n\xEF\xBC\x8C\xE3\x80\x82", 9};

class SegmentBase {
 public:
  SegmentBase() { LIMONP_CHECK(ResetSeparators(SPECIAL_SEPARATORS)); }
  virtual ~SegmentBase() = default;

  // Cuts the UTF-8 `sentence` into words, replacing the contents of `words`.
  // Invalid UTF-8 yields no words (and an ERROR record). Throws
  // std::length_error for a sentence of 4 GiB or more.
  virtual void Cut(std::string_view sentence, std::vector<std::string>& words) const = 0;

  // Replaces the separator set by the runes of the UTF-8 string `s`. On
  // invalid UTF-8 or a repeated rune, logs an ERROR and returns false; the
  // runes inserted before the repeated one stay in the set.
  bool IsSeparator(Rune rune) const noexcept { return separators_.Contains(rune); }

  bool ResetSeparators(std::string_view s) {
    separators_.Clear();
    RuneStrVector runes;
    if (!DecodeRunesInString(s.data(), s.size(), runes)) {
      LIMONP_LOG(limonp::LL_ERROR) << "decode " << s << " failed";
      return false;
    }
    for (const RuneStr& r : runes) {
      if (!separators_.Insert(r.rune)) {
        LIMONP_LOG(limonp::LL_ERROR) << s.substr(r.byte_offset, r.byte_length) << " already exists";
        return false;
      }
    }
    return true;
  }

 protected:
  // The sentence-level driver. Calls `cut(begin, end, ranges)` for every run
  // of the sentence in order, all into one range vector, then hands that
  // vector to `consume(ranges)` while the decoded runes it points into are
  // still alive.
  template <typename RuneCut, typename Consume>
  void DriveSentence(std::string_view sentence, RuneCut&& cut, Consume&& consume) const {
    PreFilter filter(separators_, sentence);
    std::vector<WordRange> ranges;
    if (sentence.size() > 1) {
      ranges.reserve(sentence.size() / 2);
    }
    while (filter.HasMore()) {
      const PreFilter::Range run = filter.NextRange();
      cut(run.begin, run.end, ranges);
    }
    consume(static_cast<const std::vector<WordRange>&>(ranges));
  }

  // The driver producing Words (text and offsets); replaces `words`.
  template <typename RuneCut>
  void CutToWords(std::string_view sentence, std::vector<Word>& words, RuneCut&& cut) const {
    DriveSentence(sentence, cut, [&](const std::vector<WordRange>& ranges) {
      words.clear();
      words.reserve(ranges.size());
      GetWordsFromWordRanges(sentence, ranges, words);
    });
  }

  // The driver producing the words' texts; replaces `words`.
  template <typename RuneCut>
  void CutToStrings(std::string_view sentence, std::vector<std::string>& words,
                    RuneCut&& cut) const {
    DriveSentence(sentence, cut, [&](const std::vector<WordRange>& ranges) {
      GetStringsFromWordRanges(sentence, ranges, words);
    });
  }

  RuneSet separators_;
};

}  // namespace kelp::typing::text::jieba
