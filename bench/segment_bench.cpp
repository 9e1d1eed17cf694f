// Dictionary load time, resident memory per entry, and maximum-probability
// cut throughput on one core, with a baseline measured in the same run: the
// same cut over a textbook trie whose children are std::unordered_map nodes.
//
// Times are CPU time of the benchmark thread, so other work on a shared
// machine does not count against the figures.
//
// Usage: segment_bench DICT TEXT [USER_DICT] [--passes N]
// TEXT holds one document per line; each line is cut as one sentence.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tokenizer/jieba/DictTrie.hpp"
#include "tokenizer/jieba/MPSegment.hpp"
#include "tokenizer/jieba/SegmentBase.hpp"

namespace jieba = kelp::typing::text::jieba;

namespace {

// CPU time of the calling thread: the machine may be shared, and time spent
// waiting for a core is not time spent cutting.
struct Clock {
  using time_point = double;
  static double now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
  }
};

double Seconds(double since) { return Clock::now() - since; }

// Resident set size in bytes, from /proc/self/statm.
long ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0;
  long resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<std::string_view> Lines(const std::string& text) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) {
      end = text.size();
    }
    lines.emplace_back(text.data() + pos, end - pos);
    pos = end + 1;
  }
  return lines;
}

// The textbook layout: one heap node per prefix, children in an
// std::unordered_map of owning pointers.
class MapTrie {
 public:
  explicit MapTrie(const std::vector<jieba::DictUnit>& units) : root_(new Node) {
    for (const jieba::DictUnit& unit : units) {
      if (unit.word.empty()) {
        continue;
      }
      Node* node = root_.get();
      for (jieba::Rune rune : unit.word) {
        if (!node->children) {
          node->children = std::make_unique<Children>();
        }
        std::unique_ptr<Node>& child = (*node->children)[rune];
        if (!child) {
          child = std::make_unique<Node>();
        }
        node = child.get();
      }
      node->unit = &unit;
    }
  }

  void Find(const jieba::RuneStr* begin, const jieba::RuneStr* end,
            std::vector<jieba::Dag>& dags, size_t max_word_len) const {
    const size_t n = static_cast<size_t>(end - begin);
    dags.resize(n);
    for (size_t i = 0; i < n; ++i) {
      dags[i].rune_str = begin[i];
      const Node* node = Step(root_.get(), begin[i].rune);
      dags[i].ends.push_back(jieba::DagEnd{i, node ? node->unit : nullptr});
      for (size_t j = i + 1; node && j < n && j - i + 1 <= max_word_len; ++j) {
        node = Step(node, begin[j].rune);
        if (node && node->unit) {
          dags[i].ends.push_back(jieba::DagEnd{j, node->unit});
        }
      }
    }
  }

 private:
  struct Node;
  using Children = std::unordered_map<jieba::Rune, std::unique_ptr<Node>>;
  struct Node {
    std::unique_ptr<Children> children;
    const jieba::DictUnit* unit = nullptr;
  };

  static const Node* Step(const Node* node, jieba::Rune rune) {
    if (!node->children) {
      return nullptr;
    }
    auto it = node->children->find(rune);
    return it == node->children->end() ? nullptr : it->second.get();
  }

  std::unique_ptr<Node> root_;
};

// The maximum-probability cut over the map trie: same driver, same scoring.
class MapTrieSegment : public jieba::SegmentBase {
 public:
  MapTrieSegment(const MapTrie* trie, double min_weight) : trie_(trie), min_weight_(min_weight) {}

  void Cut(std::string_view sentence, std::vector<std::string>& words) const override {
    CutToStrings(sentence, words,
                 [this](const jieba::RuneStr* b, const jieba::RuneStr* e,
                        std::vector<jieba::WordRange>& ranges) { CutRun(b, e, ranges); });
  }

 private:
  void CutRun(const jieba::RuneStr* begin, const jieba::RuneStr* end,
              std::vector<jieba::WordRange>& ranges) const {
    std::vector<jieba::Dag> dags;
    trie_->Find(begin, end, dags, jieba::MAX_WORD_RUNES);
    const size_t n = dags.size();
    for (size_t i = n; i-- > 0;) {
      jieba::Dag& dag = dags[i];
      dag.best_unit = nullptr;
      dag.best_weight = jieba::SCORE_FLOOR;
      for (const jieba::DagEnd& e : dag.ends) {
        const size_t next = e.end_index + 1;
        double score = next < n ? dags[next].best_weight : 0.0;
        score += e.unit ? e.unit->weight : min_weight_;
        if (score > dag.best_weight) {
          dag.best_unit = e.unit;
          dag.best_weight = score;
        }
      }
    }
    for (size_t i = 0; i < n;) {
      const size_t length = dags[i].best_unit ? dags[i].best_unit->word.size() : 1;
      ranges.push_back(jieba::WordRange{begin + i, begin + i + length - 1});
      i += length;
    }
  }

  const MapTrie* trie_;
  double min_weight_;
};

struct CutFigures {
  double seconds = 0;
  size_t words = 0;
  size_t checksum = 0;
};

// Cuts every line once; returns time, word count and a checksum of the cut.
CutFigures CutAll(const jieba::SegmentBase& segment, const std::vector<std::string_view>& lines) {
  std::vector<std::string> words;
  CutFigures figures;
  const auto start = Clock::now();
  for (std::string_view line : lines) {
    segment.Cut(line, words);
    figures.words += words.size();
    for (const std::string& w : words) {
      figures.checksum = figures.checksum * 31 + w.size();
    }
  }
  figures.seconds = Seconds(start);
  return figures;
}

CutFigures BestOf(int passes, const jieba::SegmentBase& segment,
                  const std::vector<std::string_view>& lines) {
  CutFigures best;
  for (int p = 0; p < passes; ++p) {
    const CutFigures run = CutAll(segment, lines);
    if (p == 0 || run.seconds < best.seconds) {
      best = run;
    }
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> positional;
  int passes = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--passes" && i + 1 < argc) {
      passes = std::max(1, std::atoi(argv[++i]));
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.size() < 2) {
    std::fprintf(stderr, "usage: %s DICT TEXT [USER_DICT] [--passes N]\n", argv[0]);
    return 2;
  }
  const std::string dict_path = positional[0];
  const std::string text_path = positional[1];
  const std::string user_path = positional.size() > 2 ? positional[2] : "";

  // Load: the first load is also the memory measurement.
  malloc_trim(0);
  const long rss_before = ResidentBytes();
  auto start = Clock::now();
  auto dict = std::make_unique<jieba::DictTrie>(dict_path, user_path);
  const double first_load = Seconds(start);
  const long rss_loaded = ResidentBytes();
  malloc_trim(0);
  const long rss_trimmed = ResidentBytes();
  const size_t entries = dict->Units().size();
  const size_t entry_bytes = dict->Units().capacity() * sizeof(jieba::DictUnit);
  const size_t trie_bytes = dict->GetTrie().MemoryBytes();

  double best_load = first_load;
  for (int p = 1; p < passes; ++p) {
    start = Clock::now();
    jieba::DictTrie again(dict_path, user_path);
    best_load = std::min(best_load, Seconds(start));
  }

  std::printf("dictionary: %s%s%s\n", dict_path.c_str(), user_path.empty() ? "" : " + ",
              user_path.c_str());
  std::printf("  entries                      %zu\n", entries);
  std::printf("  trie nodes                   %zu\n", dict->GetTrie().NodeCount());
  std::printf("  load time                    %.3f s (first), %.3f s (best of %d)\n", first_load,
              best_load, passes);
  std::printf("  resident per entry           %.1f bytes (%.1f after malloc_trim)\n",
              double(rss_loaded - rss_before) / double(entries),
              double(rss_trimmed - rss_before) / double(entries));
  std::printf("  of which entries / trie      %.1f / %.1f bytes per entry (sizeof(DictUnit) = %zu)\n",
              double(entry_bytes) / double(entries), double(trie_bytes) / double(entries),
              sizeof(jieba::DictUnit));

  // Baseline trie, built over the same entries.
  malloc_trim(0);
  const long rss_before_map = ResidentBytes();
  start = Clock::now();
  const MapTrie map_trie(dict->Units());
  const double map_build = Seconds(start);
  const long rss_map = ResidentBytes();
  std::printf("baseline std::unordered_map trie over the same entries:\n");
  std::printf("  build time                   %.3f s (flat trie is built inside the load above)\n",
              map_build);
  std::printf("  resident per entry           %.1f bytes (flat trie: %.1f)\n",
              double(rss_map - rss_before_map) / double(entries),
              double(trie_bytes) / double(entries));

  const std::string text = ReadFile(text_path);
  const std::vector<std::string_view> lines = Lines(text);
  const double megabytes = double(text.size()) / 1e6;

  const jieba::MPSegment segment(dict.get());
  const MapTrieSegment baseline(&map_trie, dict->MinWeight());
  const CutFigures flat = BestOf(passes, segment, lines);
  const CutFigures map = BestOf(passes, baseline, lines);

  std::printf("maximum-probability cut, one thread, %.1f MB in %zu lines, best of %d passes:\n",
              megabytes, lines.size(), passes);
  std::printf("  flat trie (MPSegment)        %.1f MB/s, %.2f M words/s\n", megabytes / flat.seconds,
              double(flat.words) / flat.seconds / 1e6);
  std::printf("  unordered_map trie baseline  %.1f MB/s, %.2f M words/s\n", megabytes / map.seconds,
              double(map.words) / map.seconds / 1e6);
  std::printf("  speed-up                     %.2fx\n", map.seconds / flat.seconds);
  std::printf("  same words from both         %s (%zu words)\n",
              flat.words == map.words && flat.checksum == map.checksum ? "yes" : "NO", flat.words);
  return flat.words == map.words && flat.checksum == map.checksum ? 0 : 1;
}
