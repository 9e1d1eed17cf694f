// Times the BM25 model's own work per call, with no Python in the way.
//
// Usage: bm25_core_bench CORPUS
// CORPUS holds one document per line, tokens separated by single blanks
// (bm25_bench.py --only split writes it). Prints one line per operation:
// "<operation> <nanoseconds per call> <calls>".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "bm25/BM25.hpp"

namespace {

using kelp::typing::text::BM25;
using Clock = std::chrono::steady_clock;

template <typename F>
double NanosecondsPerCall(const std::vector<std::vector<std::string_view>>& docs, F&& call) {
  const auto start = Clock::now();
  for (const auto& doc : docs) {
    call(doc);
  }
  const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
  return elapsed.count() / static_cast<double>(docs.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: bm25_core_bench CORPUS\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    lines.push_back(std::move(line));
  }
  std::vector<std::vector<std::string_view>> docs;
  for (const std::string& line : lines) {
    std::vector<std::string_view> doc;
    std::size_t start = 0;
    while (start <= line.size()) {
      std::size_t end = line.find(' ', start);
      if (end == std::string::npos) end = line.size();
      doc.emplace_back(line.data() + start, end - start);
      start = end + 1;
    }
    docs.push_back(std::move(doc));
  }
  if (docs.empty()) {
    std::cerr << "empty corpus\n";
    return 2;
  }
  // Best of several rounds: the machine may be shared.
  constexpr int ROUNDS = 5;
  double train = 1e300;
  double document = 1e300;
  double query = 1e300;
  double checksum = 0.0;
  std::vector<BM25::IndexedWeight> out;
  for (int round = 0; round < ROUNDS; ++round) {
    BM25 model;
    train = std::min(train, NanosecondsPerCall(docs, [&](const auto& doc) {
      model.train(doc.data(), doc.size());
    }));
    document = std::min(document, NanosecondsPerCall(docs, [&](const auto& doc) {
      model.encode_document(doc.data(), doc.size(), out);
      checksum += out.empty() ? 0.0 : out[0].weight;
    }));
    query = std::min(query, NanosecondsPerCall(docs, [&](const auto& doc) {
      model.encode_query(doc.data(), doc.size(), out);
      checksum += out.empty() ? 0.0 : out[0].weight;
    }));
  }
  std::printf("train %.1f %zu\nencode_document %.1f %zu\nencode_query %.1f %zu\nchecksum %g 0\n",
              train, docs.size(), document, docs.size(), query, docs.size(), checksum);
  return 0;
}
