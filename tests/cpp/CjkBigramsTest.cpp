#include "encoder/CjkBigrams.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace kelp::typing::text::encoder {
namespace {

std::vector<std::string> Bigrams(std::string_view text) {
  std::vector<TextSpan> spans = {TextSpan{99, 1}};  // replaced, not appended to
  CjkBigrams(text, spans);
  std::vector<std::string> out;
  for (const TextSpan& s : spans) {
    out.emplace_back(text.substr(s.offset, s.length));
  }
  return out;
}

struct BigramCase {
  const char* name;
  std::string_view text;
  std::vector<std::string> expected;
};

TEST(CjkBigrams, Runs) {
  const BigramCase cases[] = {
      {"empty", "", {}},
      {"no CJK", "hello, world 123", {}},
      {"one character", "中", {"中"}},
      {"two characters", "中国", {"中国"}},
      {"a run", "北京大学", {"北京", "京大", "大学"}},
      {"split by punctuation", "北京，上海。", {"北京", "上海"}},
      {"split by ASCII", "中a国bc人民", {"中", "国", "人民"}},
      {"split by a space", "东 西", {"东", "西"}},
      {"mixed", "iPhone手机很好用!", {"手机", "机很", "很好", "好用"}},
      {"kana ends a run", "漢字かな字", {"漢字", "字"}},
      {"iteration mark and zero", "人々〇", {"人々", "々〇"}},
      {"hangzhou numerals", "〡〩", {"〡〩"}},
      {"radicals and compatibility", "⺀豈", {"⺀豈"}},
      {"extension B", "𠀀中", {"𠀀中"}},
      {"extension A", "㐀", {"㐀"}},
      {"just outside the ranges", "〄〪ꀀ", {}},
  };
  for (const BigramCase& c : cases) {
    EXPECT_EQ(Bigrams(c.text), c.expected) << c.name;
  }
}

TEST(CjkBigrams, InvalidBytesEndARun) {
  EXPECT_EQ(Bigrams("中\xFF国"), (std::vector<std::string>{"中", "国"}));
  EXPECT_EQ(Bigrams("中\xE5\x9C"), (std::vector<std::string>{"中"}));
  EXPECT_EQ(Bigrams("\xE4\xB8"), (std::vector<std::string>{}));
}

TEST(CjkBigrams, SpansAreByteOffsets) {
  std::vector<TextSpan> spans;
  CjkBigrams("ab中国c", spans);
  ASSERT_EQ(spans.size(), 1u);
  EXPECT_EQ(spans[0], (TextSpan{2, 6}));
}

TEST(CjkBigrams, RunCharacters) {
  for (jieba::Rune r : {0x2E80u, 0x2FDFu, 0x3005u, 0x3007u, 0x3021u, 0x3029u, 0x3038u, 0x303Bu,
                        0x3400u, 0x4DBFu, 0x4E00u, 0x9FFFu, 0xF900u, 0xFAFFu, 0x20000u, 0x3FFFFu}) {
    EXPECT_TRUE(IsCjkRunRune(r)) << std::hex << r;
  }
  for (jieba::Rune r : {0x2E7Fu, 0x2FE0u, 0x3006u, 0x3020u, 0x302Au, 0x303Cu, 0x4DC0u, 0xA000u,
                        0xF8FFu, 0xFB00u, 0x1FFFFu, 0x40000u}) {
    EXPECT_FALSE(IsCjkRunRune(r)) << std::hex << r;
  }
}

}  // namespace
}  // namespace kelp::typing::text::encoder
