// The segmentation dictionary: the main dictionary and any user
// dictionaries, weighted, with the trie over all their entries.
//
// Main dictionary: one "word frequency tag" line per entry, columns split at
// every space (so exactly two single spaces), lines ending at a line feed; a
// carriage return before it stays part of the tag. Weights are
// ln(frequency / total of all frequencies).
//
// User dictionaries: a list of paths separated by '|' or ';'. Each non-empty
// line is "word", "word tag" or "word frequency tag"; entries without a
// frequency get the user-word weight (minimum, median or maximum of the main
// dictionary's weights). A word listed twice resolves to its last occurrence:
// a user entry replaces a main entry of the same word.
//
// Failures: a file that cannot be opened writes a FATAL record and throws
// limonp::FileError (with the errno value); a main dictionary line without
// exactly three columns, or a main dictionary without entries, writes a FATAL
// record and throws limonp::DataError naming the file and the 1-based line (0
// for the file as a whole). Members own their parts, so a throwing
// constructor leaves nothing behind. A word that is not valid UTF-8 is logged
// (ERROR) and its entry kept with no runes, so no lookup finds it.
//
// Built completely by the constructor, read-only afterwards: concurrent
// queries need no lock. Segmenters borrow it by pointer, so it neither
// copies nor moves.
//
// State (Save, and the constructor from a limonp::ByteReader): every entry
// as a u64 count, then per entry its word (u32 length and the UTF-8 of its
// runes; empty for a word that did not decode), its weight (f64) and its tag
// (u32 length and bytes); then the total frequency and the minimum,
// maximum, median and user-word weights (f64); then the one-rune user words
// (a u64 count and u32 runes, ascending). A restored dictionary has the same
// entries in the same order and builds the same trie. A malformed state
// throws limonp::StateError.
//
// An edition is a dictionary with run-time edits (DictEdits) laid over
// another one: it shares that dictionary's entries, trie and statistics and
// answers every query with the edits applied. Both it borrows must outlive it.
#pragma once

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>
#include <utility>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/jieba/Dag.hpp"
#include "tokenizer/jieba/DictEdits.hpp"
#include "tokenizer/jieba/DictUnit.hpp"
#include "tokenizer/jieba/RuneSet.hpp"
#include "tokenizer/jieba/Trie.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/limonp/ByteStream.hpp"
#include "tokenizer/limonp/FileUtil.hpp"
#include "tokenizer/limonp/Logging.hpp"
#include "tokenizer/limonp/StringUtil.hpp"

namespace kelp::typing::text::jieba {

// The weight given to user words that carry no frequency of their own. The
// underlying type is fixed so that every int is a valid value (any other
// than 0 and 1 means the maximum); without it only 0 to 3 would be.
enum UserWordWeightOption : int {
  UserWordWeightMin = 0,
  UserWordWeightMedian = 1,
  UserWordWeightMax = 2,  // also any value other than 0 and 1
};

// Columns of a main dictionary line: word, frequency, tag.
inline constexpr size_t DICT_COLUMN_NUM = 3;

class DictTrie {
 public:
  DictTrie(const std::string& dict_path, const std::string& user_dict_paths = "",
           UserWordWeightOption option = UserWordWeightMedian) {
    Init(dict_path, user_dict_paths, option);
  }

  // The dictionary of a state written by Save, read from the current
  // position of `in`.
  explicit DictTrie(limonp::ByteReader& in) {
    const size_t count = in.ReadCount(4 + 8 + 4, "dictionary entries");
    static_node_infos_.resize(count);
    for (DictUnit& unit : static_node_infos_) {
      const std::string_view word = in.ReadRaw(in.ReadU32("dictionary word"), "dictionary word");
      if (!DecodeRunesInString(word, unit.word) || !SavedAsDecoded(unit.word, word)) {
        limonp::ThrowCorruptState("dictionary word at offset " + std::to_string(in.position()) +
                                  " is not in its saved form");
      }
      unit.weight = in.ReadF64("dictionary weight");
      unit.tag.assign(in.ReadRaw(in.ReadU32("dictionary tag"), "dictionary tag"));
    }
    total_freq_ = in.ReadF64("dictionary statistics");
    min_weight_ = in.ReadF64("dictionary statistics");
    max_weight_ = in.ReadF64("dictionary statistics");
    median_weight_ = in.ReadF64("dictionary statistics");
    user_word_weight_ = in.ReadF64("dictionary statistics");
    const size_t singles = in.ReadCount(4, "one-rune user words");
    Rune previous = 0;
    for (size_t k = 0; k < singles; ++k) {
      const Rune rune = in.ReadU32("one-rune user words");
      if (k > 0 && rune <= previous) {
        limonp::ThrowCorruptState("one-rune user words out of order");
      }
      previous = rune;
      user_single_rune_words_.Insert(rune);
    }
    CreateTrie(static_node_infos_);
  }

  // Appends the state (see the top of this file). An edition saves its
  // base, without the edits.
  void Save(limonp::ByteWriter& out) const {
    if (base_ != nullptr) {
      base_->Save(out);
      return;
    }
    out.WriteU64(static_node_infos_.size());
    std::string word;
    for (const DictUnit& unit : static_node_infos_) {
      word.clear();
      EncodeRunes(unit.word.data(), unit.word.size(), word);
      WriteShortBytes(out, word);
      out.WriteF64(unit.weight);
      WriteShortBytes(out, unit.tag);
    }
    for (const double value :
         {total_freq_, min_weight_, max_weight_, median_weight_, user_word_weight_}) {
      out.WriteF64(value);
    }
    const std::vector<Rune> singles = user_single_rune_words_.Sorted();
    out.WriteU64(singles.size());
    for (const Rune rune : singles) {
      out.WriteU32(rune);
    }
  }

  // The edition of `base` with `edits` laid over it.
  DictTrie(const DictTrie& base, const DictEdits& edits)
      : total_freq_(base.total_freq_),
        min_weight_(base.min_weight_),
        max_weight_(base.max_weight_),
        median_weight_(base.median_weight_),
        user_word_weight_(base.user_word_weight_),
        base_(&base),
        edits_(&edits) {}

  DictTrie(const DictTrie&) = delete;
  DictTrie& operator=(const DictTrie&) = delete;

  // Word-graph lookup over [begin, end); see Trie::Find.
  void Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& dags,
            size_t max_word_len = MAX_WORD_RUNES) const {
    Find(begin, end, 0, static_cast<size_t>(end - begin), dags, max_word_len);
  }

  // The word graph of the positions [from, to) of the run [begin, end); see
  // Trie::Find.
  void Find(const RuneStr* begin, const RuneStr* end, size_t from, size_t to,
            std::vector<Dag>& dags, size_t max_word_len = MAX_WORD_RUNES) const {
    if (edits_ == nullptr) {
      trie_->Find(begin, end, from, to, dags, max_word_len);
      return;
    }
    const size_t n = static_cast<size_t>(end - begin);
    dags.resize(to - from);
    for (size_t i = from; i < to; ++i) {
      Dag& dag = dags[i - from];
      dag.rune_str = begin[i];
      edits_->ForEachWordAt(begin, n, i, max_word_len, [&dag](size_t j, const DictUnit* unit) {
        dag.ends.push_back(DagEnd{j, unit});
      });
    }
  }

  // The words starting at one position of a run; see Trie::ForEachWordAt.
  template <typename Visit>
  void ForEachWordAt(const RuneStr* begin, size_t n, size_t i, size_t max_word_len,
                     Visit&& visit) const {
    if (edits_ == nullptr) {
      trie_->ForEachWordAt(begin, n, i, max_word_len, std::forward<Visit>(visit));
    } else {
      edits_->ForEachWordAt(begin, n, i, max_word_len, std::forward<Visit>(visit));
    }
  }

  // The entry of exactly the runes [begin, end), or null.
  const DictUnit* Find(const RuneStr* begin, const RuneStr* end) const {
    return edits_ == nullptr ? trie_->Find(begin, end) : edits_->Find(begin, end);
  }

  // Smallest weight of a main dictionary entry: the score of a rune that
  // starts no dictionary word.
  double MinWeight() const noexcept { return min_weight_; }
  double MaxWeight() const noexcept { return max_weight_; }
  double MedianWeight() const noexcept { return median_weight_; }
  double UserWordWeight() const noexcept { return user_word_weight_; }
  double TotalFreq() const noexcept { return total_freq_; }

  // True when a user dictionary lists `rune` as a one-rune word.
  bool IsUserSingleRuneWord(Rune rune) const noexcept {
    return edits_ == nullptr ? user_single_rune_words_.Contains(rune)
                             : edits_->IsUserSingleRuneWord(rune);
  }

  // Every entry: the main dictionary's lines in file order, then the user
  // dictionaries' lines. An edition gives its base's entries, without the
  // edits.
  const std::vector<DictUnit>& Units() const noexcept {
    return base_ != nullptr ? base_->Units() : static_node_infos_;
  }

  // The trie over Units() (an edition's base trie, without the edits).
  const Trie& GetTrie() const noexcept { return base_ != nullptr ? base_->GetTrie() : *trie_; }

  // The one-rune words of the user dictionaries (an edition's base set,
  // without the edits).
  const RuneSet& UserSingleRuneWords() const noexcept {
    return base_ != nullptr ? base_->UserSingleRuneWords() : user_single_rune_words_;
  }

  // The edits of an edition; null for a dictionary loaded from files.
  const DictEdits* Edits() const noexcept { return edits_; }

 private:
  void Init(const std::string& dict_path, const std::string& user_dict_paths,
            UserWordWeightOption option) {
    LoadDict(dict_path);
    LIMONP_CHECK(!static_node_infos_.empty())
        .InData(dict_path, 0, "the dictionary has no entries");
    total_freq_ = 0.0;
    for (const DictUnit& unit : static_node_infos_) {
      total_freq_ += unit.weight;
    }
    for (DictUnit& unit : static_node_infos_) {
      unit.weight = std::log(unit.weight / total_freq_);
    }
    SetStaticWordWeights(option);
    if (!user_dict_paths.empty()) {
      LoadUserDict(user_dict_paths);
    }
    Shrink(static_node_infos_);
    CreateTrie(static_node_infos_);
  }

  // Reads the main dictionary; each entry's weight is its frequency until
  // Init turns it into a log-probability.
  void LoadDict(const std::string& path) {
    const std::string content = LIMONP_READ_DATA_FILE(path, ".");
    static_node_infos_.reserve(limonp::LineCountBound(content));

    std::vector<std::string_view> buf;
    size_t lineno = 0;
    limonp::ForEachLine(content, [&](std::string_view line) {
      ++lineno;
      limonp::SplitViews(line, buf, " ");
      LIMONP_CHECK(buf.size() == DICT_COLUMN_NUM)
              .InData(path, lineno,
                      (buf.empty() ? std::string("an empty line: ") : std::string()) +
                          "a dictionary line is a word, a frequency and a tag separated by "
                          "single spaces" +
                          (buf.empty() ? std::string()
                                       : "; this one has " + std::to_string(buf.size()) +
                                             " column" + (buf.size() == 1 ? "" : "s")))
          << "split result illegal, line:" << line;
      const double freq = limonp::StringToDouble(buf[1]);
      DictUnit& unit = static_node_infos_.emplace_back();
      if (!MakeNodeInfo(unit, buf[0], freq, buf[2])) {
        // The entry can never be found, but it keeps its own line's
        // frequency and tag, which still count in the statistics.
        unit.weight = freq;
        unit.tag.assign(buf[2]);
      }
    });
  }

  // Computes the minimum, median and maximum weight of the main dictionary
  // and the user-word weight.
  void SetStaticWordWeights(UserWordWeightOption option) {
    std::vector<double> weights;
    weights.reserve(static_node_infos_.size());
    for (const DictUnit& unit : static_node_infos_) {
      weights.push_back(unit.weight);
    }
    const size_t n = weights.size();
    std::nth_element(weights.begin(), weights.begin() + n / 2, weights.end(), WeightLess);
    median_weight_ = weights[n / 2];
    const auto [min_it, max_it] = std::minmax_element(weights.begin(), weights.end(), WeightLess);
    min_weight_ = *min_it;
    // minmax_element gives the first of equal smallest and the last of equal
    // largest; with a total order both are the sorted ends.
    max_weight_ = *max_it;
    switch (option) {
      case UserWordWeightMin:
        user_word_weight_ = min_weight_;
        break;
      case UserWordWeightMedian:
        user_word_weight_ = median_weight_;
        break;
      default:
        user_word_weight_ = max_weight_;
        break;
    }
  }

  void LoadUserDict(const std::string& paths) {
    std::vector<std::string_view> files;
    limonp::SplitViews(paths, files, "|;");
    for (const std::string_view file : files) {
      const std::string path(file);
      const std::string content = LIMONP_READ_DATA_FILE(path, "");
      size_t lineno = 0;
      limonp::ForEachLine(content, [&](std::string_view line) {
        ++lineno;
        if (!line.empty()) {
          WarnIfIneffective(line, path, lineno);
          InserUserDictNode(line);
        }
      });
    }
  }

  // Writes a WARN record naming path:lineno when a user dictionary line
  // cannot take the effect its writer meant; it is read as always.
  static void WarnIfIneffective(std::string_view line, const std::string& path, size_t lineno) {
    std::vector<std::string_view> buf;
    limonp::SplitViews(line, buf, " ");
    std::string why;
    if (line.find('\t') != std::string_view::npos) {
      why = "it holds a tab, but columns are separated by single spaces: the tab stays in the "
            "word, which no cut can then return";
    } else if (buf.size() < 1 || buf.size() > 3) {
      why = "a line is a word, then optionally a frequency and a tag, separated by single "
            "spaces; this one has " + std::to_string(buf.size()) + " columns and adds no word";
    } else if (buf.size() == 2 && IsNumber(buf[1])) {
      why = "the second column, " + std::string(buf[1]) + ", is read as a tag; a frequency "
            "comes with a tag after it, as in 'word " + std::string(buf[1]) + " n'";
    } else if (buf.size() == 3 && !(IsNumber(buf[1]) && limonp::StringToInteger(buf[1]) > 0)) {
      why = "the frequency " + std::string(buf[1]) + " is not a whole number of 1 or more, so "
            "the word's weight is not a number the cut can use";
    }
    if (!why.empty()) {
      LIMONP_LOG(limonp::LL_WARN) << path << ":" << lineno << ": " << why;
    }
  }

  static bool IsNumber(std::string_view text) noexcept {
    size_t k = text.size() > 1 && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (k == text.size()) {
      return false;
    }
    for (; k < text.size(); ++k) {
      if (text[k] < '0' || text[k] > '9') {
        return false;
      }
    }
    return true;
  }

  // Turns one user dictionary line into an entry. A line of any column count
  // other than 1 to 3 still adds an entry, with no runes.
  void InserUserDictNode(std::string_view line) {
    std::vector<std::string_view> buf;
    limonp::SplitViews(line, buf, " ");
    DictUnit unit;
    switch (buf.size()) {
      case 1:
        MakeNodeInfo(unit, buf[0], user_word_weight_, std::string_view());
        break;
      case 2:
        MakeNodeInfo(unit, buf[0], user_word_weight_, buf[1]);
        break;
      case 3: {
        const double freq = static_cast<double>(limonp::StringToInteger(buf[1]));
        MakeNodeInfo(unit, buf[0], std::log(freq / total_freq_), buf[2]);
        break;
      }
      default:
        break;
    }
    static_node_infos_.push_back(std::move(unit));
    const DictUnit& added = static_node_infos_.back();
    if (added.word.size() == 1) {
      user_single_rune_words_.Insert(added.word[0]);
    }
  }

  // Decodes `word` into the entry and sets its weight and tag. On invalid
  // UTF-8 logs an error, leaves the entry without runes and its weight and
  // tag as they were, and returns false.
  bool MakeNodeInfo(DictUnit& unit, std::string_view word, double weight, std::string_view tag) {
    if (!DecodeRunesInString(word.data(), word.size(), unit.word)) {
      LIMONP_LOG(limonp::LL_ERROR) << "Decode " << word << " failed.";
      return false;
    }
    unit.weight = weight;
    unit.tag.assign(tag);
    return true;
  }

  // Gives the entry vector storage of exactly its size; it lives unchanged
  // as long as the dictionary.
  void Shrink(std::vector<DictUnit>& units) const {
    if (units.capacity() != units.size()) {
      std::vector<DictUnit>(std::make_move_iterator(units.begin()),
                            std::make_move_iterator(units.end()))
          .swap(units);
    }
  }

  void CreateTrie(const std::vector<DictUnit>& units) { trie_ = std::make_unique<Trie>(units); }

  // Ascending weight. A weight that is not a number (a negative frequency,
  // say) sorts after every number, so the order stays total and the sort
  // well defined.
  static bool WeightLess(double a, double b) noexcept {
    if (std::isnan(a)) {
      return false;
    }
    return std::isnan(b) || a < b;
  }

  static void WriteShortBytes(limonp::ByteWriter& out, std::string_view bytes) {
    if (bytes.size() > UINT32_MAX) {
      throw std::length_error("dictionary state: a word or tag of 4 GiB or more");
    }
    out.WriteU32(static_cast<uint32_t>(bytes.size()));
    out.WriteRaw(bytes);
  }

  // True when `bytes` is the form Save writes for `runes`, so that every
  // state has one form and loads back to exactly what was saved.
  static bool SavedAsDecoded(const RuneVector& runes, std::string_view bytes) {
    std::string encoded;
    EncodeRunes(runes.data(), runes.size(), encoded);
    return encoded == bytes;
  }

  std::vector<DictUnit> static_node_infos_;
  std::unique_ptr<Trie> trie_;
  double total_freq_ = 0.0;
  double min_weight_ = 0.0;
  double max_weight_ = 0.0;
  double median_weight_ = 0.0;
  double user_word_weight_ = 0.0;
  RuneSet user_single_rune_words_;
  // Set in an edition only.
  const DictTrie* base_ = nullptr;
  const DictEdits* edits_ = nullptr;
};

}  // namespace kelp::typing::text::jieba
