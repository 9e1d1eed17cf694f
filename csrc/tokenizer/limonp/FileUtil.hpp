// Opening and reading data files, with the reason of a failure; the check
// of a path handed in by a caller; writing a file whole or not at all.
//
// Thread-safe: the functions share no state (ReplaceFile's temporary names
// come from an atomic counter and the process id).
#pragma once

#include <fstream>
#include <string>
#include <string_view>

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

// The whole content of the data file `path`, opened by OpenInputFile (so
// without a leading byte-order mark) and read by ReadAll. A file that
// cannot be opened fails the check `ifs.is_open()` with the message
// "open <path> failed" + `failed_suffix`, and one that cannot be read the
// check `error == 0` with "read <path> failed" + `failed_suffix`: the FATAL
// record names `source_file` and `source_line`, the loader's own place
// (LIMONP_READ_DATA_FILE passes the caller's), and a FileError with the
// path and the errno value follows.
std::string ReadDataFile(const std::string& path, const char* failed_suffix,
                         const char* source_file, int source_line);

// Throws std::invalid_argument "<what>: embedded null byte" when `path`
// holds a NUL byte: the system would end the path there and open another
// file. `what` names the path for the caller (a parameter name).
void CheckPath(std::string_view what, std::string_view path);

// Writes `text` at `path` whole or not at all: into a new file beside it,
// which is then renamed over it, so that readers see either the old file
// whole or the new one whole; the replaced file's mode is kept, and a
// symbolic link is written through. Where no new file can be made (a
// folder closed to new files) or the target is not a regular file (a
// device, a pipe), it writes in place. Throws WriteError (a
// std::runtime_error, with the path and the errno value) whose message is
// `prefix` followed by "Unable to open file" (no reason added), or by
// "Unable to write file", "Unable to close file" or "Unable to replace file"
// with ": " and the system's reason. A path holding a NUL
// byte writes nothing and throws std::invalid_argument, `prefix` followed
// by "embedded null byte in path".
void ReplaceFile(const std::string& path, const std::string& text, const char* prefix);

}  // namespace kelp::typing::text::limonp

// ReadDataFile with the records naming the calling line.
#define LIMONP_READ_DATA_FILE(path, failed_suffix) \
  ::kelp::typing::text::limonp::ReadDataFile((path), (failed_suffix), __FILE__, __LINE__)
