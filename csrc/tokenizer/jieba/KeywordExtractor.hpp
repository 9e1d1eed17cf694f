// Keyword extraction by term weighting (TF-IDF): the inverse document
// frequency (idf) of each word with their average, the stop words, and a
// mixed segmenter of its own; Extract ranks the words of a cut sentence.
//
// Idf file: lines ending at a line feed, neither trimmed nor commented, each
// "word value" with exactly one space (the value read as by atof). An empty
// or malformed line is logged (ERROR) and skipped; a later line for the same
// word overwrites the earlier value. The average is the sum of the accepted
// values divided by the number of lines read, every line counting (an empty
// file gives 0/0, not a number).
//
// Stop-word file: one word per line, taken as read (no trimming; a blank
// line adds the empty word; a carriage return stays part of the word).
//
// Failures: a file that cannot be opened writes a FATAL record and throws
// limonp::FileError. Members own their parts, so a throwing constructor
// leaves nothing behind. The dictionary and the model are borrowed and must
// outlive the extractor.
//
// State (Save, and the constructor from a limonp::ByteReader): the idf table
// (a WordTable state with one value per word, or none when empty), the
// average idf as an f64 (bit for bit, NaN included), and the stop words (a
// WordTable state without values). The dictionary and the model are not
// part of it: the caller saves and restores them, and hands them over. A
// malformed state throws limonp::StateError.
//
// Read-only after construction: any number of threads may read it at once.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/MixSegment.hpp"
#include "tokenizer/jieba/WordTable.hpp"
#include "tokenizer/limonp/ByteStream.hpp"
#include "tokenizer/limonp/FileUtil.hpp"
#include "tokenizer/limonp/Logging.hpp"
#include "tokenizer/limonp/StringUtil.hpp"

namespace kelp::typing::text::jieba {

class KeywordExtractor {
 public:
  KeywordExtractor(const DictTrie* dictTrie, const HMMModel* model, const std::string& idfPath,
                   const std::string& stopWordPath)
      : mix_segment_(dictTrie, model) {
    LoadIdfDict(idfPath);
    LoadStopWordDict(stopWordPath);
  }

  // The idf table, average and stop words of a state written by Save, read
  // from the current position of `in`; `dictTrie` and `model` are borrowed
  // as by the file constructor.
  KeywordExtractor(const DictTrie* dictTrie, const HMMModel* model, limonp::ByteReader& in)
      : mix_segment_(dictTrie, model) {
    idf_table_.Load(in, "idf table");
    if (!idf_table_.empty() && !idf_table_.HasValues()) {
      limonp::ThrowCorruptState("idf table without values");
    }
    average_idf_ = in.ReadF64("average idf");
    stop_word_set_.Load(in, "stop words");
    if (stop_word_set_.HasValues()) {
      limonp::ThrowCorruptState("stop words with values");
    }
  }

  // Appends the state (see the top of this file).
  void Save(limonp::ByteWriter& out) const {
    idf_table_.Save(out);
    out.WriteF64(average_idf_);
    stop_word_set_.Save(out);
  }

  KeywordExtractor(const KeywordExtractor&) = delete;
  KeywordExtractor& operator=(const KeywordExtractor&) = delete;

  // The idf of `word`, or null when the idf file does not list it.
  const double* Idf(std::string_view word) const { return idf_table_.Find(word); }
  double AverageIdf() const noexcept { return average_idf_; }
  bool IsStopWord(std::string_view word) const { return stop_word_set_.Contains(word); }

  struct Keyword {
    std::string word;
    double weight;
  };

  // The `top_k` keywords among `words` (the words of one text, in any
  // order), highest weight first and, for equal weights, in byte order of
  // the word. Stop words and words of fewer than two runes are not counted;
  // each remaining distinct word weighs its count times its idf (the
  // average idf when the table lacks it), divided by the number of words
  // counted. A weight that is not a number ranks last. Cost: one idf lookup
  // per distinct word and a partial sort.
  std::vector<Keyword> Extract(const std::vector<std::string_view>& words, size_t top_k) const {
    std::unordered_map<std::string_view, size_t> counts;
    size_t total = 0;
    for (const std::string_view word : words) {
      if (!HasTwoRunes(word) || IsStopWord(word)) {
        continue;
      }
      ++counts[word];
      ++total;
    }
    std::vector<Keyword> keywords;
    keywords.reserve(counts.size());
    for (const auto& [word, count] : counts) {
      const double* idf = Idf(word);
      const double weight = static_cast<double>(count) * (idf != nullptr ? *idf : average_idf_) /
                            static_cast<double>(total);
      keywords.push_back(Keyword{std::string(word), weight});
    }
    const auto ranks_before = [](const Keyword& a, const Keyword& b) {
      const bool a_nan = std::isnan(a.weight);
      const bool b_nan = std::isnan(b.weight);
      if (a_nan != b_nan) {
        return b_nan;
      }
      if (!a_nan && a.weight != b.weight) {
        return a.weight > b.weight;
      }
      return a.word < b.word;
    };
    if (top_k < keywords.size()) {
      std::partial_sort(keywords.begin(), keywords.begin() + static_cast<std::ptrdiff_t>(top_k),
                        keywords.end(), ranks_before);
      keywords.resize(top_k);
    } else {
      std::sort(keywords.begin(), keywords.end(), ranks_before);
    }
    return keywords;
  }

  const WordTable& IdfTable() const noexcept { return idf_table_; }
  const WordTable& StopWords() const noexcept { return stop_word_set_; }
  const MixSegment& Segment() const noexcept { return mix_segment_; }

 private:
  void LoadIdfDict(const std::string& path) {
    const std::string content = LIMONP_READ_DATA_FILE(path, "");

    std::vector<WordTable::Entry> entries;
    entries.reserve(limonp::LineCountBound(content));
    std::vector<std::string_view> buf;
    double sum = 0.0;
    size_t lineno = 0;
    limonp::ForEachLine(content, [&](std::string_view line) {
      if (line.empty()) {
        LIMONP_LOG(limonp::LL_ERROR) << "lineno: " << lineno << " empty. skipped.";
      } else {
        limonp::SplitViews(line, buf, " ");
        if (buf.size() != 2) {
          LIMONP_LOG(limonp::LL_ERROR)
              << "line: " << line << ", lineno: " << lineno << " empty. skipped.";
        } else {
          const double idf = limonp::StringToDouble(buf[1]);
          entries.emplace_back(buf[0], idf);
          sum += idf;
        }
      }
      ++lineno;
    });
    idf_table_.Assign(entries, true);
    average_idf_ = sum / static_cast<double>(lineno);
  }

  void LoadStopWordDict(const std::string& path) {
    const std::string content = LIMONP_READ_DATA_FILE(path, "");
    std::vector<WordTable::Entry> entries;
    entries.reserve(limonp::LineCountBound(content));
    limonp::ForEachLine(content, [&](std::string_view line) { entries.emplace_back(line, 0.0); });
    stop_word_set_.Assign(entries, false);
  }

  // True when the UTF-8 `word` holds two runes or more: more than one byte
  // that is not a continuation byte.
  static bool HasTwoRunes(std::string_view word) noexcept {
    size_t leads = 0;
    for (const char c : word) {
      if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 && ++leads == 2) {
        return true;
      }
    }
    return false;
  }

  MixSegment mix_segment_;
  WordTable idf_table_;
  double average_idf_ = 0.0;
  WordTable stop_word_set_;
};

}  // namespace kelp::typing::text::jieba
