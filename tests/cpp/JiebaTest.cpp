#include "tokenizer/jieba/Jieba.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <memory>
#include <stdexcept>
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
  EXPECT_EQ(*j.IdfTable().Find(kA + kB), 2.5);
  EXPECT_TRUE(j.StopWords().Contains(kC));
}

TEST_F(JiebaTest, EmptyUserPathLoadsTheMainDictionaryOnly) {
  const Jieba j(dict_, hmm_, "", idf_, stop_);
  EXPECT_FALSE(j.LoadedDictionary().IsUserSingleRuneWord(0x4E01));
  const Jieba with_user(dict_, hmm_, user_, idf_, stop_);
  EXPECT_TRUE(with_user.LoadedDictionary().IsUserSingleRuneWord(0x4E01));
}

// A path holding a NUL byte is refused by its name before any file is
// read (every other path here names a missing file); of two such paths the
// first in order is named.
TEST_F(JiebaTest, PathWithANulByteIsRefusedBeforeAnyFileIsRead) {
  const std::string missing = dir_.Path("missing.txt");
  const std::string cut_short = dict_ + std::string("\0.txt", 5);
  const char* const names[] = {"dict_path", "hmm_path", "user_dict_path", "idf_path",
                               "stop_word_path"};
  for (size_t k = 0; k < 5; ++k) {
    std::string paths[5] = {missing, missing, missing, missing, missing};
    paths[k] = cut_short;
    if (k + 1 < 5) {
      paths[k + 1] = cut_short;
    }
    testing::internal::CaptureStderr();
    try {
      Jieba j(paths[0], paths[1], paths[2], paths[3], paths[4]);
      ADD_FAILURE() << "constructed";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), std::string(names[k]) + ": embedded null byte");
    } catch (const std::exception& e) {
      ADD_FAILURE() << names[k] << ": " << e.what();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << names[k];
  }
}

// The loaded data, as the accessors give it, leaves out the words added
// and removed at run time; the cuts see them.
TEST_F(JiebaTest, LoadedDictionaryLeavesOutRunTimeChanges) {
  Jieba j(dict_, hmm_, user_, idf_, stop_);
  const size_t entries = j.LoadedDictionary().Units().size();
  j.AddWord(kF + kY, 50.0, std::nullopt);
  j.RemoveWord(kD);  // the loaded one-rune user word
  std::vector<std::string> words;
  j.Cut(kF + kY + kD, words);
  EXPECT_EQ(words, (Strings{kF + kY, kD}));
  jieba::RuneStrVector runes;
  ASSERT_TRUE(jieba::DecodeRunesInString(kF + kY, runes));
  EXPECT_EQ(j.LoadedDictionary().Find(runes.begin(), runes.end()), nullptr);
  EXPECT_TRUE(j.LoadedDictionary().IsUserSingleRuneWord(0x4E01));  // D
  EXPECT_EQ(j.LoadedDictionary().Units().size(), entries);
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

// The FATAL record of a data file that cannot be opened names the loader
// of that file, with its own message: a full stop for the main dictionary
// only.
TEST_F(JiebaTest, OpenFailuresAreRecordedByTheirLoaders) {
  const std::string missing = dir_.Path("missing.txt");
  const std::string dict_trie = "csrc/tokenizer/jieba/DictTrie.hpp:";
  const std::string extractor = "csrc/tokenizer/jieba/KeywordExtractor.hpp:";
  const struct {
    std::string dict, user, idf, stop;
    std::string source;
    std::string suffix;
  } cases[] = {
      {missing, user_, idf_, stop_, dict_trie, "."},
      {dict_, missing, idf_, stop_, dict_trie, ""},
      {dict_, user_ + "|" + missing, idf_, stop_, dict_trie, ""},
      {dict_, user_, missing, stop_, extractor, ""},
      {dict_, user_, idf_, missing, extractor, ""},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(Jieba(c.dict, hmm_, c.user, c.idf, c.stop), limonp::FileError);
    const std::string err = testing::internal::GetCapturedStderr();
    // "YYYY-MM-DD hh:mm:ss " comes first.
    EXPECT_EQ(err.substr(20, c.source.size()), c.source) << err;
    EXPECT_NE(err.find(" FATAL exp: [ifs.is_open()] false. open " + missing + " failed" +
                       c.suffix + "\n"),
              std::string::npos)
        << err;
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
    j.Cut(jieba::CutMode::kFull, sentence, words);
    std::vector<std::string> full;
    for (const std::string& run : runs) {
      std::vector<std::string> run_words;
      j.Cut(jieba::CutMode::kFull, run, run_words);
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


// The words of `sentence` in each mode, as one list per mode.
std::vector<Strings> AllModes(const Jieba& j, const std::string& sentence, bool hmm = true) {
  std::vector<Strings> out(3);
  j.Cut(jieba::CutMode::kDefault, sentence, out[0], hmm);
  j.Cut(jieba::CutMode::kSearch, sentence, out[1], hmm);
  j.Cut(jieba::CutMode::kFull, sentence, out[2], hmm);
  return out;
}

TEST_F(JiebaTest, ModesDispatchToTheirSegmenters) {
  const Jieba j(dict_, hmm_, user_, idf_, stop_);
  // The segmenters of each mode, over the same files loaded apart.
  const jieba::DictTrie dictionary(dict_, user_, jieba::UserWordWeightMedian);
  const jieba::HMMModel model(hmm_);
  const std::string sentence = kA + kB + kE + kK + kX + " " + kF + kC;
  Strings mix, query, full;
  jieba::MixSegment(&dictionary, &model).Cut(sentence, mix, false);
  jieba::QuerySegment(&dictionary, &model).Cut(sentence, query, false);
  jieba::FullSegment(&dictionary).Cut(sentence, full);
  EXPECT_EQ(AllModes(j, sentence, false), (std::vector<Strings>{mix, query, full}));
  std::vector<jieba::WordSpan> spans;
  j.Cut(jieba::CutMode::kFull, sentence, spans);
  ASSERT_EQ(spans.size(), full.size());
  for (size_t k = 0; k < spans.size(); ++k) {
    EXPECT_EQ(sentence.substr(spans[k].byte_offset, spans[k].byte_length), full[k]);
  }
}

// A word added at run time is found by every mode from the next call on,
// and removing it again gives back exactly the loaded behaviour.
TEST_F(JiebaTest, AddedWordsJoinEveryModeAndRemovalRestoresTheLoadedCut) {
  Jieba j(dict_, hmm_, user_, idf_, stop_);
  const std::string sentence = kF + kY + kK + kX + " " + kA + kB + kE + kF + kY;
  const std::vector<Strings> loaded = AllModes(j, sentence);
  j.AddWord(kF + kY + kK, 1000.0, std::string_view("nz"));
  const std::vector<Strings> added = AllModes(j, sentence);
  EXPECT_EQ(added[0], (Strings{kF + kY + kK, kX, " ", kA + kB + kE, kF, kY}));
  EXPECT_EQ(added[2][0], kF + kY + kK);
  std::vector<jieba::WordSpan> spans;
  std::vector<std::string> tags;
  j.Tag(sentence, spans, tags);
  EXPECT_EQ(tags[0], "nz");
  j.RemoveWord(kF + kY + kK);
  EXPECT_EQ(AllModes(j, sentence), loaded);
  EXPECT_TRUE(j.Edits().empty());
}

// Removing a loaded word behaves as a dictionary that never had it.
TEST_F(JiebaTest, RemovedWordsBehaveAsNeverLoaded) {
  Jieba j(dict_, hmm_, user_, idf_, stop_);
  // The same dictionary without ABE (and without the user word D).
  const Jieba without(dir_.Write("dict2.txt", kA + kB + " 10 n\n" + kB + kE + " 10 n\n" + kC +
                                                  " 5 n\n" + kA + kB + kE + kK + " 1 n\n"),
                      hmm_, "", idf_, stop_);
  j.AddWord(kA + kB + kE + kK, 1.0, std::nullopt);
  j.RemoveWord(kA + kB + kE);
  j.RemoveWord(kD);
  j.RemoveWord(kY + kY);  // not in the dictionary: nothing changes
  for (const std::string& sentence :
       {kA + kB + kE + kF, kC + kA + kB + kE + kD + kK + kX, kD + kD + " " + kA + kB + kE + kK}) {
    EXPECT_EQ(AllModes(j, sentence), AllModes(without, sentence)) << sentence;
  }
  std::vector<jieba::WordSpan> spans;
  std::vector<std::string> tags;
  j.Tag(kA + kB + kE, spans, tags);
  ASSERT_EQ(spans.size(), 2u);
  EXPECT_EQ(spans[1].byte_offset, kA.size());  // A and BE
  EXPECT_EQ(tags, (Strings{"x", "n"}));         // A by the rule, BE from the dictionary
  const std::vector<jieba::DictEdits::Entry> edits = j.Edits();
  ASSERT_EQ(edits.size(), 3u);
  EXPECT_TRUE(edits[1].removed);
}

TEST_F(JiebaTest, AddedWordWeightsAndTags) {
  Jieba j(dict_, hmm_, user_, idf_, stop_);
  j.AddWord(kB + kE, std::nullopt, std::nullopt);  // keeps the loaded tag "n"
  j.AddWord(kK + kK, 5.0, std::nullopt);            // a new word: no tag
  j.AddWord(kD, std::nullopt, std::string_view("q"));
  const auto edits = j.Edits();
  ASSERT_EQ(edits.size(), 3u);  // in byte order: D, BE, KK
  EXPECT_EQ(edits[0].tag, "q");
  EXPECT_EQ(edits[1].tag, "n");
  EXPECT_EQ(edits[1].weight, j.LoadedDictionary().UserWordWeight());
  EXPECT_EQ(edits[2].tag, "");
  EXPECT_DOUBLE_EQ(edits[2].weight, std::log(5.0 / j.LoadedDictionary().TotalFreq()));

  const struct {
    std::string word;
    std::optional<double> freq;
  } bad[] = {{"", std::nullopt},         {"\xE4\xB8", std::nullopt}, {kA + " " + kB, std::nullopt},
             {kA + "\xE3\x80\x82", 1.0}, {kA, 0.0},                  {kA, -1.0},
             {kA, NAN},                  {kA, INFINITY},             {std::string(513, 'a'), 1.0}};
  for (const auto& c : bad) {
    EXPECT_THROW(j.AddWord(c.word, c.freq, std::nullopt), std::invalid_argument) << c.word;
  }
  EXPECT_THROW(j.RemoveWord(""), std::invalid_argument);
  EXPECT_EQ(j.Edits().size(), 3u);
}

// Keywords over the normal cut, worked by hand.
TEST_F(JiebaTest, KeywordsRankByTfIdf) {
  // Stop word: C.
  const Jieba j(dict_, hmm_, user_, dir_.Write("idf2.txt", kA + kB + kE + " 4\n" + kK + kX + " 1\n"),
                stop_);
  // Cut: ABE, C, ABE, KX, D, F, BE -> counted: ABE x2, KX, BE (C is a stop
  // word, D and F have one rune): 4 words.
  const std::string sentence = kA + kB + kE + kC + kA + kB + kE + kK + kX + kD + kF + kB + kE;
  const std::vector<Jieba::Keyword> keywords = j.Keywords(sentence, 10);
  ASSERT_EQ(keywords.size(), 3u);
  EXPECT_EQ(keywords[0].word, kA + kB + kE);
  EXPECT_DOUBLE_EQ(keywords[0].weight, 2 * 4.0 / 4);
  // BE is missing from the table: the average idf (4 + 1) / 2 = 2.5.
  EXPECT_EQ(keywords[1].word, kB + kE);
  EXPECT_DOUBLE_EQ(keywords[1].weight, 2.5 / 4);
  EXPECT_EQ(keywords[2].word, kK + kX);
  EXPECT_DOUBLE_EQ(keywords[2].weight, 1.0 / 4);
  EXPECT_EQ(j.Keywords(sentence, 1).size(), 1u);
  EXPECT_TRUE(j.Keywords(sentence, 0).empty());
  // Only the words tagged x: KX is not in the dictionary; ABE and BE are n.
  const std::vector<std::string> x = {"x"};
  const std::vector<Jieba::Keyword> tagged = j.Keywords(sentence, 10, &x);
  ASSERT_EQ(tagged.size(), 1u);
  EXPECT_EQ(tagged[0].word, kK + kX);
  EXPECT_DOUBLE_EQ(tagged[0].weight, 1.0);  // one word counted
}

// A restored facade behaves as the saved one, changed words included, and
// saves the same bytes; anything cut short or foreign is refused.
TEST_F(JiebaTest, SerializedStateRestoresTheWholeFacade) {
  Jieba j(dict_, hmm_, user_, idf_, stop_);
  j.AddWord(kF + kY, 50.0, std::string_view("nz"));
  j.RemoveWord(kB + kE);
  const std::string state = j.Serialize();
  const std::unique_ptr<Jieba> restored = Jieba::Deserialize(state);
  EXPECT_EQ(restored->Serialize(), state);
  const std::string sentence = kA + kB + kE + kF + kY + kK + kX + " " + kD + kC + kB + kE;
  EXPECT_EQ(AllModes(*restored, sentence), AllModes(j, sentence));
  EXPECT_EQ(AllModes(*restored, sentence, false), AllModes(j, sentence, false));
  std::vector<jieba::WordSpan> spans, restored_spans;
  std::vector<std::string> tags, restored_tags;
  j.Tag(sentence, spans, tags);
  restored->Tag(sentence, restored_spans, restored_tags);
  EXPECT_EQ(restored_tags, tags);
  const auto keywords = j.Keywords(sentence, 5);
  const auto restored_keywords = restored->Keywords(sentence, 5);
  ASSERT_EQ(restored_keywords.size(), keywords.size());
  for (size_t k = 0; k < keywords.size(); ++k) {
    EXPECT_EQ(restored_keywords[k].word, keywords[k].word);
    EXPECT_EQ(restored_keywords[k].weight, keywords[k].weight);
  }
  // Changing the restored one leaves the saved bytes and the original alone.
  restored->RemoveWord(kF + kY);
  EXPECT_EQ(j.Serialize(), state);

  for (size_t size = 0; size < state.size(); size += 1 + size / 16) {
    EXPECT_THROW(Jieba::Deserialize(std::string_view(state).substr(0, size)), limonp::StateError)
        << size;
  }
  EXPECT_THROW(Jieba::Deserialize(state + "x"), limonp::StateError);
  std::string other_format = state;
  other_format[sizeof("razoduviva.Jieba")] = 2;
  try {
    Jieba::Deserialize(other_format);
    ADD_FAILURE() << "restored another format";
  } catch (const limonp::StateError& e) {
    EXPECT_STREQ(e.what(), "Jieba state format 2 is not supported; this build reads format 1");
  }
}

}  // namespace
