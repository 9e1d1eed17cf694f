// The FTS5 tokenizer `razoduviva`: the three callbacks SQLite's FTS5 calls
// (xCreate, xDelete, xTokenize), over TokenizerOptions, SegmenterCache and
// TextTokenizer. Uses SQLite's types and constants only and calls no SQLite
// function, so it runs without SQLite too (the fuzz target and the tests
// call the callbacks directly); the extension's entry point registers it.
//
// A module is the context of one registration: where the bundled data is,
// and where to report why a tokenizer could not be made. FTS5 itself only
// says "error in tokenizer constructor", so the reason (the argument at
// fault, the data file that did not load) goes to the report function (the
// extension hands it to sqlite3_log) and to the log (standard error).
//
// Thread-safety: the module is immutable; xCreate may run on any number of
// connections at once (the segmenters come from the process's cache), and
// each tokenizer it makes serves any number of threads.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "sqlite3.h"

namespace kelp::typing::text::sqlite {

class Fts5Module {
 public:
  // Takes an SQLite result code and a message.
  using Report = std::function<void(int, const char*)>;

  // `data_folder`: the folder of the bundled files, ending with '/'.
  Fts5Module(std::string data_folder, Report report)
      : data_folder_(std::move(data_folder)), report_(std::move(report)) {}

  Fts5Module(const Fts5Module&) = delete;
  Fts5Module& operator=(const Fts5Module&) = delete;

  // The callbacks, for fts5_api::xCreateTokenizer with this module as the
  // context.
  static fts5_tokenizer Callbacks() noexcept;

  const std::string& data_folder() const noexcept { return data_folder_; }

 private:
  static int Create(void* context, const char** args, int count, Fts5Tokenizer** out) noexcept;
  static void Delete(Fts5Tokenizer* tokenizer) noexcept;
  static int Tokenize(Fts5Tokenizer* tokenizer, void* context, int flags, const char* text,
                      int size,
                      int (*token)(void*, int, const char*, int, int, int)) noexcept;

  // Reports `message` (and logs it); returns `code`.
  int Fail(int code, const std::string& message) const noexcept;

  std::string data_folder_;
  Report report_;
};

}  // namespace kelp::typing::text::sqlite
