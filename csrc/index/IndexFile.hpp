// The index file: one segment (ordinals from 0, no removed documents) and
// the caller's blob, laid out so that a mapping of the file is the
// segment's arrays.
//
// Little-endian throughout. A 128-byte header:
//   0   8 bytes  "RZDVINDX"
//   8   u32      format, 1
//   12  u32      header bytes, 128
//   16  u32      postings per block, a power of two (at most 2^16)
//   20  u32      flags, 0
//   24  u64      file bytes
//   32  u64      documents D;  40 u64 terms T;  48 u64 postings P;
//   56  u64      blocks B;     64 u64 blob bytes L
//   72  u32 x 8  the CRC-32C of each section (below), its padding included
//   104 20 bytes zero
//   124 u32      the CRC-32C of bytes [0, 124)
// then eight sections in this order, each starting at a multiple of 64
// bytes, zero bytes between them:
//   ids        i64 x D        document ids, by ordinal
//   id order   u32 x D        ordinals sorted by id (ids are unique)
//   term ids   u32 x T        tokens, strictly ascending
//   terms      TermInfo x T   24 bytes: u64 first posting, u32 postings,
//                             u32 first block, f32 largest and smallest weight
//   docs       u32 x P        ordinals, strictly ascending within a term
//   weights    f32 x P        finite
//   blocks     BlockInfo x B  12 bytes: u32 last ordinal, f32 largest and
//                             smallest weight
//   blob       L bytes        the caller's
// The file ends with the blob. Every byte is under a checksum, and every
// structural rule above is checked on reading (terms' postings and blocks
// consecutive from 0, block and term extremes exact, ordinals below D), so
// that a damaged, cut or foreign file is refused and a file that passes is
// safe to search.
//
// Stateless functions: safe from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "index/Segment.hpp"

namespace kelp::typing::text::index {

class IndexFile {
 public:
  static constexpr std::uint32_t kFormat = 1;
  static constexpr std::size_t kHeaderBytes = 128;

  struct Contents {
    SegmentArrays arrays;  // viewing the bytes read
    std::string_view blob;
  };

  // Hands the bytes of the file holding `arrays` (whose first_doc must be
  // 0) and `blob` to `write`, in order, in a few pieces.
  static void Write(const SegmentArrays& arrays, std::string_view blob,
                    const std::function<void(const void*, std::size_t)>& write);

  // The contents of the file `bytes` (whose start is aligned to 8 bytes),
  // viewing them. Throws limonp::StateError "<where>: ..." saying what is
  // wrong: "not an index file", "index file format N is not supported; this
  // build reads format 1", or "corrupt index: ..." (cut short, longer than
  // its header says, a checksum that fails, a rule broken).
  static Contents Read(const char* bytes, std::size_t size, const std::string& where);

  // Sets the size field and the checksums of a file's bytes to match its
  // content, for tools that change files on purpose (the fuzz target);
  // bytes without a whole header are left alone.
  static void Reseal(std::string& bytes);
};

}  // namespace kelp::typing::text::index
