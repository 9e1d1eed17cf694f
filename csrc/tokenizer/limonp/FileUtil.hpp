// Opening data files for reading, with the reason of a failure.
#pragma once

#include <fstream>
#include <string>

namespace kelp::typing::text::limonp {

// Opens `path` for reading (binary, so line endings stay as written) into
// `ifs`. Returns 0 on success, otherwise the errno value that says why not:
// the failed system call's own, or EISDIR when `path` is a directory (which
// a stream would "open" and then fail to read). A UTF-8 byte-order mark at
// the start of a regular file is skipped.
int OpenInputFile(const std::string& path, std::ifstream& ifs);

// Reads the rest of the open file `ifs` into `content` (replacing it), in
// one block of the right size for a regular file. Returns 0, or the errno
// value of a read error (EIO when the system gave none); `content` then
// holds what was read before it.
int ReadAll(std::ifstream& ifs, std::string& content);

}  // namespace kelp::typing::text::limonp
