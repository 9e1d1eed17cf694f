// Fuzz target: the loaders of saved object states, on any bytes.
//
// The first byte picks the loader (its value modulo 3); the rest is the
// state:
//   0  BM25::deserialize;
//   1  the HMMModel constructor from a limonp::ByteReader;
//   2  the KeywordExtractor constructor from a limonp::ByteReader: two
//      WordTable states with an f64 between them.
// fuzz/corpus/state_load/ holds one valid state of each, written by
// tests/cpp/StateSeedsTest.cpp.
//
// Properties:
// - loading either builds the object or throws limonp::StateError; nothing
//   else, no crash, and no allocation past libFuzzer's limit (a count is
//   checked against the bytes left before anything is reserved);
// - a state that loads is canonical: saving the object gives back exactly
//   the bytes it was loaded from;
// - those bytes load again, and save to the same bytes;
// - the loaded object works: a BM25 model encodes (or says it is not
//   initialized), trains on, and still saves and loads; an HMM model's
//   emission rows agree with its maps, and its cut of a sentence of its own
//   runes covers the sentence; a keyword extractor finds every idf and
//   every stop word it holds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "MemoryFile.hpp"
#include "bm25/BM25.hpp"
#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/HMMSegment.hpp"
#include "tokenizer/jieba/KeywordExtractor.hpp"
#include "tokenizer/limonp/ByteStream.hpp"
#include "tokenizer/limonp/Errors.hpp"

using namespace kelp::typing::text::jieba;
using kelp::typing::text::BM25;
using kelp::typing::text::limonp::ByteReader;
using kelp::typing::text::limonp::ByteWriter;
using kelp::typing::text::limonp::StateError;

namespace {

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

template <typename Object>
std::string StateOf(const Object& object) {
  std::string state;
  ByteWriter out(state);
  object.Save(out);
  return state;
}

// --- BM25 -------------------------------------------------------------

void CheckBM25(std::string_view state) {
  std::unique_ptr<BM25> model;
  try {
    model = std::make_unique<BM25>(BM25::deserialize(state));
  } catch (const StateError&) {
    return;
  }
  const std::string saved = model->serialize();
  fuzz::Check(saved == state, "a loaded BM25 state saves to other bytes", state, saved);
  fuzz::Check(BM25::deserialize(saved).serialize() == saved, "BM25 save, load, save changes bytes",
              saved);

  std::vector<std::string> tokens;
  model->doc_token_frequency().ForEach([&tokens](std::string_view token, std::int64_t) {
    if (tokens.size() < 8) {
      tokens.emplace_back(token);
    }
  });
  tokens.emplace_back("never seen");
  const std::vector<std::int64_t> ids{7, -3, 0, INT64_MAX, INT64_MIN};
  try {
    model->encode_document(tokens);
    model->encode_query(tokens);
    model->encode_document(ids);
    model->encode_query(ids);
  } catch (const std::runtime_error& e) {
    // A count of documents at 0 or an average near 0: not ready.
    fuzz::Check(std::string_view(e.what()) == "BM25 has not been initialized",
                "encoding threw an unexpected error", e.what());
  }
  model->train(tokens);
  model->train(ids);
  const std::string trained = model->serialize();
  fuzz::Check(BM25::deserialize(trained).serialize() == trained,
              "a trained model's state does not load back", trained);
}

// --- HMMModel ---------------------------------------------------------

// UTF-8 of a rune that can stand in valid text (not a surrogate, at most
// U+10FFFF); false for the others.
bool AppendUtf8(std::string& out, Rune rune) {
  if (rune > 0x10FFFF || (rune >= 0xD800 && rune <= 0xDFFF)) {
    return false;
  }
  EncodeRunes(&rune, 1, out);
  return true;
}

void CheckHMMModel(std::string_view state) {
  std::unique_ptr<HMMModel> model;
  ByteReader in(state);
  try {
    model = std::make_unique<HMMModel>(in);
    in.ExpectEnd();
  } catch (const StateError&) {
    return;
  }
  const std::string saved = StateOf(*model);
  fuzz::Check(saved == state, "a loaded HMM state saves to other bytes", state, saved);
  ByteReader again(saved);
  const HMMModel reloaded(again);
  fuzz::Check(again.remaining() == 0 && StateOf(reloaded) == saved,
              "HMM save, load, save changes bytes", saved);

  std::string sentence = "ab1.5 ,";
  for (std::size_t s = 0; s < STATUS_SUM; ++s) {
    for (const auto& [rune, value] : *model->emitProbByState[s]) {
      fuzz::Check(SameBits(model->EmitRow(rune)[s], value), "an emission row differs from its map",
                  state);
      if (sentence.size() < 4096) {
        AppendUtf8(sentence, rune);
      }
    }
  }
  sentence += "x\xE4\xB8\x80\xE4\xB8\x80y";
  const HMMSegment segment(model.get());
  std::vector<std::string> words;
  segment.Cut(sentence, words);
  std::string joined;
  for (const std::string& word : words) {
    fuzz::Check(!word.empty(), "an empty word", sentence);
    joined += word;
  }
  fuzz::Check(joined == sentence, "the words do not make up the sentence", sentence, joined);
}

// --- KeywordExtractor -------------------------------------------------

// The dictionary and model an extractor borrows: loaded once, never changed.
const DictTrie& Dictionary() {
  static const fuzz::MemoryFile file("a 1 n\n");
  static const DictTrie dict(file.path());
  return dict;
}

const HMMModel& Model() {
  static const std::unique_ptr<const HMMModel> model = [] {
    std::string state;
    ByteWriter out(state);
    for (int i = 0; i < 20; ++i) {
      out.WriteF64(-1.0);  // start values and transitions
    }
    for (int i = 0; i < 4; ++i) {
      out.WriteU64(0);  // no emissions
    }
    ByteReader in(state);
    return std::make_unique<const HMMModel>(in);
  }();
  return *model;
}

void CheckKeywordExtractor(std::string_view state) {
  std::unique_ptr<KeywordExtractor> extractor;
  ByteReader in(state);
  try {
    extractor = std::make_unique<KeywordExtractor>(&Dictionary(), &Model(), in);
    in.ExpectEnd();
  } catch (const StateError&) {
    return;
  }
  const std::string saved = StateOf(*extractor);
  fuzz::Check(saved == state, "a loaded keyword state saves to other bytes", state, saved);
  ByteReader again(saved);
  const KeywordExtractor reloaded(&Dictionary(), &Model(), again);
  fuzz::Check(again.remaining() == 0 && StateOf(reloaded) == saved,
              "keyword save, load, save changes bytes", saved);

  const WordTable& idf = extractor->IdfTable();
  for (std::size_t i = 0; i < idf.size() && i < 256; ++i) {
    const double* value = extractor->Idf(idf.Word(i));
    fuzz::Check(value != nullptr, "an idf word is not found", idf.Word(i));
    fuzz::Check(i == 0 || idf.Word(i - 1) < idf.Word(i), "idf words out of order", idf.Word(i));
  }
  const WordTable& stop = extractor->StopWords();
  for (std::size_t i = 0; i < stop.size() && i < 256; ++i) {
    fuzz::Check(extractor->IsStopWord(stop.Word(i)), "a stop word is not found", stop.Word(i));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::string_view state(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      CheckBM25(state);
      break;
    case 1:
      CheckHMMModel(state);
      break;
    default:
      CheckKeywordExtractor(state);
      break;
  }
  return 0;
}
