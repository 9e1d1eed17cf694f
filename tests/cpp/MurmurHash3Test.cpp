#include "encoder/MurmurHash3.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

using kelp::typing::text::encoder::MurmurHash3x86_32;

struct KnownAnswer {
  std::string bytes;
  std::uint32_t seed;
  std::uint32_t hash;
};

// Computed with a separate Python transcription of the algorithm, itself
// checked against published vectors (the last two rows are such vectors).
// Every tail length 0 to 3 after 0, 1 and 2 blocks; UTF-8 words; bytes
// with the high bit set, which a signed-char read would sign-extend.
const KnownAnswer kKnownAnswers[] = {
    {std::string("", 0), 0x00000000u, 0x00000000u},
    {std::string("a", 1), 0x00000000u, 0x3C2569B2u},
    {std::string("ab", 2), 0x00000000u, 0x9BBFD75Fu},
    {std::string("abc", 3), 0x00000000u, 0xB3DD93FAu},
    {std::string("abcd", 4), 0x00000000u, 0x43ED676Au},
    {std::string("abcde", 5), 0x00000000u, 0xE89B9AF6u},
    {std::string("abcdef", 6), 0x00000000u, 0x6181C085u},
    {std::string("abcdefg", 7), 0x00000000u, 0x883C9B06u},
    {std::string("abcdefgh", 8), 0x00000000u, 0x49DDCCC4u},
    {std::string("\xE4\xB8\xAD", 3), 0x00000000u, 0xDEDF5C52u},                // 中
    {std::string("\xE4\xB8\xAD\xE6\x96\x87", 6), 0x00000000u, 0xDB267197u},    // 中文
    {std::string("\xE5\x8C\x97\xE4\xBA\xAC\xE5\xA4\xA7\xE5\xAD\xA6", 12), 0x00000000u,
     0x6E1BF7A3u},                                                              // 北京大学
    {std::string("\xEF\xBC\x8C", 3), 0x00000000u, 0xA6C14A82u},                // ，
    {std::string("\xF0\x9F\x98\x80", 4), 0x00000000u, 0xBEB42EFAu},            // 😀
    {std::string("\x80\xFF\xFE", 3), 0x00000000u, 0x3824CE7Cu},
    {std::string("\xFF\xFF\xFF\xFF\xFF", 5), 0x00000000u, 0x7A12E75Cu},
    {std::string("the quick brown fox jumps over the lazy dog, twice: the quick brown fox", 71),
     0x00000000u, 0x60CD7B8Fu},
    {std::string("", 0), 0x00000001u, 0x514E28B7u},
    {std::string("a", 1), 0x00000001u, 0x588ADCE8u},
    {std::string("abcde", 5), 0x00000001u, 0xFFACB11Bu},
    {std::string("\xE4\xB8\xAD\xE6\x96\x87", 6), 0x00000001u, 0x30A76863u},
    {std::string("", 0), 0x9747B28Cu, 0xEBB6C228u},
    {std::string("a", 1), 0x9747B28Cu, 0x7FA09EA6u},
    {std::string("abcde", 5), 0x9747B28Cu, 0xE915B832u},
    {std::string("\xE4\xB8\xAD\xE6\x96\x87", 6), 0x9747B28Cu, 0x3309AEA6u},
    {std::string("", 0), 0xFFFFFFFFu, 0x81F16F39u},
    {std::string("a", 1), 0xFFFFFFFFu, 0x2A684527u},
    {std::string("abcde", 5), 0xFFFFFFFFu, 0x894C6B74u},
    {std::string("\x80\xFF\xFE", 3), 0xFFFFFFFFu, 0x15C14DC1u},
    {std::string("Hello, world!", 13), 0x9747B28Cu, 0x24884CBAu},
    {std::string("The quick brown fox jumps over the lazy dog", 43), 0x9747B28Cu, 0x2FA826CDu},
};

TEST(MurmurHash3Test, KnownAnswers) {
  for (const KnownAnswer& c : kKnownAnswers) {
    EXPECT_EQ(MurmurHash3x86_32(c.bytes, c.seed), c.hash)
        << "bytes of length " << c.bytes.size() << ", seed " << c.seed;
  }
}

TEST(MurmurHash3Test, LongerInputs) {
  std::string run;  // 0x80 to 0xFF: 32 blocks of high bytes
  for (int byte = 0x80; byte <= 0xFF; ++byte) {
    run += static_cast<char>(byte);
  }
  EXPECT_EQ(MurmurHash3x86_32(run), 0xAFD8FE71u);
  EXPECT_EQ(MurmurHash3x86_32(run, 0x9747B28Cu), 0xE94C2021u);
  std::string pattern;
  for (int i = 0; i < 1000; ++i) {
    pattern += static_cast<char>((i * 7 + 3) & 0xFF);
  }
  EXPECT_EQ(MurmurHash3x86_32(pattern), 0xEA551122u);
}

TEST(MurmurHash3Test, TheTwoFormsAgree) {
  // A literal with a seed is the string_view form, not a pointer and a size.
  EXPECT_EQ(MurmurHash3x86_32("abcde"), 0xE89B9AF6u);
  EXPECT_EQ(MurmurHash3x86_32("abcde", 1), 0xFFACB11Bu);
  EXPECT_EQ(MurmurHash3x86_32("abcde", 5, 0), 0xE89B9AF6u);
  EXPECT_EQ(MurmurHash3x86_32(nullptr, 0, 0), 0u);
  EXPECT_EQ(MurmurHash3x86_32(nullptr, 0, 1), 0x514E28B7u);
}

TEST(MurmurHash3Test, AnyAlignmentAndNoReadPastTheEnd) {
  // The same bytes at every offset give the same hash (UBSan reports a
  // misaligned block read); each copy ends exactly where its heap block
  // ends, so AddressSanitizer reports a read past the end.
  const std::string text = "\xE5\x8C\x97\xE4\xBA\xAC\xE5\xA4\xA7\xE5\xAD\xA6!";
  for (std::size_t offset = 0; offset < 8; ++offset) {
    for (std::size_t size = 0; size <= text.size(); ++size) {
      const std::unique_ptr<char[]> block(new char[offset + size]);
      std::memcpy(block.get() + offset, text.data(), size);
      EXPECT_EQ(MurmurHash3x86_32(block.get() + offset, size, 0),
                MurmurHash3x86_32(text.data(), size, 0))
          << "offset " << offset << ", size " << size;
    }
  }
}

}  // namespace
