// CRC-32C (Castagnoli polynomial, reflected, initial value and final xor
// 0xFFFFFFFF): the checksums of index files. Crc32c("123456789") is
// 0xE3069283.
//
// On x86-64 processors with SSE 4.2 the crc32 instruction does the work,
// 8 bytes per step (several GB/s); elsewhere a table-driven loop takes 8
// bytes per step from constant tables (about 1 GB/s). The choice is made per
// call from the processor's feature bits; both give the same values.
//
// A pure function: safe from any number of threads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelp::typing::text::index {

// The CRC of `size` bytes at `data`, continuing `crc`, the CRC of the bytes
// before them (0 for none): Crc32c(b, m, Crc32c(a, n)) is the CRC of a then b.
std::uint32_t Crc32c(const void* data, std::size_t size, std::uint32_t crc = 0) noexcept;

}  // namespace kelp::typing::text::index
