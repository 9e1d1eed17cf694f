// Fuzz target: the mixed, search and full segmenters of one facade, built
// once over a small fixed dictionary and HMM model, on any bytes.
//
// Properties, for each mode:
// - every word is the sentence's bytes at its offset, non-empty, with rune
//   offsets and lengths that match the sentence's decoded runes;
// - the string, Word and WordSpan forms of a cut agree;
// - text the decoder refuses yields no words; otherwise
//   - normal mode (with and without the HMM step): the words follow each
//     other and concatenate back to the sentence;
//   - search mode: the normal words, in order, each preceded only by words
//     that lie inside it;
//   - full mode: words in order of their first rune.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "MemoryFile.hpp"
#include "tokenizer/jieba/Jieba.hpp"

using namespace kelp::typing::text::jieba;

namespace {

// The data: a few words over the runes the seed corpus uses, an ASCII word,
// words that nest for search mode, and a one-rune user word.
const char* const DICT =
    "\xE4\xB8\xAD\xE5\x9B\xBD 300 ns\n"                              // 中国
    "\xE4\xB8\xAD\xE5\x9B\xBD\xE4\xBA\xBA 100 n\n"                  // 中国人
    "\xE4\xB8\xAD\xE5\x9B\xBD\xE4\xBA\xBA\xE6\xB0\x91 50 n\n"      // 中国人民
    "\xE4\xBA\xBA\xE6\xB0\x91 200 n\n"                              // 人民
    "\xE5\x9B\xBD\xE4\xBA\xBA 20 n\n"                               // 国人
    "\xE4\xB8\xAD 80 f\n"                                           // 中
    "\xE7\x9A\x84 900 uj\n"                                         // 的
    "ab 10 eng\n"
    "a 5 x\n";
const char* const USER_DICT = "\xE6\xB0\x91\n";  // 民, a one-rune user word
const char* const HMM =
    "-0.26 -3.14e+100 -3.14e+100 -1.46\n"
    "-3.14e+100 -0.51 -0.92 -3.14e+100\n"
    "-0.59 -3.14e+100 -3.14e+100 -0.81\n"
    "-3.14e+100 -0.33 -1.26 -3.14e+100\n"
    "-0.72 -3.14e+100 -3.14e+100 -0.67\n"
    "\xE5\xA5\xBD:-5.0,\xE5\xAD\xA6:-4.0\n"
    "\xE5\xA5\xBD:-6.0,\xE7\x94\x9F:-4.5\n"
    "\xE5\xAD\xA6:-7.0\n"
    "\xE5\xA5\xBD:-3.0,\xE7\x9A\x84:-2.0\n";

struct Data {
  fuzz::MemoryFile dict{DICT};
  fuzz::MemoryFile user{USER_DICT};
  fuzz::MemoryFile hmm{HMM};
  fuzz::MemoryFile idf{"\xE4\xB8\xAD\xE5\x9B\xBD 8.5\n"};
  fuzz::MemoryFile stop{"\xE7\x9A\x84\n"};
  Jieba jieba{dict.path(), hmm.path(), user.path(), idf.path(), stop.path()};
};

const Jieba& Facade() {
  static const Data* data = new Data();  // built once, kept for the run
  return data->jieba;
}

// Checks the Word form of one cut against the sentence and its runes, and
// that the other forms say the same.
void CheckWords(const char* mode, std::string_view sentence, const RuneStrVector& runes,
                const std::vector<Word>& words, const std::vector<std::string>* strings,
                const std::vector<WordSpan>* spans) {
  if (strings != nullptr) {
    fuzz::Check(strings->size() == words.size(), mode, sentence);
  }
  if (spans != nullptr) {
    fuzz::Check(spans->size() == words.size(), mode, sentence);
  }
  for (std::size_t k = 0; k < words.size(); ++k) {
    const Word& w = words[k];
    fuzz::Check(!w.text.empty() && w.rune_length > 0, "an empty word", sentence);
    fuzz::Check(w.byte_offset <= sentence.size() &&
                    sentence.substr(w.byte_offset, w.text.size()) == w.text,
                "a word that is not the sentence at its offset", sentence, w.text);
    fuzz::Check(w.rune_offset + w.rune_length <= runes.size(), "a word past the last rune", sentence);
    const RuneStr& first = runes[w.rune_offset];
    const RuneStr& last = runes[w.rune_offset + w.rune_length - 1];
    fuzz::Check(first.byte_offset == w.byte_offset &&
                    last.byte_offset + last.byte_length == w.byte_offset + w.text.size(),
                "rune and byte spans of a word disagree", sentence, w.text);
    if (strings != nullptr) {
      fuzz::Check((*strings)[k] == w.text, "string and Word forms differ", sentence);
    }
    if (spans != nullptr) {
      const WordSpan& s = (*spans)[k];
      fuzz::Check(s.byte_offset == w.byte_offset && s.byte_length == w.text.size() &&
                      s.rune_offset == w.rune_offset && s.rune_length == w.rune_length,
                  "WordSpan and Word forms differ", sentence);
    }
  }
}

void CheckTiles(std::string_view sentence, const std::vector<Word>& words) {
  std::size_t at = 0;
  for (const Word& w : words) {
    fuzz::Check(w.byte_offset == at, "normal-mode words do not follow each other", sentence, w.text);
    at += w.text.size();
  }
  fuzz::Check(at == sentence.size(), "normal-mode words do not make up the sentence", sentence);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view sentence(reinterpret_cast<const char*>(data), size);
  const Jieba& jieba = Facade();
  RuneStrVector runes;
  const bool valid = DecodeRunesInString(sentence, runes);

  std::vector<Word> mixed;
  std::vector<std::string> strings;
  std::vector<WordSpan> spans;
  jieba.Cut(CutMode::kDefault, sentence, mixed, true);
  jieba.Cut(sentence, strings, true);
  jieba.Cut(sentence, spans, true);
  CheckWords("normal mode", sentence, runes, mixed, &strings, &spans);

  std::vector<Word> plain;
  jieba.Cut(CutMode::kDefault, sentence, plain, false);
  CheckWords("normal mode without HMM", sentence, runes, plain, nullptr, nullptr);

  std::vector<Word> search;
  jieba.Cut(CutMode::kSearch, sentence, search, true);
  jieba.CutQuery(sentence, strings, true);
  jieba.CutQuery(sentence, spans, true);
  CheckWords("search mode", sentence, runes, search, &strings, &spans);

  std::vector<Word> full;
  jieba.Cut(CutMode::kFull, sentence, full);
  CheckWords("full mode", sentence, runes, full, nullptr, nullptr);

  if (!valid) {
    fuzz::Check(mixed.empty() && plain.empty() && search.empty() && full.empty(),
                "words from text the decoder refuses", sentence);
    return 0;
  }
  CheckTiles(sentence, mixed);
  CheckTiles(sentence, plain);

  // Search mode: the normal words in order; whatever comes before a normal
  // word (since the previous one) lies inside it.
  std::size_t k = 0;
  for (const Word& word : mixed) {
    while (k < search.size() && !(search[k] == word)) {
      const Word& inner = search[k];
      fuzz::Check(inner.rune_offset >= word.rune_offset &&
                      inner.rune_offset + inner.rune_length <= word.rune_offset + word.rune_length &&
                      inner.rune_length < word.rune_length,
                  "a search-mode word outside the normal word it precedes", sentence, inner.text);
      ++k;
    }
    fuzz::Check(k < search.size(), "a normal-mode word missing from search mode", sentence, word.text);
    ++k;
  }
  fuzz::Check(k == search.size(), "search-mode words after the last normal word", sentence);

  for (std::size_t i = 1; i < full.size(); ++i) {
    fuzz::Check(full[i].rune_offset > full[i - 1].rune_offset ||
                    (full[i].rune_offset == full[i - 1].rune_offset &&
                     full[i].rune_length > full[i - 1].rune_length),
                "full-mode words out of order", sentence);
  }
  return 0;
}
