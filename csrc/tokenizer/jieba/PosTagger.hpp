// Part-of-speech tags for the words of a sentence.
//
// A word that the dictionary holds with a non-empty tag gets that tag; any
// other word gets a class from its characters: "m" (numeral), "eng" (ASCII
// letters) or "x" (anything else, and every one-rune word). The tagger has
// no state: it cuts and looks up through the segmenter it is handed, so it
// is as thread-safe as that segmenter.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/SegmentTagged.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::jieba {

inline constexpr char POS_M[] = "m";
inline constexpr char POS_ENG[] = "eng";
inline constexpr char POS_X[] = "x";

class PosTagger {
 public:
  // Cuts `sentence` with `segment` and appends (word, tag) for each word to
  // `result`, after the pairs it already holds. True when `result` is
  // non-empty afterwards.
  bool Tag(std::string_view sentence, std::vector<std::pair<std::string, std::string>>& result,
           const SegmentTagged& segment) const {
    std::vector<std::string> words;
    segment.Cut(sentence, words);
    result.reserve(result.size() + words.size());
    for (std::string& word : words) {
      std::string tag = LookupTag(word, segment);
      result.emplace_back(std::move(word), std::move(tag));
    }
    return !result.empty();
  }

  // The tag of one word, from `segment`'s dictionary or from its characters.
  std::string LookupTag(std::string_view word, const SegmentTagged& segment) const {
    return LookupTag(word, *segment.GetDictTrie());
  }

  // The same, from the dictionary `dict`.
  std::string LookupTag(std::string_view word, const DictTrie& dict) const {
    RuneStrVector runes;
    if (!DecodeRunesInString(word.data(), word.size(), runes)) {
      LIMONP_LOG(limonp::LL_ERROR) << "Decode failed.";
      return POS_X;
    }
    const DictUnit* unit = dict.Find(runes.begin(), runes.end());
    if (unit != nullptr && !unit->tag.empty()) {
      return unit->tag;
    }
    return SpecialRule(runes);
  }

 private:
  // Classes a word by its first ASCII runes: the scan stops once half the
  // word's length (rounded down) in ASCII runes has been counted.
  static const char* SpecialRule(const RuneStrVector& runes) {
    const size_t n = runes.size();
    if (n < 2) {
      return POS_X;
    }
    size_t ascii = 0;
    size_t digits = 0;
    for (size_t i = 0; i < n && ascii < n / 2; ++i) {
      const Rune rune = runes[i].rune;
      if (rune < 0x80) {
        ++ascii;
        if (rune >= '0' && rune <= '9') {
          ++digits;
        }
      }
    }
    if (ascii == 0) {
      return POS_X;
    }
    return ascii == digits ? POS_M : POS_ENG;
  }
};

}  // namespace kelp::typing::text::jieba
