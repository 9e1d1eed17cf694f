#include "tokenizer/jieba/HMMSegment.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tokenizer/jieba/HMMModel.hpp"

namespace jieba = kelp::typing::text::jieba;
using jieba::HMMModel;
using jieba::HMMSegment;
using Strings = std::vector<std::string>;

namespace {

const std::string kX = "\xE7\x94\xB2";  // U+7532
const std::string kY = "\xE4\xB9\x99";  // U+4E59
const std::string kZ = "\xE4\xB8\x99";  // U+4E19, listed nowhere
const std::string kFloor = "-3.14e+100";

// The model of the worked example: start, transitions, and emissions of X
// (B -2.0, S -3.0) and Y (E `y_end`, S -1.0); everything else at the floor.
std::string WorkedExampleModel(const std::string& y_end) {
  const std::string F = kFloor;
  return "# B E M S\n"
         "-1.0 " + F + " " + F + " -2.0\n" +
         F + " -0.5 -1.0 " + F + "\n" +    // from B
         "-0.75 " + F + " " + F + " -0.75\n" +  // from E
         F + " -0.25 -1.0 " + F + "\n" +   // from M
         "-0.5 " + F + " " + F + " -1.0\n" +    // from S
         kX + ":-2.0\n" +                  // B
         kY + ":" + y_end + "\n" +          // E
         "\n# M lists nothing useful\n" + kZ + ":" + F + "\n" +
         kX + ":-3.0," + kY + ":-1.0\n";   // S
}

class HMMSegmentTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "hmmseg-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Write(const std::string& content) {
    const std::string path = (dir_ / "model.txt").string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::filesystem::path dir_;
};

Strings Cut(const HMMModel& model, const std::string& sentence) {
  HMMSegment segment(&model);
  Strings words = {"stale"};
  segment.Cut(sentence, words);
  return words;
}

std::vector<size_t> Path(const HMMModel& model, const std::string& text) {
  HMMSegment segment(&model);
  jieba::RuneStrVector runes;
  EXPECT_TRUE(jieba::DecodeRunesInString(text, runes));
  std::vector<size_t> states = {9, 9, 9};
  segment.Viterbi(runes.begin(), runes.end(), states);
  return states;
}

TEST_F(HMMSegmentTest, WorkedExampleAndItsTies) {
  const struct {
    const char* y_end;
    std::vector<size_t> path;
    Strings words;
  } cases[] = {
      // E scores -6.0, S -7.0: one word.
      {"-2.5", {HMMModel::B, HMMModel::E}, {kX + kY}},
      // Both -7.0: a tie goes to E.
      {"-3.5", {HMMModel::B, HMMModel::E}, {kX + kY}},
      // E -7.5 against S -7.0: two words.
      {"-4.0", {HMMModel::S, HMMModel::S}, {kX, kY}},
  };
  for (const auto& c : cases) {
    HMMModel model(Write(WorkedExampleModel(c.y_end)));
    EXPECT_EQ(Path(model, kX + kY), c.path) << c.y_end;
    EXPECT_EQ(Cut(model, kX + kY), c.words) << c.y_end;
  }
}

TEST_F(HMMSegmentTest, UnknownCharactersComeOutOneWordEach) {
  HMMModel model(Write(WorkedExampleModel("-2.5")));
  // From position 1 on no candidate beats the floor: every state is E.
  EXPECT_EQ(Path(model, kZ + kZ + kZ), (std::vector<size_t>{HMMModel::E, HMMModel::E, HMMModel::E}));
  EXPECT_EQ(Cut(model, kZ + kZ + kZ), (Strings{kZ, kZ, kZ}));
  // A single rune is always one word.
  EXPECT_EQ(Cut(model, kZ), (Strings{kZ}));
  EXPECT_EQ(Cut(model, kX), (Strings{kX}));
}

TEST_F(HMMSegmentTest, AsciiRules) {
  HMMModel model(Write(WorkedExampleModel("-2.5")));
  const struct {
    std::string sentence;
    Strings words;
  } cases[] = {
      {"abc123", {"abc123"}},
      {"123abc", {"123", "abc"}},
      {"3.14", {"3.14"}},
      {"1..2.", {"1..2."}},
      {"ab12.5", {"ab12", ".", "5"}},
      {"a-b", {"a", "-", "b"}},
      {"x,y/z\r\x01", {"x", ",", "y", "/", "z", "\r", "\x01"}},
      {".5", {".", "5"}},
      {"A9z", {"A9z"}},
      // Fullwidth letters and digits are Latin letters and digits.
      {"\xEF\xBC\xA1\xEF\xBC\x91", {"\xEF\xBC\xA1\xEF\xBC\x91"}},
      // Decoding never spans an ASCII token.
      {kX + "a" + kY, {kX, "a", kY}},
      {kX + kY + "42" + kX + kY, {kX + kY, "42", kX + kY}},
      // Separators are words of their own.
      {"ab cd\t" + kX + kY, {"ab", " ", "cd", "\t", kX + kY}},
      {"", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Cut(model, c.sentence), c.words) << c.sentence;
  }
}

TEST_F(HMMSegmentTest, LettersOfAlphabetsStayWhole) {
  HMMModel model(Write(WorkedExampleModel("-2.5")));
  const struct {
    const char* name;
    std::string sentence;
    Strings words;
  } cases[] = {
      {"latin with diacritics", "Müller在café喝咖啡，naïve",
       {"Müller", "在", "café", "喝", "咖", "啡", "，", "naïve"}},
      {"greek", "Αθήνα καλημέρα", {"Αθήνα", " ", "καλημέρα"}},
      {"cyrillic", "Москва2024", {"Москва2024"}},
      {"hangul", "서울특별시" + kX, {"서울특별시", kX}},
      {"hangul jamo", "\xE1\x84\x80\xE1\x85\xA1", {"\xE1\x84\x80\xE1\x85\xA1"}},
      {"arabic", "مرحبا بك", {"مرحبا", " ", "بك"}},
      {"devanagari with vowel signs", "हिन्दी", {"हिन्दी"}},
      {"full-width", "ＡＢＣ１２３", {"ＡＢＣ１２３"}},
      {"ascii and other latin letters", "Müller2", {"Müller2"}},
      {"a change of script ends a word", "abcабвαβγ", {"abc", "абв", "αβγ"}},
      {"full-width and ascii are one script", "ＡＢcd", {"ＡＢcd"}},
      {"digits of any script inside a word", "Straße٣３", {"Straße٣３"}},
      {"combining marks after a letter", "e\xCC\x81te\xCC\x81", {"e\xCC\x81te\xCC\x81"}},
      {"a mark after no letter goes to the decoder", "\xCC\x81" + kX, {"\xCC\x81", kX}},
      {"a mark after a digit run is not part of it", "1\xCC\x81", {"1", "\xCC\x81"}},
      {"full-width digit run", "２００８年", {"２００８", "年"}},
      {"full stops in a full-width digit run", "１.５", {"１.５"}},
      {"digits start no letter word", "３ab", {"３", "ab"}},
      {"arabic-indic digits", "١٢٣", {"١٢٣"}},
      {"modifier letters are latin", "kʰa", {"kʰa"}},
      // Scripts without spaces between words stay with the decoder.
      {"kana", "\xE3\x81\x8B\xE3\x81\xAA", {"\xE3\x81\x8B", "\xE3\x81\xAA"}},
      {"thai", "\xE0\xB8\x81\xE0\xB8\x82", {"\xE0\xB8\x81", "\xE0\xB8\x82"}},
      {"iteration mark", kX + "\xE3\x80\x85", {kX, "\xE3\x80\x85"}},
      {"mathematical letters", "\xF0\x9D\x90\x80\xF0\x9D\x90\x81",
       {"\xF0\x9D\x90\x80", "\xF0\x9D\x90\x81"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Cut(model, c.sentence), c.words) << c.name;
  }
}

TEST_F(HMMSegmentTest, HanAndAsciiCutAsBefore) {
  HMMModel model(Write(WorkedExampleModel("-2.5")));
  // A word of other letters ends the decoder's stretch as an ASCII word does.
  EXPECT_EQ(Cut(model, kX + kY + "é" + kX + kY), (Strings{kX + kY, "é", kX + kY}));
  EXPECT_EQ(Cut(model, kX + kY + "e" + kX + kY), (Strings{kX + kY, "e", kX + kY}));
  // Han punctuation and ideographs alike go to the decoder.
  EXPECT_EQ(Cut(model, kX + "\xEF\xBC\x8C" + kY), (Strings{kX, "\xEF\xBC\x8C", kY}));
}

// The decoder as plainly as it can be written: tables indexed
// [position + X * state], sized anew for every run.
std::vector<size_t> ReferencePath(const HMMModel& model, const jieba::RuneStrVector& runes) {
  const size_t X = runes.size();
  std::vector<double> weight(X * 4, 0.0);
  std::vector<int> path(X * 4, 0);
  for (size_t y = 0; y < 4; ++y) {
    weight[0 + X * y] = model.startLogProb[y] +
        HMMModel::LookupEmitProb(model.emitProbByState[y], runes[0].rune, jieba::SCORE_FLOOR);
    path[0 + X * y] = -1;
  }
  for (size_t x = 1; x < X; ++x) {
    for (size_t y = 0; y < 4; ++y) {
      const double e =
          HMMModel::LookupEmitProb(model.emitProbByState[y], runes[x].rune, jieba::SCORE_FLOOR);
      weight[x + X * y] = jieba::SCORE_FLOOR;
      path[x + X * y] = HMMModel::E;
      for (size_t p = 0; p < 4; ++p) {
        const double t = (weight[x - 1 + X * p] + model.transLogProb[p][y]) + e;
        if (t > weight[x + X * y]) {
          weight[x + X * y] = t;
          path[x + X * y] = static_cast<int>(p);
        }
      }
    }
  }
  size_t state = weight[X - 1 + X * HMMModel::E] >= weight[X - 1 + X * HMMModel::S]
                     ? HMMModel::E
                     : HMMModel::S;
  std::vector<size_t> states(X);
  for (size_t x = X; x-- > 0;) {
    states[x] = state;
    state = static_cast<size_t>(path[x + X * state]);
  }
  return states;
}

TEST_F(HMMSegmentTest, DecoderMatchesThePlainTablesOnShortAndLongRuns) {
  // Past the inline scratch room the tables move to the heap; the paths must
  // not change. Runs of X, Y and the unknown Z, with ties included.
  for (const char* y_end : {"-2.5", "-3.5", "-4.0"}) {
    HMMModel model(Write(WorkedExampleModel(y_end)));
    HMMSegment segment(&model);
    unsigned seed = 7;
    for (size_t length : {1, 2, 3, 5, 17, 63, 64, 65, 200, 1000}) {
      std::string text;
      for (size_t i = 0; i < length; ++i) {
        seed = seed * 1103515245u + 12345u;
        const unsigned pick = (seed >> 16) % 7;
        text += pick < 3 ? kX : pick < 6 ? kY : kZ;
      }
      jieba::RuneStrVector runes;
      ASSERT_TRUE(jieba::DecodeRunesInString(text, runes));
      std::vector<size_t> states;
      segment.Viterbi(runes.begin(), runes.end(), states);
      EXPECT_EQ(states, ReferencePath(model, runes)) << y_end << " length " << length;
    }
  }
}

TEST_F(HMMSegmentTest, InvalidUtf8GivesNoWords) {
  HMMModel model(Write(WorkedExampleModel("-2.5")));
  testing::internal::CaptureStderr();
  EXPECT_EQ(Cut(model, "ab\xE4"), Strings{});
  EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR decode failed. \n"),
            std::string::npos);
}

}  // namespace
