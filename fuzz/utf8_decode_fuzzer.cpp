// Fuzz target: the UTF-8 decoder on any bytes.
//
// Properties:
// - it never reads outside the text (the input buffer is exactly its size);
// - it succeeds exactly when a small strict reference decoder does (the
//   lead byte gives the length, every following byte must be 10xxxxxx, the
//   value must need that length, be at most U+10FFFF and not a surrogate),
//   with the same code points, and IsValidUtf8 gives the same verdict;
// - on success the records tile the text: byte offsets start at 0 and each
//   follows the previous record's end, lengths are 1 to 4, rune offsets
//   count up from 0, every rune length is 1; on failure both outputs are
//   empty;
// - words cut from ranges of the records are the source bytes at their
//   offsets, with the ranges' rune offsets and lengths.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "tokenizer/jieba/Unicode.hpp"

using namespace kelp::typing::text::jieba;

namespace {

// Strict UTF-8, read straight from its definition.
bool Reference(const unsigned char* s, std::size_t len, std::vector<Rune>& runes,
               std::vector<std::size_t>& lengths) {
  for (std::size_t i = 0; i < len;) {
    const unsigned char b0 = s[i];
    std::size_t n = 0;
    Rune value = 0;
    if (b0 < 0x80) {
      n = 1;
      value = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
      n = 2;
      value = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
      n = 3;
      value = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
      n = 4;
      value = b0 & 0x07;
    } else {
      return false;
    }
    if (len - i < n) {
      return false;
    }
    for (std::size_t k = 1; k < n; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) {
        return false;
      }
      value = (value << 6) | (s[i + k] & 0x3F);
    }
    const std::size_t shortest = value < 0x80 ? 1 : value < 0x800 ? 2 : value < 0x10000 ? 3 : 4;
    if (n != shortest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
      return false;
    }
    runes.push_back(value);
    lengths.push_back(n);
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const std::string_view view(text, size);
  RuneStrVector records;
  RuneVector runes;
  // Leftovers from an earlier text must not survive a decode.
  records.push_back(RuneStr{1, 2, 3, 4, 5});
  runes.push_back(7);
  const bool ok = DecodeRunesInString(text, size, records);
  const bool ok_runes = DecodeRunesInString(text, size, runes);

  std::vector<Rune> expected;
  std::vector<std::size_t> lengths;
  const bool expected_ok = Reference(data, size, expected, lengths);
  fuzz::Check(ok == expected_ok, "the decoder and the rules disagree on success", view);
  fuzz::Check(ok_runes == ok, "the two decoders disagree on success", view);
  fuzz::Check(IsValidUtf8(text, size) == ok, "IsValidUtf8 and the decoder disagree", view);
  if (!ok) {
    fuzz::Check(records.empty() && runes.empty(), "a failed decode left output", view);
    return 0;
  }
  fuzz::Check(records.size() == expected.size() && runes.size() == expected.size(),
              "wrong number of runes", view);
  std::size_t byte = 0;
  for (std::size_t j = 0; j < records.size(); ++j) {
    const RuneStr& r = records[j];
    fuzz::Check(r.rune == expected[j] && runes[j] == expected[j], "wrong code point", view);
    fuzz::Check(r.byte_offset == byte && r.byte_length == lengths[j], "wrong byte span", view);
    fuzz::Check(r.rune_offset == j && r.rune_length == 1, "wrong rune span", view);
    byte += r.byte_length;
  }
  fuzz::Check(byte == size, "the records do not cover the text", view);

  // Ranges chosen by the text itself: from each rune, up to the rune whose
  // index its value picks among the following ones.
  std::vector<WordRange> ranges;
  for (std::size_t j = 0; j < records.size(); ++j) {
    const std::size_t last = j + records[j].rune % (records.size() - j);
    ranges.push_back(WordRange{&records[j], &records[last]});
  }
  std::vector<Word> words{Word{"kept", 0, 0, 0}};
  GetWordsFromWordRanges(view, ranges, words);
  std::vector<std::string> strings{"reused", "strings"};
  GetStringsFromWordRanges(view, ranges, strings);
  fuzz::Check(words.size() == ranges.size() + 1 && words[0].text == "kept",
              "words already present were not kept", view);
  fuzz::Check(strings.size() == ranges.size(), "wrong number of strings", view);
  for (std::size_t k = 0; k < ranges.size(); ++k) {
    const Word& word = words[k + 1];
    const RuneStr& first = *ranges[k].first;
    const RuneStr& last = *ranges[k].last;
    const std::size_t length = last.byte_offset + last.byte_length - first.byte_offset;
    fuzz::Check(word.byte_offset == first.byte_offset &&
                    word.text == view.substr(first.byte_offset, length),
                "a word is not the text at its offset", view, word.text);
    fuzz::Check(strings[k] == word.text, "a string differs from its word", view);
    fuzz::Check(word.rune_offset == first.rune_offset &&
                    word.rune_length == ranges[k].Length(),
                "wrong rune span of a word", view);
  }
  return 0;
}
