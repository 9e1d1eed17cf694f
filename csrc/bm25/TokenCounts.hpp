// TokenCounts: the hash map from token bytes to a 64-bit count that holds a
// BM25 model's corpus statistics.
//
// Open addressing with linear probing over a power-of-two slot array kept at
// most half full; each slot holds 32 bits of the key's hash beside the entry
// number, so a probe touches an entry only on a likely match. Keys live
// back to back in one byte arena and entries refer to them by offset, so a
// lookup by std::string_view allocates nothing, a copy is three vector
// copies, and a table of 1M short tokens takes about 60 MB. Entries keep
// their insertion order; nothing is ever removed.
//
// The hash is seeded once per process at random, so crafted tokens cannot
// be aimed at one probe chain. Iteration order does not depend on the seed.
//
// Thread-safety: const members only read; a write must not overlap any other
// access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelp::typing::text {

class TokenCounts {
 public:
  TokenCounts() : seed_(ProcessSeed()) {}

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  std::uint64_t Hash(std::string_view key) const noexcept {
    return HashBytes(key.data(), key.size(), seed_);
  }

  // Makes room for `count` keys in all, so that inserting up to that many
  // moves nothing.
  void Reserve(std::size_t count);

  // The count stored for `key`, or nullptr; `hash` must be Hash(key).
  const std::int64_t* Find(std::string_view key, std::uint64_t hash) const noexcept {
    if (entries_.empty()) {
      return nullptr;
    }
    const std::uint64_t tag = hash & TAG_MASK;
    for (std::size_t s = hash & mask_;; s = (s + 1) & mask_) {
      const std::uint64_t slot = slots_[s];
      if (slot == 0) {
        return nullptr;
      }
      if ((slot & TAG_MASK) == tag) {
        const Entry& entry = entries_[(slot & INDEX_MASK) - 1];
        if (Matches(entry, key)) {
          return &entry.count;
        }
      }
    }
  }
  const std::int64_t* Find(std::string_view key) const noexcept { return Find(key, Hash(key)); }

  // The count stored for `key`, created as 0 when absent; `hash` must be
  // Hash(key). The reference is valid until the next insertion.
  std::int64_t& Upsert(std::string_view key, std::uint64_t hash);
  std::int64_t& operator[](std::string_view key) { return Upsert(key, Hash(key)); }

  // Entries in insertion order.
  std::string_view KeyAt(std::size_t i) const noexcept {
    const Entry& entry = entries_[i];
    return std::string_view(arena_.data() + entry.offset, entry.length);
  }
  std::int64_t CountAt(std::size_t i) const noexcept { return entries_[i].count; }

  void swap(TokenCounts& other) noexcept {
    entries_.swap(other.entries_);
    arena_.swap(other.arena_);
    slots_.swap(other.slots_);
    std::swap(mask_, other.mask_);
    std::swap(seed_, other.seed_);
  }

  static std::uint64_t HashBytes(const char* data, std::size_t size, std::uint64_t seed) noexcept;

 private:
  struct Entry {
    std::uint64_t hash;
    std::uint64_t offset;  // of the key in arena_
    std::uint64_t length;
    std::int64_t count;
  };

  static constexpr std::uint64_t TAG_MASK = 0xFFFFFFFF00000000ull;
  static constexpr std::uint64_t INDEX_MASK = 0x00000000FFFFFFFFull;

  static std::uint64_t ProcessSeed() noexcept;

  bool Matches(const Entry& entry, std::string_view key) const noexcept {
    return entry.length == key.size() &&
           (key.empty() || std::memcmp(arena_.data() + entry.offset, key.data(), key.size()) == 0);
  }
  void Rehash(std::size_t capacity);

  std::vector<Entry> entries_;
  std::string arena_;
  std::vector<std::uint64_t> slots_;  // 0: empty; else hash tag | entry number + 1
  std::size_t mask_ = 0;
  std::uint64_t seed_;
};

inline std::uint64_t TokenCounts::HashBytes(const char* data, std::size_t size,
                                            std::uint64_t seed) noexcept {
  // Multiply-fold mixing over 16-byte blocks: a handful of cycles for the
  // short keys that tokens are.
  constexpr std::uint64_t K0 = 0xa0761d6478bd642full;
  constexpr std::uint64_t K1 = 0xe7037ed1a0b428dbull;
  auto mix = [](std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  };
  auto read8 = [](const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  auto read4 = [](const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return static_cast<std::uint64_t>(v);
  };
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  seed ^= K0;
  if (size <= 16) {
    if (size >= 4) {
      const std::size_t step = (size >> 3) << 2;
      a = (read4(data) << 32) | read4(data + step);
      b = (read4(data + size - 4) << 32) | read4(data + size - 4 - step);
    } else if (size > 0) {
      a = (static_cast<std::uint64_t>(bytes[0]) << 16) |
          (static_cast<std::uint64_t>(bytes[size >> 1]) << 8) | bytes[size - 1];
    }
  } else {
    std::size_t left = size;
    const char* p = data;
    while (left > 16) {
      seed = mix(read8(p) ^ K1, read8(p + 8) ^ seed);
      p += 16;
      left -= 16;
    }
    a = read8(p + left - 16);
    b = read8(p + left - 8);
  }
  return mix(K1 ^ size, mix(a ^ K1, b ^ seed));
}

}  // namespace kelp::typing::text
