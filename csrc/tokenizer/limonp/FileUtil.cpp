#include "tokenizer/limonp/FileUtil.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace kelp::typing::text::limonp {

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

}  // namespace kelp::typing::text::limonp
