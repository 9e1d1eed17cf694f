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

}  // namespace kelp::typing::text::limonp
