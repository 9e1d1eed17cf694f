// Segmentation without a dictionary: fixed rules for the letters and digits
// of alphabets written with spaces between words, Viterbi decoding over the
// four-state HMM for everything else.
//
// Rules (RuneScripts.hpp classes the runes):
// - a run that starts with a letter of such an alphabet (Latin, with ASCII,
//   accented and full-width letters alike; Greek, Cyrillic, Armenian,
//   Georgian, Hebrew, Arabic, the Indic scripts, Hangul, Ethiopic and the
//   like) and goes on over letters of the same script, decimal digits of
//   any script and combining marks is one word: "Müller2", "naïve",
//   "Москва", "서울", "ＡＢＣ１２３"; a change of script ends it ("abc" and
//   "абв" in "abcабв");
// - a run of decimal digits (ASCII, full-width or any other) and ASCII full
//   stops that starts with a digit is one word ("3.14", "２００８");
// - every other ASCII character is a word by itself;
// - everything else (Han, kana, Thai and other scripts written without
//   spaces, punctuation beyond ASCII, symbols, a mark that follows no
//   letter) is decoded by the HMM, each stretch between two rule-made words
//   on its own, and a word ends at every rune labelled E or S.
// On text of ASCII and Han alone these are the rules for ASCII letters and
// digits that the segmenter has always had.
//
// Cost: linear in the run length, 16 transition evaluations per rune. The
// decoder keeps the scores of two positions only and four one-byte back
// pointers per rune (on the stack for short stretches, the common case
// inside the mixed cut), so a long stretch costs 5 bytes per rune. A rune
// of U+0080 and above outside U+3400..U+9FFF costs a binary search to
// class.
//
// The model is borrowed and must outlive the segmenter. Every cut is const
// and keeps its working state in the call: one segmenter serves any number
// of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/RuneScripts.hpp"
#include "tokenizer/jieba/SegmentBase.hpp"
#include "tokenizer/jieba/Unicode.hpp"

namespace kelp::typing::text::jieba {

namespace internal {

// Working storage of one call: inline for up to N elements, one heap block
// beyond. Elements are left uninitialised.
template <typename T, size_t N>
class ScratchBuffer {
 public:
  explicit ScratchBuffer(size_t n) : data_(local_) {
    if (n > N) {
      heap_.reset(new T[n]);
      data_ = heap_.get();
    }
  }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;

  T* data() noexcept { return data_; }
  T& operator[](size_t i) noexcept { return data_[i]; }

 private:
  T local_[N];
  std::unique_ptr<T[]> heap_;
  T* data_;
};

}  // namespace internal

class HMMSegment : public SegmentBase {
  // The rune-level cut, as the sentence driver calls it.
  struct RuneCut {
    const HMMSegment* segment;
    void operator()(const RuneStr* begin, const RuneStr* end,
                    std::vector<WordRange>& ranges) const {
      segment->Cut(begin, end, ranges);
    }
  };

 public:
  explicit HMMSegment(const HMMModel* model) : hmm_model_(model) {}

  void Cut(std::string_view sentence, std::vector<std::string>& words) const override {
    CutToStrings(sentence, words, RuneCut{this});
  }

  // The words with their offsets.
  void Cut(std::string_view sentence, std::vector<Word>& words) const {
    CutToWords(sentence, words, RuneCut{this});
  }

  // Rune level: appends the words of [begin, end) to `ranges`.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges) const {
    const RuneStr* pending = begin;
    const RuneStr* cursor = begin;
    while (cursor != end) {
      const RuneClass kind = ClassifyRune(cursor->rune);
      if (cursor->rune >= 0x80 && !kind.IsLetter() && !kind.IsDigit()) {
        ++cursor;  // for the decoder
        continue;
      }
      if (pending != cursor) {
        InternalCut(pending, cursor, ranges);
      }
      const RuneStr* token_end = cursor + 1;
      if (kind.IsLetter()) {
        while (token_end != end) {
          const RuneClass next = ClassifyRune(token_end->rune);
          if (next != kind && !next.IsDigit() && !next.IsMark()) {
            break;
          }
          ++token_end;
        }
      } else if (kind.IsDigit()) {
        while (token_end != end &&
               (token_end->rune == '.' || ClassifyRune(token_end->rune).IsDigit())) {
          ++token_end;
        }
      }
      ranges.push_back(WordRange{cursor, token_end - 1});
      pending = cursor = token_end;
    }
    if (pending != end) {
      InternalCut(pending, end, ranges);
    }
  }

  // Viterbi cut of the non-empty run [begin, end): a word ends at every rune
  // whose state is E or S.
  void InternalCut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& ranges) const {
    const size_t n = static_cast<size_t>(end - begin);
    if (n == 1) {
      // The last state is always E or S, so a lone rune is always one word:
      // no need to decode (the mixed cut hands over many lone runes).
      ranges.push_back(WordRange{begin, begin});
      return;
    }
    internal::ScratchBuffer<uint8_t, kLocalRunes> states(n);
    Decode(begin, n, states.data());
    const RuneStr* word_begin = begin;
    for (size_t i = 0; i < n; ++i) {
      if (states[i] & 1) {
        ranges.push_back(WordRange{word_begin, begin + i});
        word_begin = begin + i + 1;
      }
    }
  }

  // The best state path of the non-empty run [begin, end), one state per rune.
  void Viterbi(const RuneStr* begin, const RuneStr* end, std::vector<size_t>& states) const {
    const size_t n = static_cast<size_t>(end - begin);
    internal::ScratchBuffer<uint8_t, kLocalRunes> path(n);
    Decode(begin, n, path.data());
    states.resize(n);
    for (size_t i = 0; i < n; ++i) {
      states[i] = path[i];
    }
  }

 private:
  // Runs up to this many runes decode without touching the heap.
  static constexpr size_t kLocalRunes = 64;

  // Viterbi over n >= 1 runes; writes the state of each rune to `states`.
  //
  // The score of a path ending in state y at position x is the best one
  // over the states at x - 1; back[x][y] is the state at x - 1 on that path.
  // Only the scores of x - 1 are needed to score x, so two rows are kept. A
  // candidate must be strictly greater to win, so ties keep the
  // lowest-numbered previous state; a cell that no candidate beats keeps
  // SCORE_FLOOR and the previous state E. The last state is E or S, E on a
  // tie.
  void Decode(const RuneStr* runes, size_t n, uint8_t* states) const {
    const HMMModel& model = *hmm_model_;
    internal::ScratchBuffer<uint8_t, kLocalRunes * STATUS_SUM> back(n * STATUS_SUM);
    double rows[2][STATUS_SUM];

    const double* emit = model.EmitRow(runes[0].rune);
    for (size_t y = 0; y < STATUS_SUM; ++y) {
      rows[0][y] = model.startLogProb[y] + emit[y];
    }
    for (size_t x = 1; x < n; ++x) {
      emit = model.EmitRow(runes[x].rune);
      const double* previous = rows[(x - 1) & 1];
      double* current = rows[x & 1];
      uint8_t* pointers = back.data() + x * STATUS_SUM;
      for (size_t y = 0; y < STATUS_SUM; ++y) {
        const double e = emit[y];
        double best = SCORE_FLOOR;
        uint8_t from = HMMModel::E;
        for (size_t p = 0; p < STATUS_SUM; ++p) {
          const double t = (previous[p] + model.transLogProb[p][y]) + e;
          if (t > best) {
            best = t;
            from = static_cast<uint8_t>(p);
          }
        }
        current[y] = best;
        pointers[y] = from;
      }
    }

    const double* last = rows[(n - 1) & 1];
    uint8_t state = last[HMMModel::E] >= last[HMMModel::S] ? HMMModel::E : HMMModel::S;
    for (size_t x = n; x-- > 0;) {
      states[x] = state;
      if (x > 0) {
        state = back[x * STATUS_SUM + state];
      }
    }
  }

  const HMMModel* hmm_model_;
};

}  // namespace kelp::typing::text::jieba
