#include "tokenizer/limonp/Logging.hpp"

#include <ctime>
#include <iostream>
#include <string>
#include <string_view>
#include <utility>

namespace kelp::typing::text::limonp {

namespace {

thread_local LogSink* current_sink = nullptr;

void WriteToStandardError(std::string text) {
  // One write for the whole line, so that records of concurrent threads do
  // not interleave inside a line.
  text.push_back('\n');
  std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cerr.flush();
}

}  // namespace

ScopedLogSink::ScopedLogSink(LogSink* sink) noexcept : previous_(current_sink) {
  current_sink = sink;
}

ScopedLogSink::~ScopedLogSink() { current_sink = previous_; }

LogSink* ScopedLogSink::Current() noexcept { return current_sink; }

void WriteLine(size_t level, std::string_view line) {
  if (LogSink* sink = current_sink) {
    sink->Write(LogSink::Record{level, std::string_view(), 0, line, line});
    return;
  }
  WriteToStandardError(std::string(line));
}

namespace internal {

void WritePrefix(std::ostream& out, size_t level, const char* filename, int lineno) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  const size_t n = std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
  out.write(stamp, static_cast<std::streamsize>(n));
  const char* name = level <= LL_FATAL ? LOG_LEVEL_ARRAY[level] : "UNKNOWN";
  out << ' ' << filename << ':' << lineno << ' ' << name << ' ';
}

void WriteRecord(size_t level, const char* filename, int lineno, std::string text,
                 size_t message_offset) {
  if (LogSink* sink = current_sink) {
    const std::string_view view(text);
    sink->Write(LogSink::Record{level, filename, lineno, view.substr(message_offset), view});
    return;
  }
  WriteToStandardError(std::move(text));
}

}  // namespace internal

Logger::Logger(size_t level, const char* filename, int lineno)
    : level_(level), filename_(filename), lineno_(lineno) {
  internal::WritePrefix(stream_, level_, filename, lineno);
  message_offset_ = static_cast<size_t>(stream_.tellp());
}

Logger::~Logger() {
  internal::WriteRecord(level_, filename_, lineno_, stream_.str(), message_offset_);
}

FailedCheck::FailedCheck(const char* filename, int lineno, const char* condition)
    : filename_(filename), lineno_(lineno) {
  // The time stamp is taken when the check fails, as for any record.
  std::ostringstream prefix;
  internal::WritePrefix(prefix, LL_FATAL, filename, lineno);
  prefix_ = prefix.str();
  message_ << "exp: [" << condition << "] false. ";
}

FailedCheck& FailedCheck::OnFile(const std::string& path, int error_number) {
  kind_ = CheckKind::kFile;
  path_ = path;
  error_number_ = error_number;
  return *this;
}

FailedCheck& FailedCheck::InData(const std::string& path, size_t line, std::string reason) {
  kind_ = CheckKind::kData;
  path_ = path;
  line_ = line;
  reason_ = std::move(reason);
  return *this;
}

void FailedCheck::Raise() {
  std::string message = message_.str();
  internal::WriteRecord(LL_FATAL, filename_, lineno_, prefix_ + message, prefix_.size());
  switch (kind_) {
    case CheckKind::kFile:
      throw FileError(message, path_, error_number_);
    case CheckKind::kData:
      throw DataError(reason_.empty() ? message : reason_, path_, line_);
    case CheckKind::kInternal:
      break;
  }
  throw CheckError(message);
}

}  // namespace kelp::typing::text::limonp
