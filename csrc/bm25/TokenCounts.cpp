#include "bm25/TokenCounts.hpp"

#include <chrono>
#include <random>

namespace kelp::typing::text {

std::uint64_t TokenCounts::ProcessSeed() noexcept {
  static const std::uint64_t seed = [] {
    std::uint64_t value =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    try {
      std::random_device device;
      value ^= (static_cast<std::uint64_t>(device()) << 32) | device();
    } catch (...) {
      // No entropy source: the clock alone still varies between processes.
    }
    return value;
  }();
  return seed;
}

void TokenCounts::Reserve(std::size_t count) {
  std::size_t capacity = buckets_.empty() ? 16 : buckets_.size();
  while (capacity < 2 * count) {
    capacity *= 2;
  }
  if (capacity != buckets_.size()) {
    Rehash(capacity);
  }
}

std::int64_t& TokenCounts::Upsert(std::string_view key, std::uint64_t hash) {
  if (key.size() >= MAX_KEY_BYTES) {
    throw std::length_error("TokenCounts: token too long");
  }
  if (const std::int64_t* found = Find(key, hash)) {
    return const_cast<std::int64_t&>(*found);
  }
  if (2 * (size_ + 1) > buckets_.size()) {
    Rehash(buckets_.empty() ? 16 : 2 * buckets_.size());
  }
  Bucket fresh{static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(key.size()) + 1,
               0, {}};
  if (key.size() <= INLINE_BYTES) {
    if (!key.empty()) {
      std::memcpy(fresh.key, key.data(), key.size());
    }
  } else {
    const std::uint64_t offset = arena_.size();
    arena_.append(key.data(), key.size());  // the only step that can fail
    std::memcpy(fresh.key, &offset, sizeof(offset));
  }
  std::size_t s = hash & mask_;
  while (buckets_[s].length != 0) {
    s = (s + 1) & mask_;
  }
  buckets_[s] = fresh;
  ++size_;
  return buckets_[s].count;
}

void TokenCounts::Rehash(std::size_t capacity) {
  std::vector<Bucket> buckets(capacity, Bucket{0, 0, 0, {}});
  const std::size_t mask = capacity - 1;
  for (const Bucket& bucket : buckets_) {
    if (bucket.length == 0) {
      continue;
    }
    const std::string_view key = KeyOf(bucket);
    std::size_t s = HashBytes(key.data(), key.size(), seed_) & mask;
    while (buckets[s].length != 0) {
      s = (s + 1) & mask;
    }
    buckets[s] = bucket;
  }
  buckets_.swap(buckets);
  mask_ = mask;
}

}  // namespace kelp::typing::text
