#include "index/IndexFile.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "index/Crc32c.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace kelp::typing::text::index {

namespace {

constexpr char kMagic[8] = {'R', 'Z', 'D', 'V', 'I', 'N', 'D', 'X'};
constexpr std::size_t kAlignment = 64;
constexpr std::size_t kSections = 8;
constexpr const char* kSectionNames[kSections] = {"ids",  "id order", "term ids", "terms",
                                                  "docs", "weights",  "blocks",   "blob"};
constexpr std::size_t kUnits[kSections] = {sizeof(std::int64_t), sizeof(std::uint32_t),
                                           sizeof(std::uint32_t), sizeof(TermInfo),
                                           sizeof(std::uint32_t), sizeof(float),
                                           sizeof(BlockInfo),    1};
constexpr unsigned char kZeros[kAlignment] = {};
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
// Header offsets.
constexpr std::size_t kFormatAt = 8, kHeaderBytesAt = 12, kBlockSizeAt = 16, kFlagsAt = 20,
                      kFileBytesAt = 24, kCountsAt = 32, kChecksumsAt = 72, kReservedAt = 104,
                      kHeaderChecksumAt = 124;

std::uint32_t LoadU32(const char* p) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) {
    value = value << 8 | static_cast<unsigned char>(p[i]);
  }
  return value;
}

std::uint64_t LoadU64(const char* p) {
  return LoadU32(p) | static_cast<std::uint64_t>(LoadU32(p + 4)) << 32;
}

void StoreU32(char* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<char>(value >> (8 * i));
  }
}

void StoreU64(char* p, std::uint64_t value) {
  StoreU32(p, static_cast<std::uint32_t>(value));
  StoreU32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

// Element counts of the sections, in order: D, D, T, T, P, P, B, L.
using Counts = std::array<std::uint64_t, kSections>;

Counts CountsOf(std::uint64_t docs, std::uint64_t terms, std::uint64_t postings,
                std::uint64_t blocks, std::uint64_t blob) {
  return {docs, docs, terms, terms, postings, postings, blocks, blob};
}

// Section i is [start[i], start[i] + bytes) and its checksum covers
// [start[i], start[i + 1]); start[kSections] is the file's size. The counts
// must be small enough for the sums not to overflow (Read checks them).
std::array<std::uint64_t, kSections + 1> Place(const Counts& counts) {
  std::array<std::uint64_t, kSections + 1> start{};
  std::uint64_t at = IndexFile::kHeaderBytes;
  for (std::size_t i = 0; i < kSections; ++i) {
    start[i] = at;
    at += counts[i] * kUnits[i];
    if (i + 1 < kSections) {
      at = (at + kAlignment - 1) / kAlignment * kAlignment;
    }
  }
  start[kSections] = at;
  return start;
}

Counts HeaderCounts(const char* header) {
  return CountsOf(LoadU64(header + kCountsAt), LoadU64(header + kCountsAt + 8),
                  LoadU64(header + kCountsAt + 16), LoadU64(header + kCountsAt + 24),
                  LoadU64(header + kCountsAt + 32));
}

// Checks the reads of a file and names it in failures.
class Checker {
 public:
  explicit Checker(const std::string& where) : where_(where) {}

  [[noreturn]] void Fail(const std::string& message) const {
    throw limonp::StateError(where_ + ": " + message);
  }
  [[noreturn]] void Corrupt(const std::string& message) const {
    Fail("corrupt index: " + message);
  }
  void Require(bool holds, const char* rule) const {
    if (!holds) {
      Corrupt(rule);
    }
  }

 private:
  const std::string& where_;
};

void CheckIdOrder(const SegmentArrays& a, const Checker& check) {
  for (std::uint32_t i = 0; i < a.doc_count; ++i) {
    check.Require(a.id_order[i] < a.doc_count, "an ordinal of the id order is out of range");
  }
  for (std::uint32_t i = 1; i < a.doc_count; ++i) {
    check.Require(a.ids[a.id_order[i - 1]] < a.ids[a.id_order[i]],
                  "the id order is not strictly ascending");
  }
}

void CheckTerms(const SegmentArrays& a, const Checker& check) {
  std::uint64_t postings = 0;
  std::uint64_t blocks = 0;
  for (std::size_t t = 0; t < a.term_count; ++t) {
    const TermInfo& term = a.terms[t];
    check.Require(t == 0 || a.term_ids[t - 1] < a.term_ids[t],
                  "the term ids are not strictly ascending");
    check.Require(term.first == postings && term.first_block == blocks,
                  "a term's postings or blocks do not follow the previous term's");
    check.Require(term.count >= 1 && term.count <= a.doc_count,
                  "a term has no postings, or more than the documents");
    postings += term.count;
    blocks += (term.count + a.block_size - 1) / a.block_size;
    check.Require(postings <= a.posting_count && blocks <= a.block_count,
                  "the terms' postings or blocks run past their sections");
  }
  check.Require(postings == a.posting_count && blocks == a.block_count,
                "the terms do not cover every posting and block");
}

// Each term's ordinals, weights and block summaries.
void CheckPostings(const SegmentArrays& a, const Checker& check) {
  for (std::size_t t = 0; t < a.term_count; ++t) {
    const TermInfo& term = a.terms[t];
    const std::uint32_t* docs = a.docs + term.first;
    const float* weights = a.weights + term.first;
    const BlockInfo* blocks = a.blocks + term.first_block;
    float term_max = -INFINITY;
    float term_min = INFINITY;
    std::int64_t previous = -1;
    for (std::uint32_t start = 0, b = 0; start < term.count; start += a.block_size, ++b) {
      const std::uint32_t stop =
          term.count - start < a.block_size ? term.count : start + a.block_size;
      float max = -INFINITY;
      float min = INFINITY;
      bool ascending = true;
      bool finite = true;
      for (std::uint32_t i = start; i < stop; ++i) {
        ascending &= static_cast<std::int64_t>(docs[i]) > previous;
        previous = docs[i];
        finite &= std::isfinite(weights[i]);
        max = weights[i] > max ? weights[i] : max;
        min = weights[i] < min ? weights[i] : min;
      }
      check.Require(ascending, "a term's ordinals are not strictly ascending");
      check.Require(static_cast<std::uint64_t>(previous) < a.doc_count,
                    "an ordinal is out of range");
      check.Require(finite, "a weight is not finite");
      check.Require(blocks[b].last_doc == docs[stop - 1] && blocks[b].max_weight == max &&
                        blocks[b].min_weight == min,
                    "a block's summary does not match its postings");
      term_max = max > term_max ? max : term_max;
      term_min = min < term_min ? min : term_min;
    }
    check.Require(term.max_weight == term_max && term.min_weight == term_min,
                  "a term's extreme weights do not match its postings");
  }
}

}  // namespace

void IndexFile::Write(const SegmentArrays& arrays, std::string_view blob,
                      const std::function<void(const void*, std::size_t)>& write) {
  if (!kLittleEndian) {
    throw std::runtime_error("index files are little-endian; this host is not");
  }
  if (arrays.first_doc != 0) {
    throw std::logic_error("IndexFile::Write: the segment's ordinals must start at 0");
  }
  const Counts counts = CountsOf(arrays.doc_count, arrays.term_count, arrays.posting_count,
                                 arrays.block_count, blob.size());
  const auto start = Place(counts);
  const void* data[kSections] = {arrays.ids,  arrays.id_order, arrays.term_ids, arrays.terms,
                                 arrays.docs, arrays.weights,  arrays.blocks,   blob.data()};
  char header[kHeaderBytes] = {};
  std::memcpy(header, kMagic, sizeof(kMagic));
  StoreU32(header + kFormatAt, kFormat);
  StoreU32(header + kHeaderBytesAt, kHeaderBytes);
  StoreU32(header + kBlockSizeAt, arrays.block_size);
  StoreU64(header + kFileBytesAt, start[kSections]);
  const std::uint64_t header_counts[5] = {arrays.doc_count, arrays.term_count,
                                          arrays.posting_count, arrays.block_count, blob.size()};
  for (std::size_t i = 0; i < 5; ++i) {
    StoreU64(header + kCountsAt + 8 * i, header_counts[i]);
  }
  for (std::size_t i = 0; i < kSections; ++i) {
    const std::size_t bytes = counts[i] * kUnits[i];
    const std::size_t padding = start[i + 1] - start[i] - bytes;
    std::uint32_t crc = bytes > 0 ? Crc32c(data[i], bytes) : 0;
    crc = Crc32c(kZeros, padding, crc);
    StoreU32(header + kChecksumsAt + 4 * i, crc);
  }
  StoreU32(header + kHeaderChecksumAt, Crc32c(header, kHeaderChecksumAt));
  write(header, kHeaderBytes);
  for (std::size_t i = 0; i < kSections; ++i) {
    const std::size_t bytes = counts[i] * kUnits[i];
    if (bytes > 0) {
      write(data[i], bytes);
    }
    const std::size_t padding = start[i + 1] - start[i] - bytes;
    if (padding > 0) {
      write(kZeros, padding);
    }
  }
}

IndexFile::Contents IndexFile::Read(const char* bytes, std::size_t size, const std::string& where) {
  const Checker check(where);
  if (size < sizeof(kMagic) || std::memcmp(bytes, kMagic, sizeof(kMagic)) != 0) {
    check.Fail("not an index file");
  }
  if (size < kFormatAt + 4) {
    check.Corrupt("cut short in the header, at " + std::to_string(size) + " bytes");
  }
  const std::uint32_t format = LoadU32(bytes + kFormatAt);
  if (format != kFormat) {
    check.Fail("index file format " + std::to_string(format) +
               " is not supported; this build reads format " + std::to_string(kFormat));
  }
  if (!kLittleEndian) {
    check.Fail("index files are little-endian; this host is not");
  }
  if (size < kHeaderBytes) {
    check.Corrupt("cut short in the header, at " + std::to_string(size) + " bytes");
  }
  check.Require(Crc32c(bytes, kHeaderChecksumAt) == LoadU32(bytes + kHeaderChecksumAt),
                "the header fails its checksum");
  const std::uint32_t block_size = LoadU32(bytes + kBlockSizeAt);
  check.Require(LoadU32(bytes + kHeaderBytesAt) == kHeaderBytes, "the header size is not 128");
  check.Require(block_size >= 1 && block_size <= (1u << 16) && (block_size & (block_size - 1)) == 0,
                "the block size is not a power of two up to 65536");
  check.Require(LoadU32(bytes + kFlagsAt) == 0, "unknown flags");
  check.Require(std::memcmp(bytes + kReservedAt, kZeros, kHeaderChecksumAt - kReservedAt) == 0,
                "reserved header bytes are not zero");
  const std::uint64_t file_bytes = LoadU64(bytes + kFileBytesAt);
  if (file_bytes > size) {
    check.Corrupt("cut short: " + std::to_string(size) + " bytes of " +
                  std::to_string(file_bytes));
  }
  if (file_bytes < size) {
    check.Corrupt(std::to_string(size - file_bytes) + " bytes after its end");
  }
  const Counts counts = HeaderCounts(bytes);
  for (std::size_t i = 0; i < kSections; ++i) {
    check.Require(counts[i] <= size / kUnits[i], "a count is larger than the file can hold");
  }
  const auto start = Place(counts);
  check.Require(start[kSections] == size, "the sections' sizes do not add up to the file's");
  for (std::size_t i = 0; i < kSections; ++i) {
    const std::uint32_t crc = Crc32c(bytes + start[i], start[i + 1] - start[i]);
    if (crc != LoadU32(bytes + kChecksumsAt + 4 * i)) {
      check.Corrupt(std::string("the ") + kSectionNames[i] + " section fails its checksum");
    }
    const std::size_t used = counts[i] * kUnits[i];
    check.Require(std::memcmp(bytes + start[i] + used, kZeros, start[i + 1] - start[i] - used) == 0,
                  "the bytes between two sections are not zero");
  }

  Contents contents;
  SegmentArrays& a = contents.arrays;
  check.Require(counts[0] < kNoDocument && counts[2] <= UINT32_MAX && counts[6] <= UINT32_MAX,
                "more documents, terms or blocks than an index holds");
  a.first_doc = 0;
  a.doc_count = static_cast<std::uint32_t>(counts[0]);
  a.block_size = block_size;
  a.ids = reinterpret_cast<const std::int64_t*>(bytes + start[0]);
  a.id_order = reinterpret_cast<const std::uint32_t*>(bytes + start[1]);
  a.term_count = counts[2];
  a.term_ids = reinterpret_cast<const std::uint32_t*>(bytes + start[2]);
  a.terms = reinterpret_cast<const TermInfo*>(bytes + start[3]);
  a.posting_count = counts[4];
  a.docs = reinterpret_cast<const std::uint32_t*>(bytes + start[4]);
  a.weights = reinterpret_cast<const float*>(bytes + start[5]);
  a.block_count = counts[6];
  a.blocks = reinterpret_cast<const BlockInfo*>(bytes + start[6]);
  contents.blob = std::string_view(bytes + start[7], counts[7]);
  CheckIdOrder(a, check);
  CheckTerms(a, check);
  CheckPostings(a, check);
  return contents;
}

void IndexFile::Reseal(std::string& bytes) {
  if (bytes.size() < kHeaderBytes) {
    return;
  }
  char* header = bytes.data();
  StoreU64(header + kFileBytesAt, bytes.size());
  const Counts counts = HeaderCounts(header);
  bool fits = true;
  for (std::size_t i = 0; i < kSections; ++i) {
    fits = fits && counts[i] <= bytes.size() / kUnits[i];
  }
  if (fits) {
    const auto start = Place(counts);
    if (start[kSections] == bytes.size()) {
      for (std::size_t i = 0; i < kSections; ++i) {
        StoreU32(header + kChecksumsAt + 4 * i,
                 Crc32c(header + start[i], start[i + 1] - start[i]));
      }
    }
  }
  StoreU32(header + kHeaderChecksumAt, Crc32c(header, kHeaderChecksumAt));
}

}  // namespace kelp::typing::text::index
