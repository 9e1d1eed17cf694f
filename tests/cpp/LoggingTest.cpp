#include "tokenizer/limonp/Logging.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <regex>
#include <string>

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

}  // namespace
