// A file written whole or not at all: the bytes go to a new file beside the
// target, which Commit() flushes to the disk (fsync) and renames over the
// target, flushing the folder after it. Until then the target is untouched;
// a crash or a failure leaves the old file (or none) and at worst a
// temporary "<name>.tmp.<pid>.<n>" beside it, which an object destroyed
// without Commit() removes.
//
// A symbolic link is written through (the link stays, its target is
// replaced); a replaced file's permission bits are kept, a new file gets
// 0666 less the umask. Failures throw limonp::FileError with the path and
// the errno value; a path holding a NUL byte throws std::invalid_argument.
//
// One object per file, used by one thread.
#pragma once

#include <cstddef>
#include <string>

namespace kelp::typing::text::index {

class AtomicFile {
 public:
  explicit AtomicFile(const std::string& path);
  ~AtomicFile();
  // Owns a descriptor and a temporary file.
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void Write(const void* data, std::size_t size);
  void Commit();

 private:
  [[noreturn]] void Fail(const char* what, int error);

  std::string path_;    // the one written to (a link's target)
  std::string folder_;  // its folder, flushed after the rename
  std::string temp_;
  int fd_ = -1;
};

}  // namespace kelp::typing::text::index
