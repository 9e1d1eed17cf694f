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
// A weight is written as the text of the shortest decimal that reads back
// as the same double (the file's numbers have six decimals). A plain BM25
// load() reads the model from such a file and ignores "_encoder".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bm25/BM25.hpp"
#include "encoder/SparseEncoder.hpp"
#include "tokenizer/jieba/DictEdits.hpp"

namespace kelp::typing::text {

struct EncoderFile {
  static constexpr int kFormat = 1;

  std::string version;
  EncoderSettings settings;
  std::string data;
  std::vector<jieba::DictEdits::Entry> edits;
};

// The file's text for `model` and `file`.
std::string EncoderFileText(const BM25& model, const EncoderFile& file);

// The "_encoder" member of a file's text. Throws std::runtime_error
// "not a SparseEncoder file: ..." when it is missing or malformed, or of
// another format.
EncoderFile ReadEncoderFile(std::string_view text);

}  // namespace kelp::typing::text
