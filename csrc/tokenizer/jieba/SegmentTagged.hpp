// A segmenter that can also label its words with part-of-speech tags, from
// the dictionary it cuts with (see PosTagger).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/jieba/SegmentBase.hpp"

namespace kelp::typing::text::jieba {

class DictTrie;

class SegmentTagged : public SegmentBase {
 public:
  // Cuts `sentence` and appends one (word, tag) pair per word to `result`;
  // pairs already there stay. True when `result` is non-empty afterwards.
  virtual bool Tag(std::string_view sentence,
                   std::vector<std::pair<std::string, std::string>>& result) const = 0;

  // The dictionary this segmenter cuts with; borrowed, never null.
  virtual const DictTrie* GetDictTrie() const = 0;
};

}  // namespace kelp::typing::text::jieba
