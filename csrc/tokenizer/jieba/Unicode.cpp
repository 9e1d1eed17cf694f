#include "tokenizer/jieba/Unicode.hpp"

#include <cstring>

namespace kelp::typing::text::jieba {

bool DecodeRunesInString(const char* s, size_t len, RuneStrVector& runes) {
  runes.clear();
  if (len == 0) {
    return true;
  }
  // The offsets are 32-bit: a longer text would be decoded wrongly.
  if (s == nullptr || len > MAX_TEXT_BYTES) {
    return false;
  }
  if (len >= 34) {
    runes.reserve(len / 2);
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(s);
  uint32_t i = 0;
  uint32_t j = 0;
  while (i < len) {
    RuneStr record;
    const uint32_t taken = DecodeRune(bytes + i, len - i, record.rune);
    if (taken == 0) {
      runes.clear();
      return false;
    }
    record.byte_offset = i;
    record.byte_length = taken;
    record.rune_offset = j;
    record.rune_length = 1;
    runes.push_back(record);
    i += taken;
    ++j;
  }
  return true;
}

bool IsValidUtf8(const char* s, size_t len) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(s);
  size_t i = 0;
  while (i < len) {
    // Eight ASCII bytes at a time: most text is mostly ASCII or mostly not.
    while (i + 8 <= len) {
      uint64_t word;
      std::memcpy(&word, bytes + i, sizeof(word));
      if ((word & 0x8080808080808080ull) != 0) {
        break;
      }
      i += 8;
    }
    if (i == len) {
      break;
    }
    Rune rune;
    const uint32_t taken = DecodeRune(bytes + i, len - i, rune);
    if (taken == 0) {
      return false;
    }
    i += taken;
  }
  return true;
}

bool DecodeRunesInString(const char* s, size_t len, RuneVector& runes) {
  runes.clear();
  RuneStrVector records;
  if (!DecodeRunesInString(s, len, records)) {
    return false;
  }
  runes.reserve(records.size());
  for (const RuneStr& record : records) {
    runes.push_back(record.rune);
  }
  return true;
}

void EncodeRunes(const Rune* runes, size_t count, std::string& out) {
  for (size_t k = 0; k < count; ++k) {
    Rune rune = runes[k];
    if (rune < 0x80) {
      out.push_back(static_cast<char>(rune));
      continue;
    }
    if (rune > 0x1FFFFF) {
      rune = 0xFFFD;
    }
    if (rune < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (rune >> 6)));
    } else if (rune < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (rune >> 12)));
      out.push_back(static_cast<char>(0x80 | ((rune >> 6) & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (rune >> 18)));
      out.push_back(static_cast<char>(0x80 | ((rune >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((rune >> 6) & 0x3F)));
    }
    out.push_back(static_cast<char>(0x80 | (rune & 0x3F)));
  }
}

void GetWordsFromWordRanges(std::string_view s, const std::vector<WordRange>& wrs,
                            std::vector<Word>& words) {
  for (const WordRange& range : wrs) {
    const uint32_t byte_length =
        range.last->byte_offset + range.last->byte_length - range.first->byte_offset;
    Word& word = words.emplace_back();
    word.text.assign(s.data() + range.first->byte_offset, byte_length);
    word.byte_offset = range.first->byte_offset;
    word.rune_offset = range.first->rune_offset;
    word.rune_length = range.last->rune_offset + range.last->rune_length - range.first->rune_offset;
  }
}

void GetStringsFromWordRanges(std::string_view s, const std::vector<WordRange>& wrs,
                              std::vector<std::string>& words) {
  words.resize(wrs.size());
  for (size_t k = 0; k < wrs.size(); ++k) {
    const WordRange& range = wrs[k];
    const uint32_t byte_length =
        range.last->byte_offset + range.last->byte_length - range.first->byte_offset;
    words[k].assign(s.data() + range.first->byte_offset, byte_length);
  }
}

}  // namespace kelp::typing::text::jieba
