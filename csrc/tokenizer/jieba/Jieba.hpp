// The tokenizer facade: loads every data file once, owns the dictionary and
// the HMM model, builds every segmenter over them, and offers the normal cut
// (mixed dictionary and HMM segmentation) and the search cut.
//
// Files are loaded in this order, each completely before the next: main
// dictionary, user dictionaries, HMM model, idf file, stop-word file. The
// first file that cannot be opened or is malformed writes its FATAL record
// and throws (limonp::FileError or limonp::DataError); every member is held
// by value, so the members built so far are destroyed and nothing is left
// behind.
//
// Thread-safety: nothing is written after construction, and every cut keeps
// its working state in the call, so any number of threads may cut with one
// facade at once without a lock. Construction and destruction must not
// overlap with a cut. The segmenters point at dictionary_ and hmm_model_,
// so the facade neither copies nor moves; members are destroyed in reverse
// order, segmenters before the data they point at.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/FullSegment.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/HMMSegment.hpp"
#include "tokenizer/jieba/KeywordExtractor.hpp"
#include "tokenizer/jieba/MPSegment.hpp"
#include "tokenizer/jieba/MixSegment.hpp"
#include "tokenizer/jieba/QuerySegment.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace kelp::typing::text::jieba {

class Jieba {
 public:
  // Paths are UTF-8 byte strings. `userDictPath` may name several files
  // separated by '|' or ';', or none (empty).
  Jieba(const std::string& dictPath, const std::string& modelPath, const std::string& userDictPath,
        const std::string& idfPath, const std::string& stopWordPath)
      : dictionary_(dictPath, userDictPath, UserWordWeightMedian),
        hmm_model_(modelPath),
        mp_segment_(&dictionary_),
        hmm_segment_(&hmm_model_),
        mix_segment_(&dictionary_, &hmm_model_),
        full_segment_(&dictionary_),
        query_segment_(&dictionary_, &hmm_model_),
        keyword_extractor_(&dictionary_, &hmm_model_, idfPath, stopWordPath) {}

  Jieba(const Jieba&) = delete;
  Jieba& operator=(const Jieba&) = delete;

  // Normal cut: replaces `words` with the mixed segmentation of `sentence`.
  void Cut(std::string_view sentence, std::vector<std::string>& words, bool hmm = true) const {
    mix_segment_.Cut(sentence, words, hmm);
  }

  void Cut(std::string_view sentence, std::vector<WordSpan>& spans, bool hmm = true) const {
    mix_segment_.Cut(sentence, spans, hmm);
  }

  // Search cut: the normal cut plus the dictionary words of two and three
  // runes inside longer words.
  void CutQuery(std::string_view sentence, std::vector<std::string>& words,
                bool hmm = true) const {
    query_segment_.Cut(sentence, words, hmm);
  }

  void CutQuery(std::string_view sentence, std::vector<WordSpan>& spans, bool hmm = true) const {
    query_segment_.Cut(sentence, spans, hmm);
  }

  DictTrie dictionary_;
  HMMModel hmm_model_;
  MPSegment mp_segment_;
  HMMSegment hmm_segment_;
  MixSegment mix_segment_;
  FullSegment full_segment_;
  QuerySegment query_segment_;
  KeywordExtractor keyword_extractor_;
};

}  // namespace kelp::typing::text::jieba
