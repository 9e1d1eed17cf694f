// The file of a sparse encoder: the BM25 model file's five members as the
// model writes them, and beside them a member "_encoder" with what analyses
// a text the way the model's documents were analysed:
//
//   "_encoder": {
//     "format": 1,                 this layout
//     "version": "0.1.0",          the package that wrote it
//     "mode": "default", "hmm": true, "stop_words": true,
//     "data": "bundled",           the segmenter's data: "bundled" or "custom"
//     "edits": [                   the segmenter's words changed at run time
//       {"word": "...", "removed": false, "weight": "-12.5", "tag": "n"}, ...
//     ]
//   }
//
// "keep_space" came later, and is written only where it says something: a
// file without it keeps the words of white space exactly when it does not
// leave out stop words, as every encoder then did.
//
// Also in "_encoder", where the model file's own numbers (six decimals) lose
// what was given:
//     "exact": {"b": "0.3333333333333333", "k1": "1e-07",
//               "average": "51.28", "total_length": 12820},
//     "data_fingerprint": "fnv1a64:..."   of the segmenter's loaded data
// A reader prefers the exact values; files without them read as before.
//
// Format 2 adds what format 1 cannot say, and is written only when an
// encoder uses it (so that an older reader refuses such a file instead of
// misreading it): "fold": {"nfkc": true, "casefold": true, "t2s": true},
// "bigrams": 2 (the bigram field's weight), "idf": "documents",
// "stop_word_list": [...] (the encoder's own stop words), and the
// statistics beyond the word model: "bigram_model" (the five members of a
// BM25 model file, with its own "exact"; with the idf of documents its
// token counts are the number of documents holding each bigram) and
// "word_documents" ({word: number of documents holding it}).
//
// A weight or exact number is written as the text of the shortest decimal
// that reads back as the same double. A plain BM25 load() reads the word
// model from such a file and ignores "_encoder".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bm25/BM25.hpp"
#include "encoder/SparseEncoder.hpp"
#include "tokenizer/jieba/DictEdits.hpp"

namespace kelp::typing::text {

struct EncoderFile {
  static constexpr int kFormat = 1;
  static constexpr int kFieldsFormat = 2;

  // The model's parameters as given, which the model members round.
  struct Exact {
    double b = 0.0;
    double k1 = 0.0;
    double average = 0.0;
    std::int64_t total_length = 0;
  };

  std::string version;
  EncoderSettings settings;
  std::string data;
  std::vector<jieba::DictEdits::Entry> edits;
  std::string data_fingerprint;  // empty: not recorded
  std::optional<Exact> exact;    // read only; the text takes the model's own
};

// The file's text for `model` and `file`; with `extra` (the encoder's
// statistics beyond the word model), those too.
std::string EncoderFileText(const BM25& model, const EncoderFile& file,
                            const SparseEncoder::Counts* extra = nullptr);

// The "_encoder" member of a file's text. Throws std::invalid_argument
// "not a SparseEncoder file: ..." when it is missing or malformed, or of
// another format.
EncoderFile ReadEncoderFile(std::string_view text);

// The model of a file's text whose "_encoder" member is `file`: read by
// BM25::load (whose errors pass through), checked, and given the exact
// values. Throws std::invalid_argument naming the member for a negative
// document count, a negative or non-finite average, or a negative token
// count.
BM25 ReadEncoderModel(std::string_view text, const EncoderFile& file);

// The statistics beyond the word model of a file's text (empty for format
// 1), with the word model left empty and the b and k1 of `words` (the
// file's word model), for SparseEncoder::Commit. Throws as ReadEncoderModel
// does.
SparseEncoder::Counts ReadEncoderStatistics(std::string_view text, const EncoderFile& file,
                                            const BM25& words);

}  // namespace kelp::typing::text
