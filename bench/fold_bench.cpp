// The text fold and the CJK bigrams against the cut they come before: MB/s
// of each over the sentences of a treebank, and the fold's share of the
// time of fold plus cut.
//
// Each input is a CoNLL-U or IOB2 file; its "# text = " lines are the
// sentences. Times are CPU time of the benchmark thread (best of three), so
// other work on a shared machine does not count against the figures. It
// prints figures; it asserts nothing.
//
// Usage: fold_bench DATA_DIR FILE...
//   DATA_DIR holds dict.txt, hmm_model.txt, idf.txt and stop_words.txt
//   (python/razoduviva/data); e.g., from the repository with the shared
//   data beside it:
//   build/bench/fold_bench python/razoduviva/data
//     ../shared/data/uner-chinese-gsdsimp/zh_gsdsimp-ud-train.iob2
//     ../shared/data/ud-chinese-gsd/zh_gsd-ud-dev.conllu
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "encoder/CjkBigrams.hpp"
#include "encoder/TextFold.hpp"
#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace encoder = kelp::typing::text::encoder;
namespace jieba = kelp::typing::text::jieba;

namespace {

double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename Work>
double BestOfThree(const std::vector<std::string>& lines, Work work) {
  double best = 1e300;
  for (int pass = 0; pass < 3; ++pass) {
    const double start = ThreadSeconds();
    for (const std::string& line : lines) {
      work(line);
    }
    const double seconds = ThreadSeconds() - start;
    best = seconds < best ? seconds : best;
  }
  return best;
}

std::vector<std::string> ReadSentences(const char* path, size_t& bytes) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  const std::string prefix = "# text = ";
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0) {
      lines.push_back(line.substr(prefix.size()));
      bytes += lines.back().size();
    }
  }
  return lines;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DATA_DIR FILE...\n", argv[0]);
    return 2;
  }
  const std::string data = std::string(argv[1]) + "/";
  const jieba::Jieba cutter(data + "dict.txt", data + "hmm_model.txt", "", data + "idf.txt",
                            data + "stop_words.txt");
  const struct {
    const char* name;
    encoder::FoldOptions options;
  } folds[] = {
      {"fold all", {true, true, true}},
      {"fold nfkc", {true, false, false}},
      {"fold casefold", {false, true, false}},
      {"fold t2s", {false, false, true}},
  };
  for (int f = 2; f < argc; ++f) {
    size_t bytes = 0;
    const std::vector<std::string> lines = ReadSentences(argv[f], bytes);
    const double mb = static_cast<double>(bytes) / 1e6;
    std::printf("== %s: %zu sentences, %.2f MB\n", argv[f], lines.size(), mb);

    std::vector<jieba::WordSpan> spans;
    const double cut = BestOfThree(lines, [&](const std::string& s) { cutter.Cut(s, spans); });
    std::printf("%-24s %8.1f MB/s\n", "cut (default, hmm)", mb / cut);

    std::string buffer;
    encoder::FoldMap map;
    double fold_all = 0;
    for (const auto& f : folds) {
      const encoder::TextFold fold(f.options);
      size_t copied = 0;
      for (const std::string& s : lines) {
        copied += fold.Fold(s, buffer).data() != s.data();
      }
      const double seconds =
          BestOfThree(lines, [&](const std::string& s) { fold.Fold(s, buffer); });
      const double with_map =
          BestOfThree(lines, [&](const std::string& s) { fold.Fold(s, buffer, &map); });
      if (fold_all == 0) {
        fold_all = with_map;
      }
      std::printf("%-24s %8.1f MB/s  with map %8.1f MB/s  (%.1f%% of sentences changed)\n",
                  f.name, mb / seconds, mb / with_map,
                  100.0 * static_cast<double>(copied) / static_cast<double>(lines.size()));
    }
    std::vector<encoder::TextSpan> bigrams;
    const double bigram =
        BestOfThree(lines, [&](const std::string& s) { encoder::CjkBigrams(s, bigrams); });
    std::printf("%-24s %8.1f MB/s\n", "cjk bigrams", mb / bigram);
    std::printf("fold all (with map) + bigrams take %.1f%% of fold + bigrams + cut; "
                "the cut alone runs at %.1f%% of that speed\n",
                100.0 * (fold_all + bigram) / (fold_all + bigram + cut),
                100.0 * cut / (fold_all + bigram + cut));
  }
  return 0;
}
