// The facade's two cuts in C++ alone: what the Python methods cost without
// the conversion of arguments and results. bench/jieba_bench.py runs it to
// work out the share of a Python call spent converting.
//
// Each line of TEXT is one sentence; the words are produced as spans, as the
// binding does. Times are CPU time of the benchmark thread (best of three),
// so other work on a shared machine does not count against the figures.
//
// Usage: jieba_core_bench DICT HMM USER_DICT IDF STOP_WORDS TEXT
// Prints key=value lines.
#include <ctime>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tokenizer/jieba/Jieba.hpp"
#include "tokenizer/jieba/WordSpan.hpp"

namespace jieba = kelp::typing::text::jieba;

namespace {

double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename Cut>
double BestOfThree(const std::vector<std::string>& lines, Cut cut) {
  double best = 1e300;
  std::vector<jieba::WordSpan> spans;
  for (int pass = 0; pass < 3; ++pass) {
    const double start = ThreadSeconds();
    for (const std::string& line : lines) {
      cut(line, spans);
    }
    const double seconds = ThreadSeconds() - start;
    best = seconds < best ? seconds : best;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: %s DICT HMM USER_DICT IDF STOP_WORDS TEXT\n", argv[0]);
    return 2;
  }
  const double load_start = ThreadSeconds();
  const jieba::Jieba j(argv[1], argv[2], argv[3], argv[4], argv[5]);
  const double load_seconds = ThreadSeconds() - load_start;

  std::ifstream in(argv[6], std::ios::binary);
  std::vector<std::string> lines;
  size_t bytes = 0;
  for (std::string line; std::getline(in, line);) {
    bytes += line.size();
    lines.push_back(std::move(line));
  }
  const double cut = BestOfThree(lines, [&j](const std::string& s, auto& spans) { j.Cut(s, spans); });
  const double search =
      BestOfThree(lines, [&j](const std::string& s, auto& spans) { j.CutQuery(s, spans); });
  std::printf("bytes=%zu\nload_seconds=%.4f\ncut_seconds=%.4f\ncut_for_search_seconds=%.4f\n",
              bytes, load_seconds, cut, search);
  std::printf("cut_mb_per_s=%.1f\ncut_for_search_mb_per_s=%.1f\n", bytes / cut / 1e6,
              bytes / search / 1e6);
  return 0;
}
