#include "tokenizer/limonp/ByteStream.hpp"

namespace kelp::typing::text::limonp {

void ThrowCorruptState(const std::string& detail) {
  throw StateError("corrupt state: " + detail);
}

void ByteReader::ThrowTruncated(std::size_t size, const char* what) const {
  ThrowCorruptState("cut short in " + std::string(what) + " at offset " +
                    std::to_string(position_) + " (" + std::to_string(size) + " bytes needed, " +
                    std::to_string(remaining()) + " left)");
}

void ByteReader::ThrowBadLength(std::uint64_t length, const char* what) const {
  // Reported where the length itself starts.
  ThrowCorruptState(std::string(what) + " at offset " + std::to_string(position_ - 8) +
                    " has length " + std::to_string(length) + ", more than the " +
                    std::to_string(remaining()) + " bytes left");
}

void ByteReader::ThrowBadCount(std::uint64_t count, std::size_t unit, const char* what) const {
  ThrowCorruptState(std::string(what) + " at offset " + std::to_string(position_ - 8) +
                    " counts " + std::to_string(count) + " elements of at least " +
                    std::to_string(unit) + " bytes, more than the " + std::to_string(remaining()) +
                    " bytes left can hold");
}

void ByteReader::ThrowTrailing() const {
  ThrowCorruptState(std::to_string(remaining()) + " unexpected bytes after the end, at offset " +
                    std::to_string(position_));
}

}  // namespace kelp::typing::text::limonp
