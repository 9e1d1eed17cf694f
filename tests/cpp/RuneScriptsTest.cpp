#include "tokenizer/jieba/RuneScripts.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "encoder/FoldTables.hpp"
#include "encoder/UnicodeClasses.hpp"

namespace kelp::typing::text::jieba {
namespace {

std::string Script(Rune r) {
  const char* name = ScriptName(ClassifyRune(r));
  return name == nullptr ? "" : name;
}

TEST(RuneScripts, LettersTakeTheirScript) {
  const struct {
    Rune rune;
    const char* script;
  } cases[] = {
      {'a', "LATIN"},    {'Z', "LATIN"},    {0x00FC, "LATIN"},  // ü
      {0xFF21, "LATIN"},  // full-width A
      {0x02B0, "LATIN"},  // modifier letter small h
      {0x00B5, "GREEK"},  // micro sign
      {0x212A, "LATIN"},  // kelvin sign
      {0x03B1, "GREEK"},  {0x0416, "CYRILLIC"}, {0x0531, "ARMENIAN"}, {0x10D0, "GEORGIAN"},
      {0x05D0, "HEBREW"}, {0x0628, "ARABIC"},   {0x0915, "DEVANAGARI"}, {0x0B95, "TAMIL"},
      {0xAC00, "HANGUL"}, {0x1100, "HANGUL"},   {0xFFA1, "HANGUL"},  // half-width
      {0x1200, "ETHIOPIC"}, {0x13A0, "CHEROKEE"}, {0x1401, "CANADIAN SYLLABICS"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(ClassifyRune(c.rune).IsLetter()) << std::hex << c.rune;
    EXPECT_EQ(Script(c.rune), c.script) << std::hex << c.rune;
  }
  EXPECT_EQ(ClassifyRune('q').value, RuneClass::kLatin);
  EXPECT_EQ(ClassifyRune(0xFF41), ClassifyRune('a'));
  EXPECT_NE(ClassifyRune(0x0430), ClassifyRune('a'));  // Cyrillic а is not Latin a
}

TEST(RuneScripts, LettersOfUnspacedScriptsAndSymbolsAreOther) {
  for (Rune r : {0x4E00u, 0x9FFFu, 0x3400u, 0x20000u, 0xF900u, 0x3042u, 0x30A2u, 0xFF71u,
                 0x3005u, 0x30FCu, 0x3105u, 0xA000u, 0x0E01u, 0x0E81u, 0x1780u, 0x1000u,
                 0x0F40u, 0x1D400u, 0x2115u, 0x17000u}) {
    EXPECT_EQ(ClassifyRune(r), RuneClass{}) << std::hex << r;
  }
}

TEST(RuneScripts, DigitsMarksAndTheRest) {
  for (Rune r : {Rune{'0'}, Rune{'9'}, 0xFF10u, 0xFF19u, 0x0660u, 0x0966u, 0x0E50u, 0x1D7CEu}) {
    EXPECT_TRUE(ClassifyRune(r).IsDigit()) << std::hex << r;
  }
  for (Rune r : {0x0301u, 0x0316u, 0x093Fu, 0x094Du, 0x20DDu, 0x3099u, 0x0E48u}) {
    EXPECT_TRUE(ClassifyRune(r).IsMark()) << std::hex << r;
  }
  // Punctuation, space, symbols, numbers that are not decimal digits,
  // unassigned code points and values beyond Unicode.
  for (Rune r : {Rune{' '}, Rune{'.'}, Rune{'_'}, Rune{'@'}, Rune{'['}, Rune{'`'}, Rune{'{'},
                 Rune{0x7F}, 0x00A0u, 0x00B2u, 0x2160u, 0xFF0Cu, 0x3000u, 0x1F600u, 0x0378u,
                 0x110000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(ClassifyRune(r), RuneClass{}) << std::hex << r;
  }
}

TEST(RuneScripts, TableIsFromTheUnicodeVersionOfTheOtherTables) {
  EXPECT_STREQ(RUNE_SCRIPTS_VERSION, encoder::UNICODE_CLASSES_VERSION);
  EXPECT_STREQ(RUNE_SCRIPTS_VERSION, encoder::fold_tables::UNICODE_VERSION);
}

}  // namespace
}  // namespace kelp::typing::text::jieba
