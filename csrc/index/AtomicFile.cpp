#include "index/AtomicFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tokenizer/limonp/Errors.hpp"

namespace kelp::typing::text::index {

AtomicFile::AtomicFile(const std::string& path) : path_(path) {
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument("path: embedded null byte");
  }
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      path_ = resolved;
      std::free(resolved);
    }
  }
  const std::size_t slash = path_.rfind('/');
  folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : path_.substr(0, slash);
  const bool exists = ::stat(path_.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
    Fail("open", EISDIR);
  }
  // A name no other writer uses: the process id and a clock reading, tried
  // again on the rare clash.
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    const auto tick = std::chrono::steady_clock::now().time_since_epoch().count();
    temp_ = path_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(tick + attempt);
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd_ < 0) {
    const int error = errno;
    temp_.clear();
    Fail("open", error);
  }
  if (exists) {
    ::fchmod(fd_, info.st_mode & 07777);
  }
}

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
  }
}

void AtomicFile::Fail(const char* what, int error) {
  throw limonp::FileError(std::string(what) + " " + path_ + " failed: " + std::strerror(error),
                          path_, error);
}

void AtomicFile::Write(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd_, p, size < (std::size_t{1} << 30) ? size : 1 << 30);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      Fail("write", errno);
    }
    p += written;
    size -= static_cast<std::size_t>(written);
  }
}

void AtomicFile::Commit() {
  if (::fsync(fd_) != 0) {
    Fail("write", errno);
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    Fail("write", errno);
  }
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    Fail("replace", errno);
  }
  temp_.clear();
  // The rename itself reaches the disk with the folder.
  const int folder = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
}

}  // namespace kelp::typing::text::index
