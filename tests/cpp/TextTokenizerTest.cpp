#include "sqlite/TextTokenizer.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SegmentFixture.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace jieba = kelp::typing::text::jieba;
using kelp::typing::text::sqlite::DataPaths;
using kelp::typing::text::sqlite::TextTokenizer;
using kelp::typing::text::sqlite::Token;
using kelp::typing::text::sqlite::TokenizerOptions;
using kelp::typing::text::sqlite::TokenSink;
using namespace razoduviva_test;

namespace {

struct Got {
  std::string text;
  uint32_t begin;
  uint32_t end;
  bool colocated;

  friend bool operator==(const Got& a, const Got& b) {
    return a.text == b.text && a.begin == b.begin && a.end == b.end && a.colocated == b.colocated;
  }
  friend std::ostream& operator<<(std::ostream& out, const Got& g) {
    return out << g.text << "[" << g.begin << ":" << g.end << (g.colocated ? "]+" : "]");
  }
};
using Gots = std::vector<Got>;

class Collect : public TokenSink {
 public:
  explicit Collect(size_t stop_after = SIZE_MAX) : stop_after_(stop_after) {}
  int Add(const Token& token) override {
    got.push_back(Got{std::string(token.text), token.begin, token.end, token.colocated});
    return got.size() >= stop_after_ ? 7 : 0;
  }
  Gots got;

 private:
  size_t stop_after_;
};

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int k = 0; k < times; ++k) {
    out += text;
  }
  return out;
}

class TextTokenizerTest : public testing::Test {
 protected:
  void SetUp() override {
    facade_ = std::make_shared<jieba::Jieba>(
        dir_.Write("dict.txt", kA + kB + kC + kD + " 100 n\n" + kA + kB + " 10 n\n" + kB + kC +
                                   " 10 n\n" + kA + kB + kC + " 10 n\n" + kE + kF +
                                   " 10 n\n" + kE + kF + kK + " 100 n\n" + kA + kB + kA + kB + " 100 n\n" + kB + kA + " 10 n\n" + Repeat(kA + kB, 20) +
                                   " 1000 n\n"),
        dir_.Write("hmm.txt", JoiningModel()), "", dir_.Write("idf.txt", kA + kB + " 2\n"),
        dir_.Write("stop.txt", kD + "\n" + kE + kF + kK + "\nAb\n"));
  }

  Gots Tokens(std::string_view text, const std::vector<const char*>& args = {},
              TextTokenizer::Use use = TextTokenizer::Use::kDocument) {
    const TextTokenizer tokenizer(
        facade_, TokenizerOptions::Parse(args.data(), static_cast<int>(args.size()), {}));
    Collect sink;
    EXPECT_EQ(tokenizer.Tokenize(text, use, sink), 0);
    return sink.got;
  }

  ScratchDir dir_;
  std::shared_ptr<jieba::Jieba> facade_;
};

// Stop words (D; Ab, folded as the text is), punctuation and white space
// are left out; the offsets are those of the cut. (NFKC makes U+FF0C a
// plain comma.)
TEST_F(TextTokenizerTest, DefaultModeGivesTheKeptWordsOfTheCut) {
  const std::string text = kA + kB + "\xEF\xBC\x8C" + kD + " " + kE + kF + "\xE3\x80\x82";
  EXPECT_EQ(Tokens(text), (Gots{{kA + kB, 0, 6, false}, {kE + kF, 13, 19, false}}));
  EXPECT_EQ(Tokens(text, {"stop_words", "off"}),
            (Gots{{kA + kB, 0, 6, false}, {",", 6, 9, false}, {kD, 9, 12, false},
                  {kE + kF, 13, 19, false}, {"\xE3\x80\x82", 19, 22, false}}));
  EXPECT_EQ(Tokens("AB " + kA + kB), (Gots{{kA + kB, 3, 9, false}}));
  EXPECT_EQ(Tokens("AB " + kA + kB, {"casefold", "off"}),
            (Gots{{"AB", 0, 2, false}, {kA + kB, 3, 9, false}}));
}

// The long word leads, its parts follow at its position, repeats left out;
// a query keeps the long word alone; a long stop word (EFK) gives its place
// to its first part.
TEST_F(TextTokenizerTest, SearchModeColocatesThePartsAfterTheWord) {
  const std::vector<const char*> search = {"mode", "search"};
  const std::string abcd = kA + kB + kC + kD;
  EXPECT_EQ(Tokens(abcd + kE + kF + kK + kA + kB + kA + kB, search),
            (Gots{{abcd, 0, 12, false},
                  {kA + kB, 0, 6, true},
                  {kB + kC, 3, 9, true},
                  {kA + kB + kC, 0, 9, true},
                  {kE + kF, 12, 18, false},
                  {kA + kB + kA + kB, 21, 33, false},
                  {kA + kB, 21, 27, true},
                  {kB + kA, 24, 30, true}}));
  EXPECT_EQ(Tokens(abcd + kE + kF + kK, search, TextTokenizer::Use::kQuery),
            (Gots{{abcd, 0, 12, false}, {kE + kF, 12, 18, false}}));
  EXPECT_EQ(Tokens(abcd, {}), (Gots{{abcd, 0, 12, false}}));
  // 39 parts, two of them distinct.
  EXPECT_EQ(Tokens(Repeat(kA + kB, 20), search),
            (Gots{{Repeat(kA + kB, 20), 0, 120, false},
                  {kA + kB, 0, 6, true},
                  {kB + kA, 3, 9, true}}));
}

// Offsets count bytes of the text as given, also where the fold changed
// the length (full-width ＡＢＣ) or the character (國); stretches of
// invalid UTF-8 are skipped, the text around them tokenized.
TEST_F(TextTokenizerTest, OffsetsPointIntoTheOriginalText) {
  const std::string wide = "\xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3";  // ＡＢＣ
  const std::string guo = "\xE5\x9C\x8B";                            // 國
  EXPECT_EQ(Tokens(kA + kB + wide + guo + kE + kF),
            (Gots{{kA + kB, 0, 6, false},
                  {"abc", 6, 15, false},
                  {"\xE5\x9B\xBD", 15, 18, false},
                  {kE + kF, 18, 24, false}}));
  EXPECT_EQ(Tokens(kA + kB + "\xFF\xC0" + kE + kF + "\xE4\xB8"),
            (Gots{{kA + kB, 0, 6, false}, {kE + kF, 8, 14, false}}));
}

// Long text is cut in pieces, with the tokens of one cut of the whole.
TEST_F(TextTokenizerTest, LongTextGivesTheTokensOfOneCut) {
  std::string text;
  for (int k = 0; text.size() < 300000; ++k) {
    text += kA + kB + kC + kD + kE + kF + (k % 3000 == 0 ? "\xEF\xBC\x8C" : "") + kK + kX;
  }
  std::vector<jieba::WordSpan> spans;
  facade_->Cut(jieba::CutMode::kDefault, text, spans);
  Gots expected;
  for (const jieba::WordSpan& s : spans) {
    const std::string word = text.substr(s.byte_offset, s.byte_length);
    if (word != kD && word != kE + kF + kK && word != "\xEF\xBC\x8C") {
      expected.push_back(Got{word, s.byte_offset, s.byte_offset + s.byte_length, false});
    }
  }
  EXPECT_EQ(Tokens(text, {"nfkc", "off"}), expected);

  const TextTokenizer tokenizer(facade_, TokenizerOptions{});
  Collect stops(2);
  EXPECT_EQ(tokenizer.Tokenize(text, TextTokenizer::Use::kDocument, stops), 7);
  EXPECT_EQ(stops.got.size(), 2u);
}

}  // namespace
