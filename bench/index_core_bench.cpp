// Times the inverted index's own work, with no Python in the way: adding
// documents, searching (pruned against exhaustive, on one thread and two),
// the bytes it takes per stored pair, saving and loading.
//
// Usage:
//   index_core_bench --gsd TRAIN.iob2 --dev DEV.iob2 --data DATA_DIR
//                    [--docs N] [--stard DIR [--words]] [--work DIR] [--k K]
//
// (a) A synthetic corpus of N documents (default 1,000,000), each a run of
//     10 to 30 tokens taken at random from the GSDSimp training sentences
//     (the gold words, less punctuation and DATA_DIR/stop_words.txt), hashed
//     with MurmurHash3 and weighed by a BM25 model trained on them; queries
//     are runs of 3 to 10 tokens of the dev sentences, BM25 query weights.
//     Then the same with every word kept, punctuation and stop words
//     included: long lists of small weights, which pruning leaves out.
// (b) With --stard, the legal retrieval set unpacked by
//     bench/prepare_stard.py: the articles and questions encoded by the
//     core's SparseEncoder over the data files of DATA_DIR, with the
//     package's default settings (--words: words alone), and adding from
//     text (encoding on two threads, then Add) against encoding alone.
//
// Every figure comes with the ratio to its baseline measured in the same
// run; search times are the best of three rounds (the machine may be
// shared). Files go to --work (default build/index-bench). Nothing is
// asserted about time; the hits of the pruned and exhaustive searches are
// compared and any difference is printed.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "batch/OrderedChunks.hpp"
#include "bm25/BM25.hpp"
#include "encoder/MurmurHash3.hpp"
#include "encoder/SparseEncoder.hpp"
#include "index/InvertedIndex.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace {

namespace idx = kelp::typing::text::index;
using kelp::typing::text::BM25;
using kelp::typing::text::EncoderSettings;
using kelp::typing::text::SparseEncoder;
using kelp::typing::text::VectorKind;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Best time of `rounds` calls of `run`.
double Best(int rounds, const std::function<void()>& run) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto start = Clock::now();
    run();
    best = std::min(best, Seconds(start));
  }
  return best;
}

std::string Thousands(double value) {
  std::string digits = std::to_string(static_cast<long long>(value + 0.5));
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  return digits;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

// Rows owning their arrays.
struct Rows {
  std::vector<std::uint32_t> tokens;
  std::vector<double> weights;
  std::vector<std::size_t> ends;
  idx::SparseRows View() const {
    return idx::SparseRows{tokens.data(), weights.data(), ends.data(), ends.size()};
  }
  std::size_t size() const { return ends.size(); }
};

// Hashes `tokens` and takes their BM25 weights, ids ascending, colliding
// ids adding up.
void AppendHashed(const BM25& model, const std::vector<std::string_view>& tokens, bool query,
                  Rows& rows) {
  std::vector<BM25::IndexedWeight> weights;
  if (query) {
    model.encode_query(tokens.data(), tokens.size(), weights);
  } else {
    model.encode_document(tokens.data(), tokens.size(), weights);
  }
  std::vector<std::pair<std::uint32_t, double>> hashed;
  for (const auto& w : weights) {
    hashed.emplace_back(kelp::typing::text::encoder::MurmurHash3x86_32(tokens[w.index]), w.weight);
  }
  std::sort(hashed.begin(), hashed.end());
  for (std::size_t i = 0; i < hashed.size(); ++i) {
    if (i > 0 && hashed[i].first == hashed[i - 1].first) {
      rows.weights.back() += hashed[i].second;
    } else {
      rows.tokens.push_back(hashed[i].first);
      rows.weights.push_back(hashed[i].second);
    }
  }
  rows.ends.push_back(rows.tokens.size());
}

// True for words of punctuation, symbols of the CJK punctuation blocks and
// white space only.
bool Punctuation(std::string_view word) {
  for (std::size_t i = 0; i < word.size();) {
    const unsigned char c = static_cast<unsigned char>(word[i]);
    std::uint32_t rune;
    std::size_t length;
    if (c < 0x80) {
      rune = c;
      length = 1;
    } else if (c >= 0xF0) {
      rune = c & 0x07;
      length = 4;
    } else if (c >= 0xE0) {
      rune = c & 0x0F;
      length = 3;
    } else {
      rune = c & 0x1F;
      length = 2;
    }
    for (std::size_t k = 1; k < length && i + k < word.size(); ++k) {
      rune = rune << 6 | (static_cast<unsigned char>(word[i + k]) & 0x3F);
    }
    i += length;
    const bool punct = (rune < 0x80 && !std::isalnum(static_cast<int>(rune))) ||
                       (rune >= 0x2000 && rune <= 0x206F) || (rune >= 0x3000 && rune <= 0x303F) ||
                       (rune >= 0xFF00 && rune <= 0xFF0F) || (rune >= 0xFF1A && rune <= 0xFF20) ||
                       (rune >= 0xFF3B && rune <= 0xFF40) || (rune >= 0xFF5B && rune <= 0xFF65) ||
                       rune == 0xB7;
    if (!punct) {
      return false;
    }
  }
  return true;
}

// The gold words of an iob2 file (second column), less punctuation and stop
// words unless `every`.
std::vector<std::string> GoldWords(const std::string& path,
                                   const std::unordered_set<std::string>& stop_words,
                                   bool every) {
  std::vector<std::string> words;
  for (const std::string& line : ReadLines(path)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const std::size_t tab = line.find('\t');
    const std::size_t next = line.find('\t', tab + 1);
    if (tab == std::string::npos) {
      continue;
    }
    std::string word = line.substr(tab + 1, next == std::string::npos ? std::string::npos
                                                                       : next - tab - 1);
    if (every || (!Punctuation(word) && stop_words.count(word) == 0)) {
      words.push_back(std::move(word));
    }
  }
  return words;
}

// Runs of `low` to `high` consecutive words at random places.
std::vector<std::vector<std::string_view>> Runs(const std::vector<std::string>& words,
                                                std::size_t count, std::size_t low,
                                                std::size_t high, std::mt19937_64& random) {
  std::vector<std::vector<std::string_view>> runs(count);
  for (auto& run : runs) {
    const std::size_t length = low + random() % (high - low + 1);
    const std::size_t start = random() % (words.size() - length);
    for (std::size_t i = 0; i < length; ++i) {
      run.emplace_back(words[start + i]);
    }
  }
  return runs;
}

struct SearchFigures {
  double pruned_one = 0, exhaustive_one = 0, pruned_two = 0, exhaustive_two = 0;  // queries/s
};

// Times SearchMany over `queries` repeated `repeat` times, both modes, one
// and two threads; compares the modes' hits.
SearchFigures TimeSearches(const idx::InvertedIndex& index, const Rows& queries, std::size_t k,
                           std::size_t repeat, std::size_t exhaustive_share) {
  Rows repeated;
  for (std::size_t r = 0; r < repeat; ++r) {
    for (std::size_t q = 0; q < queries.size(); ++q) {
      const std::size_t begin = q == 0 ? 0 : queries.ends[q - 1];
      for (std::size_t i = begin; i < queries.ends[q]; ++i) {
        repeated.tokens.push_back(queries.tokens[i]);
        repeated.weights.push_back(queries.weights[i]);
      }
      repeated.ends.push_back(repeated.tokens.size());
    }
  }
  // The exhaustive scorer is slow: time it on a share of the queries.
  idx::SparseRows some = queries.View();
  some.rows = std::max<std::size_t>(1, queries.size() / exhaustive_share);

  const idx::SearchResults pruned =
      index.SearchMany(queries.View(), k, 1, idx::SearchMode::kPruned);
  const idx::SearchResults exhaustive =
      index.SearchMany(queries.View(), k, 1, idx::SearchMode::kExhaustive);
  const bool same = pruned.ids == exhaustive.ids && pruned.scores == exhaustive.scores &&
                    pruned.ends == exhaustive.ends;
  std::printf("  hits of pruned and exhaustive search: %s over %zu queries (%s hits)\n",
              same ? "identical" : "DIFFERENT", queries.size(),
              Thousands(static_cast<double>(pruned.ids.size())).c_str());

  SearchFigures f;
  const double n = static_cast<double>(repeated.size());
  const double m = static_cast<double>(some.rows);
  f.pruned_one = n / Best(3, [&] { index.SearchMany(repeated.View(), k, 1); });
  f.pruned_two = n / Best(3, [&] { index.SearchMany(repeated.View(), k, 2); });
  f.exhaustive_one =
      m / Best(3, [&] { index.SearchMany(some, k, 1, idx::SearchMode::kExhaustive); });
  f.exhaustive_two =
      m / Best(3, [&] { index.SearchMany(some, k, 2, idx::SearchMode::kExhaustive); });
  std::printf("  search k=%zu, 1 thread:  pruned %s q/s, exhaustive %s q/s: pruned %.1fx\n", k,
              Thousands(f.pruned_one).c_str(), Thousands(f.exhaustive_one).c_str(),
              f.pruned_one / f.exhaustive_one);
  std::printf("  search k=%zu, 2 threads: pruned %s q/s (%.2fx one thread), exhaustive %s q/s "
              "(%.2fx)\n",
              k, Thousands(f.pruned_two).c_str(), f.pruned_two / f.pruned_one,
              Thousands(f.exhaustive_two).c_str(), f.exhaustive_two / f.exhaustive_one);
  return f;
}

void PrintSizes(const idx::InvertedIndex& index, const std::string& file) {
  const idx::IndexStats s = index.Stats();
  const double pairs = static_cast<double>(s.postings);
  std::printf("  %s documents, %s terms, %s pairs (%.1f per document), %s blocks\n",
              Thousands(static_cast<double>(s.documents)).c_str(),
              Thousands(static_cast<double>(s.terms)).c_str(), Thousands(pairs).c_str(),
              pairs / static_cast<double>(s.documents),
              Thousands(static_cast<double>(s.blocks)).c_str());
  std::printf("  memory: %.3f bytes per pair all included (%s bytes); postings 8, blocks %.3f, "
              "terms %.3f, documents %.3f per pair\n",
              static_cast<double>(s.held_bytes) / pairs,
              Thousands(static_cast<double>(s.held_bytes)).c_str(),
              12.0 * static_cast<double>(s.blocks) / pairs,
              32.0 * static_cast<double>(s.terms) / pairs,
              12.0 * static_cast<double>(s.documents) / pairs);
  if (!file.empty()) {
    const double bytes = static_cast<double>(std::filesystem::file_size(file));
    std::printf("  file: %s bytes, %.3f bytes per pair all included\n", Thousands(bytes).c_str(),
                bytes / pairs);
  }
}

idx::InvertedIndex SaveAndLoad(const idx::InvertedIndex& index, const std::string& path,
                               const Rows& queries, std::size_t k) {
  const auto start = Clock::now();
  index.Save(path);
  const double save = Seconds(start);
  PrintSizes(index, path);
  // Warm the page cache the way a second load finds it, then time.
  idx::InvertedIndex::Load(path, true);
  double mapped = 1e300;
  double read = 1e300;
  for (int round = 0; round < 3; ++round) {
    auto t = Clock::now();
    const idx::InvertedIndex loaded = idx::InvertedIndex::Load(path, true);
    mapped = std::min(mapped, Seconds(t));
    t = Clock::now();
    const idx::InvertedIndex copy = idx::InvertedIndex::Load(path, false);
    read = std::min(read, Seconds(t));
  }
  std::printf("  save %.3f s; load, every byte checked: mapped %.3f s, read %.3f s\n", save,
              mapped, read);
  idx::InvertedIndex loaded = idx::InvertedIndex::Load(path, true);
  const idx::SearchResults before = index.SearchMany(queries.View(), k, 2);
  const idx::SearchResults after = loaded.SearchMany(queries.View(), k, 2);
  std::printf("  the loaded index finds the same hits: %s\n",
              before.ids == after.ids && before.scores == after.scores ? "yes" : "NO");
  return loaded;
}

void Synthetic(const std::string& train, const std::string& dev, const std::string& data,
               std::size_t documents, std::size_t k, const std::string& work, bool every) {
  std::unordered_set<std::string> stop_words;
  for (const std::string& word : ReadLines(data + "/stop_words.txt")) {
    stop_words.insert(word);
  }
  const std::vector<std::string> train_words = GoldWords(train, stop_words, every);
  const std::vector<std::string> dev_words = GoldWords(dev, stop_words, every);
  std::mt19937_64 random(2024);
  const auto docs = Runs(train_words, documents, 10, 30, random);
  const auto query_words = Runs(dev_words, 2000, 3, 10, random);
  BM25 model;
  for (const auto& doc : docs) {
    model.train(doc.data(), doc.size());
  }
  Rows rows;
  for (const auto& doc : docs) {
    AppendHashed(model, doc, false, rows);
  }
  Rows queries;
  for (const auto& query : query_words) {
    AppendHashed(model, query, true, queries);
  }
  std::vector<std::int64_t> ids(rows.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    ids[i] = static_cast<std::int64_t>(i) * 3 + 1;
  }
  std::printf("== (a%s) synthetic: %s documents of GSDSimp words, %s (%s to draw from), %zu "
              "queries of %.1f tokens\n",
              every ? "2" : "1", Thousands(static_cast<double>(rows.size())).c_str(),
              every ? "every word kept" : "less punctuation and stop words",
              Thousands(static_cast<double>(train_words.size())).c_str(), queries.size(),
              static_cast<double>(queries.tokens.size()) / static_cast<double>(queries.size()));

  // Adding: in one batch, and in batches of 10,000 (segments merging as they come).
  idx::InvertedIndex index;
  auto start = Clock::now();
  index.Add(rows.View(), ids.data());
  const double one_batch = Seconds(start);
  idx::InvertedIndex batched;
  start = Clock::now();
  for (std::size_t first = 0; first < rows.size(); first += 10000) {
    idx::SparseRows part = rows.View();
    part.rows = std::min<std::size_t>(10000, rows.size() - first);
    const std::size_t offset = first == 0 ? 0 : rows.ends[first - 1];
    const auto from = rows.ends.begin() + static_cast<std::ptrdiff_t>(first);
    std::vector<std::size_t> ends(from, from + static_cast<std::ptrdiff_t>(part.rows));
    for (std::size_t& end : ends) {
      end -= offset;
    }
    part.tokens += offset;
    part.weights += offset;
    part.ends = ends.data();
    batched.Add(part, ids.data() + first);
  }
  const double batches = Seconds(start);
  const double pairs = static_cast<double>(rows.tokens.size());
  std::printf("  add in one batch: %.2f s, %s documents/s, %s pairs/s\n", one_batch,
              Thousands(static_cast<double>(rows.size()) / one_batch).c_str(),
              Thousands(pairs / one_batch).c_str());
  std::printf("  add in batches of 10,000: %.2f s, %s documents/s (%zu segments)\n", batches,
              Thousands(static_cast<double>(rows.size()) / batches).c_str(),
              batched.Stats().segments);
  const std::string path = work + (every ? "/synthetic-every.index" : "/synthetic.index");
  const idx::InvertedIndex loaded = SaveAndLoad(index, path, queries, k);
  std::printf("  searched as loaded (mapped):\n");
  TimeSearches(loaded, queries, k, 5, 4);
}

void Stard(const std::string& folder, const std::string& data, std::size_t k,
           const std::string& work, bool words_only) {
  const std::vector<std::string> articles = ReadLines(folder + "/corpus.txt");
  const std::vector<std::string> questions = ReadLines(folder + "/queries.txt");
  std::vector<std::string_view> texts(articles.begin(), articles.end());
  std::vector<std::string_view> query_texts(questions.begin(), questions.end());
  double megabytes = 0;
  for (const auto& text : texts) {
    megabytes += static_cast<double>(text.size()) / 1e6;
  }
  auto jieba = std::make_shared<const kelp::typing::text::jieba::Jieba>(
      data + "/dict.txt", data + "/hmm_model.txt", "", data + "/idf.txt",
      data + "/stop_words.txt");
  // The package's default encoder (words and bigrams, folds, the idf of
  // documents), or the encoder of words alone.
  EncoderSettings settings;
  if (!words_only) {
    settings.fold = kelp::typing::text::encoder::FoldOptions{};
    settings.bigrams = 2.0;
    settings.idf = kelp::typing::text::IdfKind::kDocuments;
  }
  const SparseEncoder encoder(jieba, settings, std::make_shared<BM25>());
  SparseEncoder::Scratch scratch;
  SparseEncoder::Counts counts(encoder);
  encoder.Train(texts.data(), texts.size(), counts, scratch);
  encoder.Commit(counts);
  std::printf("== (b) STARD: %s articles (%.1f MB), %zu questions; %s\n",
              Thousands(static_cast<double>(texts.size())).c_str(), megabytes, query_texts.size(),
              words_only ? "words alone" : "words and bigrams (the default encoder)");

  std::vector<std::int64_t> ids(texts.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    ids[i] = static_cast<std::int64_t>(i);
  }
  // Encoding on two threads, chunks of 512 articles handed back in order;
  // with `add`, each chunk goes into the index on the calling thread.
  constexpr std::size_t kChunk = 512;
  const std::size_t chunks = (texts.size() + kChunk - 1) / kChunk;
  idx::InvertedIndex index;
  const auto encode = [&](bool add) {
    std::vector<SparseEncoder::HashedVectors> out(chunks);
    std::vector<SparseEncoder::Scratch> scratches(2);
    idx::InvertedIndex fresh;
    kelp::typing::text::batch::OrderedChunks runner(chunks, 2, [&](std::size_t c, std::size_t t) {
      const std::size_t first = c * kChunk;
      encoder.EncodeHashed(texts.data() + first, std::min(kChunk, texts.size() - first),
                           VectorKind::kDocument, out[c], scratches[t]);
    });
    std::size_t c;
    while (runner.Next(c)) {
      if (add) {
        fresh.Add(idx::SparseRows::Of(out[c]), ids.data() + c * kChunk);
      }
      out[c] = SparseEncoder::HashedVectors();
    }
    if (add) {
      index = std::move(fresh);
    }
  };
  const double encode_only = Best(2, [&] { encode(false); });
  const double encode_add = Best(2, [&] { encode(true); });
  std::printf("  from text on 2 threads: encode %.1f MB/s; encode and add %.1f MB/s (%.2fx)\n",
              megabytes / encode_only, megabytes / encode_add, encode_only / encode_add);

  SparseEncoder::HashedVectors encoded;
  encoder.EncodeHashed(query_texts.data(), query_texts.size(), VectorKind::kQuery, encoded,
                       scratch);
  Rows queries{encoded.ids, encoded.values, encoded.ends};
  std::printf("  questions: %.1f tokens each\n",
              static_cast<double>(queries.tokens.size()) / static_cast<double>(queries.size()));
  std::printf("  searched as added (%zu segments):\n", index.Stats().segments);
  TimeSearches(index, queries, k, 20, 1);
  const idx::InvertedIndex loaded = SaveAndLoad(index, work + "/stard.index", queries, k);
  std::printf("  searched as loaded (mapped, 1 segment):\n");
  const SearchFigures f = TimeSearches(loaded, queries, k, 20, 1);
  std::printf("  targets (baselines measured outside this run): pruned on 1 thread at %.2fx of "
              "3 x 7,955 q/s, %.2fx of 10 x 1,250 q/s\n",
              f.pruned_one / (3 * 7955.0), f.pruned_one / (10 * 1250.0));
}

}  // namespace

int main(int argc, char** argv) {
  std::string train, dev, data, stard, work = "build/index-bench";
  std::size_t documents = 1000000;
  std::size_t k = 10;
  bool words_only = false;
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--words") {
      words_only = true;
      --i;
      continue;
    }
    if (i + 1 == argc) {
      std::fprintf(stderr, "%s needs a value\n", flag.c_str());
      return 2;
    }
    const std::string value = argv[i + 1];
    if (flag == "--gsd") {
      train = value;
    } else if (flag == "--dev") {
      dev = value;
    } else if (flag == "--data") {
      data = value;
    } else if (flag == "--stard") {
      stard = value;
    } else if (flag == "--work") {
      work = value;
    } else if (flag == "--docs") {
      documents = std::stoul(value);
    } else if (flag == "--k") {
      k = std::stoul(value);
    } else {
      std::fprintf(stderr, "unknown flag %s\n", flag.c_str());
      return 2;
    }
  }
  if (data.empty() || (train.empty() != dev.empty()) || (train.empty() && stard.empty())) {
    std::fprintf(stderr,
                 "usage: index_core_bench --data DATA_DIR [--gsd TRAIN.iob2 --dev DEV.iob2] "
                 "[--stard DIR [--words]] [--docs N] [--k K] [--work DIR]\n");
    return 2;
  }
  std::filesystem::create_directories(work);
  if (!train.empty()) {
    Synthetic(train, dev, data, documents, k, work, false);
    Synthetic(train, dev, data, documents, k, work, true);
  }
  if (!stard.empty()) {
    Stard(stard, data, k, work, words_only);
  }
  return 0;
}
