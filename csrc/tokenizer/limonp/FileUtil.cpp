#include "tokenizer/limonp/FileUtil.hpp"

#include <sys/stat.h>

#include <cerrno>

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
  return 0;
}

}  // namespace kelp::typing::text::limonp
