// Fuzz target: the HMM model loader on any file contents, and the HMM
// segmenter over whatever model loads.
//
// Properties:
// - loading either builds a model or throws limonp::CheckError; nothing
//   else, no crash;
// - the emission rows hold exactly what the four maps hold, SCORE_FLOOR for
//   what they do not;
// - with any loaded values (NaN, infinities included) the HMM cut of a
//   sentence made of the model's own characters, ASCII and separators
//   covers it exactly: the words follow each other and concatenate back to
//   the sentence.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "MemoryFile.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/HMMSegment.hpp"
#include "tokenizer/limonp/Errors.hpp"

using namespace kelp::typing::text::jieba;
using kelp::typing::text::limonp::CheckError;

namespace {

bool SameValue(double a, double b) {
  return a == b || (a != a && b != b);  // NaN equals NaN here
}

void AppendUtf8(std::string& out, Rune rune) {
  // Runes above 0x10FFFF cannot come from the file: it takes at most four
  // bytes, so at most 21 bits, which this writes back the same way.
  EncodeRunes(&rune, 1, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  fuzz::MemoryFile file(input);
  std::unique_ptr<HMMModel> model;
  try {
    model = std::make_unique<HMMModel>(file.path());
  } catch (const CheckError&) {
    return 0;
  }

  std::string sentence = "ab1.5 ,";
  for (std::size_t state = 0; state < STATUS_SUM; ++state) {
    for (const auto& [rune, value] : *model->emitProbByState[state]) {
      fuzz::Check(SameValue(model->EmitRow(rune)[state], value), "an emission row differs from its map",
                  input);
      if (sentence.size() < 4096) {
        AppendUtf8(sentence, rune);
      }
    }
  }
  for (Rune absent : {Rune{0x10FFFF}, Rune{0x1FFFFF}, Rune{0x4E00}}) {
    bool listed = false;
    for (std::size_t state = 0; state < STATUS_SUM; ++state) {
      listed = listed || model->emitProbByState[state]->count(absent) != 0;
    }
    if (!listed) {
      for (std::size_t state = 0; state < STATUS_SUM; ++state) {
        fuzz::Check(model->EmitRow(absent)[state] == SCORE_FLOOR, "an absent rune is not at the floor",
                    input);
      }
    }
  }
  sentence += "x\xE4\xB8\x80\xE4\xB8\x80\xE4\xB8\x80y";

  RuneStrVector runes;
  if (!DecodeRunesInString(sentence, runes)) {
    return 0;  // a listed rune above the four-byte range; cannot happen
  }
  const HMMSegment segment(model.get());
  std::vector<Word> words;
  segment.Cut(sentence, words);
  std::string joined;
  for (const Word& word : words) {
    fuzz::Check(word.byte_offset == joined.size(), "a gap or overlap between words", sentence);
    fuzz::Check(!word.text.empty(), "an empty word", sentence);
    joined += word.text;
  }
  fuzz::Check(joined == sentence, "the words do not make up the sentence", sentence, joined);
  return 0;
}
