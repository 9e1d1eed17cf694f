// Compact binary states of the core's objects: ByteWriter appends values to
// a std::string, ByteReader reads them back from a std::string_view and
// checks every read, so that a state from anywhere (a pickle, a file, a
// fuzzer) loads exactly or throws.
//
// Encoding, the same whatever the host's byte order:
//   u8, u32, u64: 1, 4 or 8 bytes, least significant first;
//   i64: the two's-complement bits as a u64;
//   f64: the IEEE 754 bits as a u64, so every double comes back bit for
//        bit (signed zeros, infinities and NaN payloads included);
//   bytes: a u64 length, then the bytes themselves.
// A state holds no names or type tags: a loader reads exactly what its saver
// wrote, in the same order, and each object documents its own layout.
//
// Failures: a read past the end, a length or count that the bytes left
// cannot hold, or bytes left over where the caller expects the end
// (ExpectEnd) throw limonp::StateError "corrupt state: ...", naming the item
// and the offset. ReadCount checks a count against the bytes left, divided
// by the smallest encoded size of one element, before the caller reserves
// anything, so that a crafted state cannot make a loader allocate more than
// a small multiple of its own size. Messages hold no bytes of the state, so
// they are always plain ASCII.
//
// Neither class owns its bytes: the writer's string and the reader's bytes
// must outlive it. One object is meant for one thread; the state is a value
// and can be handed on freely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "tokenizer/limonp/Errors.hpp"

namespace kelp::typing::text::limonp {

// Throws StateError("corrupt state: " + detail).
[[noreturn]] void ThrowCorruptState(const std::string& detail);

class ByteWriter {
 public:
  // Appends to `out`, which keeps whatever it already holds.
  explicit ByteWriter(std::string& out) noexcept : out_(&out) {}

  void WriteU8(std::uint8_t value) { out_->push_back(static_cast<char>(value)); }
  void WriteU32(std::uint32_t value) { WriteLittle(value, 4); }
  void WriteU64(std::uint64_t value) { WriteLittle(value, 8); }
  void WriteI64(std::int64_t value) { WriteLittle(static_cast<std::uint64_t>(value), 8); }
  void WriteF64(double value) {
    std::uint64_t bits;
    static_assert(sizeof(bits) == sizeof(value), "IEEE 754 binary64 doubles");
    std::memcpy(&bits, &value, sizeof(bits));
    WriteLittle(bits, 8);
  }
  // A u64 length, then the bytes.
  void WriteBytes(std::string_view bytes) {
    WriteU64(bytes.size());
    out_->append(bytes.data(), bytes.size());
  }
  // The bytes alone, for fixed marks whose length the reader knows.
  void WriteRaw(std::string_view bytes) { out_->append(bytes.data(), bytes.size()); }

  // Bytes written so far, counting what the string held before.
  std::size_t size() const noexcept { return out_->size(); }

 private:
  void WriteLittle(std::uint64_t value, std::size_t width) {
    char bytes[8];
    for (std::size_t i = 0; i < width; ++i) {
      bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    out_->append(bytes, width);
  }

  std::string* out_;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) noexcept : bytes_(bytes) {}
  // A temporary string would be gone before the first read: keep the bytes
  // in a variable (or pass a std::string_view explicitly).
  explicit ByteReader(std::string&&) = delete;

  // Each read names its item (`what`, a short ASCII phrase such as "BM25 doc
  // count") for the message of a failure.
  std::uint8_t ReadU8(const char* what) {
    Need(1, what);
    return static_cast<std::uint8_t>(bytes_[position_++]);
  }
  std::uint32_t ReadU32(const char* what) { return static_cast<std::uint32_t>(ReadLittle(4, what)); }
  std::uint64_t ReadU64(const char* what) { return ReadLittle(8, what); }
  std::int64_t ReadI64(const char* what) {
    // Two's complement by definition of the format; the conversion is exact
    // on every compiler this builds with (and defined from C++20 on).
    return static_cast<std::int64_t>(ReadLittle(8, what));
  }
  double ReadF64(const char* what) {
    const std::uint64_t bits = ReadLittle(8, what);
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
  }
  // A length-prefixed byte string, viewing the reader's bytes.
  std::string_view ReadBytes(const char* what) {
    const std::uint64_t length = ReadLittle(8, what);
    if (length > remaining()) {
      ThrowBadLength(length, what);
    }
    return ReadRaw(static_cast<std::size_t>(length), what);
  }
  // The next `size` bytes, viewing the reader's bytes.
  std::string_view ReadRaw(std::size_t size, const char* what) {
    Need(size, what);
    const std::string_view bytes = bytes_.substr(position_, size);
    position_ += size;
    return bytes;
  }
  // A u64 count of elements that take at least `min_element_bytes` (> 0)
  // each in the state: throws unless the bytes left can hold them, so the
  // count is safe to reserve.
  std::size_t ReadCount(std::size_t min_element_bytes, const char* what) {
    const std::uint64_t count = ReadLittle(8, what);
    const std::size_t unit = min_element_bytes > 0 ? min_element_bytes : 1;
    if (count > remaining() / unit) {
      ThrowBadCount(count, unit, what);
    }
    return static_cast<std::size_t>(count);
  }

  // Throws unless every byte has been read.
  void ExpectEnd() const {
    if (position_ != bytes_.size()) {
      ThrowTrailing();
    }
  }

  std::size_t position() const noexcept { return position_; }
  std::size_t remaining() const noexcept { return bytes_.size() - position_; }

 private:
  void Need(std::size_t size, const char* what) const {
    if (size > remaining()) {
      ThrowTruncated(size, what);
    }
  }
  std::uint64_t ReadLittle(std::size_t width, const char* what) {
    Need(width, what);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[position_ + i]))
               << (8 * i);
    }
    position_ += width;
    return value;
  }

  // The failures, out of line: they build messages, the reads must stay small.
  [[noreturn]] void ThrowTruncated(std::size_t size, const char* what) const;
  [[noreturn]] void ThrowBadLength(std::uint64_t length, const char* what) const;
  [[noreturn]] void ThrowBadCount(std::uint64_t count, std::size_t unit, const char* what) const;
  [[noreturn]] void ThrowTrailing() const;

  std::string_view bytes_;
  std::size_t position_ = 0;
};

}  // namespace kelp::typing::text::limonp
