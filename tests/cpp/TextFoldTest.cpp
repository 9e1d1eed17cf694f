#include "encoder/TextFold.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FoldDigests.inc"
#include "encoder/FoldTables.hpp"

namespace kelp::typing::text::encoder {
namespace {

constexpr FoldOptions kAll{true, true, true};
constexpr FoldOptions kNfkc{true, false, false};
constexpr FoldOptions kCasefold{false, true, false};
constexpr FoldOptions kT2s{false, false, true};

struct FoldCase {
  const char* name;
  FoldOptions options;
  std::string_view input;
  std::string_view expected;
};

const FoldCase kCases[] = {
    {"full-width letters and digits", kAll, "ＡＢＣ１２３", "abc123"},
    {"full-width without casefold", kNfkc, "ＡＢＣ１２３，", "ABC123,"},
    {"ligature", kNfkc, "\xEF\xAC\x81nd", "find"},
    {"compatibility ideograph", kNfkc, "\xEF\xA4\x80", "\xE8\xB1\x88"},
    {"kangxi radical then simplified", kAll, "\xE2\xBE\xA8", "\xE9\x97\xA8"},
    {"e and combining acute compose", kNfkc, "e\xCC\x81", "\xC3\xA9"},
    {"marks reordered then composed", kNfkc, "e\xCC\x81\xCC\x96", "\xC3\xA9\xCC\x96"},
    {"hangul jamo compose", kNfkc, "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", "\xEA\xB0\x81"},
    {"hangul syllable and final jamo", kNfkc, "\xEA\xB0\x80\xE1\x86\xA8", "\xEA\xB0\x81"},
    {"precomposed stays", kAll, "caf\xC3\xA9", "caf\xC3\xA9"},
    {"sharp s", kCasefold, "Stra\xC3\x9F" "e", "strasse"},
    {"sigma and final sigma", kCasefold, "\xCE\xA3\xCE\xB1\xCF\x82", "\xCF\x83\xCE\xB1\xCF\x83"},
    {"dotted capital I", kCasefold, "\xC4\xB0", "i\xCC\x87"},
    {"casefold that NFKC would reorder", kAll, "\xC4\xB0\xE3\x82\x9A", "i\xE3\x82\x9A\xCC\x87"},
    {"cyrillic", kAll, "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0",
     "\xD0\xBC\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0"},
    {"traditional to simplified", kT2s, "\xE5\x9C\x8B\xE8\xAA\x9E", "\xE5\x9B\xBD\xE8\xAF\xAD"},
    {"common simplified characters stay", kAll, "\xE4\xBB\xBD\xE8\x91\x97", "\xE4\xBB\xBD\xE8\x91\x97"},
    {"chains end where they end", kT2s, "\xE7\x80\x8B\xE6\xB2\x88\xE6\xB2\x89",
     "\xE6\xB2\x89\xE6\xB2\x89\xE6\xB2\x89"},
    {"traditional outside the block", kT2s, "\xE3\x98\x93", "\xF0\xAA\xA2\x8C"},
    {"mixed text", kAll, "Ｍüller在Café喝咖啡，國語ⅫＡ", "müller在café喝咖啡,国语xiia"},
    {"ascii casefold only", kNfkc, "ABC def", "ABC def"},
    {"nothing on", FoldOptions{false, false, false}, "ＡＢ國", "ＡＢ國"},
};

TEST(TextFold, CasesFoldAsPythonDoes) {
  for (const FoldCase& c : kCases) {
    const TextFold fold(c.options);
    EXPECT_EQ(fold.Fold(c.input), c.expected) << c.name;
    EXPECT_EQ(fold.Fold(fold.Fold(c.input)), c.expected) << c.name << " (twice)";
  }
}

// ---------------------------------------------------------------------------
// Every code point against Python's NFKC and str.casefold and the table.

uint32_t Crc32(const std::string& bytes, uint32_t crc) {
  crc = ~crc;
  for (const char ch : bytes) {
    crc ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
  }
  return ~crc;
}

std::string Utf8(uint32_t r) {
  std::string out;
  if (r < 0x80) {
    out += static_cast<char>(r);
  } else if (r < 0x800) {
    out += static_cast<char>(0xC0 | (r >> 6));
    out += static_cast<char>(0x80 | (r & 0x3F));
  } else if (r < 0x10000) {
    out += static_cast<char>(0xE0 | (r >> 12));
    out += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (r & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (r >> 18));
    out += static_cast<char>(0x80 | ((r >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((r >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (r & 0x3F));
  }
  return out;
}

struct Digests {
  FoldOptions options;
  uint32_t sequences;
  uint32_t planes[17];
};

const Digests kDigests[] = FOLD_DIGESTS;

void AppendFolded(const TextFold& fold, const std::string& text, std::string& out) {
  out += fold.Fold(text);
  out += '\xFF';
}

TEST(TextFold, EveryCodePointMatchesTheGeneratorsDigests) {
  ASSERT_STREQ(FOLD_DIGESTS_UNICODE_VERSION, fold_tables::UNICODE_VERSION);
  const std::string marks = Utf8(0x0316) + Utf8(0x0301);
  for (const Digests& d : kDigests) {
    const TextFold fold(d.options);
    const std::string label = std::string(d.options.nfkc ? "nfkc " : "") +
                              (d.options.casefold ? "casefold " : "") + (d.options.t2s ? "t2s" : "");
    for (uint32_t plane = 0; plane < 17; ++plane) {
      std::string all;
      uint32_t crc = 0;
      for (uint32_t r = plane << 16; r < (plane + 1) << 16; ++r) {
        if (r >= 0xD800 && r <= 0xDFFF) {
          continue;
        }
        const std::string one = Utf8(r);
        AppendFolded(fold, one, all);
        if (d.options.nfkc) {
          AppendFolded(fold, one + marks, all);
          AppendFolded(fold, "A" + one, all);
        }
      }
      crc = Crc32(all, crc);
      EXPECT_EQ(crc, d.planes[plane]) << label << ", code points U+" << std::hex << (plane << 16)
                                      << " and on";
    }
    std::string all;
    const char* between[] = {"", "\xCC\x96", "\xCC\x81", "\xCC\xB4", "\xD6\xB0"};
    for (size_t k = 0; k < fold_tables::COMPOSITION_COUNT; ++k) {
      const fold_tables::Composition& c = fold_tables::COMPOSITIONS[k];
      for (const char* mark : between) {
        AppendFolded(fold, Utf8(c.first) + mark + Utf8(c.second), all);
      }
    }
    const uint32_t jamo[][3] = {{0x1100, 0x1161, 0x11A8}, {0x1112, 0x1175, 0x11C2},
                                {0x1107, 0x1166, 0x11AF}};
    for (const auto& j : jamo) {
      AppendFolded(fold, Utf8(j[0]) + Utf8(j[1]), all);
      AppendFolded(fold, Utf8(j[0]) + Utf8(j[1]) + Utf8(j[2]), all);
      AppendFolded(fold, Utf8(0xAC00) + Utf8(j[2]), all);
      AppendFolded(fold, Utf8(0xD7A3) + Utf8(j[2]), all);
      AppendFolded(fold, Utf8(j[0]) + Utf8(0x0301) + Utf8(j[1]), all);
    }
    EXPECT_EQ(Crc32(all, 0), d.sequences) << label << ", composition sequences";
  }
}

// ---------------------------------------------------------------------------
// Copies and the buffer.

TEST(TextFold, UnchangedTextIsReturnedWithoutACopy) {
  const TextFold fold(kAll);
  std::string buffer = "untouched";
  for (std::string_view text : {std::string_view("plain ascii, 123."), std::string_view("简体中文、没有变化。"),
                                std::string_view("café ñ über"), std::string_view("")}) {
    const std::string_view out = fold.Fold(text, buffer);
    EXPECT_EQ(out.data(), text.data()) << text;
    EXPECT_EQ(buffer, "untouched");
  }
}

TEST(TextFold, ChangedTextIsWrittenToTheBuffer) {
  const TextFold fold(kAll);
  std::string buffer = "old contents";
  const std::string text = "說Hello";
  const std::string_view out = fold.Fold(text, buffer);
  EXPECT_EQ(out.data(), buffer.data());
  EXPECT_EQ(buffer, "说hello");
}

// ---------------------------------------------------------------------------
// Invalid UTF-8 is copied through.

TEST(TextFold, InvalidBytesAreCopiedThrough) {
  const TextFold fold(kAll);
  const struct {
    std::string input;
    std::string expected;
  } cases[] = {
      {"\xFF" "A\xC3", "\xFF" "a\xC3"},
      {"\xED\xA0\x80國", "\xED\xA0\x80国"},           // an encoded surrogate
      {"\xC0\xAF" "B", "\xC0\xAF" "b"},                // an overlong '/'
      {"\xF4\x90\x80\x80" "C", "\xF4\x90\x80\x80" "c"},  // above U+10FFFF
      {"\xFF\xCC\x81\xCC\x96", "\xFF\xCC\x96\xCC\x81"},  // marks after a bad byte
      {"\xE5\x9C", "\xE5\x9C"},                        // cut off
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fold.Fold(c.input), c.expected);
  }
}

// ---------------------------------------------------------------------------
// Offsets.

struct OffsetCase {
  std::string_view input;
  std::string_view folded;
  // Folded [begin, end) -> original [begin, end).
  std::vector<std::pair<std::pair<size_t, size_t>, std::pair<size_t, size_t>>> ranges;
};

TEST(TextFold, MapLeadsBackToTheOriginalCharacters) {
  const TextFold fold(kAll);
  const OffsetCase cases[] = {
      // One span per full-width character.
      {"ＡＢ", "ab", {{{0, 1}, {0, 3}}, {{1, 2}, {3, 6}}, {{0, 2}, {0, 6}}, {{2, 2}, {6, 6}}}},
      // Both letters of a ligature come from the whole ligature.
      {"\xEF\xAC\x81x", "fix", {{{0, 1}, {0, 3}}, {{1, 2}, {0, 3}}, {{2, 3}, {3, 4}}}},
      // A composed letter comes from the letter and its mark.
      {"ae\xCC\x81z", "a\xC3\xA9z", {{{0, 1}, {0, 1}}, {{1, 3}, {1, 4}}, {{3, 4}, {4, 5}}}},
      // Same-length changes map byte for byte.
      {"國A說", "国a说", {{{0, 3}, {0, 3}}, {{3, 4}, {3, 4}}, {{4, 7}, {4, 7}}}},
      // A longer result: ß -> ss after a changed full-width letter.
      {"Ｘß!", "xss!", {{{0, 1}, {0, 3}}, {{1, 2}, {3, 5}}, {{1, 3}, {3, 5}}, {{3, 4}, {5, 6}}}},
      // The acute joins the e across the reordered mark below.
      {"e\xCC\x81\xCC\x96!", "\xC3\xA9\xCC\x96!", {{{0, 2}, {0, 3}}, {{2, 4}, {3, 5}}, {{4, 5}, {5, 6}}}},
      // A mark of a lower class moved before one that came first: both
      // marks map to both.
      {"x\xCC\x81\xCC\x96", "x\xCC\x96\xCC\x81", {{{0, 1}, {0, 1}}, {{1, 3}, {1, 5}}, {{3, 5}, {1, 5}}}},
  };
  for (const OffsetCase& c : cases) {
    std::string buffer;
    FoldMap map;
    EXPECT_EQ(fold.Fold(c.input, buffer, &map), c.folded);
    EXPECT_EQ(map.FoldedSize(), c.folded.size());
    EXPECT_EQ(map.OriginalSize(), c.input.size());
    for (const auto& [folded, original] : c.ranges) {
      EXPECT_EQ(map.ToOriginal(folded.first, folded.second), original)
          << c.input << " [" << folded.first << ", " << folded.second << ")";
    }
  }
}

TEST(TextFold, MapOfUnchangedTextIsTheIdentity) {
  const TextFold fold(kAll);
  std::string buffer;
  FoldMap map;
  map.Add(FoldMap::Span{0, 1, 0, 3});  // left from an earlier text
  const std::string text = "简体 text";
  fold.Fold(text, buffer, &map);
  EXPECT_TRUE(map.Spans().empty());
  EXPECT_EQ(map.ToOriginal(3, 6), std::make_pair(size_t{3}, size_t{6}));
}

TEST(TextFold, SameLengthChangesAddNoSpans) {
  const TextFold fold(kAll);
  std::string buffer;
  FoldMap map;
  fold.Fold("國語 ABC 說話", buffer, &map);
  EXPECT_EQ(buffer, "国语 abc 说话");
  EXPECT_TRUE(map.Spans().empty());
}

}  // namespace
}  // namespace kelp::typing::text::encoder
