#include "index/InvertedIndex.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "batch/OrderedChunks.hpp"
#include "index/AtomicFile.hpp"
#include "index/FileBytes.hpp"
#include "index/IndexFile.hpp"
#include "index/SegmentBuilder.hpp"

namespace kelp::typing::text::index {

namespace {

// Queries per chunk of SearchMany: tens of microseconds each, so that a
// chunk is worth handing over and the threads finish together.
constexpr std::size_t kQueriesPerChunk = 32;

// The size by which segments are compared for merging.
std::size_t Weight(const Segment& segment) {
  return segment.arrays().posting_count + segment.arrays().doc_count;
}

}  // namespace

InvertedIndex::InvertedIndex() = default;
InvertedIndex::~InvertedIndex() = default;
InvertedIndex::InvertedIndex(InvertedIndex&&) noexcept = default;
InvertedIndex& InvertedIndex::operator=(InvertedIndex&&) noexcept = default;

std::uint32_t InvertedIndex::Find(std::int64_t id) const {
  for (auto s = segments_.rbegin(); s != segments_.rend(); ++s) {
    const auto [first, last] = (*s)->Ordinals(id);
    for (const std::uint32_t* local = first; local != last; ++local) {
      const std::uint32_t doc = (*s)->arrays().first_doc + *local;
      if (!IsRemoved(doc)) {
        return doc;
      }
    }
  }
  return kNoDocument;
}

bool InvertedIndex::Contains(std::int64_t id) const { return Find(id) != kNoDocument; }

std::optional<std::int64_t> InvertedIndex::LargestId() const {
  std::optional<std::int64_t> largest;
  for (const auto& segment : segments_) {
    const SegmentArrays& a = segment->arrays();
    for (std::uint32_t j = a.doc_count; j-- > 0;) {
      if (!IsRemoved(a.first_doc + a.id_order[j])) {
        const std::int64_t id = a.ids[a.id_order[j]];
        largest = largest ? std::max(*largest, id) : id;
        break;
      }
    }
  }
  return largest;
}

void InvertedIndex::CheckNotPinned() const {
  if (pinned()) {
    throw std::runtime_error("the index is in use: a search in another thread is reading it");
  }
}

void InvertedIndex::set_blob(std::string blob) {
  CheckNotPinned();
  blob_ = std::move(blob);
}

void InvertedIndex::CheckNewIds(const std::int64_t* ids, std::size_t count) const {
  std::vector<std::int64_t> sorted(ids, ids + count);
  std::sort(sorted.begin(), sorted.end());
  const auto twice = std::adjacent_find(sorted.begin(), sorted.end());
  if (twice != sorted.end()) {
    throw std::invalid_argument("document id " + std::to_string(*twice) + " is given twice");
  }
  // A staging index holds the documents of the same call.
  const auto held = [this](std::int64_t id) {
    return std::invalid_argument("document id " + std::to_string(id) +
                                 (staging_ ? " is given twice" : " is already in the index"));
  };
  for (const auto& segment : segments_) {
    const SegmentArrays& a = segment->arrays();
    if (count * 32 < a.doc_count) {
      // A few ids: look each up.
      for (const std::int64_t id : sorted) {
        const auto [first, last] = segment->Ordinals(id);
        for (const std::uint32_t* local = first; local != last; ++local) {
          if (!IsRemoved(a.first_doc + *local)) {
            throw held(id);
          }
        }
      }
      continue;
    }
    // Many: walk both sorted lists.
    std::size_t i = 0;
    for (std::uint32_t j = 0; j < a.doc_count && i < sorted.size();) {
      const std::int64_t id = a.ids[a.id_order[j]];
      if (id < sorted[i]) {
        ++j;
      } else if (sorted[i] < id) {
        ++i;
      } else {
        if (!IsRemoved(a.first_doc + a.id_order[j])) {
          throw held(id);
        }
        ++j;
      }
    }
  }
}

void InvertedIndex::Add(const SparseRows& documents, const std::int64_t* ids) {
  CheckNotPinned();
  const std::size_t count = documents.rows;
  if (count == 0) {
    return;
  }
  if (count > kMaxDocuments - ordinals_) {
    throw std::length_error("an index numbers at most " + std::to_string(kMaxDocuments) +
                            " documents, removed ones included until saved and loaded again");
  }
  CheckNewIds(ids, count);
  auto segment = Segment::Own(
      SegmentBuilder::FromRows(documents, ids, static_cast<std::uint32_t>(ordinals_), kBlockSize),
      static_cast<std::uint32_t>(ordinals_), kBlockSize);
  segments_.reserve(segments_.size() + 1);
  stale_.reserve(segments_.size() + 1);
  if (!removed_.empty()) {
    removed_.resize((ordinals_ + count + 63) / 64, 0);
  }
  segments_.push_back(std::move(segment));
  stale_.push_back(0);
  ordinals_ += count;
  MergeNewest();
}

InvertedIndex InvertedIndex::Staging() const {
  InvertedIndex staged;
  staged.first_ordinal_ = staged.ordinals_ = ordinals_;
  staged.staging_ = true;
  return staged;
}

void InvertedIndex::Append(InvertedIndex&& staged) {
  CheckNotPinned();
  if (staged.first_ordinal_ != ordinals_ || staged.removed_count_ != 0) {
    throw std::logic_error("the staged documents do not continue this index");
  }
  const std::vector<std::int64_t> ids = staged.Ids();
  CheckNewIds(ids.data(), ids.size());
  segments_.reserve(segments_.size() + staged.segments_.size());
  stale_.reserve(segments_.size() + staged.segments_.size());
  if (!removed_.empty()) {
    removed_.resize((staged.ordinals_ + 63) / 64, 0);
  }
  // Nothing below throws (MergeNewest keeps the segments as they are when
  // it runs out of memory).
  for (auto& segment : staged.segments_) {
    ordinals_ = segment->arrays().first_doc + segment->arrays().doc_count;
    segments_.push_back(std::move(segment));
    stale_.push_back(0);
    MergeNewest();
  }
  staged = InvertedIndex();
}

void InvertedIndex::MergeNewest() {
  while (segments_.size() >= 2) {
    const Segment& last = *segments_.back();
    const Segment& previous = *segments_[segments_.size() - 2];
    if (previous.mapped() || Weight(last) * 2 < Weight(previous)) {
      return;
    }
    try {
      auto merged = Segment::Own(
          SegmentBuilder::Merge({&previous, &last}, removed_count_ != 0 ? &removed_ : nullptr,
                                false, kBlockSize),
          previous.arrays().first_doc, kBlockSize);
      segments_.pop_back();
      segments_.back() = std::move(merged);
      stale_.pop_back();
      stale_.back() = 0;  // the merge left out the removed documents' postings
    } catch (const std::bad_alloc&) {
      return;  // merging only saves space and time later; the segments stay as they are
    }
  }
}

std::size_t InvertedIndex::Remove(const std::int64_t* ids, std::size_t count) {
  CheckNotPinned();
  std::size_t removed = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t doc = Find(ids[i]);
    if (doc == kNoDocument) {
      continue;
    }
    if (removed_.empty()) {
      removed_.assign((ordinals_ + 63) / 64, 0);
    }
    removed_[doc >> 6] |= std::uint64_t{1} << (doc & 63);
    ++removed_count_;
    const auto holder = std::upper_bound(
        segments_.begin(), segments_.end(), doc,
        [](std::uint32_t d, const auto& segment) { return d < segment->arrays().first_doc; });
    ++stale_[static_cast<std::size_t>(holder - segments_.begin()) - 1];
    ++removed;
  }
  return removed;
}

std::vector<std::int64_t> InvertedIndex::Ids() const {
  std::vector<std::int64_t> ids;
  ids.reserve(size());
  for (const auto& segment : segments_) {
    const SegmentArrays& a = segment->arrays();
    for (std::uint32_t local = 0; local < a.doc_count; ++local) {
      if (!IsRemoved(a.first_doc + local)) {
        ids.push_back(a.ids[local]);
      }
    }
  }
  return ids;
}

void InvertedIndex::Search(const std::uint32_t* tokens, const double* weights, std::size_t size,
                           std::size_t k, SearchMode mode, Scratch& scratch,
                           std::vector<Hit>& out) const {
  out.clear();
  SegmentSearch::Prepare(tokens, weights, size, scratch);
  if (k == 0 || scratch.tokens.empty()) {
    return;
  }
  scratch.top.Reset(k, this->size());
  for (std::size_t s = 0; s < segments_.size(); ++s) {
    const std::uint64_t* removed = stale_[s] != 0 ? removed_.data() : nullptr;
    switch (mode) {
      case SearchMode::kPruned:
        SegmentSearch::Pruned(*segments_[s], removed, scratch);
        break;
      case SearchMode::kExhaustive:
        SegmentSearch::Exhaustive(*segments_[s], removed, scratch);
        break;
    }
  }
  scratch.top.TakeSorted(out);
}

std::vector<Hit> InvertedIndex::Search(const std::uint32_t* tokens, const double* weights,
                                       std::size_t size, std::size_t k, SearchMode mode) const {
  Scratch scratch;
  std::vector<Hit> hits;
  Search(tokens, weights, size, k, mode, scratch, hits);
  return hits;
}

SearchResults InvertedIndex::SearchMany(const SparseRows& queries, std::size_t k,
                                        std::size_t threads, SearchMode mode) const {
  struct Chunk {
    std::vector<Hit> hits;
    std::vector<std::size_t> counts;
    std::size_t failed_row = 0;
    std::string error;  // the first failure's message, if any
  };
  struct Worker {
    Scratch scratch;
    std::vector<Hit> hits;
  };
  const std::size_t rows = queries.rows;
  const std::size_t chunks = (rows + kQueriesPerChunk - 1) / kQueriesPerChunk;
  if (threads == 0) {
    threads = batch::AvailableThreads();
  }
  std::vector<Chunk> done(chunks);
  std::vector<Worker> workers(std::max<std::size_t>(1, std::min(threads, chunks)));
  batch::OrderedChunks runner(chunks, threads, [&](std::size_t c, std::size_t thread) {
    Chunk& chunk = done[c];
    Worker& worker = workers[thread];
    const std::size_t last = std::min(rows, (c + 1) * kQueriesPerChunk);
    for (std::size_t row = c * kQueriesPerChunk; row < last; ++row) {
      const std::size_t begin = queries.begin(row);
      try {
        Search(queries.tokens + begin, queries.weights + begin, queries.end(row) - begin, k, mode,
               worker.scratch, worker.hits);
      } catch (const std::invalid_argument& e) {
        chunk.failed_row = row;
        chunk.error = e.what();
        return;
      }
      chunk.hits.insert(chunk.hits.end(), worker.hits.begin(), worker.hits.end());
      chunk.counts.push_back(worker.hits.size());
    }
  });
  SearchResults results;
  results.ends.reserve(rows);
  std::size_t c;
  while (runner.Next(c)) {
    Chunk& chunk = done[c];
    if (!chunk.error.empty()) {
      throw std::invalid_argument("query " + std::to_string(chunk.failed_row) + ": " +
                                  chunk.error);
    }
    std::size_t at = 0;
    for (const std::size_t count : chunk.counts) {
      for (std::size_t i = 0; i < count; ++i, ++at) {
        results.ids.push_back(chunk.hits[at].id);
        results.scores.push_back(chunk.hits[at].score);
      }
      results.ends.push_back(results.ids.size());
    }
    chunk = Chunk();
  }
  return results;
}

std::shared_ptr<const Segment> InvertedIndex::Compacted() const {
  if (segments_.size() == 1 && removed_count_ == 0 && first_ordinal_ == 0) {
    return segments_.front();  // its ordinals start at 0
  }
  std::vector<const Segment*> parts;
  for (const auto& segment : segments_) {
    parts.push_back(segment.get());
  }
  return Segment::Own(
      SegmentBuilder::Merge(parts, removed_count_ != 0 ? &removed_ : nullptr, true, kBlockSize), 0,
      kBlockSize);
}

void InvertedIndex::Save(const std::string& path) const { Save(path, blob_); }

void InvertedIndex::Save(const std::string& path, std::string_view blob) const {
  const auto segment = Compacted();
  AtomicFile file(path);
  IndexFile::Write(segment->arrays(), blob,
                   [&file](const void* data, std::size_t size) { file.Write(data, size); });
  file.Commit();
}

std::string InvertedIndex::Serialize() const {
  const auto segment = Compacted();
  std::string bytes;
  IndexFile::Write(segment->arrays(), blob_, [&bytes](const void* data, std::size_t size) {
    bytes.append(static_cast<const char*>(data), size);
  });
  return bytes;
}

InvertedIndex InvertedIndex::FromFile(std::shared_ptr<const void> storage, const char* data,
                                      std::size_t size, bool mapped, const std::string& where) {
  const IndexFile::Contents contents = IndexFile::Read(data, size, where);
  InvertedIndex index;
  index.blob_.assign(contents.blob.data(), contents.blob.size());
  // Even empty, the segment is kept: saving the index again writes the
  // same bytes.
  index.segments_.push_back(
      std::make_shared<const Segment>(contents.arrays, std::move(storage), mapped));
  index.stale_.push_back(0);
  index.ordinals_ = contents.arrays.doc_count;
  return index;
}

InvertedIndex InvertedIndex::Load(const std::string& path, bool mmap) {
  auto bytes = mmap ? FileBytes::Map(path) : FileBytes::Read(path);
  const char* data = bytes->data();
  const std::size_t size = bytes->size();
  const bool mapped = bytes->mapped();
  return FromFile(std::move(bytes), data, size, mapped, path);
}

InvertedIndex InvertedIndex::Deserialize(std::string_view bytes) {
  auto copy = FileBytes::Copy(bytes);
  const char* data = copy->data();
  return FromFile(std::move(copy), data, bytes.size(), false, "index bytes");
}

IndexStats InvertedIndex::Stats() const {
  IndexStats stats;
  stats.documents = size();
  stats.removed = removed_count_;
  stats.segments = segments_.size();
  stats.held_bytes = removed_.capacity() * sizeof(std::uint64_t) + blob_.capacity();
  for (const auto& segment : segments_) {
    const SegmentArrays& a = segment->arrays();
    stats.terms += a.term_count;
    stats.postings += a.posting_count;
    stats.blocks += a.block_count;
    stats.held_bytes += segment->HeldBytes();
    if (segment->mapped()) {
      stats.mapped_bytes += IndexFile::kHeaderBytes + a.doc_count * 12 + a.term_count * 28 +
                            a.posting_count * 8 + a.block_count * 12;
    }
  }
  return stats;
}

}  // namespace kelp::typing::text::index
