#include "index/FileBytes.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "tokenizer/limonp/Errors.hpp"

namespace kelp::typing::text::index {

namespace {

constexpr std::align_val_t kAlignment{64};

[[noreturn]] void Fail(const char* what, const std::string& path, int error) {
  throw limonp::FileError(std::string(what) + " " + path + " failed: " + std::strerror(error),
                          path, error);
}

// An open descriptor of a regular file, closed on destruction.
class Descriptor {
 public:
  explicit Descriptor(const std::string& path) {
    // The system would end the path at a NUL byte and open another file.
    if (path.find('\0') != std::string::npos) {
      throw std::invalid_argument("path: embedded null byte");
    }
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      Fail("open", path, errno);
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0) {
      const int error = errno;
      ::close(fd_);
      Fail("stat", path, error);
    }
    if (S_ISDIR(info.st_mode)) {
      ::close(fd_);
      Fail("open", path, EISDIR);
    }
    size_ = static_cast<std::size_t>(info.st_size);
    regular_ = S_ISREG(info.st_mode);
  }
  ~Descriptor() { ::close(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int fd() const noexcept { return fd_; }
  std::size_t size() const noexcept { return size_; }
  bool regular() const noexcept { return regular_; }

 private:
  int fd_ = -1;
  std::size_t size_ = 0;
  bool regular_ = false;
};

}  // namespace

FileBytes::~FileBytes() {
  if (mapped_) {
    ::munmap(data_, size_);
  } else {
    ::operator delete(data_, kAlignment);
  }
}

void FileBytes::Allocate(std::size_t size) {
  data_ = static_cast<char*>(::operator new(size > 0 ? size : 1, kAlignment));
  size_ = size;
}

std::shared_ptr<const FileBytes> FileBytes::Map(const std::string& path) {
  const Descriptor file(path);
  // Pipes and devices have no size to map, and an empty file cannot be
  // mapped: read those.
  if (!file.regular() || file.size() == 0) {
    return Read(path);
  }
  void* address =
      ::mmap(nullptr, file.size(), PROT_READ, MAP_PRIVATE | MAP_POPULATE, file.fd(), 0);
  if (address == MAP_FAILED) {
    Fail("map", path, errno);
  }
  std::shared_ptr<FileBytes> bytes(new FileBytes());
  bytes->data_ = static_cast<char*>(address);
  bytes->size_ = file.size();
  bytes->mapped_ = true;
  return bytes;
}

std::shared_ptr<const FileBytes> FileBytes::Read(const std::string& path) {
  const Descriptor file(path);
  std::shared_ptr<FileBytes> bytes(new FileBytes());
  std::size_t capacity = file.regular() ? file.size() : 1 << 16;
  bytes->Allocate(capacity);
  std::size_t done = 0;
  while (true) {
    if (done == capacity) {
      if (file.regular()) {
        break;  // a file that grows while read is read to the size it had
      }
      // A pipe or device: grow the buffer.
      std::shared_ptr<FileBytes> larger(new FileBytes());
      larger->Allocate(capacity * 2);
      std::memcpy(larger->data_, bytes->data_, done);
      bytes = std::move(larger);
      capacity *= 2;
    }
    const ssize_t n = ::read(file.fd(), bytes->data_ + done, capacity - done);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      Fail("read", path, errno);
    }
    if (n == 0) {
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  bytes->size_ = done;
  return bytes;
}

std::shared_ptr<const FileBytes> FileBytes::Copy(std::string_view source) {
  std::shared_ptr<FileBytes> bytes(new FileBytes());
  bytes->Allocate(source.size());
  if (!source.empty()) {
    std::memcpy(bytes->data_, source.data(), source.size());
  }
  return bytes;
}

}  // namespace kelp::typing::text::index
