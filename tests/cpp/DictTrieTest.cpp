#include "tokenizer/jieba/DictTrie.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <memory>
#include <string>

#include "TestFiles.hpp"

namespace jieba = kelp::typing::text::jieba;
namespace limonp = kelp::typing::text::limonp;
using jieba::DictTrie;
using jieba::DictUnit;

namespace {

const DictUnit* FindWord(const DictTrie& dict, const std::string& word) {
  jieba::RuneStrVector runes;
  EXPECT_TRUE(jieba::DecodeRunesInString(word, runes));
  return dict.Find(runes.begin(), runes.end());
}

// The part of a captured FATAL record after its time stamp.
std::string AfterTime(const std::string& record) {
  return record.size() > 20 ? record.substr(20) : record;
}

class DictTrieTest : public testing::Test {
 protected:
  razoduviva_test::ScratchDir dir_;
};

// Frequencies 1, 2, 3, 4: total 10.
const char kFourWords[] = "A 1 a\nB 2 b\nC 3 c\nD 4 d\n";

TEST_F(DictTrieTest, WeightsAreLogProbabilitiesWithMinMedianMax) {
  const DictTrie dict(dir_.Write("dict.txt", kFourWords));
  EXPECT_DOUBLE_EQ(dict.TotalFreq(), 10.0);
  EXPECT_DOUBLE_EQ(FindWord(dict, "A")->weight, std::log(0.1));
  EXPECT_DOUBLE_EQ(FindWord(dict, "B")->weight, std::log(0.2));
  EXPECT_DOUBLE_EQ(FindWord(dict, "C")->weight, std::log(0.3));
  EXPECT_DOUBLE_EQ(FindWord(dict, "D")->weight, std::log(0.4));
  EXPECT_EQ(FindWord(dict, "D")->tag, "d");
  EXPECT_DOUBLE_EQ(dict.MinWeight(), std::log(0.1));
  EXPECT_DOUBLE_EQ(dict.MaxWeight(), std::log(0.4));
  EXPECT_DOUBLE_EQ(dict.MedianWeight(), std::log(0.3));  // index 4/2 of the sorted weights
  EXPECT_DOUBLE_EQ(dict.UserWordWeight(), std::log(0.3));
  EXPECT_EQ(dict.Units().size(), 4u);
  EXPECT_EQ(dict.Units().capacity(), 4u);
}

TEST_F(DictTrieTest, UserWordWeightOptions) {
  const std::string path = dir_.Write("dict.txt", "D 4 d\nB 2 b\nA 1 a\n");
  const struct {
    jieba::UserWordWeightOption option;
    double weight;
  } cases[] = {
      {jieba::UserWordWeightMin, std::log(1.0 / 7)},
      {jieba::UserWordWeightMedian, std::log(2.0 / 7)},
      {jieba::UserWordWeightMax, std::log(4.0 / 7)},
      {static_cast<jieba::UserWordWeightOption>(9), std::log(4.0 / 7)},
  };
  for (const auto& c : cases) {
    const DictTrie dict(path, "", c.option);
    EXPECT_DOUBLE_EQ(dict.UserWordWeight(), c.weight) << c.option;
  }
}

TEST_F(DictTrieTest, LineFormsThatLoad) {
  // Trailing space: still three columns. Carriage return: part of the tag.
  // Frequency read as by atof. Last line without a line feed.
  const DictTrie dict(dir_.Write("dict.txt",
                                 "\xE4\xB8\xAD 3 n \n"
                                 "\xE6\x96\x87 2.5x v\r\n"
                                 "ab nope eng\n"
                                 "cd 0.5 x"));
  EXPECT_EQ(FindWord(dict, "\xE4\xB8\xAD")->tag, "n");
  EXPECT_EQ(FindWord(dict, "\xE6\x96\x87")->tag, "v\r");
  EXPECT_DOUBLE_EQ(dict.TotalFreq(), 6.0);
  EXPECT_DOUBLE_EQ(FindWord(dict, "\xE6\x96\x87")->weight, std::log(2.5 / 6.0));
  EXPECT_EQ(FindWord(dict, "ab")->weight, -INFINITY);
  EXPECT_EQ(FindWord(dict, "cd")->tag, "x");
}

TEST_F(DictTrieTest, MalformedMainLinesAreDataErrorsWithTheirRecord) {
  const struct {
    std::string content;
    size_t line;
    std::string shown;  // the line as the message quotes it
  } cases[] = {
      {"A 1 a\nB  2 b\n", 2, "B  2 b"},
      {"A 1 a\n\nB 2 b\n", 2, ""},
      {"A 1\n", 1, "A 1"},
      {"A 1 a b\n", 1, "A 1 a b"},
      {"\n", 1, ""},
      {"A 1 a\r\nB\t2 b\r\n", 2, "B\t2 b\r"},
  };
  for (const auto& c : cases) {
    const std::string path = dir_.Write("bad.txt", c.content);
    const std::string message = "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:" + c.shown;
    testing::internal::CaptureStderr();
    try {
      DictTrie dict(path);
      ADD_FAILURE() << "loaded " << c.content;
    } catch (const limonp::DataError& e) {
      EXPECT_EQ(e.path(), path);
      EXPECT_EQ(e.line(), c.line);
      // The exception says what is wrong in the file format's words; the
      // record keeps the check's text.
      const std::string what = e.what();
      EXPECT_EQ(what.rfind(path + ":" + std::to_string(c.line) + ": ", 0), 0u) << what;
      EXPECT_NE(what.find("a dictionary line is a word, a frequency and a tag"), std::string::npos)
          << what;
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(AfterTime(log).substr(0, 34), "csrc/tokenizer/jieba/DictTrie.hpp:")
        << log;
    EXPECT_NE(log.find(" FATAL " + message + "\n"), std::string::npos) << log;
  }
}

TEST_F(DictTrieTest, EmptyMainDictionaryIsADataErrorOfTheWholeFile) {
  const std::string path = dir_.Write("empty.txt", "");
  testing::internal::CaptureStderr();
  try {
    DictTrie dict(path);
    ADD_FAILURE() << "loaded an empty dictionary";
  } catch (const limonp::DataError& e) {
    EXPECT_EQ(e.line(), 0u);
    EXPECT_EQ(std::string(e.what()), path + ":0: the dictionary has no entries");
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" FATAL exp: [!static_node_infos_.empty()] false. \n"), std::string::npos)
      << log;
}

TEST_F(DictTrieTest, MainDictionaryThatCannotBeOpenedIsAFileError) {
  const struct {
    std::string path;
    int error;
  } cases[] = {
      {dir_.Path("missing.txt"), ENOENT},
      {dir_.Path(""), EISDIR},  // the folder itself
      {"", ENOENT},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    try {
      DictTrie dict(c.path);
      ADD_FAILURE() << "opened [" << c.path << "]";
    } catch (const limonp::FileError& e) {
      EXPECT_EQ(e.error_number(), c.error) << c.path;
      EXPECT_EQ(e.path(), c.path);
      EXPECT_EQ(std::string(e.what()), "exp: [ifs.is_open()] false. open " + c.path + " failed.");
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(" FATAL exp: [ifs.is_open()] false. open " + c.path + " failed.\n"),
              std::string::npos)
        << log;
  }
}

TEST_F(DictTrieTest, UnreadableFileReportsPermission) {
  if (geteuid() == 0) {
    GTEST_SKIP() << "root reads any file";
  }
  const std::string path = dir_.Write("locked.txt", kFourWords);
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  testing::internal::CaptureStderr();
  try {
    DictTrie dict(path);
    ADD_FAILURE() << "opened a file without read permission";
  } catch (const limonp::FileError& e) {
    EXPECT_EQ(e.error_number(), EACCES);
  }
  testing::internal::GetCapturedStderr();
}

TEST_F(DictTrieTest, UserLinesByColumnCount) {
  const std::string main = dir_.Write("dict.txt", kFourWords);
  const std::string user = dir_.Write("user.txt",
                                      "\xE4\xB8\xAD\n"              // word only
                                      "\xE6\x96\x87 nz\n"           // word, tag
                                      "\xE5\xAD\x97 5 v\n"          // word, frequency, tag
                                      "\xE8\xAF\x8D 2.9 q\n"        // frequency read as an integer
                                      "\xE5\x8F\xA5 many w\n"       // not a number: weight ln 0
                                      "\n"                          // skipped
                                      "\xE7\xBB\x84 1 2 3\n"        // four columns: no runes
                                      "\xE7\xBA\xB8\r\n"            // carriage return in the word
                                      "\xE9\xA1\xB5 t\r\n");        // carriage return in the tag
  const DictTrie dict(main, user);
  const DictUnit* zhong = FindWord(dict, "\xE4\xB8\xAD");
  ASSERT_NE(zhong, nullptr);
  EXPECT_DOUBLE_EQ(zhong->weight, std::log(0.3));
  EXPECT_EQ(zhong->tag, "");
  EXPECT_EQ(FindWord(dict, "\xE6\x96\x87")->tag, "nz");
  EXPECT_DOUBLE_EQ(FindWord(dict, "\xE6\x96\x87")->weight, std::log(0.3));
  EXPECT_DOUBLE_EQ(FindWord(dict, "\xE5\xAD\x97")->weight, std::log(0.5));
  EXPECT_EQ(FindWord(dict, "\xE5\xAD\x97")->tag, "v");
  EXPECT_DOUBLE_EQ(FindWord(dict, "\xE8\xAF\x8D")->weight, std::log(0.2));
  EXPECT_EQ(FindWord(dict, "\xE5\x8F\xA5")->weight, -INFINITY);
  EXPECT_EQ(FindWord(dict, "\xE7\xBB\x84"), nullptr);
  EXPECT_EQ(FindWord(dict, "\xE7\xBA\xB8"), nullptr);
  EXPECT_NE(FindWord(dict, "\xE7\xBA\xB8\r"), nullptr);
  EXPECT_EQ(FindWord(dict, "\xE9\xA1\xB5")->tag, "t\r");
  // Main entries, then one entry per non-empty user line, the four-column one included.
  ASSERT_EQ(dict.Units().size(), 4u + 8u);
  EXPECT_EQ(dict.Units()[9].word.size(), 0u);
  // The statistics describe the main dictionary alone.
  EXPECT_DOUBLE_EQ(dict.TotalFreq(), 10.0);
  EXPECT_DOUBLE_EQ(dict.MinWeight(), std::log(0.1));
  EXPECT_DOUBLE_EQ(dict.MaxWeight(), std::log(0.4));
}

TEST_F(DictTrieTest, UserEntryReplacesMainEntry) {
  const std::string main = dir_.Write("dict.txt", "AB 6 n\nA 2 a\nB 2 b\n");
  const std::string user = dir_.Write("user.txt", "AB 2 nz\n");
  const DictTrie dict(main, user);
  EXPECT_EQ(FindWord(dict, "AB")->tag, "nz");
  EXPECT_DOUBLE_EQ(FindWord(dict, "AB")->weight, std::log(0.2));
  EXPECT_DOUBLE_EQ(dict.MaxWeight(), std::log(0.6));
}

TEST_F(DictTrieTest, PathListLoadsFilesInOrder) {
  const std::string main = dir_.Write("dict.txt", kFourWords);
  const std::string a = dir_.Write("a.txt", "W ta\nX ta\nY ta\n");
  const std::string b = dir_.Write("b.txt", "X tb\nY tb\n");
  const std::string c = dir_.Write("c.txt", "Y tc\n");
  const DictTrie dict(main, a + "|" + b + ";" + c);
  EXPECT_EQ(FindWord(dict, "W")->tag, "ta");
  EXPECT_EQ(FindWord(dict, "X")->tag, "tb");
  EXPECT_EQ(FindWord(dict, "Y")->tag, "tc");
  // A trailing separator adds no path.
  const DictTrie trailing(main, a + ";");
  EXPECT_EQ(FindWord(trailing, "W")->tag, "ta");
}

TEST_F(DictTrieTest, LaterLineOfOneFileWins) {
  const DictTrie dict(dir_.Write("dict.txt", "A 1 first\nB 1 b\nA 3 second\n"));
  EXPECT_EQ(FindWord(dict, "A")->tag, "second");
  EXPECT_DOUBLE_EQ(FindWord(dict, "A")->weight, std::log(0.6));
  EXPECT_DOUBLE_EQ(dict.TotalFreq(), 5.0);
}

TEST_F(DictTrieTest, UserDictionaryThatCannotBeOpenedIsAFileError) {
  const std::string main = dir_.Write("dict.txt", kFourWords);
  const std::string good = dir_.Write("user.txt", "X\n");
  const struct {
    std::string list;
    std::string bad_path;
  } cases[] = {
      {"|", ""},
      {good + "||" + good, ""},
      {good + ";" + dir_.Path("none.txt"), dir_.Path("none.txt")},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    try {
      DictTrie dict(main, c.list);
      ADD_FAILURE() << "loaded " << c.list;
    } catch (const limonp::FileError& e) {
      EXPECT_EQ(e.path(), c.bad_path);
      EXPECT_EQ(e.error_number(), ENOENT);
      EXPECT_EQ(std::string(e.what()), "exp: [ifs.is_open()] false. open " + c.bad_path + " failed");
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(" FATAL exp: [ifs.is_open()] false. open " + c.bad_path + " failed\n"),
              std::string::npos)
        << log;
  }
}

TEST_F(DictTrieTest, UserSingleRuneWords) {
  const std::string main = dir_.Write("dict.txt", "\xE4\xB8\xAD 1 n\nAB 1 n\n");
  const std::string user = dir_.Write("user.txt", "\xE6\x96\x87\nCD\nE x\n");
  const DictTrie dict(main, user);
  EXPECT_TRUE(dict.IsUserSingleRuneWord(0x6587));
  EXPECT_TRUE(dict.IsUserSingleRuneWord('E'));
  EXPECT_FALSE(dict.IsUserSingleRuneWord(0x4E2D));  // main dictionary only
  EXPECT_FALSE(dict.IsUserSingleRuneWord('C'));
}

TEST_F(DictTrieTest, InvalidUtf8WordIsLoggedAndNeverFound) {
  const std::string main = dir_.Write("dict.txt", "A 1 a\n\xFF 3 bad\nB 4 b\n");
  const std::string user = dir_.Write("user.txt", "\xE4\xB8\n");
  testing::internal::CaptureStderr();
  const DictTrie dict(main, user);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" ERROR Decode \xFF failed.\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" ERROR Decode \xE4\xB8 failed.\n"), std::string::npos) << log;
  EXPECT_NE(log.find("csrc/tokenizer/jieba/DictTrie.hpp:"), std::string::npos) << log;
  ASSERT_EQ(dict.Units().size(), 4u);
  EXPECT_EQ(dict.Units()[1].word.size(), 0u);
  // The undecodable line keeps its own frequency and tag.
  EXPECT_EQ(dict.Units()[1].tag, "bad");
  EXPECT_DOUBLE_EQ(dict.TotalFreq(), 8.0);
  EXPECT_DOUBLE_EQ(dict.MedianWeight(), std::log(3.0 / 8));
}

TEST_F(DictTrieTest, NotANumberWeightsKeepTheStatisticsDefined) {
  // A negative frequency gives a weight that is not a number; it sorts
  // after every number.
  const DictTrie dict(dir_.Write("dict.txt", "A -1 a\nB 3 b\nC 2 c\nD 2 d\n"));
  EXPECT_DOUBLE_EQ(dict.MinWeight(), std::log(2.0 / 6));
  EXPECT_DOUBLE_EQ(dict.MedianWeight(), std::log(3.0 / 6));
  EXPECT_TRUE(std::isnan(dict.MaxWeight()));
}

// User lines that cannot take the effect meant are read as always, each
// with a WARN record naming the file and the line.
TEST_F(DictTrieTest, IneffectiveUserLinesAreWarnedAbout) {
  const std::string main = dir_.Write("main.txt", "A 10 n\nB 20 v\n");
  const std::string user = dir_.Write(
      "user.txt", "AB 5\nCD 0 n\nEF x n\nGH\t3\na b c d\nIJ 3 n\nKL\nMN -2 n\n");
  testing::internal::CaptureStderr();
  const DictTrie dict(main, user);
  const std::string log = testing::internal::GetCapturedStderr();
  for (const int line : {1, 2, 3, 4, 5, 8}) {
    EXPECT_NE(log.find(" WARN " + user + ":" + std::to_string(line) + ": "), std::string::npos)
        << line << "\n" << log;
  }
  for (const int line : {6, 7}) {
    EXPECT_EQ(log.find(" WARN " + user + ":" + std::to_string(line) + ": "), std::string::npos)
        << line;
  }
  EXPECT_NE(log.find("read as a tag"), std::string::npos) << log;
}

}  // namespace
