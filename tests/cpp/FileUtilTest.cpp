#include "tokenizer/limonp/FileUtil.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "TestFiles.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace limonp = kelp::typing::text::limonp;
using razoduviva_test::ScratchDir;

namespace {

std::string ReadThrough(const std::string& path) {
  std::ifstream ifs;
  EXPECT_EQ(limonp::OpenInputFile(path, ifs), 0) << path;
  return std::string(std::istreambuf_iterator<char>(ifs), std::istreambuf_iterator<char>());
}

TEST(FileUtilTest, SkipsALeadingByteOrderMarkOnly) {
  const ScratchDir dir;
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    std::string content;
    std::string read;
  } const cases[] = {
      {bom + "a 1 n\n", "a 1 n\n"},
      {bom, ""},
      {bom + bom + "x", bom + "x"},  // only the first one is a mark
      {"a 1 n\n" + bom, "a 1 n\n" + bom},
      {"\xEF\xBB", "\xEF\xBB"},  // shorter than a mark
      {"\xEF\xBB" "a", "\xEF\xBB" "a"},
      {"", ""},
      {"ab", "ab"},
  };
  int k = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(ReadThrough(dir.Write("f" + std::to_string(k++), c.content)), c.read);
  }
}

TEST(FileUtilTest, ReportsWhyAFileCannotBeOpened) {
  const ScratchDir dir;
  std::ifstream ifs;
  EXPECT_EQ(limonp::OpenInputFile(dir.Path("missing"), ifs), ENOENT);
  EXPECT_EQ(limonp::OpenInputFile(dir.Path(""), ifs), EISDIR);
  EXPECT_EQ(limonp::OpenInputFile(dir.Path("missing/x"), ifs), ENOENT);
  EXPECT_FALSE(ifs.is_open());
}

// --- ReadDataFile ------------------------------------------------------

TEST(ReadDataFileTest, ReadsTheWholeFileWithoutItsByteOrderMark) {
  const ScratchDir dir;
  std::string big;
  for (size_t i = 0; big.size() < 200000; ++i) {  // several read chunks
    big += std::to_string(i * 7919) + (i % 3 == 0 ? std::string("\0\r\n", 3) : "\n");
  }
  const struct {
    std::string content;
    std::string read;
  } cases[] = {
      {"", ""},
      {"a 1 n\nb 2 n", "a 1 n\nb 2 n"},
      {"\xEF\xBB\xBF" "a 1 n\n", "a 1 n\n"},
      {big, big},
  };
  int k = 0;
  for (const auto& c : cases) {
    const std::string path = dir.Write("f" + std::to_string(k++), c.content);
    testing::internal::CaptureStderr();
    EXPECT_EQ(limonp::ReadDataFile(path, ".", "csrc/Loader.hpp", 7), c.read) << path;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << path;
  }
}

// The FATAL record of a failed open names the place given, and its message
// ends with the suffix given; the exception carries the path and errno.
TEST(ReadDataFileTest, FileThatCannotBeOpenedFailsAtTheCallersPlace) {
  const ScratchDir dir;
  const struct {
    std::string path;
    int error;
    const char* suffix;
  } cases[] = {
      {dir.Path("missing.txt"), ENOENT, "."},
      {dir.Path("missing.txt"), ENOENT, ""},
      {dir.Path(""), EISDIR, ""},
      {"", ENOENT, "."},
  };
  for (const auto& c : cases) {
    const std::string message = "exp: [ifs.is_open()] false. open " + c.path + " failed" + c.suffix;
    testing::internal::CaptureStderr();
    try {
      limonp::ReadDataFile(c.path, c.suffix, "csrc/tokenizer/jieba/Loader.hpp", 42);
      ADD_FAILURE() << "read [" << c.path << "]";
    } catch (const limonp::FileError& e) {
      EXPECT_EQ(std::string(e.what()), message);
      EXPECT_EQ(e.path(), c.path);
      EXPECT_EQ(e.error_number(), c.error) << c.path;
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(" csrc/tokenizer/jieba/Loader.hpp:42 FATAL " + message + "\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find(" FATAL "), log.rfind(" FATAL ")) << log;  // one record
  }
}

TEST(ReadDataFileTest, MacroNamesTheCallingLine) {
  const ScratchDir dir;
  const std::string missing = dir.Path("missing.txt");
  testing::internal::CaptureStderr();
  const int line = __LINE__ + 2;
  try {
    LIMONP_READ_DATA_FILE(missing, "");
    ADD_FAILURE() << "read a missing file";
  } catch (const limonp::FileError& e) {
    EXPECT_EQ(e.error_number(), ENOENT);
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find(" tests/cpp/FileUtilTest.cpp:" + std::to_string(line) +
                     " FATAL exp: [ifs.is_open()] false. open " + missing + " failed\n"),
            std::string::npos)
      << log;
}

// A file that opens but cannot be read: the first bytes of the process's own
// memory are never mapped.
TEST(ReadDataFileTest, ReadErrorFailsAtTheCallersPlace) {
  const std::string path = "/proc/self/mem";
  std::ifstream probe;
  if (limonp::OpenInputFile(path, probe) != 0) {
    GTEST_SKIP() << path << " cannot be opened here";
  }
  for (const char* suffix : {".", ""}) {
    const std::string message = "exp: [error == 0] false. read " + path + " failed" + suffix;
    testing::internal::CaptureStderr();
    try {
      limonp::ReadDataFile(path, suffix, "csrc/Loader.hpp", 9);
      ADD_FAILURE() << "read " << path;
    } catch (const limonp::FileError& e) {
      EXPECT_EQ(std::string(e.what()), message);
      EXPECT_EQ(e.path(), path);
      EXPECT_EQ(e.error_number(), EIO);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(" csrc/Loader.hpp:9 FATAL " + message + "\n"), std::string::npos) << log;
  }
}

// --- Paths with a NUL byte -----------------------------------------------

TEST(CheckPathTest, RefusesANulByteAnywhere) {
  const struct {
    std::string path;
    bool refused;
  } cases[] = {
      {"", false},
      {"dict.txt", false},
      {"/tmp/a b/\xE4\xB8\xAD.txt", false},
      {std::string("\0", 1), true},
      {std::string("dict.txt\0", 9), true},
      {std::string("dict\0.txt", 9), true},
  };
  for (const auto& c : cases) {
    try {
      limonp::CheckPath("user_dict_path", c.path);
      EXPECT_FALSE(c.refused) << c.path;
    } catch (const std::invalid_argument& e) {
      EXPECT_TRUE(c.refused) << c.path;
      EXPECT_STREQ(e.what(), "user_dict_path: embedded null byte");
    }
  }
}

// The system would end the path at the NUL byte and write another file:
// nothing is written, not even a temporary file.
TEST(ReplaceFileTest, RefusesANulByteAndWritesNothing) {
  const ScratchDir dir;
  const std::string cut = dir.Path("model.json");
  try {
    limonp::ReplaceFile(cut + std::string("\0.bak", 5), "text", "Failed to save: ");
    ADD_FAILURE() << "wrote through a NUL byte";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Failed to save: embedded null byte in path");
  }
  EXPECT_NE(::access(cut.c_str(), F_OK), 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path("")),
                          std::filesystem::directory_iterator()),
            0);
  limonp::ReplaceFile(cut, "text", "Failed to save: ");
  EXPECT_EQ(ReadThrough(cut), "text");
}

// A failure says what the system refused, beside the caller's message.
TEST(ReplaceFileTest, FailuresCarryThePathAndTheReason) {
  ScratchDir dir;
  const std::string path = dir.Path("missing/model.json");
  try {
    limonp::ReplaceFile(path, "text", "Failed to save: ");
    ADD_FAILURE() << "wrote into a missing folder";
  } catch (const limonp::WriteError& e) {
    EXPECT_STREQ(e.what(), "Failed to save: Unable to open file");
    EXPECT_EQ(e.path(), path);
    EXPECT_EQ(e.error_number(), ENOENT);
  }
  try {
    limonp::ReplaceFile(dir.Path(""), "text", "Failed to dump: ");
    ADD_FAILURE() << "wrote over a folder";
  } catch (const limonp::WriteError& e) {
    EXPECT_EQ(e.error_number(), EISDIR);
  }
}

}  // namespace
