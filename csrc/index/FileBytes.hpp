// The bytes an index is loaded from, held for as long as the index uses
// them: a file mapped read-only, a file read into memory, or a copy of a
// byte string. The start is aligned to 64 bytes in each case, so that the
// arrays a file lays out at aligned offsets can be read in place.
//
// A mapping is private and read-only, populated when made (the loader reads
// every byte to check it anyway). The file must not be changed in place
// while mapped: a shorter file would make reads past its new end fault.
// Writers that replace a file by renaming a new one over it (as the index's
// Save does) leave a mapped file alone.
//
// Failures to open, size, map or read a file throw limonp::FileError with
// the path and the errno value. Immutable once made: any number of threads
// may read the bytes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kelp::typing::text::index {

class FileBytes {
 public:
  static std::shared_ptr<const FileBytes> Map(const std::string& path);
  static std::shared_ptr<const FileBytes> Read(const std::string& path);
  static std::shared_ptr<const FileBytes> Copy(std::string_view bytes);

  ~FileBytes();
  // Owns a mapping or a buffer: copies would free it twice.
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  const char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool mapped() const noexcept { return mapped_; }

 private:
  FileBytes() = default;
  // An aligned buffer of `size` bytes (at least one, so that data() is never null).
  void Allocate(std::size_t size);

  char* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

}  // namespace kelp::typing::text::index
