// Log records and checks for the segmentation code.
//
// A record is one line on standard error:
//   "2024-03-01 09:05:07 csrc/tokenizer/jieba/DictTrie.hpp:24 ERROR message"
// written when the statement that built it ends. Records are never filtered.
//
// A failed check writes a FATAL record whose message is
//   "exp: [" + condition text + "] false. " + operands
// and then throws instead of ending the process, so that a bad data file
// reaches the caller as an exception it can handle. The exception type says
// what went wrong (see Errors.hpp); the binding maps it without reading the
// message.
//
// Thread-safe: a record is built in its own stream and written with one call.
#pragma once

#include <cstddef>
#include <sstream>
#include <string>

#include "tokenizer/limonp/Errors.hpp"

namespace kelp::typing::text::limonp {

enum LogLevel : size_t {
  LL_DEBUG = 0,
  LL_INFO = 1,
  LL_WARN = 2,
  LL_ERROR = 3,
  LL_FATAL = 4,
};

inline constexpr const char* LOG_LEVEL_ARRAY[] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};

// One log record; lives for one statement. Writing happens in the destructor.
class Logger {
 public:
  Logger(size_t level, const char* filename, int lineno);
  ~Logger();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  std::ostream& Out() { return stream_; }

 private:
  std::ostringstream stream_;
  size_t level_;
};

namespace internal {
// Writes the record prefix: time, blank, path, ':', line, blank, level, blank.
void WritePrefix(std::ostream& out, size_t level, const char* filename, int lineno);
// Writes `record` and a newline to standard error in one call, then flushes.
void WriteRecord(std::string record);
}  // namespace internal

// What a failed check throws once its FATAL record is written.
enum class CheckKind {
  kInternal,  // CheckError
  kFile,      // FileError: a data file could not be opened or read
  kData,      // DataError: a data file's content is malformed
};

// The record of a failed check. Operands are streamed into it; Raise() then
// writes the record and throws the exception chosen by OnFile/InData.
class FailedCheck {
 public:
  FailedCheck(const char* filename, int lineno, const char* condition);

  // The check is about opening `path`; `error_number` is the errno value.
  FailedCheck& OnFile(const std::string& path, int error_number);
  // The check is about the content of `path` at 1-based line `line`.
  FailedCheck& InData(const std::string& path, size_t line);

  template <typename T>
  FailedCheck& operator<<(const T& value) {
    message_ << value;
    return *this;
  }

  // Writes the FATAL record, then throws.
  [[noreturn]] void Raise();

 private:
  std::string prefix_;
  std::ostringstream message_;
  CheckKind kind_ = CheckKind::kInternal;
  std::string path_;
  int error_number_ = 0;
  size_t line_ = 0;
};

namespace internal {
// Lower precedence than <<, so every operand is streamed before Raise().
struct CheckRaiser {
  [[noreturn]] void operator&(FailedCheck& check) { check.Raise(); }
  [[noreturn]] void operator&(FailedCheck&& check) { check.Raise(); }
};
}  // namespace internal

}  // namespace kelp::typing::text::limonp

#define LIMONP_LOG(level) \
  ::kelp::typing::text::limonp::Logger((level), __FILE__, __LINE__).Out()

// Evaluates `exp` once; the operands are evaluated only when it fails.
#define LIMONP_CHECK(exp)                                   \
  if (exp) {                                                \
  } else                                                    \
    ::kelp::typing::text::limonp::internal::CheckRaiser() & \
        ::kelp::typing::text::limonp::FailedCheck(__FILE__, __LINE__, #exp)
