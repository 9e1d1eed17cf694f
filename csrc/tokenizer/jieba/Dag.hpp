// The word graph of a run of runes: one record per rune, listing the
// dictionary words that start there.
#pragma once

#include <cstdint>

#include "tokenizer/jieba/DictUnit.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/limonp/LocalVector.hpp"

namespace kelp::typing::text::jieba {

// A word starting at a graph position: the index of its last rune, counted
// from the start of the searched run, and its entry (null for the lone rune
// when the dictionary does not hold it as a word).
struct DagEnd {
  uint64_t end_index;
  const DictUnit* unit;
};

struct Dag {
  // Not `= default`: value-initialising a defaulted constructor would first
  // zero the whole record, inline room of `ends` included (256 bytes per rune).
  Dag() noexcept {}

  // The rune at this position.
  RuneStr rune_str;
  // The single-rune element first, then every longer word by increasing end
  // index. 16 elements inline: no heap allocation unless more words start here.
  limonp::LocalVector<DagEnd> ends;
  // Written by the maximum-probability step: the best word starting here
  // (null: the rune stands alone) and the best score from here to the end.
  const DictUnit* best_unit = nullptr;
  double best_weight = 0.0;
};

}  // namespace kelp::typing::text::jieba
