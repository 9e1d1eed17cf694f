// Fuzz target: the dictionary loader on any file contents.
//
// The input is the main dictionary, optionally followed by the line
// "--user--" and a user dictionary.
//
// Properties:
// - loading either builds a dictionary or throws limonp::CheckError (a
//   malformed main dictionary); nothing else, no crash;
// - every line becomes one entry: each main line, then each non-empty user
//   line;
// - every entry with runes is found by its word, and a word listed twice
//   finds its last entry;
// - the word graph over any text lists, at each rune, the rune itself first
//   and then words in increasing end order, each exactly the runes it spans;
// - one-rune user words are known as such.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "MemoryFile.hpp"
#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/limonp/Errors.hpp"

using namespace kelp::typing::text::jieba;
using kelp::typing::text::limonp::CheckError;

namespace {

constexpr std::string_view USER_MARK = "\n--user--\n";

// Lines as the loader reads them: a leading UTF-8 byte-order mark is not
// part of the first one.
std::size_t LineCount(std::string_view content, bool skip_empty) {
  if (content.substr(0, 3) == "\xEF\xBB\xBF") {
    content.remove_prefix(3);
  }
  std::size_t count = 0;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t feed = content.find('\n', pos);
    if (feed == std::string_view::npos) {
      feed = content.size();
    }
    if (!skip_empty || feed > pos) {
      ++count;
    }
    pos = feed + 1;
  }
  return count;
}

RuneStrVector RecordsOf(const RuneVector& word) {
  RuneStrVector records;
  for (std::size_t i = 0; i < word.size(); ++i) {
    records.push_back(RuneStr{word[i], static_cast<uint32_t>(i), 1, static_cast<uint32_t>(i), 1});
  }
  return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t mark = input.find(USER_MARK);
  const std::string_view main_text = input.substr(0, mark);
  const std::string_view user_text =
      mark == std::string_view::npos ? std::string_view() : input.substr(mark + USER_MARK.size());
  fuzz::MemoryFile main_file(main_text);
  fuzz::MemoryFile user_file(user_text);
  const std::string user_paths = mark == std::string_view::npos ? "" : user_file.path();

  std::unique_ptr<DictTrie> dict;
  try {
    dict = std::make_unique<DictTrie>(main_file.path(), user_paths, UserWordWeightMedian);
  } catch (const CheckError&) {
    return 0;
  }

  const std::vector<DictUnit>& units = dict->Units();
  const std::size_t main_lines = LineCount(main_text, false);
  fuzz::Check(units.size() == main_lines + LineCount(user_text, true),
              "not one entry per line", input);

  std::map<std::vector<Rune>, std::size_t> last;
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (!units[i].word.empty()) {
      last[std::vector<Rune>(units[i].word.begin(), units[i].word.end())] = i;
    }
  }
  for (const auto& [word, index] : last) {
    const DictUnit* found = dict->GetTrie().Find(word.data(), word.data() + word.size());
    fuzz::Check(found == &units[index], "a word does not find its last entry", input);
    const RuneStrVector records = RecordsOf(units[index].word);
    fuzz::Check(dict->Find(records.begin(), records.end()) == found,
                "the two lookups disagree", input);
  }
  for (std::size_t i = main_lines; i < units.size(); ++i) {
    if (units[i].word.size() == 1) {
      fuzz::Check(dict->IsUserSingleRuneWord(units[i].word[0]), "a one-rune user word is unknown",
                  input);
    }
  }

  // The word graph over the runes of all entries, one after another.
  RuneVector all;
  for (const DictUnit& unit : units) {
    for (Rune r : unit.word) {
      all.push_back(r);
    }
  }
  const RuneStrVector records = RecordsOf(all);
  std::vector<Dag> dags;
  dict->Find(records.begin(), records.end(), dags, 8);
  fuzz::Check(dags.size() == records.size(), "not one graph record per rune", input);
  for (std::size_t i = 0; i < dags.size(); ++i) {
    const auto& ends = dags[i].ends;
    fuzz::Check(!ends.empty() && ends[0].end_index == i, "the rune itself is not first", input);
    for (std::size_t k = 0; k < ends.size(); ++k) {
      const std::size_t end = ends[k].end_index;
      fuzz::Check(end >= i && end < records.size() && end - i < 8, "an end outside the run", input);
      fuzz::Check(k == 0 || end > ends[k - 1].end_index, "ends not increasing", input);
      const DictUnit* unit = ends[k].unit;
      if (k > 0 || unit != nullptr) {
        fuzz::Check(unit != nullptr && unit->word.size() == end - i + 1, "a word of the wrong length",
                    input);
        for (std::size_t r = 0; r < unit->word.size(); ++r) {
          fuzz::Check(unit->word[r] == all[i + r], "a word that is not its runes", input);
        }
      }
    }
  }
  return 0;
}
