// FNV-1a, the 64-bit hash of byte strings used by the in-memory tables of
// words (the encoder's stop-word set, the word interning of batch results).
// Not a file format: nothing stores these values, so the function may
// change. Token ids are MurmurHash3 (encoder/MurmurHash3.hpp), which is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kelp::typing::text::limonp {

inline uint64_t Fnv1a(const char* bytes, size_t length) noexcept {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
  }
  return hash;
}

inline uint64_t Fnv1a(std::string_view bytes) noexcept { return Fnv1a(bytes.data(), bytes.size()); }

}  // namespace kelp::typing::text::limonp
