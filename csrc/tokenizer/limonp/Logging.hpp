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
// A thread that installs a LogSink (ScopedLogSink) has its records, and the
// JSON parser's complaint lines, handed to the sink instead, for as long as
// the ScopedLogSink lives; with none installed they go to standard error.
//
// Thread-safe: a record is built in its own stream and written with one call.
#pragma once

#include <cstddef>
#include <sstream>
#include <string>
#include <string_view>

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
  const char* filename_;
  int lineno_;
  size_t message_offset_;
};

// Where the records of a thread go instead of standard error.
class LogSink {
 public:
  struct Record {
    size_t level;              // LL_ERROR, LL_FATAL; LL_WARN for a parser line
    std::string_view source;   // the source path; empty for a parser line
    int line;                  // the source line; 0 for a parser line
    std::string_view message;  // the text after the level name
    std::string_view text;     // the whole line, as standard error would get it
  };

  // Takes one record; called on the thread that installed the sink (or on
  // any thread that installed the same sink), so a sink shared by threads
  // locks. Must not throw.
  virtual void Write(const Record& record) noexcept = 0;

 protected:
  ~LogSink() = default;
};

// Installs `sink` (null: standard error) for the records of the calling
// thread while it lives, then puts back what was installed before. The
// installed sink is the only per-thread state of the module.
class ScopedLogSink {
 public:
  explicit ScopedLogSink(LogSink* sink) noexcept;
  ~ScopedLogSink();

  ScopedLogSink(const ScopedLogSink&) = delete;
  ScopedLogSink& operator=(const ScopedLogSink&) = delete;

  // The sink installed on the calling thread, or null.
  static LogSink* Current() noexcept;

 private:
  LogSink* previous_;
};

// Writes one diagnostic line that is not a record (the JSON parser's) at
// `level`: to the calling thread's sink, or else with a line feed to
// standard error, in one call.
void WriteLine(size_t level, std::string_view line);

namespace internal {
// Writes the record prefix: time, blank, path, ':', line, blank, level, blank.
void WritePrefix(std::ostream& out, size_t level, const char* filename, int lineno);
// Hands the record `text` (its message starting at `message_offset`) to the
// calling thread's sink, or writes it and a newline to standard error in one
// call, then flushes.
void WriteRecord(size_t level, const char* filename, int lineno, std::string text,
                 size_t message_offset);
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
  // The check is about the content of `path` at 1-based line `line`;
  // `reason` says what is wrong in the words of the file's format, for the
  // exception (the record keeps the check's own text).
  FailedCheck& InData(const std::string& path, size_t line, std::string reason = std::string());

  template <typename T>
  FailedCheck& operator<<(const T& value) {
    message_ << value;
    return *this;
  }

  // Writes the FATAL record, then throws.
  [[noreturn]] void Raise();

 private:
  const char* filename_;
  int lineno_;
  std::string prefix_;
  std::ostringstream message_;
  CheckKind kind_ = CheckKind::kInternal;
  std::string path_;
  int error_number_ = 0;
  size_t line_ = 0;
  std::string reason_;
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
