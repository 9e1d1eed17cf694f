// The index file: round trips through files (mapped or read) and byte
// strings, the layout as documented, damaged files refused, and the fuzz
// seeds of fuzz/corpus/index_load/.
//
// The committed seeds must be exactly what this build writes, so they are
// also golden files: a change that alters them alters the format, and must
// come with a new format number. Rewrite them with
//   RAZODUVIVA_WRITE_STATE_SEEDS=1 build/index/tests/cpp/IndexFileTest
#include "index/IndexFile.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "IndexCorpus.hpp"
#include "TestFiles.hpp"
#include "index/Crc32c.hpp"
#include "index/InvertedIndex.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace {

using namespace razoduviva_test;
using idx::IndexFile;
using idx::InvertedIndex;
using idx::SearchMode;
using kelp::typing::text::limonp::FileError;
using kelp::typing::text::limonp::StateError;

std::uint32_t BitwiseCrc32c(const unsigned char* p, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= p[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
    }
  }
  return ~crc;
}

TEST(IndexFileTest, Crc32cGivesTheStandardValues) {
  EXPECT_EQ(idx::Crc32c("123456789", 9), 0xE3069283u);
  EXPECT_EQ(idx::Crc32c("", 0), 0u);
  unsigned char bytes[300];
  for (std::size_t i = 0; i < sizeof(bytes); ++i) {
    bytes[i] = static_cast<unsigned char>(i * 37 + 11);
  }
  EXPECT_EQ(idx::Crc32c(std::vector<unsigned char>(32, 0).data(), 32), 0x8A9136AAu);
  for (std::size_t start = 0; start < 9; ++start) {
    for (std::size_t size = 0; start + size <= sizeof(bytes); size += 7) {
      ASSERT_EQ(idx::Crc32c(bytes + start, size), BitwiseCrc32c(bytes + start, size));
      const std::size_t half = size / 2;
      ASSERT_EQ(idx::Crc32c(bytes + start + half, size - half, idx::Crc32c(bytes + start, half)),
                BitwiseCrc32c(bytes + start, size));
    }
  }
}

// An index built in several batches, with removals, and its model.
struct Built {
  InvertedIndex index;
  Model model;
};

Built Build(CorpusMaker& maker, std::size_t documents) {
  Built built;
  for (std::int64_t first = 0; first < static_cast<std::int64_t>(documents); first += 500) {
    const Rows rows = maker.Documents(500, first * 3);
    built.index.Add(rows.View(), rows.ids.data());
    AddToModel(built.model, rows);
  }
  std::vector<std::int64_t> gone;
  for (const auto& [id, doc] : built.model) {
    if (id % 7 == 0) {
      gone.push_back(id);
    }
  }
  built.index.Remove(gone.data(), gone.size());
  for (const std::int64_t id : gone) {
    built.model.erase(id);
  }
  built.index.set_blob(std::string("{\"encoder\": 1}\0\xFF", 17));
  return built;
}

void ExpectSameSearches(const InvertedIndex& a, const Model& model, CorpusMaker& maker,
                        const std::string& context) {
  for (int q = 0; q < 60; ++q) {
    const auto query = maker.Query();
    for (const std::size_t k : {1u, 10u, 1000u}) {
      const auto expected = BruteForce(model, query, k);
      ASSERT_EQ(SearchOf(a, query, k, SearchMode::kPruned), expected) << context << " " << q;
      ASSERT_EQ(SearchOf(a, query, k, SearchMode::kExhaustive), expected) << context << " " << q;
    }
  }
}

// Saved and loaded by every road, an index holds the same documents and
// blob, finds the same hits, and writes the same bytes again.
TEST(IndexFileTest, RoundTripsThroughFilesAndBytes) {
  const ScratchDir dir;
  CorpusMaker maker(31, 500, false, true);
  Built built = Build(maker, 3000);
  const std::string path = dir.Path("index.bin");
  built.index.Save(path);
  const std::string bytes = built.index.Serialize();
  EXPECT_EQ(std::filesystem::file_size(path), bytes.size());
  std::size_t files = 0;  // no temporary file left behind
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path(""))) {
    EXPECT_EQ(entry.path().filename(), "index.bin");
    ++files;
  }
  EXPECT_EQ(files, 1u);

  for (int road = 0; road < 3; ++road) {
    const InvertedIndex loaded = road == 0   ? InvertedIndex::Load(path, true)
                                 : road == 1 ? InvertedIndex::Load(path, false)
                                             : InvertedIndex::Deserialize(bytes);
    const std::string context = "road " + std::to_string(road);
    EXPECT_EQ(loaded.Ids(), built.index.Ids()) << context;
    EXPECT_EQ(loaded.blob(), built.index.blob()) << context;
    EXPECT_EQ(loaded.Stats().segments, 1u);
    EXPECT_EQ(loaded.Stats().removed, 0u);
    EXPECT_EQ(loaded.Serialize(), bytes) << context;
    ExpectSameSearches(loaded, built.model, maker, context);
  }
  EXPECT_LT(InvertedIndex::Load(path, true).Stats().held_bytes, bytes.size() / 4);

  // A blob given to Save goes to the file in place of the index's own.
  built.index.Save(path, "the caller's");
  EXPECT_EQ(InvertedIndex::Load(path, false).blob(), "the caller's");
  EXPECT_EQ(InvertedIndex::Load(path, false).Ids(), built.index.Ids());
  EXPECT_NE(built.index.blob(), "the caller's");
}

// A loaded index takes documents and removals, and saves them all in one
// file, even over the file it maps.
TEST(IndexFileTest, LoadedIndexChangesAndSavesAgain) {
  const ScratchDir dir;
  CorpusMaker maker(41, 300, true, false);
  Built built = Build(maker, 2000);
  const std::string path = dir.Path("index.bin");
  built.index.Save(path);
  for (const bool mmap : {true, false}) {
    InvertedIndex loaded = InvertedIndex::Load(path, mmap);
    Model model = built.model;
    for (int round = 0; round < 3; ++round) {
      const Rows rows = maker.Documents(300, 100000 + round * 1000);
      loaded.Add(rows.View(), rows.ids.data());
      AddToModel(model, rows);
      std::vector<std::int64_t> gone = {rows.ids[0], rows.ids[5]};
      gone.push_back(model.begin()->first);  // from the file
      loaded.Remove(gone.data(), gone.size());
      for (const std::int64_t id : gone) {
        model.erase(id);
      }
      const Rows again = maker.Documents(1, rows.ids[5]);
      loaded.Add(again.View(), again.ids.data());
      AddToModel(model, again);
    }
    EXPECT_GE(loaded.Stats().segments, 2u);
    ExpectSameSearches(loaded, model, maker, mmap ? "mapped, changed" : "read, changed");
    loaded.Save(path);
    ExpectSameSearches(loaded, model, maker, "after saving over its own file");
    ExpectSameSearches(InvertedIndex::Load(path, true), model, maker, "saved again");
    built.index.Save(path);
  }
}

TEST(IndexFileTest, EmptyIndexRoundTrips) {
  const InvertedIndex empty;
  const std::string bytes = empty.Serialize();
  EXPECT_EQ(bytes.size(), IndexFile::kHeaderBytes);
  const InvertedIndex loaded = InvertedIndex::Deserialize(bytes);
  EXPECT_EQ(loaded.size(), 0u);
  EXPECT_EQ(loaded.Serialize(), bytes);
}

// The header's fields where the format says, the sections at multiples of
// 64 bytes in order.
TEST(IndexFileTest, LaysOutTheDocumentedFormat) {
  InvertedIndex index;
  Rows rows;
  rows.Append({{7, 0.5}, {9, 2.0}}, -4);
  rows.Append({{9, 1.0}}, 12);
  index.Add(rows.View(), rows.ids.data());
  index.set_blob("xyz");
  const std::string bytes = index.Serialize();
  const auto u32 = [&bytes](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
  };
  const auto u64 = [&bytes](std::size_t at) {
    std::uint64_t v;
    std::memcpy(&v, bytes.data() + at, 8);
    return v;
  };
  EXPECT_EQ(bytes.substr(0, 8), "RZDVINDX");
  EXPECT_EQ(u32(8), 1u);
  EXPECT_EQ(u32(12), 128u);
  EXPECT_EQ(u32(16), InvertedIndex::kBlockSize);
  EXPECT_EQ(u64(24), bytes.size());
  EXPECT_EQ(u64(32), 2u);  // documents
  EXPECT_EQ(u64(40), 2u);  // terms
  EXPECT_EQ(u64(48), 3u);  // postings
  EXPECT_EQ(u64(56), 2u);  // blocks
  EXPECT_EQ(u64(64), 3u);  // blob bytes
  EXPECT_EQ(u32(124), idx::Crc32c(bytes.data(), 124));
  // ids 128, id order 192, term ids 256, terms 320, docs 384, weights 448,
  // blocks 512, blob 576.
  EXPECT_EQ(u64(128), static_cast<std::uint64_t>(-4));
  EXPECT_EQ(u64(136), 12u);
  EXPECT_EQ(u32(256), 7u);
  EXPECT_EQ(u32(260), 9u);
  EXPECT_EQ(u32(320 + 24 + 8), 2u);  // token 9's postings
  EXPECT_EQ(u32(384 + 4), 0u);       // token 9's ordinals: 0, 1
  EXPECT_EQ(u32(384 + 8), 1u);
  EXPECT_EQ(bytes.substr(576), "xyz");
  EXPECT_EQ(bytes.size(), 579u);
  EXPECT_EQ(u32(72 + 28), idx::Crc32c("xyz", 3));
}

// Any cut, any changed byte, any byte more: refused, never a crash.
TEST(IndexFileTest, RefusesEveryDamage) {
  InvertedIndex index;
  CorpusMaker maker(51, 20, false, true);
  const Rows rows = maker.Documents(40, 0, 4);
  index.Add(rows.View(), rows.ids.data());
  index.set_blob("blob");
  const std::string bytes = index.Serialize();
  ASSERT_LT(bytes.size(), 4096u);
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_THROW(InvertedIndex::Deserialize(bytes.substr(0, size)), StateError) << size;
  }
  EXPECT_THROW(InvertedIndex::Deserialize(bytes + '\0'), StateError);
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (const unsigned char flip : {0x01, 0x80, 0xFF}) {
      std::string damaged = bytes;
      damaged[at] = static_cast<char>(damaged[at] ^ flip);
      EXPECT_THROW(InvertedIndex::Deserialize(damaged), StateError) << at;
    }
  }
}

TEST(IndexFileTest, SaysWhatIsWrong) {
  InvertedIndex index;
  Rows rows;
  rows.Append({{7, 0.5}, {9, 2.0}}, 1);
  rows.Append({{9, 1.0}}, 2);
  index.Add(rows.View(), rows.ids.data());
  const std::string good = index.Serialize();
  const auto damage = [&good](std::size_t at, const std::string& with, bool reseal) {
    std::string bytes = good;
    bytes.replace(at, with.size(), with);
    if (reseal) {
      IndexFile::Reseal(bytes);
    }
    return bytes;
  };
  const std::string nan("\x00\x00\xC0\x7F", 4);
  struct Case {
    std::string bytes;
    std::string message;
  } const cases[] = {
      {"hello", "index bytes: not an index file"},
      {damage(8, std::string("\x02\0\0\0", 4), false),
       "index bytes: index file format 2 is not supported; this build reads format 1"},
      {good.substr(0, 100), "index bytes: corrupt index: cut short in the header, at 100 bytes"},
      {good.substr(0, 300), "index bytes: corrupt index: cut short: 300 bytes of 576"},
      {damage(390, "\x01", false),
       "index bytes: corrupt index: the docs section fails its checksum"},
      {damage(392, std::string("\x05\0\0\0", 4), true),
       "index bytes: corrupt index: an ordinal is out of range"},
      {damage(392, std::string("\0\0\0\0", 4), true),
       "index bytes: corrupt index: a term's ordinals are not strictly ascending"},
      {damage(448, nan, true), "index bytes: corrupt index: a weight is not finite"},
      {damage(516, std::string("\0\0\x80\x3F", 4), true),
       "index bytes: corrupt index: a block's summary does not match its postings"},
      {damage(260, std::string("\x07\0\0\0", 4), true),
       "index bytes: corrupt index: the term ids are not strictly ascending"},
      {damage(136, std::string("\x01\0\0\0", 4), true),
       "index bytes: corrupt index: the id order is not strictly ascending"},
  };
  for (const Case& c : cases) {
    try {
      InvertedIndex::Deserialize(c.bytes);
      ADD_FAILURE() << c.message;
    } catch (const StateError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

TEST(IndexFileTest, FileFailuresNameThePath) {
  const ScratchDir dir;
  for (const bool mmap : {true, false}) {
    try {
      InvertedIndex::Load(dir.Path("missing"), mmap);
      ADD_FAILURE();
    } catch (const FileError& e) {
      EXPECT_EQ(e.error_number(), ENOENT);
      EXPECT_EQ(e.path(), dir.Path("missing"));
    }
    try {
      InvertedIndex::Load(dir.Path(""), mmap);
      ADD_FAILURE();
    } catch (const FileError& e) {
      EXPECT_EQ(e.error_number(), EISDIR);
    }
    const std::string empty = dir.Write("empty", "");
    try {
      InvertedIndex::Load(empty, mmap);
      ADD_FAILURE();
    } catch (const StateError& e) {
      EXPECT_EQ(std::string(e.what()), empty + ": not an index file");
    }
  }
  const InvertedIndex index;
  EXPECT_THROW(index.Save(dir.Path("no/such/folder/index.bin")), FileError);
  EXPECT_THROW(index.Save(dir.Path("")), FileError);
  EXPECT_THROW(index.Save(std::string("a\0b", 3)), std::invalid_argument);
  // A failed save leaves nothing behind.
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path(""))) {
    files += entry.path().filename() == "empty" ? 0 : 1;
  }
  EXPECT_EQ(files, 0u);
}

// The seeds of fuzz/corpus/index_load/: a byte for fuzz_load's mode (bit 0:
// reseal first; bit 1: load from a mapped file), then a file.
TEST(IndexFileTest, CommittedSeedsAreTheFilesOfThisBuild) {
  const std::string folder = std::string(RAZODUVIVA_SOURCE_DIR) + "/fuzz/corpus/index_load/";
  std::vector<std::pair<std::string, std::string>> seeds;
  // Made by arithmetic alone, so that every standard library writes the
  // same file: 24 documents over 12 tokens, weights in quarters, a few
  // negative, every third document a copy of the one before.
  Rows rows;
  for (std::int64_t d = 0; d < 24; ++d) {
    std::vector<std::pair<std::uint32_t, double>> row;
    for (std::uint32_t t = 0; t < 12; ++t) {
      if ((d * 5 + t * 3) % 7 < 2 + t % 3) {
        const double weight = 0.25 * static_cast<double>(1 + (d + t) % 4);
        row.emplace_back(t * 0x9E3779B1u, (d + t) % 9 == 0 ? -weight : weight);
      }
    }
    rows.Append(d % 3 == 2 ? rows.Row(static_cast<std::size_t>(d - 1)) : row, d - 5);
  }
  InvertedIndex small;
  small.Add(rows.View(), rows.ids.data());
  small.set_blob("{}");
  const std::string file = small.Serialize();
  seeds.emplace_back("small", '\0' + file);
  seeds.emplace_back("small_mapped", '\2' + file);
  seeds.emplace_back("small_resealed", '\1' + file);
  seeds.emplace_back("empty", '\0' + InvertedIndex().Serialize());
  seeds.emplace_back("cut", '\0' + file.substr(0, file.size() / 2));
  std::string flipped = file;
  flipped[file.size() / 2] ^= 0x10;
  seeds.emplace_back("flipped_resealed", '\1' + flipped);
  seeds.emplace_back("foreign", std::string("\1RZDVINDX\1\0\0\0", 13));

  const char* write = std::getenv("RAZODUVIVA_WRITE_STATE_SEEDS");
  for (const auto& [name, bytes] : seeds) {
    EXPECT_LT(bytes.size(), 4096u) << name << ": keep seeds small";
    if (write != nullptr && *write != '\0') {
      std::ofstream(folder + name, std::ios::binary) << bytes;
    }
    std::ifstream in(folder + name, std::ios::binary);
    ASSERT_TRUE(in) << folder + name;
    const std::string committed((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
    EXPECT_EQ(committed, bytes) << name << " differs from what this build writes: see the top of "
                                << __FILE__;
  }
}

}  // namespace
