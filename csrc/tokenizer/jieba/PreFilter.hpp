// Decodes one sentence and hands it out in runs split at separator runes.
//
// Each separator rune is a run of its own, so separators are never dropped
// and no run is ever empty. A PreFilter lives for one sentence-level call;
// it borrows the segmenter's separator set, which must not change meanwhile.
//
// Invalid UTF-8 is not an error to the caller: it is logged ("decode failed. ")
// and the sentence yields no runs. A sentence of MAX_TEXT_BYTES + 1 bytes or
// more (4 GiB) throws std::length_error before a byte is read, since the
// 32-bit offsets cannot describe it.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "tokenizer/jieba/RuneSet.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::jieba {

class PreFilter {
 public:
  // A half-open run [begin, end) of the decoded sentence; never empty.
  struct Range {
    const RuneStr* begin;
    const RuneStr* end;
  };

  PreFilter(const RuneSet& separators, std::string_view sentence) : separators_(separators) {
    CheckTextLength(sentence.size());
    if (!DecodeRunesInString(sentence.data(), sentence.size(), runes_)) {
      LIMONP_LOG(limonp::LL_ERROR) << "decode failed. ";
    }
    position_ = runes_.begin();
  }

  // position_ points into runes_, whose inline buffer would not follow a copy.
  PreFilter(const PreFilter&) = delete;
  PreFilter& operator=(const PreFilter&) = delete;

  bool HasMore() const noexcept { return position_ != runes_.end(); }

  // The next run. Call only after HasMore() returned true.
  Range NextRange() noexcept {
    const RuneStr* const start = position_;
    const RuneStr* const stop = runes_.end();
    for (const RuneStr* p = start; p != stop; ++p) {
      if (separators_.Contains(p->rune)) {
        if (p == start) {
          position_ = p + 1;
          return Range{start, p + 1};
        }
        position_ = p;
        return Range{start, p};
      }
    }
    position_ = stop;
    return Range{start, stop};
  }

  // The decoded sentence.
  const RuneStrVector& Runes() const noexcept { return runes_; }

  // Throws std::length_error when a text of `bytes` bytes is too long for the
  // 32-bit offsets of the decoded records.
  static void CheckTextLength(size_t bytes) {
    if (bytes > MAX_TEXT_BYTES) {
      throw std::length_error("text of " + std::to_string(bytes) +
                              " bytes is too long: the segmenter takes texts shorter than 4 GiB");
    }
  }

 private:
  const RuneStr* position_ = nullptr;
  RuneStrVector runes_;
  const RuneSet& separators_;
};

}  // namespace kelp::typing::text::jieba
