// Building segments: from a batch of documents, and by merging consecutive
// segments (dropping the postings of removed documents, and with
// `renumber`, their ordinals too).
//
// A batch is inverted by a stable radix sort of its (token, ordinal,
// weight) entries on the token, two passes of 16 bits: about 30 bytes of
// scratch per entry and a few nanoseconds per entry. A merge walks the
// segments' sorted term lists side by side and copies postings, a few
// nanoseconds per posting. Both build exact-size arrays.
//
// Stateless functions: safe from any number of threads on different inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "index/Segment.hpp"
#include "index/SparseRows.hpp"

namespace kelp::typing::text::index {

class SegmentBuilder {
 public:
  // The arrays of the documents of `rows`, row r with id ids[r] and ordinal
  // first_doc + r. The rows' tokens may come in any order: a row's
  // entries are sorted by token, and the weights of a repeated token are
  // added (in double, in the given order) before being stored as float.
  // Throws std::invalid_argument naming the document's id when a row ends
  // before it starts, or a weight (after adding) is not finite or beyond the
  // float range. The ids are taken as given (the index checks them).
  static SegmentData FromRows(const SparseRows& rows, const std::int64_t* ids,
                              std::uint32_t first_doc, std::uint32_t block_size);

  // The arrays of `segments`, which hold consecutive ordinals in order,
  // without the postings of the documents whose bit is set in `removed`
  // (global ordinals; null for none). With `renumber` the removed documents
  // go too and the others take ordinals from 0, in order; otherwise every
  // document keeps its ordinal (and its id). `block_size` is that of the
  // result.
  static SegmentData Merge(const std::vector<const Segment*>& segments,
                           const std::vector<std::uint64_t>* removed, bool renumber,
                           std::uint32_t block_size);

  // Sorts ids[0, count) into `order` (local ordinals by id, then ordinal).
  static void SortIds(const std::int64_t* ids, std::size_t count,
                      std::vector<std::uint32_t>& order);
};

}  // namespace kelp::typing::text::index
