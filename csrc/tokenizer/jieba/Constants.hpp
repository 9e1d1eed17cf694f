// Constants shared by the segmenters.
#pragma once

#include <cstddef>

namespace kelp::typing::text::jieba {

// The longest word, in runes, that the segmenters ask the word graph for.
inline constexpr size_t MAX_WORD_RUNES = 512;

// Stands for minus infinity in the dynamic programmes, and is the emission
// score of a character that the HMM model does not list.
inline constexpr double SCORE_FLOOR = -3.14e100;

}  // namespace kelp::typing::text::jieba
