#include "sqlite/TokenizerOptions.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using kelp::typing::text::jieba::CutMode;
using kelp::typing::text::sqlite::DataPaths;
using kelp::typing::text::sqlite::TokenizerOptions;

namespace {

TokenizerOptions Parse(const std::vector<const char*>& args) {
  return TokenizerOptions::Parse(args.data(), static_cast<int>(args.size()),
                                 DataPaths::InFolder("/data/"));
}

TEST(TokenizerOptionsTest, DefaultsAreTheEncodersAndTheBundledFiles) {
  const TokenizerOptions options = Parse({});
  EXPECT_EQ(options.mode, CutMode::kDefault);
  EXPECT_TRUE(options.hmm && options.stop_words);
  EXPECT_TRUE(options.fold.nfkc && options.fold.casefold && options.fold.t2s);
  EXPECT_EQ(options.paths, (DataPaths{"/data/dict.txt", "/data/hmm_model.txt", "",
                                      "/data/idf.txt", "/data/stop_words.txt"}));
}

TEST(TokenizerOptionsTest, EveryArgumentSetsItsOwnSetting) {
  const TokenizerOptions options =
      Parse({"mode", "search", "hmm", "off", "nfkc", "0", "casefold", "false", "t2s", "on",
             "stop_words", "0", "dict_path", "d", "hmm_path", "h", "user_dict_path", "u|v",
             "idf_path", "i", "stop_word_path", "s"});
  EXPECT_EQ(options.mode, CutMode::kSearch);
  EXPECT_FALSE(options.hmm || options.stop_words || options.fold.nfkc || options.fold.casefold);
  EXPECT_TRUE(options.fold.t2s);
  EXPECT_EQ(options.paths, (DataPaths{"d", "h", "u|v", "i", "s"}));
}

// A bad argument is refused with a message that names it.
TEST(TokenizerOptionsTest, BadArgumentsAreNamed) {
  const struct {
    std::vector<const char*> args;
    const char* message;
  } cases[] = {
      {{"colour", "red"}, "razoduviva: unknown argument 'colour' (known: mode, hmm,"},
      {{"mode", "full"}, "razoduviva: mode must be default or search, not 'full'"},
      {{"hmm"}, "razoduviva: argument 'hmm' needs a value"},
      {{"t2s", "yes"}, "razoduviva: t2s must be on or off (or 1 or 0), not 'yes'"},
      {{"mode", "search", "mode", "default"}, "razoduviva: argument 'mode' given twice"},
      {{"dict_path", ""}, "razoduviva: dict_path must not be empty"},
  };
  for (const auto& c : cases) {
    try {
      Parse(c.args);
      ADD_FAILURE() << "accepted: " << c.message;
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()).rfind(c.message, 0), 0u) << error.what();
    }
  }
  EXPECT_EQ(Parse({"user_dict_path", ""}).paths.user_dict, "");
}

}  // namespace
