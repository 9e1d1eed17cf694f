// The seeds of fuzz/corpus/state_load/: one small valid state for each
// loader of fuzz/state_load_fuzzer.cpp, behind the byte that picks it (0
// BM25, 1 HMMModel, 2 KeywordExtractor); and of fuzz/corpus/jieba_state/:
// whole segmenters, with and without words changed at run time.
//
// The committed files must be exactly what this build writes, so they are
// also golden states: a change that alters them alters the bytes of
// objects pickled by earlier builds, and must come with a new format number
// (or a reader for the old one). After such a change, rewrite them with
//   RAZODUVIVA_WRITE_STATE_SEEDS=1 build/tests/tests/cpp/StateSeedsTest
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "SegmentFixture.hpp"
#include "bm25/BM25.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/KeywordExtractor.hpp"
#include "tokenizer/limonp/ByteStream.hpp"

namespace {

using kelp::typing::text::BM25;
using kelp::typing::text::jieba::HMMModel;
using kelp::typing::text::jieba::KeywordExtractor;
using kelp::typing::text::limonp::ByteReader;
using kelp::typing::text::limonp::ByteWriter;
using namespace razoduviva_test;

const std::string kSeedDir = std::string(RAZODUVIVA_SOURCE_DIR) + "/fuzz/corpus/state_load/";
const std::string kJiebaSeedDir = std::string(RAZODUVIVA_SOURCE_DIR) + "/fuzz/corpus/jieba_state/";

// Compares the committed seed at `path` with `bytes`, after writing it when
// RAZODUVIVA_WRITE_STATE_SEEDS is set.
void CheckCommitted(const std::string& path, const std::string& bytes) {
  const char* write = std::getenv("RAZODUVIVA_WRITE_STATE_SEEDS");
  EXPECT_LT(bytes.size(), 4096u) << path << ": keep seeds small";
  if (write != nullptr && *write != '\0') {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path;
  const std::string committed((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
  EXPECT_EQ(committed, bytes) << path
                              << " differs from the state this build writes: see the top of "
                              << __FILE__;
}

template <typename Object>
std::string StateOf(char loader, const Object& object) {
  std::string state(1, loader);
  ByteWriter out(state);
  object.Save(out);
  return state;
}

std::string Bm25Seed(const BM25& model) { return std::string(1, '\0') + model.serialize(); }

class StateSeedsTest : public SegmentFixture {
 protected:
  // Name and bytes of every seed.
  std::vector<std::pair<std::string, std::string>> Seeds() {
    Load(kA + kB + " 3 n\n" + kK + " 2 n\n");
    std::vector<std::pair<std::string, std::string>> seeds;

    BM25 example(0.75, 1.2);
    example.train(Strings{"a", "b", "a"});
    example.train(Strings{"b", "c"});
    seeds.emplace_back("bm25_example", Bm25Seed(example));
    seeds.emplace_back("bm25_untrained", Bm25Seed(BM25(0.5, 2.0)));
    BM25 mixed(0.75, 1.2);
    mixed.train(Strings{kA + kB, "a token longer than sixteen bytes", std::string("\0\xFF", 2), ""});
    mixed.train(std::vector<std::int64_t>{42, -7, INT64_MIN, 42});
    seeds.emplace_back("bm25_mixed", Bm25Seed(mixed));

    seeds.emplace_back("hmm_model", StateOf('\1', *model_));

    testing::internal::CaptureStderr();
    const KeywordExtractor keywords(dict_.get(), model_.get(),
                                    dir_.Write("idf.txt", kA + kB + " 9.5\nthe 0.25\nbad line\n"),
                                    dir_.Write("stop.txt", "the\n" + kK + "\n\n"));
    const KeywordExtractor empty(dict_.get(), model_.get(), dir_.Write("empty_idf.txt", ""),
                                 dir_.Write("empty_stop.txt", ""));
    testing::internal::GetCapturedStderr();
    seeds.emplace_back("keywords", StateOf('\2', keywords));
    seeds.emplace_back("keywords_empty", StateOf('\2', empty));  // a NaN average
    return seeds;
  }
};

TEST_F(StateSeedsTest, CommittedSeedsAreTheStatesOfThisBuild) {
  for (const auto& [name, bytes] : Seeds()) {
    CheckCommitted(kSeedDir + name, bytes);
  }
}

TEST_F(StateSeedsTest, CommittedJiebaSeedsAreTheStatesOfThisBuild) {
  testing::internal::CaptureStderr();
  kelp::typing::text::jieba::Jieba j(
      dir_.Write("dict.txt", kA + kB + " 3 n\n" + kB + kE + " 2 v\n" + kK + " 2 n\n"),
      dir_.Write("hmm.txt", JoiningModel()), dir_.Write("user.txt", kD + " q\n"),
      dir_.Write("idf.txt", kA + kB + " 9.5\n"), dir_.Write("stop.txt", kK + "\n"));
  testing::internal::GetCapturedStderr();
  CheckCommitted(kJiebaSeedDir + "small", j.Serialize());
  j.AddWord(kE + kF, 5.0, std::string_view("nz"));
  j.RemoveWord(kA + kB);
  CheckCommitted(kJiebaSeedDir + "edited", j.Serialize());
}

TEST_F(StateSeedsTest, CommittedSeedsLoadAndSaveTheSameBytes) {
  for (const auto& [name, bytes] : Seeds()) {
    std::ifstream in(kSeedDir + name, std::ios::binary);
    const std::string seed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(seed.empty()) << name;
    const std::string_view state = std::string_view(seed).substr(1);
    ByteReader reader(state);
    std::string saved(1, seed[0]);
    ByteWriter out(saved);
    switch (seed[0]) {
      case 0:
        saved += BM25::deserialize(state).serialize();
        reader.ReadRaw(state.size(), "the BM25 state");
        break;
      case 1:
        HMMModel(reader).Save(out);
        break;
      case 2:
        KeywordExtractor(dict_.get(), model_.get(), reader).Save(out);
        break;
      default:
        FAIL() << name << " picks no loader";
    }
    reader.ExpectEnd();
    EXPECT_EQ(saved, seed) << name;
  }
}

}  // namespace
