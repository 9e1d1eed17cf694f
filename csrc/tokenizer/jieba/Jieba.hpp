// The tokenizer facade: loads every data file once, owns the dictionary and
// the HMM model, builds every segmenter over them, and offers the cuts
// (normal, search and full mode, as a CutMode value), part-of-speech tags,
// keywords, and words added to or removed from the dictionary at run time.
//
// Files are loaded in this order, each completely before the next: main
// dictionary, user dictionaries, HMM model, idf file, stop-word file. The
// first file that cannot be opened or is malformed writes its FATAL record
// and throws (limonp::FileError or limonp::DataError); every member is held
// by value, so the members built so far are destroyed and nothing is left
// behind.
//
// Run-time words. AddWord and RemoveWord record the change and mark the
// current edition stale; the next call that reads the dictionary builds a
// new edition (a DictEdits over the loaded dictionary, and segmenters over
// it) from all changes so far, so a run of changes costs one build, of the
// changed words only. A call takes the edition current when it starts and
// keeps it to the end, so it sees the dictionary either before or after a
// concurrent change, never a mix. A facade whose words never changed reads
// its own members directly: one atomic load per call is all it pays.
//
// State (Serialize, Deserialize): the magic "razoduviva.Jieba", a NUL and a
// u32 format number (1), then the states of the dictionary, the HMM model
// and the keyword tables, then the run-time changes as a u64 count and per
// changed word its word, a u8 flag (1: removed), its weight (f64) and its
// tag. A restored facade cuts, tags and extracts keywords exactly as the
// saved one did, with no file read.
//
// Thread-safety: any number of threads may cut, tag and extract keywords at
// once, also while other threads add or remove words. Construction and
// destruction must not overlap with any other call. The segmenters point at
// dictionary_ and hmm_model_, so the facade neither copies nor moves;
// members are destroyed in reverse order, segmenters before the data they
// point at.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/jieba/DictEdits.hpp"
#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/FullSegment.hpp"
#include "tokenizer/jieba/HMMModel.hpp"
#include "tokenizer/jieba/HMMSegment.hpp"
#include "tokenizer/jieba/KeywordExtractor.hpp"
#include "tokenizer/jieba/MPSegment.hpp"
#include "tokenizer/jieba/MixSegment.hpp"
#include "tokenizer/jieba/PosTagger.hpp"
#include "tokenizer/jieba/QuerySegment.hpp"
#include "tokenizer/jieba/Unicode.hpp"
#include "tokenizer/jieba/WordSpan.hpp"
#include "tokenizer/jieba/WordTable.hpp"
#include "tokenizer/limonp/ByteStream.hpp"
#include "tokenizer/limonp/Errors.hpp"
#include "tokenizer/limonp/FileUtil.hpp"
#include "tokenizer/limonp/Hash.hpp"

namespace kelp::typing::text::jieba {

// How a sentence is cut.
enum class CutMode {
  kDefault,  // the mixed dictionary and HMM cut
  kSearch,   // the default cut plus the dictionary words inside long words
  kFull,     // every dictionary word found, overlapping ones included
};

class Jieba {
 public:
  using Keyword = KeywordExtractor::Keyword;

  // Paths are UTF-8 byte strings. `userDictPath` may name several files
  // separated by '|' or ';', or none (empty). A path holding a NUL byte
  // throws std::invalid_argument "<name>: embedded null byte" before any
  // file is read, <name> being the caller's name of the path: dict_path,
  // hmm_path, user_dict_path, idf_path or stop_word_path, checked in that
  // order.
  Jieba(const std::string& dictPath, const std::string& modelPath, const std::string& userDictPath,
        const std::string& idfPath, const std::string& stopWordPath)
      : dictionary_(CheckPaths(dictPath, modelPath, userDictPath, idfPath, stopWordPath),
                    userDictPath, UserWordWeightMedian),
        hmm_model_(modelPath),
        mp_segment_(&dictionary_),
        hmm_segment_(&hmm_model_),
        mix_segment_(&dictionary_, &hmm_model_),
        full_segment_(&dictionary_),
        query_segment_(&dictionary_, &hmm_model_),
        keyword_extractor_(&dictionary_, &hmm_model_, idfPath, stopWordPath) {}

  Jieba(const Jieba&) = delete;
  Jieba& operator=(const Jieba&) = delete;

  // The state of the facade, run-time changes included (see the top).
  std::string Serialize() const {
    std::string state;
    limonp::ByteWriter out(state);
    out.WriteRaw(std::string_view(kStateMagic, sizeof(kStateMagic)));
    out.WriteU32(kStateFormat);
    dictionary_.Save(out);
    hmm_model_.Save(out);
    keyword_extractor_.Save(out);
    const std::vector<DictEdits::Entry> edits = Edits();
    out.WriteU64(edits.size());
    for (const DictEdits::Entry& entry : edits) {
      out.WriteBytes(entry.word);
      out.WriteU8(entry.removed ? 1 : 0);
      out.WriteF64(entry.weight);
      out.WriteBytes(entry.tag);
    }
    return state;
  }

  // A digest of the loaded data (dictionary, HMM model, idf table and stop
  // words; not the run-time changes): "fnv1a64:" and 16 hex digits. Equal
  // for facades on equal data, whatever their files were called; costs a
  // pass over the data (a few milliseconds for the bundled data).
  std::string DataFingerprint() const {
    std::string state;
    limonp::ByteWriter out(state);
    dictionary_.Save(out);
    hmm_model_.Save(out);
    keyword_extractor_.Save(out);
    char text[32];
    std::snprintf(text, sizeof(text), "fnv1a64:%016llx",
                  static_cast<unsigned long long>(limonp::Fnv1a(state)));
    return text;
  }

  // A facade from a state written by Serialize. Throws limonp::StateError
  // for bytes that are not such a state (or of another format), and
  // std::invalid_argument for a changed word that is not UTF-8.
  static std::unique_ptr<Jieba> Deserialize(std::string_view state) {
    limonp::ByteReader in(state);
    if (in.remaining() < sizeof(kStateMagic) ||
        in.ReadRaw(sizeof(kStateMagic), "Jieba magic") !=
            std::string_view(kStateMagic, sizeof(kStateMagic))) {
      limonp::ThrowCorruptState("not a razoduviva Jieba state");
    }
    const uint32_t format = in.ReadU32("Jieba state format");
    if (format != kStateFormat) {
      throw limonp::StateError("Jieba state format " + std::to_string(format) +
                               " is not supported; this build reads format " +
                               std::to_string(kStateFormat));
    }
    std::unique_ptr<Jieba> facade(new Jieba(in));
    const size_t count = in.ReadCount(8 + 1 + 8 + 8, "changed words");
    std::vector<DictEdits::Entry> edits(count);
    for (DictEdits::Entry& entry : edits) {
      entry.word.assign(in.ReadBytes("changed word"));
      const uint8_t removed = in.ReadU8("changed word flag");
      if (removed > 1) {
        limonp::ThrowCorruptState("changed word flag " + std::to_string(removed));
      }
      entry.removed = removed == 1;
      entry.weight = in.ReadF64("changed word weight");
      entry.tag.assign(in.ReadBytes("changed word tag"));
      // Ascending and distinct, as Serialize writes them: one form per state.
      if (&entry != &edits.front() && !((&entry)[-1].word < entry.word)) {
        limonp::ThrowCorruptState("changed words out of order");
      }
    }
    in.ExpectEnd();
    if (!edits.empty()) {
      facade->SetEdits(edits);
    }
    return facade;
  }

  // Replaces `out` (a vector of WordSpan, Word or std::string) with the
  // words of `sentence` cut in `mode`; `hmm` false cuts with the dictionary
  // alone (full mode never uses the HMM). Invalid UTF-8 yields no words and
  // an ERROR record; a sentence of 4 GiB or more throws std::length_error.
  template <typename Out>
  void Cut(CutMode mode, std::string_view sentence, std::vector<Out>& out, bool hmm = true) const {
    Read([&](const Segments& segments) { segments.Cut(mode, sentence, out, hmm); });
  }

  // Normal cut: replaces `words` with the mixed segmentation of `sentence`.
  void Cut(std::string_view sentence, std::vector<std::string>& words, bool hmm = true) const {
    Cut(CutMode::kDefault, sentence, words, hmm);
  }

  void Cut(std::string_view sentence, std::vector<WordSpan>& spans, bool hmm = true) const {
    Cut(CutMode::kDefault, sentence, spans, hmm);
  }

  // Search cut: the normal cut plus the dictionary words of two and three
  // runes inside longer words.
  void CutQuery(std::string_view sentence, std::vector<std::string>& words,
                bool hmm = true) const {
    Cut(CutMode::kSearch, sentence, words, hmm);
  }

  void CutQuery(std::string_view sentence, std::vector<WordSpan>& spans, bool hmm = true) const {
    Cut(CutMode::kSearch, sentence, spans, hmm);
  }

  // The normal cut of `sentence` into `spans`, and in `tags` each word's
  // part-of-speech tag: the dictionary's (run-time words included) when it
  // has a non-empty one, else the tagger's class ("m", "eng" or "x").
  void Tag(std::string_view sentence, std::vector<WordSpan>& spans, std::vector<std::string>& tags,
           bool hmm = true) const {
    Read([&](const Segments& segments) {
      segments.mix->Cut(sentence, spans, hmm);
      TagSpans(*segments.dictionary, sentence, spans, tags);
    });
  }

  // The `top_k` keywords of `sentence` by TF-IDF over the normal cut (see
  // KeywordExtractor::Extract). With `allowed_tags`, only words whose tag
  // (as Tag gives it) is one of them are counted.
  std::vector<Keyword> Keywords(std::string_view sentence, size_t top_k,
                                const std::vector<std::string>* allowed_tags = nullptr) const {
    std::vector<WordSpan> spans;
    std::vector<std::string> tags;
    Read([&](const Segments& segments) {
      segments.mix->Cut(sentence, spans, true);
      if (allowed_tags != nullptr) {
        TagSpans(*segments.dictionary, sentence, spans, tags);
      }
    });
    std::vector<std::string_view> words;
    words.reserve(spans.size());
    for (size_t k = 0; k < spans.size(); ++k) {
      if (allowed_tags == nullptr || Contains(*allowed_tags, tags[k])) {
        words.push_back(sentence.substr(spans[k].byte_offset, spans[k].byte_length));
      }
    }
    return keyword_extractor_.Extract(words, top_k);
  }

  // Adds `word` to the dictionary, or replaces its entry, from the next
  // call on. Its weight is ln(freq / the main dictionary's total frequency)
  // when `freq` is given, else the weight of user-dictionary words without
  // a frequency; its tag is `tag`, or when none is given the tag the word
  // has now (none for a new word). A one-rune word becomes a user word,
  // which the normal cut keeps whole. Throws std::invalid_argument for an
  // empty word, one that is not UTF-8, holds a separator (space, tab, line
  // feed, U+FF0C, U+3002) or is longer than MAX_WORD_RUNES runes, none of
  // which a cut could ever return, and for a freq that is not a positive
  // finite number.
  void AddWord(std::string_view word, std::optional<double> freq = std::nullopt,
               std::optional<std::string_view> tag = std::nullopt) {
    CheckWord("add_word", word, true);
    if (freq.has_value() && !(std::isfinite(*freq) && *freq > 0.0)) {
      throw std::invalid_argument("add_word: freq must be a positive finite number");
    }
    const double weight = freq.has_value() ? std::log(*freq / dictionary_.TotalFreq())
                                           : dictionary_.UserWordWeight();
    std::lock_guard<std::mutex> lock(edits_mutex_);
    std::string new_tag = tag.has_value() ? std::string(*tag) : CurrentTagLocked(word);
    edits_[std::string(word)] = DictEdits::Entry{std::string(word), false, weight, std::move(new_tag)};
    MarkEditedLocked();
  }

  // Removes `word` from the dictionary from the next call on, as if it had
  // never been there: cuts no longer find it, its tag is the tagger's class,
  // and a one-rune word is no longer a user word. Nothing happens when the
  // dictionary does not have it. Throws std::invalid_argument for an empty
  // word or one that is not UTF-8.
  void RemoveWord(std::string_view word) {
    CheckWord("remove_word", word, false);
    std::lock_guard<std::mutex> lock(edits_mutex_);
    const auto edited = edits_.find(word);
    if (LoadedHas(word)) {
      if (edited != edits_.end() && edited->second.removed) {
        return;
      }
      edits_[std::string(word)] = DictEdits::Entry{std::string(word), true, 0.0, std::string()};
    } else {
      if (edited == edits_.end()) {
        return;
      }
      edits_.erase(edited);
    }
    MarkEditedLocked();
  }

  // The run-time changes: one entry per changed word, in byte order.
  std::vector<DictEdits::Entry> Edits() const {
    std::lock_guard<std::mutex> lock(edits_mutex_);
    std::vector<DictEdits::Entry> entries;
    entries.reserve(edits_.size());
    for (const auto& [word, entry] : edits_) {
      entries.push_back(entry);
    }
    return entries;
  }

  // Replaces all run-time changes with `entries` (as Edits gives them),
  // keeping their weights as they are. Throws std::invalid_argument, and
  // changes nothing, when a word is empty, not UTF-8 or given twice.
  void SetEdits(const std::vector<DictEdits::Entry>& entries) {
    std::map<std::string, DictEdits::Entry, std::less<>> edits;
    for (const DictEdits::Entry& entry : entries) {
      CheckWord("edits", entry.word, false);
      if (!edits.emplace(entry.word, entry).second) {
        throw std::invalid_argument("edits: the word " + entry.word + " is given twice");
      }
    }
    std::lock_guard<std::mutex> lock(edits_mutex_);
    edits_.swap(edits);
    MarkEditedLocked();
  }

  // The dictionary as loaded from the files or the state, without the words
  // added or removed at run time: its statistics and entries. Cuts and tags
  // go through the calls above, which see the changes.
  const DictTrie& LoadedDictionary() const noexcept { return dictionary_; }

  // The keyword tables as loaded: the idf of each listed word, and the stop
  // words. Run-time changes do not touch them.
  const WordTable& IdfTable() const noexcept { return keyword_extractor_.IdfTable(); }
  const WordTable& StopWords() const noexcept { return keyword_extractor_.StopWords(); }

 private:
  static constexpr char kStateMagic[] = "razoduviva.Jieba";  // with its NUL
  static constexpr uint32_t kStateFormat = 1;

  // The data of a state, read from `in` (after the magic and format).
  explicit Jieba(limonp::ByteReader& in)
      : dictionary_(in),
        hmm_model_(in),
        mp_segment_(&dictionary_),
        hmm_segment_(&hmm_model_),
        mix_segment_(&dictionary_, &hmm_model_),
        full_segment_(&dictionary_),
        query_segment_(&dictionary_, &hmm_model_),
        keyword_extractor_(&dictionary_, &hmm_model_, in) {}

  // The dictionary and the segmenters one call reads.
  struct Segments {
    const DictTrie* dictionary;
    const MixSegment* mix;
    const QuerySegment* query;
    const FullSegment* full;

    template <typename Out>
    void Cut(CutMode mode, std::string_view sentence, std::vector<Out>& out, bool hmm) const {
      switch (mode) {
        case CutMode::kSearch:
          query->Cut(sentence, out, hmm);
          return;
        case CutMode::kFull:
          full->Cut(sentence, out);
          return;
        case CutMode::kDefault:
          break;
      }
      mix->Cut(sentence, out, hmm);
    }
  };

  // The loaded dictionary with the run-time changes laid over it, and the
  // segmenters over that.
  struct Edition {
    Edition(const Jieba& owner, const std::vector<DictEdits::Entry>& entries)
        : edits(entries, owner.dictionary_.GetTrie(),
                owner.dictionary_.UserSingleRuneWords()),
          dictionary(owner.dictionary_, edits),
          mix_segment(&dictionary, &owner.hmm_model_),
          full_segment(&dictionary),
          query_segment(&dictionary, &owner.hmm_model_) {}

    Segments View() const { return Segments{&dictionary, &mix_segment, &query_segment, &full_segment}; }

    DictEdits edits;
    DictTrie dictionary;
    MixSegment mix_segment;
    FullSegment full_segment;
    QuerySegment query_segment;
  };

  // Calls read(segments) with the segmenters of the current edition, which
  // stays alive until read returns.
  template <typename Reader>
  void Read(Reader&& read) const {
    if (!edited_.load(std::memory_order_acquire)) {
      read(Segments{&dictionary_, &mix_segment_, &query_segment_, &full_segment_});
      return;
    }
    const std::shared_ptr<const Edition> edition = CurrentEdition();
    read(edition->View());
  }

  std::shared_ptr<const Edition> CurrentEdition() const {
    std::lock_guard<std::mutex> lock(edits_mutex_);
    if (edition_ == nullptr) {
      std::vector<DictEdits::Entry> entries;
      entries.reserve(edits_.size());
      for (const auto& [word, entry] : edits_) {
        entries.push_back(entry);
      }
      edition_ = std::make_shared<const Edition>(*this, entries);
    }
    return edition_;
  }

  void MarkEditedLocked() {
    edition_.reset();
    edited_.store(true, std::memory_order_release);
  }

  // The dictionary's tag of `word` with the changes so far applied (empty
  // when it has none); edits_mutex_ held.
  std::string CurrentTagLocked(std::string_view word) const {
    const auto edited = edits_.find(word);
    if (edited != edits_.end()) {
      return edited->second.removed ? std::string() : edited->second.tag;
    }
    RuneStrVector runes;
    DecodeRunesInString(word, runes);
    const DictUnit* unit = dictionary_.Find(runes.begin(), runes.end());
    return unit != nullptr ? unit->tag : std::string();
  }

  // True when the loaded dictionary (without the changes) has `word`.
  bool LoadedHas(std::string_view word) const {
    RuneStrVector runes;
    DecodeRunesInString(word, runes);
    return dictionary_.Find(runes.begin(), runes.end()) != nullptr;
  }

  void CheckWord(const char* operation, std::string_view word, bool cuttable) const {
    const std::string what = std::string(operation) + ": ";
    RuneStrVector runes;
    if (word.empty()) {
      throw std::invalid_argument(what + "the word is empty");
    }
    if (!DecodeRunesInString(word, runes)) {
      throw std::invalid_argument(what + "the word is not valid UTF-8");
    }
    if (!cuttable) {
      return;
    }
    if (runes.size() > MAX_WORD_RUNES) {
      throw std::invalid_argument(what + "the word is longer than " +
                                  std::to_string(MAX_WORD_RUNES) + " characters");
    }
    for (const RuneStr& rune : runes) {
      if (mix_segment_.IsSeparator(rune.rune)) {
        throw std::invalid_argument(
            what + "the word holds a separator (space, tab, line feed, '\xEF\xBC\x8C' or "
                   "'\xE3\x80\x82'), which a cut always returns as a word of its own");
      }
    }
  }

  static void TagSpans(const DictTrie& dictionary, std::string_view sentence,
                       const std::vector<WordSpan>& spans, std::vector<std::string>& tags) {
    const PosTagger tagger;
    tags.clear();
    tags.reserve(spans.size());
    for (const WordSpan& span : spans) {
      tags.push_back(
          tagger.LookupTag(sentence.substr(span.byte_offset, span.byte_length), dictionary));
    }
  }

  static bool Contains(const std::vector<std::string>& set, std::string_view value) {
    for (const std::string& item : set) {
      if (item == value) {
        return true;
      }
    }
    return false;
  }

  // Throws for a path holding a NUL byte (see the constructor); returns
  // `dictPath`, so that the check runs first, in the dictionary's
  // initialiser.
  static const std::string& CheckPaths(const std::string& dictPath, const std::string& modelPath,
                                       const std::string& userDictPath, const std::string& idfPath,
                                       const std::string& stopWordPath) {
    limonp::CheckPath("dict_path", dictPath);
    limonp::CheckPath("hmm_path", modelPath);
    limonp::CheckPath("user_dict_path", userDictPath);
    limonp::CheckPath("idf_path", idfPath);
    limonp::CheckPath("stop_word_path", stopWordPath);
    return dictPath;
  }

  // The loaded data and the segmenters over it, as the files or the state
  // gave them. Private, so that nothing cuts with them past the run-time
  // changes: the calls above reach the segmenters through Read.
  DictTrie dictionary_;
  HMMModel hmm_model_;
  MPSegment mp_segment_;
  HMMSegment hmm_segment_;
  MixSegment mix_segment_;
  FullSegment full_segment_;
  QuerySegment query_segment_;
  KeywordExtractor keyword_extractor_;

  // The run-time changes, by word, and the edition built from them (null
  // when stale); both guarded by edits_mutex_.
  mutable std::mutex edits_mutex_;
  std::map<std::string, DictEdits::Entry, std::less<>> edits_;
  mutable std::shared_ptr<const Edition> edition_;
  std::atomic<bool> edited_{false};
};

}  // namespace kelp::typing::text::jieba
