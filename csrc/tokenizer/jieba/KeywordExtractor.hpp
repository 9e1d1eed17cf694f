// The data that keyword extraction by term weighting needs: the inverse
// document frequency (idf) of each word with their average, the stop words,
// and a mixed segmenter of its own. The module loads and holds them; no
// operation of it reads them yet.
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
// Read-only after construction: any number of threads may read it at once.
#pragma once

#include <cerrno>
#include <cstddef>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/MixSegment.hpp"
#include "tokenizer/jieba/WordTable.hpp"
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

  KeywordExtractor(const KeywordExtractor&) = delete;
  KeywordExtractor& operator=(const KeywordExtractor&) = delete;

  // The idf of `word`, or null when the idf file does not list it.
  const double* Idf(std::string_view word) const { return idf_table_.Find(word); }
  double AverageIdf() const noexcept { return average_idf_; }
  bool IsStopWord(std::string_view word) const { return stop_word_set_.Contains(word); }

  const WordTable& IdfTable() const noexcept { return idf_table_; }
  const WordTable& StopWords() const noexcept { return stop_word_set_; }
  const MixSegment& Segment() const noexcept { return mix_segment_; }

 private:
  void LoadIdfDict(const std::string& path) {
    std::ifstream ifs;
    const int error = limonp::OpenInputFile(path, ifs);
    LIMONP_CHECK(ifs.is_open()).OnFile(path, error) << "open " << path << " failed";
    const std::string content = ReadAll(ifs, path);

    std::vector<WordTable::Entry> entries;
    entries.reserve(LineCount(content));
    std::vector<std::string_view> buf;
    double sum = 0.0;
    size_t lineno = 0;
    ForEachLine(content, [&](std::string_view line) {
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
    std::ifstream ifs;
    const int error = limonp::OpenInputFile(path, ifs);
    LIMONP_CHECK(ifs.is_open()).OnFile(path, error) << "open " << path << " failed";
    const std::string content = ReadAll(ifs, path);
    std::vector<WordTable::Entry> entries;
    entries.reserve(LineCount(content));
    ForEachLine(content, [&](std::string_view line) { entries.emplace_back(line, 0.0); });
    stop_word_set_.Assign(entries, false);
  }

  // The whole content of an open file. A read error is a file failure.
  static std::string ReadAll(std::ifstream& ifs, const std::string& path) {
    std::string content;
    // One block of the right size for a regular file; the loop below still
    // reads whatever is there.
    ifs.seekg(0, std::ios::end);
    const std::streamoff size = ifs.tellg();
    ifs.seekg(0, std::ios::beg);
    if (size > 0) {
      content.reserve(static_cast<size_t>(size));
    }
    ifs.clear();
    char chunk[1 << 16];
    errno = 0;
    while (ifs.read(chunk, sizeof(chunk)) || ifs.gcount() > 0) {
      content.append(chunk, static_cast<size_t>(ifs.gcount()));
    }
    const int error = errno != 0 ? errno : EIO;
    LIMONP_CHECK(!ifs.bad()).OnFile(path, error) << "read " << path << " failed";
    return content;
  }

  static size_t LineCount(std::string_view content) {
    size_t lines = 0;
    for (const char c : content) {
      lines += c == '\n';
    }
    return lines + 1;
  }

  // Calls `handle(line)` for every line of `content`: lines end at a line
  // feed (not included), a last line without one counts too, and a final
  // line feed starts no further line.
  template <typename Handle>
  static void ForEachLine(std::string_view content, Handle&& handle) {
    size_t pos = 0;
    while (pos < content.size()) {
      const size_t feed = content.find('\n', pos);
      if (feed == std::string_view::npos) {
        handle(content.substr(pos));
        return;
      }
      handle(content.substr(pos, feed - pos));
      pos = feed + 1;
    }
  }

  MixSegment mix_segment_;
  WordTable idf_table_;
  double average_idf_ = 0.0;
  WordTable stop_word_set_;
};

}  // namespace kelp::typing::text::jieba
