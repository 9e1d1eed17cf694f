#include "tokenizer/jieba/HMMModel.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace jieba = kelp::typing::text::jieba;
namespace limonp = kelp::typing::text::limonp;
using jieba::HMMModel;

namespace {

// A scratch folder per test for model files.
class ModelFiles {
 public:
  ModelFiles() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hmm-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    dir_ = pattern;
  }
  ~ModelFiles() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Write(const std::string& content) const {
    const std::string path = (dir_ / "model.txt").string();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::string Dir() const { return dir_.string(); }

 private:
  std::filesystem::path dir_;
};

const std::string kZhong = "\xE4\xB8\xAD";  // U+4E2D
const std::string kWen = "\xE6\x96\x87";    // U+6587
constexpr jieba::Rune kZhongRune = 0x4E2D;
constexpr jieba::Rune kWenRune = 0x6587;

// Nine data lines: start, four transition rows, four emission lists.
const std::string kModel =
    "-1 -2 -3 -4\n"
    "0.1 0.2 0.3 0.4\n"
    "1.1 1.2 1.3 1.4\n"
    "2.1 2.2 2.3 2.4\n"
    "3.1 3.2 3.3 3.4\n" +
    kZhong + ":-5.5," + kWen + ":-6.5\n" +
    kWen + ":-7\n" +
    "a:-8\n" +
    kZhong + ":-9\n";

// Loads `content`, expecting a DataError; returns the captured stderr.
std::string LoadFailing(const std::string& content, size_t* line = nullptr) {
  ModelFiles files;
  const std::string path = files.Write(content);
  testing::internal::CaptureStderr();
  try {
    HMMModel model(path);
    ADD_FAILURE() << "model loaded";
  } catch (const limonp::DataError& e) {
    EXPECT_EQ(e.path(), path);
    if (line != nullptr) {
      *line = e.line();
    }
  }
  return testing::internal::GetCapturedStderr();
}

TEST(HMMModelTest, LoadsStartTransitionsAndEmissions) {
  ModelFiles files;
  HMMModel model(files.Write(kModel));
  const double start[4] = {-1, -2, -3, -4};
  for (size_t y = 0; y < jieba::STATUS_SUM; ++y) {
    EXPECT_EQ(model.startLogProb[y], start[y]);
    for (size_t z = 0; z < jieba::STATUS_SUM; ++z) {
      EXPECT_DOUBLE_EQ(model.transLogProb[y][z], static_cast<double>(y) + 0.1 * (z + 1));
    }
  }
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbB, kZhongRune, jieba::SCORE_FLOOR), -5.5);
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbB, kWenRune, jieba::SCORE_FLOOR), -6.5);
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbE, kWenRune, jieba::SCORE_FLOOR), -7.0);
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbM, 'a', jieba::SCORE_FLOOR), -8.0);
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbS, kZhongRune, jieba::SCORE_FLOOR), -9.0);
  // Absent characters get the default.
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbE, kZhongRune, jieba::SCORE_FLOOR),
            jieba::SCORE_FLOOR);
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbS, 'z', 1.5), 1.5);
  ASSERT_EQ(model.emitProbByState.size(), 4u);
  EXPECT_EQ(model.emitProbByState[HMMModel::B], &model.emitProbB);
  EXPECT_EQ(model.emitProbByState[HMMModel::E], &model.emitProbE);
  EXPECT_EQ(model.emitProbByState[HMMModel::M], &model.emitProbM);
  EXPECT_EQ(model.emitProbByState[HMMModel::S], &model.emitProbS);
}

TEST(HMMModelTest, EmitRowAgreesWithTheFourMaps) {
  ModelFiles files;
  HMMModel model(files.Write(kModel));
  for (jieba::Rune rune : {kZhongRune, kWenRune, jieba::Rune{'a'}, jieba::Rune{'b'},
                           jieba::Rune{0x1F600}, jieba::Rune{0x10FFFF}}) {
    const double* row = model.EmitRow(rune);
    for (size_t y = 0; y < jieba::STATUS_SUM; ++y) {
      EXPECT_EQ(row[y],
                HMMModel::LookupEmitProb(model.emitProbByState[y], rune, jieba::SCORE_FLOOR))
          << rune << " state " << y;
    }
  }
}

TEST(HMMModelTest, RunesBeyondTheBasicPlaneHaveRowsToo) {
  ModelFiles files;
  const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600
  HMMModel model(files.Write("0 0 0 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\n0 0 0 0\n" + emoji +
                             ":-1\na:-2\n" + emoji + ":-3\n" + emoji + ":-4\n"));
  const double* row = model.EmitRow(0x1F600);
  EXPECT_EQ(row[0], -1.0);
  EXPECT_EQ(row[1], jieba::SCORE_FLOOR);
  EXPECT_EQ(row[2], -3.0);
  EXPECT_EQ(row[3], -4.0);
}

TEST(HMMModelTest, SkipsCommentsBlankLinesAndTrimsEachLine) {
  ModelFiles files;
  const std::string messy =
      "\n   \n  # start values\n#\n"
      "\t-1 -2 -3 -4 \r\n"
      "0.1 0.2 0.3 0.4\r\n"
      "   # between rows\n"
      "1.1 1.2 1.3 1.4\r\n"
      "2.1 2.2 2.3 2.4\n"
      "\n"
      "3.1 3.2 3.3 3.4\n" +
      kZhong + ":-5.5," + kWen + ":-6.5,\r\n" +  // a trailing comma adds no entry
      kWen + ":-7\n" + "a:-8\n" +
      kZhong + ":-9," + kZhong + ":-10\n"  // the later entry wins
      "this line is not read\n";
  HMMModel model(files.Write(messy));
  EXPECT_EQ(model.startLogProb[3], -4.0);
  EXPECT_DOUBLE_EQ(model.transLogProb[1][2], 1.3);
  EXPECT_EQ(model.emitProbB.size(), 2u);
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbB, kWenRune, 0), -6.5);
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbS, kZhongRune, 0), -10.0);
}

TEST(HMMModelTest, LastLineWithoutLineFeedIsRead) {
  ModelFiles files;
  HMMModel model(files.Write(kModel.substr(0, kModel.size() - 1)));
  EXPECT_EQ(HMMModel::LookupEmitProb(&model.emitProbS, kZhongRune, 0), -9.0);
}

TEST(HMMModelTest, NonNumericFieldsReadAsZero) {
  ModelFiles files;
  HMMModel model(files.Write("x -2 1e1y . \n" + kModel.substr(kModel.find('\n') + 1)));
  EXPECT_EQ(model.startLogProb[0], 0.0);
  EXPECT_EQ(model.startLogProb[2], 10.0);
  EXPECT_EQ(model.startLogProb[3], 0.0);
}

TEST(HMMModelTest, NumberLinesNeedExactlyFourFields) {
  const struct {
    std::string first_line;
    size_t line;
  } cases[] = {
      {"-1 -2 -3", 1},
      {"-1 -2 -3 -4 -5", 1},
      {"-1  -2 -3 -4", 1},  // two spaces make an empty field
  };
  for (const auto& c : cases) {
    size_t line = 0;
    const std::string err =
        LoadFailing("# comment\n" + c.first_line + "\n" + kModel.substr(kModel.find('\n') + 1),
                    &line);
    EXPECT_NE(err.find(" FATAL exp: [tmp.size() == STATUS_SUM] false. \n"), std::string::npos)
        << err;
    EXPECT_EQ(line, 2u) << c.first_line;
  }
  // A transition row too.
  const std::string bad_row = "-1 -2 -3 -4\n0.1 0.2 0.3\n";
  EXPECT_NE(LoadFailing(bad_row).find("FATAL exp: [tmp.size() == STATUS_SUM] false. "),
            std::string::npos);
}

TEST(HMMModelTest, MissingDataLineFailsTheGetLineCheck) {
  // Only eight data lines: the emission list of S is missing.
  const std::string eight = kModel.substr(0, kModel.rfind(kZhong + ":-9"));
  size_t line = 0;
  const std::string err = LoadFailing(eight + "# no more data\n", &line);
  EXPECT_NE(err.find(" FATAL exp: [GetLine(ifile, line)] false. \n"), std::string::npos) << err;
  EXPECT_EQ(line, 10u);
  EXPECT_NE(LoadFailing("").find("FATAL exp: [GetLine(ifile, line)] false. "), std::string::npos);
}

TEST(HMMModelTest, BadEmissionEntriesLogThenFailTheirStatesCheck) {
  const std::string head = kModel.substr(0, kModel.find(kZhong + ":-5.5"));
  const struct {
    std::string lines;  // the four emission lines
    const char* error;
    const char* check;
  } cases[] = {
      {kZhong + kWen + ":-1\nb:1\nm:1\ns:1\n", "ERROR TransCode failed.\n",
       "FATAL exp: [LoadEmitProb(line, emitProbB)] false. \n"},
      {"b:1\n" + kZhong + "-1\nm:1\ns:1\n", "ERROR emitProb illegal.\n",
       "FATAL exp: [LoadEmitProb(line, emitProbE)] false. \n"},
      {"b:1\ne:1\nm:1:2\ns:1\n", "ERROR emitProb illegal.\n",
       "FATAL exp: [LoadEmitProb(line, emitProbM)] false. \n"},
      {"b:1\ne:1\nm:1\ns:1,,t:2\n", "ERROR emitProb illegal.\n",
       "FATAL exp: [LoadEmitProb(line, emitProbS)] false. \n"},
      {"b:1\ne:1\nm:1\n:1\n", "ERROR TransCode failed.\n",
       "FATAL exp: [LoadEmitProb(line, emitProbS)] false. \n"},
      {"\xFF:1\ne:1\nm:1\ns:1\n", "ERROR TransCode failed.\n",
       "FATAL exp: [LoadEmitProb(line, emitProbB)] false. \n"},
  };
  for (const auto& c : cases) {
    const std::string err = LoadFailing(head + c.lines);
    const size_t error_at = err.find(c.error);
    const size_t check_at = err.find(c.check);
    EXPECT_NE(error_at, std::string::npos) << err;
    EXPECT_NE(check_at, std::string::npos) << err;
    EXPECT_LT(error_at, check_at) << err;
  }
}

TEST(HMMModelTest, UnopenableFileIsAFileErrorNamingThePath) {
  ModelFiles files;
  const std::string missing = files.Dir() + "/missing.txt";
  const struct {
    std::string path;
    int error_number;
  } cases[] = {{missing, ENOENT}, {files.Dir(), EISDIR}};
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    try {
      HMMModel model(c.path);
      ADD_FAILURE() << "model loaded from " << c.path;
    } catch (const limonp::FileError& e) {
      EXPECT_EQ(e.path(), c.path);
      EXPECT_EQ(e.error_number(), c.error_number);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" FATAL exp: [ifile.is_open()] false. open " + c.path + " failed\n"),
              std::string::npos)
        << err;
  }
}

}  // namespace
