#include "tokenizer/limonp/FileUtil.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::limonp {

namespace {

// Throws WriteError: `prefix` and `what`, and with `say_why` the system's
// reason, as the message; `error` is the errno value either way.
[[noreturn]] void WriteFailed(const char* prefix, const char* what, const std::string& path,
                              int error, bool say_why) {
  std::string message = prefix;
  message += what;
  if (say_why && error != 0) {
    message += ": ";
    message += std::strerror(error);
  }
  throw WriteError(message, path, error != 0 ? error : EIO);
}

// Writes all of `text` to `fd`; false with errno set on failure.
bool WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

void WriteAndClose(int fd, const std::string& text, const std::string& path,
                   const std::string& temp, const char* prefix) {
  if (!WriteAll(fd, text)) {
    const int error = errno;
    ::close(fd);
    if (!temp.empty()) {
      ::unlink(temp.c_str());
    }
    WriteFailed(prefix, "Unable to write file", path, error, true);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    if (!temp.empty()) {
      ::unlink(temp.c_str());
    }
    WriteFailed(prefix, "Unable to close file", path, error, true);
  }
}

// Opening the path for writing and writing it in place: for targets that
// are not regular files (a device, a pipe) and for a folder where no new
// file can be made.
void WriteInPlace(const std::string& path, const std::string& text, const char* prefix) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    WriteFailed(prefix, "Unable to open file", path, errno, false);
  }
  WriteAndClose(fd, text, path, std::string(), prefix);
}

}  // namespace

int OpenInputFile(const std::string& path, std::ifstream& ifs) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return errno != 0 ? errno : ENOENT;
  }
  if (S_ISDIR(info.st_mode)) {
    return EISDIR;
  }
  errno = 0;
  ifs.open(path, std::ios::in | std::ios::binary);
  if (!ifs.is_open()) {
    return errno != 0 ? errno : EIO;
  }
  // Some editors start UTF-8 files with a byte-order mark. It is not text:
  // left in, it would become part of the first word or spoil the first
  // number. Only a regular file can be rewound when there is none.
  if (S_ISREG(info.st_mode)) {
    char head[3] = {};
    ifs.read(head, sizeof(head));
    if (ifs.gcount() != 3 || std::memcmp(head, "\xEF\xBB\xBF", 3) != 0) {
      ifs.clear();
      ifs.seekg(0);
    }
  }
  return 0;
}

int ReadAll(std::ifstream& ifs, std::string& content) {
  content.clear();
  // Pipes and devices cannot seek: their size is found by reading.
  const std::streampos start = ifs.tellg();
  if (start >= 0) {
    ifs.seekg(0, std::ios::end);
    const std::streampos stop = ifs.tellg();
    if (stop > start) {
      content.reserve(static_cast<size_t>(stop - start));
    }
    ifs.seekg(start);
  }
  ifs.clear();
  char chunk[1 << 16];
  errno = 0;
  while (ifs.read(chunk, sizeof(chunk)) || ifs.gcount() > 0) {
    content.append(chunk, static_cast<size_t>(ifs.gcount()));
  }
  if (!ifs.bad()) {
    return 0;
  }
  return errno != 0 ? errno : EIO;
}

std::string ReadDataFile(const std::string& path, const char* failed_suffix,
                         const char* source_file, int source_line) {
  std::ifstream ifs;
  const int open_error = OpenInputFile(path, ifs);
  if (!ifs.is_open()) {
    (FailedCheck(source_file, source_line, "ifs.is_open()").OnFile(path, open_error)
     << "open " << path << " failed" << failed_suffix)
        .Raise();
  }
  std::string content;
  const int read_error = ReadAll(ifs, content);
  if (read_error != 0) {
    (FailedCheck(source_file, source_line, "error == 0").OnFile(path, read_error)
     << "read " << path << " failed" << failed_suffix)
        .Raise();
  }
  return content;
}

void CheckPath(std::string_view what, std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    throw std::invalid_argument(std::string(what) + ": embedded null byte");
  }
}

void ReplaceFile(const std::string& path, const std::string& text, const char* prefix) {
  // The system would end the path at the NUL byte and write another file.
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument(std::string(prefix) + "embedded null byte in path");
  }
  std::string target = path;
  struct stat status;
  // A symbolic link is written through, as opening it would: the link stays.
  if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
      WriteInPlace(path, text, prefix);  // a dangling link: let open create its target
      return;
    }
    target = resolved;
    std::free(resolved);
  }
  const bool exists = ::stat(target.c_str(), &status) == 0;
  if (exists) {
    if (S_ISDIR(status.st_mode)) {
      WriteFailed(prefix, "Unable to open file", path, EISDIR, false);
    }
    if (::access(target.c_str(), W_OK) != 0) {
      WriteFailed(prefix, "Unable to open file", path, errno, false);
    }
    if (!S_ISREG(status.st_mode)) {
      WriteInPlace(target, text, prefix);
      return;
    }
  }

  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  int open_error = 0;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    // Mode 0666 before the umask, as a plain open for writing would give.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    open_error = errno;
    if (fd < 0 && open_error != EEXIST) {
      break;
    }
  }
  if (fd < 0) {
    if (exists) {
      WriteInPlace(target, text, prefix);  // the folder is closed to new files
      return;
    }
    WriteFailed(prefix, "Unable to open file", path, open_error, false);
  }
  if (exists) {
    ::fchmod(fd, status.st_mode & 07777);  // keep the replaced file's mode
  }
  WriteAndClose(fd, text, path, temp, prefix);
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    WriteFailed(prefix, "Unable to replace file", path, error, true);
  }
}

}  // namespace kelp::typing::text::limonp
