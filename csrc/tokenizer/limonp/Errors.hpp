// Exceptions thrown by failed checks of the segmentation code, and by the
// loaders of saved object states.
//
// The binding turns them into the most specific Python exception: a
// FileError becomes OSError (FileNotFoundError, PermissionError,
// IsADirectoryError ... chosen from the errno value), a DataError becomes
// ValueError, a CheckError RuntimeError. A StateError is a
// std::invalid_argument, which pybind11's default translation already makes
// ValueError.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

namespace kelp::typing::text::limonp {

// A failed internal check. what() is the check's message.
class CheckError : public std::runtime_error {
 public:
  explicit CheckError(const std::string& message) : std::runtime_error(message) {}
};

// A data file that could not be opened or read. what() is the check's message.
class FileError : public CheckError {
 public:
  FileError(const std::string& message, std::string path, int error_number)
      : CheckError(message), path_(std::move(path)), error_number_(error_number) {}

  const std::string& path() const noexcept { return path_; }
  // The errno value of the failure (ENOENT, EACCES, EISDIR, ...).
  int error_number() const noexcept { return error_number_; }

 private:
  std::string path_;
  int error_number_;
};

// Malformed content in a data file. what() is "path:line: " + what is
// wrong in the words of the file's format.
class DataError : public CheckError {
 public:
  DataError(const std::string& message, std::string path, size_t line)
      : CheckError(path + ":" + std::to_string(line) + ": " + message),
        path_(std::move(path)),
        line_(line) {}

  const std::string& path() const noexcept { return path_; }
  // 1-based line number; 0 when the problem concerns the file as a whole.
  size_t line() const noexcept { return line_; }

 private:
  std::string path_;
  size_t line_;
};

// A file that could not be written (ReplaceFile). what() is the caller's
// message; the path and the errno value say what the system refused.
class WriteError : public std::runtime_error {
 public:
  WriteError(const std::string& message, std::string path, int error_number)
      : std::runtime_error(message), path_(std::move(path)), error_number_(error_number) {}

  const std::string& path() const noexcept { return path_; }
  int error_number() const noexcept { return error_number_; }

 private:
  std::string path_;
  int error_number_;
};

// A saved object state (see ByteStream.hpp) that cannot be loaded: cut
// short, inconsistent, or not a state of this kind or format at all. what()
// is the whole message, "corrupt state: ..." for damaged bytes. Loaders
// throw it before changing anything, and write no log record: a state comes
// from the caller, not from a data file.
class StateError : public std::invalid_argument {
 public:
  explicit StateError(const std::string& message) : std::invalid_argument(message) {}
};

}  // namespace kelp::typing::text::limonp
