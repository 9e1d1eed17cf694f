#include "tokenizer/jieba/KeywordExtractor.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <string>

#include "SegmentFixture.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace jieba = kelp::typing::text::jieba;
namespace limonp = kelp::typing::text::limonp;
using jieba::KeywordExtractor;
using namespace razoduviva_test;

namespace {

class KeywordExtractorTest : public SegmentFixture {
 protected:
  void SetUp() override { Load(kA + kB + " 3 n\n"); }

  std::unique_ptr<KeywordExtractor> Make(const std::string& idf, const std::string& stop = "") {
    return std::make_unique<KeywordExtractor>(dict_.get(), model_.get(),
                                              dir_.Write("idf.txt", idf),
                                              dir_.Write("stop.txt", stop));
  }
};

TEST_F(KeywordExtractorTest, IdfTableAndAverage) {
  testing::internal::CaptureStderr();
  // Five lines: two accepted, one empty, two malformed; every line counts in
  // the divisor. The later value of a repeated word wins, and both add.
  const auto k = Make("w 2.0\n\nx  1\ny z 4\nw 3\r\n");
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(k->Idf("w"), nullptr);
  EXPECT_EQ(*k->Idf("w"), 3.0);
  EXPECT_EQ(k->Idf("x"), nullptr);
  EXPECT_EQ(k->Idf("y"), nullptr);
  EXPECT_EQ(k->IdfTable().size(), 1u);
  EXPECT_DOUBLE_EQ(k->AverageIdf(), 5.0 / 5);
  EXPECT_NE(err.find(" ERROR lineno: 1 empty. skipped.\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" ERROR line: x  1, lineno: 2 empty. skipped.\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" ERROR line: y z 4, lineno: 3 empty. skipped.\n"), std::string::npos)
      << err;
}

TEST_F(KeywordExtractorTest, IdfLineDetails) {
  testing::internal::CaptureStderr();
  // A trailing space still gives two fields; a non-numeric value reads as 0.
  const auto k = Make("a 1.5 \nb x\n" + kA + kB + " 7e-1");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(*k->Idf("a"), 1.5);
  EXPECT_EQ(*k->Idf("b"), 0.0);
  EXPECT_EQ(*k->Idf(kA + kB), 0.7);
  EXPECT_DOUBLE_EQ(k->AverageIdf(), (1.5 + 0.7) / 3);
}

TEST_F(KeywordExtractorTest, MiddleEmptyLineCountsInTheAverage) {
  testing::internal::CaptureStderr();
  const auto k = Make("a 1\n\nb 2\n");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(k->IdfTable().size(), 2u);
  EXPECT_DOUBLE_EQ(k->AverageIdf(), 1.0);
  EXPECT_NE(err.find("ERROR lineno: 1 empty. skipped.\n"), std::string::npos) << err;
}

TEST_F(KeywordExtractorTest, EmptyIdfFileGivesNotANumber) {
  testing::internal::CaptureStderr();
  const auto k = Make("");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(k->IdfTable().empty());
  EXPECT_TRUE(std::isnan(k->AverageIdf()));
}

TEST_F(KeywordExtractorTest, StopWordsAreTakenAsRead) {
  auto k = Make("a 1\n", "the\n" + kA + "\n");
  EXPECT_TRUE(k->IsStopWord("the"));
  EXPECT_TRUE(k->IsStopWord(kA));
  EXPECT_FALSE(k->IsStopWord(""));  // a final line feed adds no empty word
  EXPECT_EQ(k->StopWords().size(), 2u);

  k = Make("a 1\n", "a\n\nb\r\nb\na");
  EXPECT_TRUE(k->IsStopWord(""));
  EXPECT_TRUE(k->IsStopWord("b\r"));
  EXPECT_TRUE(k->IsStopWord("b"));
  EXPECT_FALSE(k->IsStopWord(" a"));
  EXPECT_EQ(k->StopWords().size(), 4u);
}

TEST_F(KeywordExtractorTest, UnopenableFilesAreFileErrors) {
  const std::string missing = dir_.Path("missing.txt");
  const std::string idf = dir_.Write("idf.txt", "a 1\n");
  const std::string stop = dir_.Write("stop.txt", "a\n");
  const struct {
    std::string idf;
    std::string stop;
    std::string path;
  } cases[] = {{missing, stop, missing}, {idf, missing, missing}, {missing, missing, missing}};
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    try {
      KeywordExtractor k(dict_.get(), model_.get(), c.idf, c.stop);
      ADD_FAILURE() << "loaded";
    } catch (const limonp::FileError& e) {
      EXPECT_EQ(e.path(), c.path);
      EXPECT_EQ(e.error_number(), ENOENT);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" FATAL exp: [ifs.is_open()] false. open " + c.path + " failed\n"),
              std::string::npos)
        << err;
  }
}

TEST(WordTableTest, LaterEntryWinsAndLookupsAreExact) {
  jieba::WordTable table;
  const std::vector<jieba::WordTable::Entry> entries = {
      {"b", 1}, {"a", 2}, {"ab", 3}, {"b", 4}, {"", 5}, {"a", 6}};
  table.Assign(entries, true);
  EXPECT_EQ(table.size(), 4u);
  EXPECT_EQ(*table.Find("a"), 6.0);
  EXPECT_EQ(*table.Find("b"), 4.0);
  EXPECT_EQ(*table.Find("ab"), 3.0);
  EXPECT_EQ(*table.Find(""), 5.0);
  EXPECT_EQ(table.Find("c"), nullptr);
  EXPECT_EQ(table.Find("ba"), nullptr);
  EXPECT_EQ(table.Word(0), "");
  EXPECT_EQ(table.Word(3), "b");
  table.Assign({}, false);
  EXPECT_FALSE(table.Contains(""));
}

}  // namespace
