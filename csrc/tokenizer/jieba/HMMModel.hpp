// The four-state hidden Markov model with which the HMM segmenter cuts
// characters that the dictionary does not cover.
//
// States: B = 0 (first character of a word of two or more), E = 1 (last
// character), M = 2 (inner character), S = 3 (one-character word). A state
// number is odd exactly when the state ends a word. All values are
// log-probabilities; the decoder only adds and compares them.
//
// Model file: UTF-8 lines ending at a line feed; each line is trimmed of ASCII
// white space, and blank lines and lines starting with "#" are skipped. The
// nine data lines are, in order: the start values of B E M S; the transition
// rows from B, E, M and S (each exactly four numbers separated by single
// spaces); the emission lists of B, E, M and S ("char:value" entries
// separated by ","). Lines after the ninth data line are not read.
//
// Failures: a file that cannot be opened writes a FATAL record and throws
// limonp::FileError; a missing or malformed data line writes a FATAL record
// (after the ERROR record of a bad emission entry) and throws
// limonp::DataError naming the file and the 1-based line. Members own their
// parts, so a throwing constructor leaves nothing behind.
//
// State (Save, and the constructor from a limonp::ByteReader): the exact
// values, with no text in between:
//   4 f64        the start values of B E M S;
//   16 f64       the transition rows from B, E, M and S;
//   4 times      the emissions of B, E, M and S: a u64 count n, then n
//                pairs (u32 rune, f64 value) in strictly ascending rune
//                order, so that one model always saves to the same bytes.
// A restored model has the same maps and rebuilds the same emission rows,
// so it decodes exactly like the original. A malformed state throws
// limonp::StateError.
//
// Loaded once by a constructor and read-only afterwards: any number of
// threads may read it at once. emitProbByState points into the object
// itself, so it neither copies nor moves.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/limonp/ByteStream.hpp"
#include "tokenizer/limonp/FileUtil.hpp"
#include "tokenizer/limonp/Logging.hpp"
#include "tokenizer/limonp/StringUtil.hpp"

namespace kelp::typing::text::jieba {

inline constexpr size_t STATUS_SUM = 4;

struct HMMModel {
  // The states, numbered as the model file lists them.
  enum State : size_t {
    B = 0,
    E = 1,
    M = 2,
    S = 3,
  };

  using EmitProbMap = std::unordered_map<Rune, double>;

  explicit HMMModel(const std::string& modelPath) {
    for (size_t i = 0; i < STATUS_SUM; ++i) {
      startLogProb[i] = 0.0;
      for (size_t j = 0; j < STATUS_SUM; ++j) {
        transLogProb[i][j] = 0.0;
      }
    }
    PrepareMaps();
    LoadModel(modelPath);
    BuildEmitRows();
  }

  // The model of a state written by Save (see the top of this file), read
  // from the current position of `in`.
  explicit HMMModel(limonp::ByteReader& in) {
    PrepareMaps();
    for (size_t i = 0; i < STATUS_SUM; ++i) {
      startLogProb[i] = in.ReadF64("HMM start values");
    }
    for (size_t i = 0; i < STATUS_SUM; ++i) {
      for (size_t j = 0; j < STATUS_SUM; ++j) {
        transLogProb[i][j] = in.ReadF64("HMM transitions");
      }
    }
    static constexpr const char* kEmitLabels[STATUS_SUM] = {
        "HMM emissions of B", "HMM emissions of E", "HMM emissions of M", "HMM emissions of S"};
    EmitProbMap* maps[STATUS_SUM] = {&emitProbB, &emitProbE, &emitProbM, &emitProbS};
    for (size_t state = 0; state < STATUS_SUM; ++state) {
      const char* label = kEmitLabels[state];
      const size_t count = in.ReadCount(sizeof(uint32_t) + sizeof(double), label);
      maps[state]->reserve(count);
      Rune previous = 0;
      for (size_t i = 0; i < count; ++i) {
        const Rune rune = in.ReadU32(label);
        const double value = in.ReadF64(label);
        // Strictly ascending: no rune twice, and one order for one model.
        if (i > 0 && rune <= previous) {
          limonp::ThrowCorruptState(std::string(label) + ": rune " + std::to_string(rune) +
                                    " after rune " + std::to_string(previous));
        }
        previous = rune;
        maps[state]->emplace(rune, value);
      }
    }
    BuildEmitRows();
  }

  // Appends the state (see the top of this file).
  void Save(limonp::ByteWriter& out) const {
    for (size_t i = 0; i < STATUS_SUM; ++i) {
      out.WriteF64(startLogProb[i]);
    }
    for (size_t i = 0; i < STATUS_SUM; ++i) {
      for (size_t j = 0; j < STATUS_SUM; ++j) {
        out.WriteF64(transLogProb[i][j]);
      }
    }
    std::vector<std::pair<Rune, double>> sorted;
    for (const EmitProbMap* map : emitProbByState) {
      sorted.assign(map->begin(), map->end());
      std::sort(sorted.begin(), sorted.end(),
                [](const std::pair<Rune, double>& x, const std::pair<Rune, double>& y) {
                  return x.first < y.first;
                });
      out.WriteU64(sorted.size());
      for (const auto& [rune, value] : sorted) {
        out.WriteU32(rune);
        out.WriteF64(value);
      }
    }
  }

  HMMModel(const HMMModel&) = delete;
  HMMModel& operator=(const HMMModel&) = delete;

  // The model file, read one data line at a time; counts every line it reads
  // so that failures can name the line.
  class LineReader {
   public:
    explicit LineReader(const std::string& path) : path_(path) {
      error_ = limonp::OpenInputFile(path, stream_);
    }
    bool is_open() const { return stream_.is_open(); }
    int error() const noexcept { return error_; }
    const std::string& path() const noexcept { return path_; }
    // 1-based number of the last line read (0 before the first).
    size_t lineno() const noexcept { return lineno_; }

    // The next raw line without its line feed; false at end of file.
    bool ReadLine(std::string& line) {
      if (!std::getline(stream_, line)) {
        return false;
      }
      ++lineno_;
      return true;
    }

   private:
    std::string path_;
    std::ifstream stream_;
    int error_ = 0;
    size_t lineno_ = 0;
  };

  // What is wrong with a malformed model file, in its own words.
  static constexpr const char* kEndsEarly =
      "the model ends early: it needs a line of 4 start probabilities, 4 lines of 4 "
      "transition probabilities and 4 lines of emissions (B, E, M, S), comment lines aside";
  static constexpr const char* kFourNumbers =
      "expected 4 log-probabilities separated by spaces (states B, E, M, S)";
  static constexpr const char* kEmissions =
      "an emission line is pairs of one character and its log-probability, "
      "'char:number', separated by commas";

  void LoadModel(const std::string& path) {
    LineReader ifile(path);
    LIMONP_CHECK(ifile.is_open()).OnFile(path, ifile.error()) << "open " << path << " failed";
    std::string line;
    std::vector<std::string> tmp;

    LIMONP_CHECK(GetLine(ifile, line)).InData(path, ifile.lineno() + 1, kEndsEarly);
    limonp::Split(line, tmp, " ");
    LIMONP_CHECK(tmp.size() == STATUS_SUM).InData(path, ifile.lineno(), kFourNumbers);
    for (size_t j = 0; j < tmp.size(); ++j) {
      startLogProb[j] = limonp::StringToDouble(tmp[j]);
    }

    for (size_t i = 0; i < STATUS_SUM; ++i) {
      LIMONP_CHECK(GetLine(ifile, line)).InData(path, ifile.lineno() + 1, kEndsEarly);
      limonp::Split(line, tmp, " ");
      LIMONP_CHECK(tmp.size() == STATUS_SUM).InData(path, ifile.lineno(), kFourNumbers);
      for (size_t j = 0; j < tmp.size(); ++j) {
        transLogProb[i][j] = limonp::StringToDouble(tmp[j]);
      }
    }

    LIMONP_CHECK(GetLine(ifile, line)).InData(path, ifile.lineno() + 1, kEndsEarly);
    LIMONP_CHECK(LoadEmitProb(line, emitProbB)).InData(path, ifile.lineno(), kEmissions);
    LIMONP_CHECK(GetLine(ifile, line)).InData(path, ifile.lineno() + 1, kEndsEarly);
    LIMONP_CHECK(LoadEmitProb(line, emitProbE)).InData(path, ifile.lineno(), kEmissions);
    LIMONP_CHECK(GetLine(ifile, line)).InData(path, ifile.lineno() + 1, kEndsEarly);
    LIMONP_CHECK(LoadEmitProb(line, emitProbM)).InData(path, ifile.lineno(), kEmissions);
    LIMONP_CHECK(GetLine(ifile, line)).InData(path, ifile.lineno() + 1, kEndsEarly);
    LIMONP_CHECK(LoadEmitProb(line, emitProbS)).InData(path, ifile.lineno(), kEmissions);
  }

  // The next data line, trimmed: blank lines and "#" comments are skipped.
  // False at end of file.
  static bool GetLine(LineReader& ifile, std::string& line) {
    while (ifile.ReadLine(line)) {
      limonp::TrimSpaces(line);
      if (line.empty() || limonp::HasPrefix(line, "#")) {
        continue;
      }
      return true;
    }
    return false;
  }

  // Parses "char:value,char:value,..." into `map`; a later entry for the same
  // character overwrites an earlier one. False (after an ERROR record for a
  // bad entry) when the line is empty or an entry is malformed; entries
  // before the bad one stay in the map.
  static bool LoadEmitProb(const std::string& line, EmitProbMap& map) {
    if (line.empty()) {
      return false;
    }
    std::vector<std::string_view> entries;
    std::vector<std::string_view> parts;
    RuneVector runes;
    limonp::SplitViews(line, entries, ",");
    for (const std::string_view entry : entries) {
      limonp::SplitViews(entry, parts, ":");
      if (parts.size() != 2) {
        LIMONP_LOG(limonp::LL_ERROR) << "emitProb illegal.";
        return false;
      }
      if (!DecodeRunesInString(parts[0], runes) || runes.size() != 1) {
        LIMONP_LOG(limonp::LL_ERROR) << "TransCode failed.";
        return false;
      }
      map[runes[0]] = limonp::StringToDouble(parts[1]);
    }
    return true;
  }

  // The value stored for `rune` in `map`, or `defVal` when it has none.
  static double LookupEmitProb(const EmitProbMap* map, Rune rune, double defVal) {
    const auto it = map->find(rune);
    return it == map->end() ? defVal : it->second;
  }

  // The four emission values of `rune`, indexed by state, with SCORE_FLOOR
  // for every state that does not list it: the same values as
  // LookupEmitProb(emitProbByState[state], rune, SCORE_FLOOR), in one lookup.
  const double* EmitRow(Rune rune) const noexcept {
    if (rune < emit_row_index_.size()) {
      return emit_rows_[emit_row_index_[rune]].values;
    }
    const auto it = wide_emit_row_index_.find(rune);
    return emit_rows_[it == wide_emit_row_index_.end() ? 0 : it->second].values;
  }

  double startLogProb[STATUS_SUM];
  double transLogProb[STATUS_SUM][STATUS_SUM];
  EmitProbMap emitProbB;
  EmitProbMap emitProbE;
  EmitProbMap emitProbM;
  EmitProbMap emitProbS;
  // The map of state k is emitProbByState[k].
  std::vector<const EmitProbMap*> emitProbByState;

 private:
  struct EmitRowValues {
    double values[STATUS_SUM];
  };

  void PrepareMaps() {
    for (EmitProbMap* map : {&emitProbB, &emitProbE, &emitProbM, &emitProbS}) {
      map->max_load_factor(1.0f);
    }
    emitProbByState = {&emitProbB, &emitProbE, &emitProbM, &emitProbS};
  }

  // Runes up to this bound (the Basic Multilingual Plane, where every CJK
  // character of everyday text lies) find their row through a direct table.
  static constexpr Rune kDirectRowLimit = 0x10000;

  // Gathers the four maps into one row per listed rune, so that the decoder
  // looks each rune up once instead of four times. Row 0 is all SCORE_FLOOR.
  void BuildEmitRows() {
    emit_rows_.assign(1, EmitRowValues{{SCORE_FLOOR, SCORE_FLOOR, SCORE_FLOOR, SCORE_FLOOR}});
    Rune largest_direct = 0;
    bool any_direct = false;
    for (const EmitProbMap* map : emitProbByState) {
      for (const auto& [rune, value] : *map) {
        if (rune < kDirectRowLimit) {
          largest_direct = rune > largest_direct ? rune : largest_direct;
          any_direct = true;
        }
      }
    }
    emit_row_index_.assign(any_direct ? static_cast<size_t>(largest_direct) + 1 : 0, 0);
    for (size_t state = 0; state < STATUS_SUM; ++state) {
      for (const auto& [rune, value] : *emitProbByState[state]) {
        uint32_t* slot;
        if (rune < emit_row_index_.size()) {
          slot = &emit_row_index_[rune];
        } else {
          slot = &wide_emit_row_index_[rune];
        }
        if (*slot == 0) {
          *slot = static_cast<uint32_t>(emit_rows_.size());
          emit_rows_.push_back(emit_rows_[0]);
        }
        emit_rows_[*slot].values[state] = value;
      }
    }
    emit_rows_.shrink_to_fit();
  }

  std::vector<EmitRowValues> emit_rows_;
  std::vector<uint32_t> emit_row_index_;
  std::unordered_map<Rune, uint32_t> wide_emit_row_index_;
};

}  // namespace kelp::typing::text::jieba
