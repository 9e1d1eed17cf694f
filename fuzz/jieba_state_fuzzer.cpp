// Fuzz target: a whole segmenter restored from a saved state, on any bytes.
//
// The input is the state as Jieba::Serialize writes it: the magic and
// format, the dictionary, the HMM model, the keyword tables and the words
// changed at run time. fuzz/corpus/jieba_state/ holds valid states written
// by tests/cpp/StateSeedsTest.cpp.
//
// Properties:
// - restoring either builds the facade or throws limonp::StateError or
//   std::invalid_argument (a changed word that is not UTF-8); nothing else,
//   no crash, and no allocation past libFuzzer's limit;
// - a state that loads is canonical: the facade saves back exactly the
//   bytes it was restored from;
// - the facade works: a sentence of its own dictionary words and some
//   other text cuts in every mode, with the words covering the sentence in
//   the default mode, and tags and keywords come out for each word.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/limonp/Errors.hpp"

using namespace kelp::typing::text::jieba;
using kelp::typing::text::limonp::StateError;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view state(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<Jieba> facade;
  try {
    facade = Jieba::Deserialize(state);
  } catch (const StateError&) {
    return 0;
  } catch (const std::invalid_argument&) {
    return 0;
  }
  const std::string saved = facade->Serialize();
  fuzz::Check(saved == state, "a restored Jieba saves to other bytes", state, saved);

  // A sentence of the first dictionary words, changed words, and text of
  // other kinds.
  std::string sentence;
  const std::vector<DictUnit>& units = facade->LoadedDictionary().Units();
  for (size_t k = 0; k < units.size() && k < 16; ++k) {
    EncodeRunes(units[k].word.data(), units[k].word.size(), sentence);
  }
  for (const DictEdits::Entry& entry : facade->Edits()) {
    sentence += entry.word;
  }
  sentence += " abc 3.14\xEF\xBC\x8C";
  RuneStrVector runes;
  if (!DecodeRunesInString(sentence, runes)) {
    return 0;  // a changed word of runes past U+10FFFF's encoding: nothing to cut
  }
  std::vector<WordSpan> spans;
  for (const CutMode mode : {CutMode::kDefault, CutMode::kSearch, CutMode::kFull}) {
    for (const bool hmm : {true, false}) {
      facade->Cut(mode, sentence, spans, hmm);
      if (mode == CutMode::kDefault) {
        size_t covered = 0;
        for (const WordSpan& span : spans) {
          fuzz::Check(span.byte_offset == covered, "the default cut skips or repeats bytes",
                      sentence);
          covered += span.byte_length;
        }
        fuzz::Check(covered == sentence.size(), "the default cut does not cover the sentence",
                    sentence);
      }
    }
  }
  std::vector<std::string> tags;
  facade->Tag(sentence, spans, tags);
  fuzz::Check(tags.size() == spans.size(), "a tag per word", sentence);
  facade->Keywords(sentence, 5);
  return 0;
}
