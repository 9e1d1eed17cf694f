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
  if (count > INDEX_MASK - 1) {
    throw std::length_error("TokenCounts: too many tokens");
  }
  if (count > entries_.capacity()) {
    entries_.reserve(count > 2 * entries_.capacity() ? count : 2 * entries_.capacity());
  }
  std::size_t capacity = slots_.empty() ? 16 : slots_.size();
  while (capacity < 2 * count) {
    capacity *= 2;
  }
  if (capacity != slots_.size()) {
    Rehash(capacity);
  }
}

std::int64_t& TokenCounts::Upsert(std::string_view key, std::uint64_t hash) {
  if (!entries_.empty()) {
    const std::int64_t* found = Find(key, hash);
    if (found != nullptr) {
      return const_cast<std::int64_t&>(*found);
    }
  }
  if (2 * (entries_.size() + 1) > slots_.size()) {
    if (entries_.size() + 1 > INDEX_MASK - 1) {
      throw std::length_error("TokenCounts: too many tokens");
    }
    Rehash(slots_.empty() ? 16 : 2 * slots_.size());
  }
  // Grow both stores before changing either, so that a failed allocation
  // leaves the table as it was.
  if (entries_.size() == entries_.capacity()) {
    entries_.reserve(entries_.empty() ? 16 : 2 * entries_.size());
  }
  const std::size_t offset = arena_.size();
  arena_.append(key.data(), key.size());
  entries_.push_back(Entry{hash, offset, key.size(), 0});
  std::size_t s = hash & mask_;
  while (slots_[s] != 0) {
    s = (s + 1) & mask_;
  }
  slots_[s] = (hash & TAG_MASK) | entries_.size();
  return entries_.back().count;
}

void TokenCounts::Rehash(std::size_t capacity) {
  std::vector<std::uint64_t> slots(capacity, 0);
  const std::size_t mask = capacity - 1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const std::uint64_t hash = entries_[i].hash;
    std::size_t s = hash & mask;
    while (slots[s] != 0) {
      s = (s + 1) & mask;
    }
    slots[s] = (hash & TAG_MASK) | (i + 1);
  }
  slots_.swap(slots);
  mask_ = mask;
}

}  // namespace kelp::typing::text
