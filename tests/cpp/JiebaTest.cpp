#include "tokenizer/jieba/Jieba.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "SegmentFixture.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace jieba = kelp::typing::text::jieba;
namespace limonp = kelp::typing::text::limonp;
using jieba::Jieba;
using namespace razoduviva_test;

namespace {

class JiebaTest : public testing::Test {
 protected:
  void SetUp() override {
    dict_ = dir_.Write("dict.txt", kA + kB + " 10 n\n" + kB + kE + " 10 n\n" + kA + kB + kE +
                                       " 50 n\n" + kC + " 5 n\n");
    hmm_ = dir_.Write("hmm.txt", JoiningModel());
    user_ = dir_.Write("user.txt", kD + "\n");
    idf_ = dir_.Write("idf.txt", kA + kB + " 2.5\n");
    stop_ = dir_.Write("stop.txt", kC + "\n");
  }

  ScratchDir dir_;
  std::string dict_, hmm_, user_, idf_, stop_;
};

TEST_F(JiebaTest, NormalAndSearchCuts) {
  const Jieba j(dict_, hmm_, user_, idf_, stop_);
  std::vector<std::string> words;
  j.Cut(kA + kB + kE + kK + kX + " " + kD + "x1", words);
  EXPECT_EQ(words, (Strings{kA + kB + kE, kK + kX, " ", kD, "x1"}));
  j.CutQuery(kA + kB + kE + kK + kX, words);
  EXPECT_EQ(words, (Strings{kA + kB, kB + kE, kA + kB + kE, kK + kX}));
  j.Cut("", words);
  EXPECT_TRUE(words.empty());
  EXPECT_EQ(*j.keyword_extractor_.Idf(kA + kB), 2.5);
  EXPECT_TRUE(j.keyword_extractor_.IsStopWord(kC));
}

TEST_F(JiebaTest, EmptyUserPathLoadsTheMainDictionaryOnly) {
  const Jieba j(dict_, hmm_, "", idf_, stop_);
  EXPECT_FALSE(j.dictionary_.IsUserSingleRuneWord(0x4E01));
  const Jieba with_user(dict_, hmm_, user_, idf_, stop_);
  EXPECT_TRUE(with_user.dictionary_.IsUserSingleRuneWord(0x4E01));
}

// The first bad file in load order is the one reported.
TEST_F(JiebaTest, FirstBadFileInLoadOrderIsReported) {
  const std::string missing = dir_.Path("missing.txt");
  const std::string bad_dict = dir_.Write("bad_dict.txt", "a b\n");
  const std::string bad_hmm = dir_.Write("bad_hmm.txt", "1 2 3\n");
  const struct {
    std::string dict, hmm, user, idf, stop;
    std::string record;  // what the FATAL record must hold
    std::string path;
    bool file_error;
  } cases[] = {
      {missing, missing, missing, missing, missing, "[ifs.is_open()] false. open " + missing + " failed.",
       missing, true},
      {bad_dict, missing, missing, missing, missing, "[buf.size() == DICT_COLUMN_NUM]", bad_dict, false},
      {dict_, missing, missing, missing, missing, "[ifs.is_open()] false. open " + missing + " failed\n",
       missing, true},
      {dict_, bad_hmm, user_, missing, missing, "[tmp.size() == STATUS_SUM]", bad_hmm, false},
      {dict_, missing, user_, missing, missing, "[ifile.is_open()]", missing, true},
      {dict_, hmm_, user_, missing, stop_, "[ifs.is_open()] false. open " + missing + " failed\n",
       missing, true},
      {dict_, hmm_, user_, idf_, missing, "[ifs.is_open()] false. open " + missing + " failed\n",
       missing, true},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    try {
      Jieba j(c.dict, c.hmm, c.user, c.idf, c.stop);
      ADD_FAILURE() << "constructed";
    } catch (const limonp::FileError& e) {
      EXPECT_TRUE(c.file_error) << e.what();
      EXPECT_EQ(e.path(), c.path);
      EXPECT_EQ(e.error_number(), ENOENT);
    } catch (const limonp::DataError& e) {
      EXPECT_FALSE(c.file_error) << e.what();
      EXPECT_EQ(e.path(), c.path);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    // Exactly one FATAL record: loading stops at the first failure.
    EXPECT_EQ(err.find(" FATAL "), err.rfind(" FATAL ")) << err;
    EXPECT_NE(err.find(" FATAL exp: " + c.record), std::string::npos) << err;
  }
}

// Working storage is kept across the runs of a sentence: a sentence cuts
// exactly as its runs cut one by one.
TEST_F(JiebaTest, EachRunCutsAsItWouldAlone) {
  const Jieba j(dict_, hmm_, user_, idf_, stop_);
  const std::vector<std::string> runs = {kA + kB + kE + kK + kX + kC + kC + kC + kC + kC,
                                         kK + kX, "ab12", kY + kY + kD + kA + kB, kF};
  for (const std::string& separator : {std::string(" "), std::string("\xEF\xBC\x8C")}) {
    std::string sentence;
    std::vector<std::string> normal, search, words;
    for (const std::string& run : runs) {
      sentence += run + separator;
      j.Cut(run, words);
      normal.insert(normal.end(), words.begin(), words.end());
      normal.push_back(separator);
      j.CutQuery(run, words);
      search.insert(search.end(), words.begin(), words.end());
      search.push_back(separator);
    }
    j.Cut(sentence, words);
    EXPECT_EQ(words, normal);
    j.CutQuery(sentence, words);
    EXPECT_EQ(words, search);
    j.full_segment_.Cut(sentence, words);
    std::vector<std::string> full;
    for (const std::string& run : runs) {
      std::vector<std::string> run_words;
      j.full_segment_.Cut(run, run_words);
      full.insert(full.end(), run_words.begin(), run_words.end());
      full.push_back(separator);
    }
    EXPECT_EQ(words, full);
  }
}

TEST_F(JiebaTest, ConcurrentCutsMatchSerialCuts) {
  const Jieba j(dict_, hmm_, user_, idf_, stop_);
  std::vector<std::string> sentences;
  const std::string pieces[] = {kA, kB, kE, kC, kD, kK, kX, kY, kF, " ", "a", "1", "."};
  unsigned seed = 1;
  for (int s = 0; s < 200; ++s) {
    std::string sentence;
    for (int i = 0; i < 5 + s % 40; ++i) {
      seed = seed * 1103515245u + 12345u;
      sentence += pieces[(seed >> 16) % 13];
    }
    sentences.push_back(sentence);
  }
  std::vector<std::vector<std::string>> normal(sentences.size()), search(sentences.size());
  for (size_t s = 0; s < sentences.size(); ++s) {
    j.Cut(sentences[s], normal[s]);
    j.CutQuery(sentences[s], search[s]);
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::string> words;
      for (int round = 0; round < 20; ++round) {
        for (size_t s = 0; s < sentences.size(); ++s) {
          j.Cut(sentences[s], words);
          mismatches[t] += words != normal[s];
          j.CutQuery(sentences[s], words);
          mismatches[t] += words != search[s];
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(mismatches, (std::vector<int>{0, 0, 0, 0}));
}

}  // namespace
