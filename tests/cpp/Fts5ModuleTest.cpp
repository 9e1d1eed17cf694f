#include "sqlite/Fts5Module.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SegmentFixture.hpp"
#include "sqlite/SegmenterCache.hpp"

using kelp::typing::text::sqlite::Fts5Module;
using kelp::typing::text::sqlite::SegmenterCache;
using namespace razoduviva_test;

namespace {

// The callbacks as FTS5 calls them, without SQLite: a folder of data
// files, a module over it, and the tokens each call hands back.
class Fts5ModuleTest : public testing::Test {
 protected:
  Fts5ModuleTest()
      : module_(dir_.Path(""), [this](int code, const char* message) {
          reports_.push_back(std::to_string(code) + " " + message);
        }) {
    dir_.Write("dict.txt", kA + kB + kC + " 100 n\n" + kA + kB + " 10 n\n");
    dir_.Write("hmm_model.txt", JoiningModel());
    dir_.Write("idf.txt", kA + kB + " 2\n");
    dir_.Write("stop_words.txt", kD + "\n");
  }

  int Create(std::vector<const char*> args, Fts5Tokenizer** out) {
    return fts5_.xCreate(&module_, args.data(), static_cast<int>(args.size()), out);
  }

  // "text start end" per token, "+" before a colocated one.
  std::vector<std::string> Tokenize(Fts5Tokenizer* tokenizer, int flags, const std::string& text) {
    std::vector<std::string> got;
    const auto add = [](void* context, int tflags, const char* token, int size, int start,
                        int end) {
      static_cast<std::vector<std::string>*>(context)->push_back(
          std::string(tflags & FTS5_TOKEN_COLOCATED ? "+" : "") + std::string(token, size) + " " +
          std::to_string(start) + " " + std::to_string(end));
      return SQLITE_OK;
    };
    EXPECT_EQ(fts5_.xTokenize(tokenizer, &got, flags, text.data(), static_cast<int>(text.size()),
                              add),
              SQLITE_OK);
    return got;
  }

  ScratchDir dir_;
  std::vector<std::string> reports_;
  Fts5Module module_;
  const fts5_tokenizer fts5_ = Fts5Module::Callbacks();
};

TEST_F(Fts5ModuleTest, TokenizesDocumentsAndQueriesOnTheBundledData) {
  Fts5Tokenizer* tokenizer = nullptr;
  ASSERT_EQ(Create({"mode", "search"}, &tokenizer), SQLITE_OK);
  const std::string text = kA + kB + kC + kD + " ";
  EXPECT_EQ(Tokenize(tokenizer, FTS5_TOKENIZE_DOCUMENT, text),
            (std::vector<std::string>{kA + kB + kC + " 0 9", "+" + kA + kB + " 0 6"}));
  EXPECT_EQ(Tokenize(tokenizer, FTS5_TOKENIZE_QUERY | FTS5_TOKENIZE_PREFIX, text),
            (std::vector<std::string>{kA + kB + kC + " 0 9"}));
  EXPECT_TRUE(Tokenize(tokenizer, FTS5_TOKENIZE_AUX, "").empty());

  // Another table on the same files shares the loaded segmenter.
  const size_t loaded = SegmenterCache::Process().size();
  Fts5Tokenizer* second = nullptr;
  ASSERT_EQ(Create({}, &second), SQLITE_OK);
  EXPECT_EQ(SegmenterCache::Process().size(), loaded);
  fts5_.xDelete(second);
  fts5_.xDelete(tokenizer);
  EXPECT_TRUE(reports_.empty());
}

// FTS5 only says "error in tokenizer constructor": the report names the
// argument or the file at fault. A failed load is not kept.
TEST_F(Fts5ModuleTest, RefusalsAreReportedWithTheirReason) {
  Fts5Tokenizer* tokenizer = nullptr;
  EXPECT_EQ(Create({"mode", "full"}, &tokenizer), SQLITE_ERROR);
  const size_t loaded = SegmenterCache::Process().size();
  const std::string missing = dir_.Path("none.txt");
  EXPECT_EQ(Create({"dict_path", missing.c_str()}, &tokenizer), SQLITE_ERROR);
  EXPECT_EQ(SegmenterCache::Process().size(), loaded);
  EXPECT_EQ(reports_, (std::vector<std::string>{
                          "1 razoduviva: mode must be default or search, not 'full'",
                          "1 razoduviva: cannot load the data: " + missing +
                              ": No such file or directory"}));
}

}  // namespace
