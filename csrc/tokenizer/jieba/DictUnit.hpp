// One dictionary entry: a word, its weight and its part-of-speech tag.
#pragma once

#include <string>

#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::jieba {

struct DictUnit {
  // The word's runes; empty for a line whose word is not valid UTF-8, which
  // no lookup can then find.
  RuneVector word;
  // The entry's natural-log probability once the dictionary is built.
  double weight = 0.0;
  // Part-of-speech tag; empty for a user word given without one.
  std::string tag;
};

}  // namespace kelp::typing::text::jieba
