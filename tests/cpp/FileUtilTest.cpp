#include "tokenizer/limonp/FileUtil.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <string>

#include "TestFiles.hpp"

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

}  // namespace
