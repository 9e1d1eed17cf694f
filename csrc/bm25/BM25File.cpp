// The model file: BM25::to_json, BM25::dump and BM25::load.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>
#include <stdexcept>
#include <string>

#include "bm25/BM25.hpp"
#include "json/JSON.hpp"

namespace kelp::typing::text {

namespace {

using json::JSON;

[[noreturn]] void DumpFailed(const char* what, int error = 0) {
  std::string message = "Failed to dump: ";
  message += what;
  if (error != 0) {
    message += ": ";
    message += std::strerror(error);
  }
  throw std::runtime_error(message);
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

void WriteAndClose(int fd, const std::string& text, const std::string& temp) {
  if (!WriteAll(fd, text)) {
    const int error = errno;
    ::close(fd);
    if (!temp.empty()) {
      ::unlink(temp.c_str());
    }
    DumpFailed("Unable to write file", error);
  }
  if (::close(fd) != 0) {
    const int error = errno;
    if (!temp.empty()) {
      ::unlink(temp.c_str());
    }
    DumpFailed("Unable to close file", error);
  }
}

// Opening the path for writing and writing it in place: for targets that
// are not regular files (a device, a pipe) and for a folder where no new
// file can be made.
void WriteInPlace(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    DumpFailed("Unable to open file");
  }
  WriteAndClose(fd, text, std::string());
}

// Writes `text` to a new file beside `path` and renames it over `path`, so
// that readers see either the old file whole or the new one whole.
void ReplaceFile(const std::string& path, const std::string& text) {
  std::string target = path;
  struct stat status;
  // A symbolic link is written through, as opening it would: the link stays.
  if (::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
      WriteInPlace(path, text);  // a dangling link: let open create its target
      return;
    }
    target = resolved;
    std::free(resolved);
  }
  const bool exists = ::stat(target.c_str(), &status) == 0;
  if (exists) {
    if (S_ISDIR(status.st_mode) || ::access(target.c_str(), W_OK) != 0) {
      DumpFailed("Unable to open file");
    }
    if (!S_ISREG(status.st_mode)) {
      WriteInPlace(target, text);
      return;
    }
  }

  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = target + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    // Mode 0666 before the umask, as a plain open for writing would give.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) {
      break;
    }
  }
  if (fd < 0) {
    if (exists) {
      WriteInPlace(target, text);  // the folder is closed to new files
      return;
    }
    DumpFailed("Unable to open file");
  }
  if (exists) {
    ::fchmod(fd, status.st_mode & 07777);  // keep the replaced file's mode
  }
  WriteAndClose(fd, text, temp);
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    DumpFailed("Unable to replace file", error);
  }
}

// The total length of `count` documents of average length `average`, which
// the file does not keep: rounded to an integer, and clamped to 0..INT64_MAX
// (a total length is never negative; a file may hold any count or average).
std::int64_t ImpliedTotalLength(double average, std::int64_t count) noexcept {
  const double total = average * static_cast<double>(count);
  // 2^63, the first double above INT64_MAX.
  constexpr double LIMIT = 9223372036854775808.0;
  if (total >= LIMIT) {
    return std::numeric_limits<std::int64_t>::max();
  }
  if (!(total > 0.0)) {  // NaN too
    return 0;
  }
  return std::llround(total);
}

const JSON* FindMember(const JSON& root, const char* name) {
  const JSON::ObjectMap& members = root.Members();
  auto it = members.find(name);
  return it == members.end() ? nullptr : &it->second;
}

}  // namespace

std::string BM25::to_json() const {
  JSON root;
  JSON& frequency = root["_doc_token_frequency"];
  frequency = json::Object();
  // In byte order, so that every insertion lands at the end of the object.
  _doc_token_frequency.ForEachSorted([&frequency](std::string_view token, std::int64_t count) {
    frequency[std::string(token)] = count;
  });
  root["_doc_count"] = _doc_count;
  root["_doc_length_average"] = _doc_length_average;
  root["_b"] = _b;
  root["_k1"] = _k1;
  return root.dump(1, "  ");
}

void BM25::dump(const std::string& path) const {
  // The system would end the path at the NUL byte and write another file.
  if (path.find('\0') != std::string::npos) {
    throw std::invalid_argument("Failed to dump: embedded null byte in path");
  }
  ReplaceFile(path, to_json());
}

void BM25::load(std::string_view json_data) {
  if (json_data.empty()) {
    throw std::runtime_error("json data should not be empty");
  }
  // Everything is read into locals and checked; the model changes only
  // after the last check has passed.
  TokenCounts loaded;
  std::int64_t doc_count = 0;
  double doc_length_average = 0.0;
  double b = 0.0;
  double k1 = 0.0;
  {
    const JSON root = JSON::Load(json_data);
    bool ok = false;
    const JSON* frequency = FindMember(root, "_doc_token_frequency");
    if (frequency != nullptr) {
      const JSON::ObjectMap& tokens = frequency->Members();
      loaded.Reserve(tokens.size());
      for (const auto& [token, count] : tokens) {
        const std::int64_t value = count.AsInteger(ok);
        if (!ok) {
          throw std::runtime_error("load doc_token_frequency failed");
        }
        loaded[token] = value;
      }
    }
    const JSON* member = FindMember(root, "_doc_count");
    doc_count = member != nullptr ? member->AsInteger(ok) : (ok = false, 0);
    if (!ok) {
      throw std::runtime_error("load doc_count failed");
    }
    member = FindMember(root, "_doc_length_average");
    doc_length_average = member != nullptr ? member->AsFloat(ok) : (ok = false, 0.0);
    if (!ok) {
      throw std::runtime_error("load doc_length_average failed");
    }
    member = FindMember(root, "_b");
    b = member != nullptr ? member->AsFloat(ok) : (ok = false, 0.0);
    if (!ok) {
      throw std::runtime_error("load b failed");
    }
    member = FindMember(root, "_k1");
    k1 = member != nullptr ? member->AsFloat(ok) : (ok = false, 0.0);
    if (!ok) {
      throw std::runtime_error("load k1 failed");
    }
  }
  // Tokens that the text does not mention keep their current counts.
  if (!_doc_token_frequency.empty()) {
    loaded.Reserve(loaded.size() + _doc_token_frequency.size());
    _doc_token_frequency.ForEach([&loaded](std::string_view token, std::int64_t count) {
      const std::uint64_t hash = loaded.Hash(token);
      if (loaded.Find(token, hash) == nullptr) {
        loaded.Upsert(token, hash) = count;
      }
    });
  }
  _doc_token_frequency.swap(loaded);
  _doc_count = doc_count;
  _doc_total_length = ImpliedTotalLength(doc_length_average, doc_count);
  _doc_length_average = doc_length_average;
  _b = b;
  _k1 = k1;
}

}  // namespace kelp::typing::text
