#include "tokenizer/limonp/Logging.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace limonp = kelp::typing::text::limonp;

namespace {

TEST(LoggerTest, RecordHasTimePathLineLevelAndMessage) {
  testing::internal::CaptureStderr();
  const int line = __LINE__ + 1;
  LIMONP_LOG(limonp::LL_ERROR) << "decode failed. " << 42;
  const std::string out = testing::internal::GetCapturedStderr();
  const std::regex shape(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d tests/cpp/LoggingTest\.cpp:)" +
                         std::to_string(line) + R"( ERROR decode failed\. 42\n$)");
  EXPECT_TRUE(std::regex_match(out, shape)) << out;
}

TEST(CheckTest, PassingCheckWritesNothingAndSkipsOperands) {
  int evaluated = 0;
  auto operand = [&evaluated] { return ++evaluated; };
  testing::internal::CaptureStderr();
  LIMONP_CHECK(1 + 1 == 2) << operand();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(evaluated, 0);
}

TEST(CheckTest, FailedCheckWritesFatalRecordThenThrows) {
  const std::string path = "/no/such/dict.txt";
  testing::internal::CaptureStderr();
  try {
    LIMONP_CHECK(path.empty()).OnFile(path, ENOENT) << "open " << path << " failed.";
    FAIL() << "check did not throw";
  } catch (const limonp::FileError& e) {
    EXPECT_STREQ(e.what(), "exp: [path.empty()] false. open /no/such/dict.txt failed.");
    EXPECT_EQ(e.path(), path);
    EXPECT_EQ(e.error_number(), ENOENT);
  }
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find(" FATAL exp: [path.empty()] false. open /no/such/dict.txt failed.\n"),
            std::string::npos)
      << out;
}

TEST(CheckTest, DataErrorNamesFileAndLine) {
  testing::internal::CaptureStderr();
  try {
    LIMONP_CHECK(false).InData("dict.txt", 7) << "split result illegal, line:" << "a b";
    FAIL() << "check did not throw";
  } catch (const limonp::DataError& e) {
    EXPECT_STREQ(e.what(), "dict.txt:7: exp: [false] false. split result illegal, line:a b");
    EXPECT_EQ(e.line(), 7u);
  }
  testing::internal::GetCapturedStderr();
}

TEST(CheckTest, PlainCheckThrowsCheckError) {
  testing::internal::CaptureStderr();
  EXPECT_THROW(LIMONP_CHECK(false), limonp::CheckError);
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find(" FATAL exp: [false] false. \n"), std::string::npos) << out;
}

// A sink installed on a thread gets that thread's records and parser lines,
// whole and split into their parts; nothing reaches standard error, and the
// previous destination comes back when the scope ends.
class Collect : public limonp::LogSink {
 public:
  void Write(const Record& record) noexcept override {
    records.push_back({record.level, std::string(record.source), record.line,
                       std::string(record.message), std::string(record.text)});
  }
  struct Copy {
    size_t level;
    std::string source;
    int line;
    std::string message, text;
  };
  std::vector<Copy> records;
};

TEST(LogSinkTest, ScopedSinkTakesTheThreadsRecords) {
  Collect outer, inner;
  testing::internal::CaptureStderr();
  int line = 0;
  {
    limonp::ScopedLogSink scope(&outer);
    {
      limonp::ScopedLogSink nested(&inner);
      line = __LINE__ + 1;
      LIMONP_LOG(limonp::LL_ERROR) << "decode failed. ";
      EXPECT_THROW(LIMONP_CHECK(false) << "x", limonp::CheckError);
    }
    limonp::WriteLine(limonp::LL_WARN, "parser line");
    std::thread([] { LIMONP_LOG(limonp::LL_ERROR) << "other thread"; }).join();
  }
  LIMONP_LOG(limonp::LL_ERROR) << "after";
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(inner.records.size(), 2u);
  EXPECT_EQ(inner.records[0].level, limonp::LL_ERROR);
  EXPECT_EQ(inner.records[0].source, "tests/cpp/LoggingTest.cpp");
  EXPECT_EQ(inner.records[0].line, line);
  EXPECT_EQ(inner.records[0].message, "decode failed. ");
  EXPECT_TRUE(std::regex_match(inner.records[0].text,
                               std::regex(R"(^\d{4}-.* ERROR decode failed\. $)")));
  EXPECT_EQ(inner.records[1].level, limonp::LL_FATAL);
  EXPECT_EQ(inner.records[1].message, "exp: [false] false. x");
  ASSERT_EQ(outer.records.size(), 1u);
  EXPECT_EQ(outer.records[0].message, "parser line");
  EXPECT_EQ(outer.records[0].text, "parser line");
  EXPECT_EQ(outer.records[0].source, "");
  // Only the other thread's record and the one after the scope.
  EXPECT_NE(err.find(" ERROR other thread\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" ERROR after\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("decode failed"), std::string::npos) << err;
  EXPECT_EQ(limonp::ScopedLogSink::Current(), nullptr);
}

}  // namespace
