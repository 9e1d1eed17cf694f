// TokenCounts: the hash map from token bytes to a 64-bit count that holds a
// BM25 model's corpus statistics.
//
// Open addressing with linear probing over a power-of-two array of 32-byte
// buckets, kept at most half full. A bucket holds 32 bits of the key's hash,
// the key's length, the count and, for keys of up to 16 bytes (nearly every
// word), the key itself; longer keys live back to back in one byte arena and
// the bucket holds their offset. So a lookup usually touches one cache line,
// a lookup by std::string_view allocates nothing, and copying the table is
// two vector copies. A table of 1M short tokens takes 64 MB. Nothing is
// ever removed.
//
// The hash is seeded once per process at random, so crafted tokens cannot
// be aimed at one probe chain. The order of ForEach follows the buckets, so
// it differs between processes; nothing may depend on it.
//
// Thread-safety: const members only read; a write must not overlap any other
// access.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelp::typing::text {

class TokenCounts {
 public:
  TokenCounts() : seed_(ProcessSeed()) {}

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  std::uint64_t Hash(std::string_view key) const noexcept {
    return HashBytes(key.data(), key.size(), seed_);
  }

  // Makes room for `count` keys in all, so that inserting up to that many
  // rehashes nothing.
  void Reserve(std::size_t count);

  // The count stored for `key`, or nullptr; `hash` must be Hash(key).
  const std::int64_t* Find(std::string_view key, std::uint64_t hash) const noexcept {
    if (size_ == 0 || key.size() >= MAX_KEY_BYTES) {
      return nullptr;
    }
    const std::uint32_t tag = static_cast<std::uint32_t>(hash >> 32);
    const std::uint32_t length = static_cast<std::uint32_t>(key.size()) + 1;
    for (std::size_t s = hash & mask_;; s = (s + 1) & mask_) {
      const Bucket& bucket = buckets_[s];
      if (bucket.length == 0) {
        return nullptr;
      }
      if (bucket.tag == tag && bucket.length == length && KeyEquals(bucket, key)) {
        return &bucket.count;
      }
    }
  }
  const std::int64_t* Find(std::string_view key) const noexcept { return Find(key, Hash(key)); }

  // The count stored for `key`, created as 0 when absent; `hash` must be
  // Hash(key). The reference is valid until the next insertion.
  std::int64_t& Upsert(std::string_view key, std::uint64_t hash);
  std::int64_t& operator[](std::string_view key) { return Upsert(key, Hash(key)); }

  // Adds each count of `other` to this table's through add(count, other's
  // count), a key this table lacks starting at 0. The table is sized for
  // both key sets and the key arena reserved before anything changes, so
  // the walk allocates nothing and a std::bad_alloc leaves the counts as
  // they were; the price is a table up to twice the size it needs when the
  // key sets overlap. `other` may be this table. Costs one hash and one
  // probe per key of `other`.
  template <typename Add>
  void Merge(const TokenCounts& other, Add&& add);

  // Calls visit(key, count) for every entry, in no meaningful order.
  template <typename Visit>
  void ForEach(Visit&& visit) const {
    for (const Bucket& bucket : buckets_) {
      if (bucket.length != 0) {
        visit(KeyOf(bucket), bucket.count);
      }
    }
  }

  // Calls visit(key, count) for every entry in ascending byte order of the
  // keys: one order for one set of entries, whatever the process seed, for
  // the model file and the saved state. Costs a sort of the entries. A key
  // of up to 16 bytes views a buffer that lives only during its call.
  template <typename Visit>
  void ForEachSorted(Visit&& visit) const;

  void swap(TokenCounts& other) noexcept {
    buckets_.swap(other.buckets_);
    arena_.swap(other.arena_);
    std::swap(size_, other.size_);
    std::swap(mask_, other.mask_);
    std::swap(seed_, other.seed_);
  }

  static std::uint64_t HashBytes(const char* data, std::size_t size, std::uint64_t seed) noexcept;

 private:
  static constexpr std::size_t INLINE_BYTES = 16;
  static constexpr std::size_t MAX_KEY_BYTES = 0xFFFFFFFFu;

  struct Bucket {
    std::uint32_t tag;     // the hash's upper 32 bits
    std::uint32_t length;  // key bytes + 1; 0 marks an empty bucket
    std::int64_t count;
    char key[INLINE_BYTES];  // the key, or its offset in arena_ when longer
  };
  static_assert(sizeof(Bucket) == 32, "two buckets per cache line");

  static std::uint64_t ProcessSeed() noexcept;

  std::string_view KeyOf(const Bucket& bucket) const noexcept {
    const std::size_t length = bucket.length - 1;
    if (length <= INLINE_BYTES) {
      return std::string_view(bucket.key, length);
    }
    std::uint64_t offset;
    std::memcpy(&offset, bucket.key, sizeof(offset));
    return std::string_view(arena_.data() + offset, length);
  }
  bool KeyEquals(const Bucket& bucket, std::string_view key) const noexcept {
    const char* stored = bucket.key;
    if (key.size() > INLINE_BYTES) {
      std::uint64_t offset;
      std::memcpy(&offset, bucket.key, sizeof(offset));
      stored = arena_.data() + offset;
    }
    return key.empty() || std::memcmp(stored, key.data(), key.size()) == 0;
  }
  void Rehash(std::size_t capacity);

  std::vector<Bucket> buckets_;
  std::string arena_;  // keys longer than INLINE_BYTES
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  std::uint64_t seed_;
};

// The first eight bytes of `key` as a big-endian integer, zero-padded:
// comparing two prefixes orders keys as comparing their bytes would, except
// that equal prefixes need a look at the whole keys.
inline std::uint64_t BigEndianPrefix(std::string_view key) noexcept {
  std::uint64_t prefix = 0;
  if (key.size() >= 8) {
    std::memcpy(&prefix, key.data(), 8);
  } else if (!key.empty()) {
    std::memcpy(&prefix, key.data(), key.size());
  }
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  prefix = __builtin_bswap64(prefix);
#endif
  return prefix;
}

template <typename Add>
void TokenCounts::Merge(const TokenCounts& other, Add&& add) {
  if (&other == this) {
    for (Bucket& bucket : buckets_) {
      if (bucket.length != 0) {
        add(bucket.count, std::int64_t{bucket.count});
      }
    }
    return;
  }
  Reserve(size_ + other.size_);
  arena_.reserve(arena_.size() + other.arena_.size());
  for (const Bucket& bucket : other.buckets_) {
    if (bucket.length != 0) {
      const std::string_view key = other.KeyOf(bucket);
      add(Upsert(key, Hash(key)), bucket.count);
    }
  }
}

template <typename Visit>
void TokenCounts::ForEachSorted(Visit&& visit) const {
  // The tokens lie scattered over the table; their first sixteen bytes,
  // held inline as two integers, settle nearly every comparison without
  // touching them.
  struct Entry {
    std::uint64_t high;  // bytes 0..7
    std::uint64_t low;   // bytes 8..15
    std::string_view key;
    std::int64_t count;
  };
  std::vector<Entry> entries;
  entries.reserve(size_);
  ForEach([&entries](std::string_view key, std::int64_t count) {
    const std::string_view rest = key.size() > 8 ? key.substr(8) : std::string_view();
    entries.push_back(Entry{BigEndianPrefix(key), BigEndianPrefix(rest), key, count});
  });
  std::sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
    if (x.high != y.high) return x.high < y.high;
    if (x.low != y.low) return x.low < y.low;
    return x.key < y.key;
  });
  for (const Entry& entry : entries) {
    if (entry.key.size() <= 16) {
      // Rebuilt from the two integers: reading the table again in sorted
      // order would miss the cache on nearly every key.
      std::uint64_t words[2] = {entry.high, entry.low};
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
      words[0] = __builtin_bswap64(words[0]);
      words[1] = __builtin_bswap64(words[1]);
#endif
      char bytes[16];
      std::memcpy(bytes, words, sizeof(bytes));
      visit(std::string_view(bytes, entry.key.size()), entry.count);
    } else {
      visit(entry.key, entry.count);
    }
  }
}

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
