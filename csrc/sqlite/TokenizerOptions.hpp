// The settings of one FTS5 tokenizer instance, read from the words that
// follow the tokenizer's name in `tokenize = 'razoduviva ...'`.
//
// The words come in pairs, a name and its value:
//   mode default|search           the cut (default: default)
//   hmm on|off                    the HMM step for words outside the
//                                 dictionary (default: on)
//   nfkc, casefold, t2s on|off    the folds, as SparseEncoder's (all on)
//   stop_words on|off             leave out stop words and words of white
//                                 space or punctuation only (on); off leaves
//                                 out white space alone
//   dict_path, hmm_path, user_dict_path, idf_path, stop_word_path PATH
//                                 data files in place of the bundled ones
// Switches take on, off, 1, 0, true or false. A name may be given once.
//
// Cost: a pass over the words. No state: Parse may be called from any
// number of threads at once.
#pragma once

#include <string>
#include <string_view>

#include "encoder/TextFold.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace kelp::typing::text::sqlite {

// The five data files of a segmenter, as jieba::Jieba takes them.
struct DataPaths {
  std::string dict;
  std::string hmm;
  std::string user_dict;  // empty: none
  std::string idf;
  std::string stop_words;

  friend bool operator==(const DataPaths& a, const DataPaths& b) {
    return a.dict == b.dict && a.hmm == b.hmm && a.user_dict == b.user_dict && a.idf == b.idf &&
           a.stop_words == b.stop_words;
  }

  // The bundled files in `folder` (which ends with a '/' or is empty), no
  // user dictionary.
  static DataPaths InFolder(const std::string& folder) {
    return DataPaths{folder + "dict.txt", folder + "hmm_model.txt", std::string(),
                     folder + "idf.txt", folder + "stop_words.txt"};
  }
};

struct TokenizerOptions {
  jieba::CutMode mode = jieba::CutMode::kDefault;
  bool hmm = true;
  bool stop_words = true;
  encoder::FoldOptions fold;
  DataPaths paths;

  // The options of `args[0] .. args[count - 1]`, the data files defaulting
  // to `bundled`. Throws std::invalid_argument whose message names the
  // argument at fault: "razoduviva: unknown argument 'x'", "razoduviva:
  // mode must be default or search, not 'full'", and the like.
  static TokenizerOptions Parse(const char* const* args, int count, DataPaths bundled);
};

}  // namespace kelp::typing::text::sqlite
