#include "index/Crc32c.hpp"

#include <array>
#include <cstring>

namespace kelp::typing::text::index {

namespace {

constexpr std::uint32_t kPolynomial = 0x82F63B78u;  // 0x1EDC6F41 reflected

// Table k maps a byte to the CRC of that byte followed by k zero bytes, so
// that 8 bytes fold in with 8 lookups.
constexpr std::array<std::array<std::uint32_t, 256>, 8> MakeTables() {
  std::array<std::array<std::uint32_t, 256>, 8> tables{};
  for (std::uint32_t byte = 0; byte < 256; ++byte) {
    std::uint32_t crc = byte;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc >> 1) ^ (kPolynomial & (0u - (crc & 1u)));
    }
    tables[0][byte] = crc;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
      const std::uint32_t previous = tables[k - 1][byte];
      tables[k][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
    }
  }
  return tables;
}

constexpr auto kTables = MakeTables();

// Works on the inverted state; the caller inverts on entry and exit.
std::uint32_t Portable(const unsigned char* p, std::size_t size, std::uint32_t state) noexcept {
  for (; size >= 8; size -= 8, p += 8) {
    const std::uint32_t low =
        (static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24) ^
        state;
    state = kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF] ^
            kTables[5][(low >> 16) & 0xFF] ^ kTables[4][low >> 24] ^ kTables[3][p[4]] ^
            kTables[2][p[5]] ^ kTables[1][p[6]] ^ kTables[0][p[7]];
  }
  for (; size > 0; --size, ++p) {
    state = (state >> 8) ^ kTables[0][(state ^ *p) & 0xFF];
  }
  return state;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define RAZODUVIVA_CRC32C_X86 1

__attribute__((target("sse4.2"))) std::uint32_t Hardware(const unsigned char* p, std::size_t size,
                                                         std::uint32_t state) noexcept {
  std::uint64_t wide = state;
  for (; size >= 8; size -= 8, p += 8) {
    std::uint64_t block;
    std::memcpy(&block, p, sizeof(block));  // little-endian: the byte order the CRC wants
    wide = __builtin_ia32_crc32di(wide, block);
  }
  state = static_cast<std::uint32_t>(wide);
  for (; size > 0; --size, ++p) {
    state = __builtin_ia32_crc32qi(state, *p);
  }
  return state;
}

bool HasHardware() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2");
}
#endif

}  // namespace

std::uint32_t Crc32c(const void* data, std::size_t size, std::uint32_t crc) noexcept {
  const auto* p = static_cast<const unsigned char*>(data);
  const std::uint32_t state = ~crc;
#ifdef RAZODUVIVA_CRC32C_X86
  if (HasHardware()) {
    return ~Hardware(p, size, state);
  }
#endif
  return ~Portable(p, size, state);
}

}  // namespace kelp::typing::text::index
