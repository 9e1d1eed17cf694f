// An in-process inverted index over sparse vectors with 32-bit token ids
// (the encoder's hashed vectors): documents with caller-chosen 64-bit ids,
// searched for the k best by dot product, saved to and loaded from one
// file.
//
// Documents: Add takes a batch of rows (SparseRows) and their ids. A row's
// entries may come in any order; the weights of a repeated token add up.
// Weights are stored as float; the scores use them widened to double. An
// id already held, or given twice in a batch, is refused (to replace a
// document, Remove it and Add it again). Remove marks documents removed:
// they leave every result at once, and their space is given back when
// segments merge and when the index is saved.
//
// Search(query, k) gives the k best hits, best first: a hit is a document
// sharing at least one token with the query (zero weights count), its score
// the sum of query weight x stored weight over the shared tokens, added in
// ascending token order (see SegmentSearch.hpp); ties go to the smaller id.
// Query weights may be negative, so scores may be too, and a hit may score
// 0. The pruned mode (MaxScore with block maxima) gives exactly the hits,
// scores and order of the exhaustive one.
//
// Storage: segments, each a run of consecutive ordinals (Segment.hpp). Add
// builds one from its batch and merges the newest segments while the last is
// at least half the size of the one before, so that a document is copied
// O(log n) times and a search visits O(log n) segments. A loaded file is
// one segment, mapped or in memory; a mapped one is never copied (Add puts
// new documents in segments beside it). Save and Serialize write one
// segment without the removed documents.
//
// Memory and file: 8 bytes per (document, token) pair (a u32 ordinal and a
// float weight), plus 12 bytes per block of 64 postings of a term, 28 bytes
// per term of each segment (plus about 4 for finding it), and 12 bytes per
// document (id and id order), plus one bit per document once any is
// removed.
//
// Costs: Add sorts its batch's entries (a few nanoseconds each) and checks
// its ids against the held ones; a search reads at most the postings of the
// query's terms, often far fewer (see SegmentSearch.hpp), and allocates
// nothing once its scratch has grown; Load reads every byte once to check
// it, mapped or not; Save writes one file and flushes it to the disk.
//
// Thread-safety: the const members only read, so any number of threads may
// search (and save, serialize, list ids) at once. Add, Append, Remove,
// set_blob and assignment change the index and must not overlap any other
// call on it; the binding serialises them under the interpreter lock, and
// pins the index (pin(), as BM25::pin) around work that reads it without
// that lock, so that a change from another thread is refused meanwhile.
// Work too long to hold that lock for stages its documents in an index of
// their own (Staging, IndexBatches.hpp) and appends them under it.
// SearchMany runs its own threads, which live for the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/Segment.hpp"
#include "index/SegmentSearch.hpp"
#include "index/SparseRows.hpp"
#include "index/TopK.hpp"

namespace kelp::typing::text::index {

enum class SearchMode {
  kPruned,      // MaxScore with block maxima
  kExhaustive,  // every posting of the query's tokens
};

// The hits of consecutive queries: those of query q are [ends[q - 1],
// ends[q]) of ids and scores (from 0 for the first), best first.
struct SearchResults {
  std::vector<std::int64_t> ids;
  std::vector<double> scores;
  std::vector<std::size_t> ends;
};

struct IndexStats {
  std::size_t documents = 0;  // held, removed ones excluded
  std::size_t removed = 0;    // removed but still taking an ordinal
  std::size_t segments = 0;
  std::size_t terms = 0;      // summed over segments
  std::size_t postings = 0;   // (document, token) pairs, removed ones' included
  std::size_t blocks = 0;
  std::size_t held_bytes = 0;    // memory the index holds, mapped files excluded
  std::size_t mapped_bytes = 0;  // bytes of mapped files
};

class InvertedIndex {
 public:
  using Scratch = SegmentSearch::Scratch;

  // Postings per block, for the segments it builds.
  static constexpr std::uint32_t kBlockSize = 64;
  // Documents an index can number, removed ones included until it is saved
  // and loaded again.
  static constexpr std::size_t kMaxDocuments = kNoDocument - 1;

  InvertedIndex();
  ~InvertedIndex();
  InvertedIndex(InvertedIndex&&) noexcept;
  InvertedIndex& operator=(InvertedIndex&&) noexcept;
  // An index may hold gigabytes: no implicit copies (Serialize and
  // Deserialize make an explicit one).
  InvertedIndex(const InvertedIndex&) = delete;
  InvertedIndex& operator=(const InvertedIndex&) = delete;

  // Adds documents.rows documents, row r with id ids[r]. All or nothing:
  // throws std::invalid_argument, changing nothing, for an id held or given
  // twice ("document id 42 is already in the index", "... is given twice"),
  // a weight that is not finite or beyond the float range, a row that ends
  // before it starts; std::length_error past kMaxDocuments;
  // std::runtime_error while pinned.
  void Add(const SparseRows& documents, const std::int64_t* ids);

  // Throws std::invalid_argument as Add does unless every id of ids[0,
  // count) is new here and given once.
  void CheckNewIds(const std::int64_t* ids, std::size_t count) const;

  // An empty index to stage documents in, away from this one (so that
  // searches of this one go on meanwhile), for Append: its ordinals
  // continue this index's.
  InvertedIndex Staging() const;

  // Adds the documents of `staged`, which Staging() of this index made and
  // which has had nothing removed, moving its segments over without copying
  // them. All or nothing, as Add: throws std::invalid_argument for an id
  // held here, std::logic_error when documents were added here since
  // Staging(), std::runtime_error while pinned. `staged` is left empty.
  void Append(InvertedIndex&& staged);

  // Removes the documents with ids[0, count) that are held; ids that are
  // not are ignored. Returns how many were removed. Throws
  // std::runtime_error while pinned, changing nothing.
  std::size_t Remove(const std::int64_t* ids, std::size_t count);

  bool Contains(std::int64_t id) const;
  // The largest id held, if any document is.
  std::optional<std::int64_t> LargestId() const;
  // Documents held.
  std::size_t size() const noexcept { return ordinals_ - first_ordinal_ - removed_count_; }
  // Their ids, in the order they were added (a loaded file's first).
  std::vector<std::int64_t> Ids() const;

  // The k best hits of the query (tokens[i], weights[i]) for i < size, best
  // first, into `out` (cleared first); tokens in any order, the weights of a
  // repeated token added. Throws std::invalid_argument for a weight that is
  // not finite or of magnitude above 1e250. Allocates nothing once `scratch`
  // and `out` have grown.
  void Search(const std::uint32_t* tokens, const double* weights, std::size_t size, std::size_t k,
              SearchMode mode, Scratch& scratch, std::vector<Hit>& out) const;
  std::vector<Hit> Search(const std::uint32_t* tokens, const double* weights, std::size_t size,
                          std::size_t k, SearchMode mode = SearchMode::kPruned) const;

  // Search for each row of `queries`, on `threads` threads (0: every core
  // the process may use); the same hits as one by one. A bad query throws
  // std::invalid_argument "query <row>: ..." for the first one in order.
  SearchResults SearchMany(const SparseRows& queries, std::size_t k, std::size_t threads,
                           SearchMode mode = SearchMode::kPruned) const;

  // Writes the index file (IndexFile.hpp) at `path` whole or not at all
  // (AtomicFile.hpp). Throws limonp::FileError.
  void Save(const std::string& path) const;
  // The same with `blob` in place of blob(): what the caller keeps
  // elsewhere (the encoder's file text) goes to the file without a copy
  // kept here.
  void Save(const std::string& path, std::string_view blob) const;
  // The bytes Save writes.
  std::string Serialize() const;

  // The index of the file at `path`: mapped (`mmap`) or read into memory.
  // Every byte is checked first. Throws limonp::FileError when the file
  // cannot be read and limonp::StateError (a std::invalid_argument) when it
  // is not a sound index file (see IndexFile::Read).
  static InvertedIndex Load(const std::string& path, bool mmap);
  // The index of bytes that Serialize gave (copied).
  static InvertedIndex Deserialize(std::string_view bytes);

  // The caller's bytes, kept in the file as they are (an encoder's file).
  const std::string& blob() const noexcept { return blob_; }
  void set_blob(std::string blob);

  // Work that reads the index outside its caller's own serialisation
  // pins it for its duration; Add, Remove and set_blob refuse a pinned
  // index with std::runtime_error, changing nothing. pin, unpin and pinned
  // are not synchronised themselves: the caller's lock (the interpreter
  // lock) must cover them. A pin belongs to the object: a moved-to index
  // starts with its own count, and assigning to a pinned one is the
  // caller's to refuse (it checks pinned() under the same lock).
  void pin() const noexcept { ++pins_.count; }
  void unpin() const noexcept { --pins_.count; }
  bool pinned() const noexcept { return pins_.count != 0; }

  // Holds an index pinned while it lives; made and destroyed under the
  // caller's lock. Not copyable: each Pin is one pin, released once.
  class Pin {
   public:
    explicit Pin(const InvertedIndex& index) noexcept : index_(index) { index_.pin(); }
    ~Pin() { index_.unpin(); }
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

   private:
    const InvertedIndex& index_;
  };

  IndexStats Stats() const;

 private:
  // The ordinal of the held document `id`, or kNoDocument.
  std::uint32_t Find(std::int64_t id) const;
  bool IsRemoved(std::uint32_t doc) const noexcept {
    return removed_count_ != 0 && ((removed_[doc >> 6] >> (doc & 63)) & 1) != 0;
  }
  // Throws the refusal of a change while the index is pinned.
  void CheckNotPinned() const;
  void MergeNewest();
  // One segment holding every held document, ordinals from 0.
  std::shared_ptr<const Segment> Compacted() const;
  static InvertedIndex FromFile(std::shared_ptr<const void> storage, const char* data,
                                std::size_t size, bool mapped, const std::string& where);

  std::vector<std::shared_ptr<const Segment>> segments_;
  // By segment: how many removed documents it still holds postings of.
  std::vector<std::size_t> stale_;
  bool staging_ = false;          // made by Staging()
  std::size_t first_ordinal_ = 0;  // of a staging index; 0 otherwise
  std::size_t ordinals_ = 0;  // documents numbered, removed ones included, from 0
  std::vector<std::uint64_t> removed_;  // a bit per ordinal; empty until a removal
  std::size_t removed_count_ = 0;
  std::string blob_;
  // Not carried by copies or moves: a pin is on one object.
  struct PinCount {
    int count = 0;
    PinCount() noexcept = default;
    PinCount(const PinCount&) noexcept {}
    PinCount& operator=(const PinCount&) noexcept { return *this; }
  };
  mutable PinCount pins_;
};

}  // namespace kelp::typing::text::index
