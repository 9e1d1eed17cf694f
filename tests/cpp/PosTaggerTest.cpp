#include "tokenizer/jieba/PosTagger.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "TestFiles.hpp"
#include "tokenizer/jieba/MPSegment.hpp"

namespace jieba = kelp::typing::text::jieba;
using Pairs = std::vector<std::pair<std::string, std::string>>;

namespace {

class PosTaggerTest : public testing::Test {
 protected:
  PosTaggerTest()
      : dict_(dir_.Write("dict.txt",
                         "\xE4\xB8\xAD\xE6\x96\x87 10 nz\n"  // a tagged CJK word
                         "12ab 5 nt\n"                      // tagged: not "m"
                         "B 5 b\n"),
              dir_.Write("user.txt", "ab12\nxy\n")),  // user words without tags
        segment_(&dict_) {}

  std::string Lookup(const std::string& word) const { return tagger_.LookupTag(word, segment_); }

  razoduviva_test::ScratchDir dir_;
  const jieba::DictTrie dict_;
  const jieba::MPSegment segment_;
  jieba::PosTagger tagger_;
};

TEST_F(PosTaggerTest, ClassesFromCharacters) {
  const struct {
    std::string word;
    std::string tag;
  } cases[] = {
      {"34ab", "m"},   {"ab34", "eng"},      {"x1", "eng"},
      {"1.5", "m"},    {"\xE5\xAD\x97" "3", "m"},  {"\xE5\xAD\x97\xE8\xAF\x8D", "x"},
      {"7", "x"},      {"a", "x"},           {"", "x"},
      {"9a9a", "eng"},  {"a\xE5\xAD\x97\xE5\xAD\x97", "eng"},
      {"\xE5\xAD\x97\xE5\xAD\x97" "1", "m"},
      {"1a", "m"},     {"abc", "eng"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Lookup(c.word), c.tag) << c.word;
  }
}

TEST_F(PosTaggerTest, DictionaryTagWinsUnlessEmpty) {
  EXPECT_EQ(Lookup("\xE4\xB8\xAD\xE6\x96\x87"), "nz");
  EXPECT_EQ(Lookup("12ab"), "nt");
  EXPECT_EQ(Lookup("B"), "b");
  EXPECT_EQ(Lookup("ab12"), "eng");  // in the dictionary with an empty tag
  EXPECT_EQ(Lookup("xy"), "eng");
}

TEST_F(PosTaggerTest, InvalidUtf8IsLoggedAndTaggedX) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(Lookup("a\xE4"), "x");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" csrc/tokenizer/jieba/PosTagger.hpp:"), std::string::npos) << log;
  EXPECT_NE(log.find(" ERROR Decode failed.\n"), std::string::npos) << log;
}

TEST_F(PosTaggerTest, TagAppendsAndReportsNonEmptyResult) {
  Pairs result;
  EXPECT_FALSE(tagger_.Tag("", result, segment_));
  EXPECT_TRUE(result.empty());

  result = {{"kept", "k"}};
  EXPECT_TRUE(tagger_.Tag("", result, segment_));
  EXPECT_EQ(result, (Pairs{{"kept", "k"}}));

  EXPECT_TRUE(tagger_.Tag("\xE4\xB8\xAD\xE6\x96\x87 B7", result, segment_));
  const Pairs expected = {
      {"kept", "k"}, {"\xE4\xB8\xAD\xE6\x96\x87", "nz"}, {" ", "x"}, {"B", "b"}, {"7", "x"}};
  EXPECT_EQ(result, expected);
}

}  // namespace
