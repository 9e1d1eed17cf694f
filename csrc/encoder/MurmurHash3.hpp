// MurmurHash3, x86 32-bit variant: the 32-bit token ids of the sparse
// encoder, the same values as Python's mmh3.hash(token, signed=False) for
// the token's UTF-8 bytes (seed 0 there and here by default).
//
// The body mixes 4-byte little-endian blocks into the state; the last 1 to 3
// bytes are mixed as one partial block; the byte length, taken modulo 2^32
// as the reference takes its int length, is folded in before the final
// avalanche (fmix32). Blocks are read with memcpy, so the input may sit at
// any address, and byte-swapped on big-endian hosts, so every host gives the
// same ids.
//
// Cost: about one multiply-rotate round per 4 bytes, no allocation. A pure
// function: safe from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kelp::typing::text::encoder {

namespace murmur3_detail {

constexpr std::uint32_t C1 = 0xcc9e2d51u;
constexpr std::uint32_t C2 = 0x1b873593u;

constexpr std::uint32_t RotateLeft(std::uint32_t x, int r) noexcept {
  return (x << r) | (x >> (32 - r));
}

// The 4 bytes at `p` as a little-endian number, at any alignment.
inline std::uint32_t ReadLittle32(const unsigned char* p) noexcept {
  std::uint32_t block;
  std::memcpy(&block, p, sizeof(block));
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  block = __builtin_bswap32(block);
#endif
  return block;
}

// One block's contribution before it meets the state.
constexpr std::uint32_t ScrambleBlock(std::uint32_t k) noexcept {
  k *= C1;
  k = RotateLeft(k, 15);
  return k * C2;
}

// The final avalanche: every input bit reaches every output bit.
constexpr std::uint32_t FinalMix(std::uint32_t h) noexcept {
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

}  // namespace murmur3_detail

// The MurmurHash3 x86 32-bit hash of the `size` bytes at `data` (which may
// be null when `size` is 0). The seed has no default here, so that
// MurmurHash3x86_32("text", 7) means the string_view form with seed 7 and
// not the first 7 bytes at a pointer.
inline std::uint32_t MurmurHash3x86_32(const void* data, std::size_t size,
                                       std::uint32_t seed) noexcept {
  using namespace murmur3_detail;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t body = size & ~static_cast<std::size_t>(3);
  std::uint32_t h = seed;
  for (std::size_t i = 0; i < body; i += 4) {
    h ^= ScrambleBlock(ReadLittle32(bytes + i));
    h = RotateLeft(h, 13);
    h = h * 5 + 0xe6546b64u;
  }
  std::uint32_t tail = 0;
  switch (size & 3) {
    case 3:
      tail ^= static_cast<std::uint32_t>(bytes[body + 2]) << 16;
      [[fallthrough]];
    case 2:
      tail ^= static_cast<std::uint32_t>(bytes[body + 1]) << 8;
      [[fallthrough]];
    case 1:
      tail ^= bytes[body];
      h ^= ScrambleBlock(tail);
      break;
    default:
      break;
  }
  h ^= static_cast<std::uint32_t>(size);
  return FinalMix(h);
}

inline std::uint32_t MurmurHash3x86_32(std::string_view bytes, std::uint32_t seed = 0) noexcept {
  return MurmurHash3x86_32(bytes.data(), bytes.size(), seed);
}

}  // namespace kelp::typing::text::encoder
