#include "tokenizer/limonp/Logging.hpp"

#include <ctime>
#include <iostream>

namespace kelp::typing::text::limonp {

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

void WriteRecord(std::string record) {
  // One write for the whole line, so that records of concurrent threads do
  // not interleave inside a line.
  record.push_back('\n');
  std::cerr.write(record.data(), static_cast<std::streamsize>(record.size()));
  std::cerr.flush();
}

}  // namespace internal

Logger::Logger(size_t level, const char* filename, int lineno) : level_(level) {
  internal::WritePrefix(stream_, level_, filename, lineno);
}

Logger::~Logger() { internal::WriteRecord(stream_.str()); }

FailedCheck::FailedCheck(const char* filename, int lineno, const char* condition) {
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

FailedCheck& FailedCheck::InData(const std::string& path, size_t line) {
  kind_ = CheckKind::kData;
  path_ = path;
  line_ = line;
  return *this;
}

void FailedCheck::Raise() {
  std::string message = message_.str();
  internal::WriteRecord(prefix_ + message);
  switch (kind_) {
    case CheckKind::kFile:
      throw FileError(message, path_, error_number_);
    case CheckKind::kData:
      throw DataError(message, path_, line_);
    case CheckKind::kInternal:
      break;
  }
  throw CheckError(message);
}

}  // namespace kelp::typing::text::limonp
