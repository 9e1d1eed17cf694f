// Fuzz target: loading index files from any bytes.
//
// The first byte picks how: with bit 0 set, the size field and checksums of
// the rest are first made to match its content (IndexFile::Reseal), so that
// the structural checks behind the checksums are explored too; with bit 1
// set, the rest is loaded from a file, mapped (InvertedIndex::Load), and
// otherwise from the bytes (InvertedIndex::Deserialize).
// fuzz/corpus/index_load/ holds seeds written by tests/cpp/IndexFileTest.cpp.
//
// Properties:
// - loading builds an index or throws limonp::StateError; nothing else, and
//   no crash or read out of bounds;
// - a loaded index writes back exactly the bytes it was loaded from;
// - searched for tokens it holds and one it does not, pruned and exhaustive
//   searches give the same hits, best first, each a held document;
// - it takes a new document and a removal, and its bytes then load again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "MemoryFile.hpp"
#include "index/FileBytes.hpp"
#include "index/IndexFile.hpp"
#include "index/InvertedIndex.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace idx = kelp::typing::text::index;
using kelp::typing::text::limonp::StateError;

namespace {

// Up to 12 tokens of the file's terms, and one more.
std::vector<std::uint32_t> TokensOf(const std::string& file) {
  const auto bytes = idx::FileBytes::Copy(file);
  const idx::IndexFile::Contents contents =
      idx::IndexFile::Read(bytes->data(), bytes->size(), "fuzz");
  std::vector<std::uint32_t> tokens;
  const std::size_t step = contents.arrays.term_count / 12 + 1;
  for (std::size_t t = 0; t < contents.arrays.term_count; t += step) {
    tokens.push_back(contents.arrays.term_ids[t]);
  }
  tokens.push_back(0x12345678u);
  return tokens;
}

void CheckSearches(const idx::InvertedIndex& index, const std::vector<std::uint32_t>& tokens) {
  std::vector<double> weights;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    weights.push_back(i % 3 == 2 ? -0.5 : 1.0 + static_cast<double>(i));
  }
  for (const std::size_t k : {1u, 3u, 1000u}) {
    const auto pruned = index.Search(tokens.data(), weights.data(), tokens.size(), k,
                                     idx::SearchMode::kPruned);
    const auto exhaustive = index.Search(tokens.data(), weights.data(), tokens.size(), k,
                                         idx::SearchMode::kExhaustive);
    fuzz::Check(pruned == exhaustive, "pruned and exhaustive searches differ");
    fuzz::Check(pruned.size() <= k && pruned.size() <= index.size(), "too many hits");
    fuzz::Check(std::is_sorted(pruned.begin(), pruned.end(), idx::TopK::Better),
                "hits out of order");
    for (const idx::Hit& hit : pruned) {
      fuzz::Check(index.Contains(hit.id), "a hit that is not held");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  std::string file(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    idx::IndexFile::Reseal(file);
  }
  idx::InvertedIndex index;
  try {
    if (data[0] & 2) {
      const fuzz::MemoryFile memory(file);
      index = idx::InvertedIndex::Load(memory.path(), true);
    } else {
      index = idx::InvertedIndex::Deserialize(file);
    }
  } catch (const StateError&) {
    return 0;
  }
  const std::string saved = index.Serialize();
  fuzz::Check(saved == file, "a loaded index writes other bytes", file, saved);
  const std::vector<std::uint32_t> tokens = TokensOf(file);
  CheckSearches(index, tokens);

  const std::int64_t id = index.size() > 0 ? index.Ids().front() : 1;
  const std::size_t ends[] = {tokens.size()};
  const std::vector<double> ones(tokens.size(), 1.0);
  const std::int64_t fresh = id == INT64_MAX ? INT64_MIN : id + 1;
  if (!index.Contains(fresh)) {
    index.Add(idx::SparseRows{tokens.data(), ones.data(), ends, 1}, &fresh);
  }
  index.Remove(&id, 1);
  CheckSearches(index, tokens);
  const std::string changed = index.Serialize();
  fuzz::Check(idx::InvertedIndex::Deserialize(changed).Serialize() == changed,
              "a changed index does not load back");
  return 0;
}
