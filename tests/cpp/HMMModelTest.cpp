#include "tokenizer/jieba/HMMModel.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tokenizer/jieba/Constants.hpp"
#include "tokenizer/jieba/HMMSegment.hpp"
#include "tokenizer/limonp/ByteStream.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace jieba = kelp::typing::text::jieba;
namespace limonp = kelp::typing::text::limonp;
using jieba::HMMModel;
using limonp::ByteReader;
using limonp::ByteWriter;
using limonp::StateError;

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

// --- State -------------------------------------------------------------

std::string StateOf(const HMMModel& model) {
  std::string state;
  ByteWriter out(state);
  model.Save(out);
  return state;
}

// The model of `state`, which it must use up.
std::unique_ptr<HMMModel> Restore(std::string_view state) {
  ByteReader in(state);
  auto model = std::make_unique<HMMModel>(in);
  in.ExpectEnd();
  return model;
}

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

double FromBits(std::uint64_t bits) {
  double value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}

// Little-endian bytes written by hand, independently of ByteWriter.
std::string Little(std::uint64_t value, size_t width) {
  std::string bytes;
  for (size_t i = 0; i < width; ++i) {
    bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return bytes;
}

struct Emission {
  std::uint32_t rune;
  double value;
};

// A model state from its parts; `emissions` lists the four states' pairs.
std::string ModelState(const double (&start)[4], const double (&trans)[4][4],
                       const std::vector<Emission> (&emissions)[4]) {
  std::string state;
  for (double v : start) {
    state += Little(Bits(v), 8);
  }
  for (const auto& row : trans) {
    for (double v : row) {
      state += Little(Bits(v), 8);
    }
  }
  for (const auto& list : emissions) {
    state += Little(list.size(), 8);
    for (const Emission& e : list) {
      state += Little(e.rune, 4) + Little(Bits(e.value), 8);
    }
  }
  return state;
}

void ExpectSameModel(const HMMModel& a, const HMMModel& b) {
  for (size_t y = 0; y < jieba::STATUS_SUM; ++y) {
    EXPECT_EQ(Bits(a.startLogProb[y]), Bits(b.startLogProb[y])) << y;
    for (size_t z = 0; z < jieba::STATUS_SUM; ++z) {
      EXPECT_EQ(Bits(a.transLogProb[y][z]), Bits(b.transLogProb[y][z])) << y << " " << z;
    }
    ASSERT_EQ(a.emitProbByState[y]->size(), b.emitProbByState[y]->size()) << y;
    for (const auto& [rune, value] : *a.emitProbByState[y]) {
      const auto it = b.emitProbByState[y]->find(rune);
      ASSERT_NE(it, b.emitProbByState[y]->end()) << rune;
      EXPECT_EQ(Bits(it->second), Bits(value)) << rune;
      for (size_t k = 0; k < jieba::STATUS_SUM; ++k) {
        EXPECT_EQ(Bits(a.EmitRow(rune)[k]), Bits(b.EmitRow(rune)[k])) << rune << " " << k;
      }
    }
  }
}

TEST(HMMModelStateTest, RoundTripsExactly) {
  ModelFiles files;
  HMMModel original(files.Write(kModel));
  const std::string state = StateOf(original);
  // 20 doubles, four counts and five (rune, value) pairs.
  EXPECT_EQ(state.size(), 20 * 8 + 4 * 8 + 5 * 12u);
  const auto restored = Restore(state);
  EXPECT_EQ(StateOf(*restored), state);
  ExpectSameModel(original, *restored);
  EXPECT_EQ(restored->emitProbByState[HMMModel::S], &restored->emitProbS);
  for (jieba::Rune absent : {jieba::Rune{'b'}, jieba::Rune{0x1F600}}) {
    for (size_t y = 0; y < jieba::STATUS_SUM; ++y) {
      EXPECT_EQ(restored->EmitRow(absent)[y], jieba::SCORE_FLOOR);
    }
  }
}

TEST(HMMModelStateTest, GoldenStateLoadsAndSavesTheSameBytes) {
  // Hand-written bytes: runes in ascending order, empty lists, runes beyond
  // the basic plane and beyond Unicode, and doubles no model file can give.
  const double nan_payload = FromBits(0x7FF0DEADBEEF0001);
  const double start[4] = {-1, -0.0, INFINITY, nan_payload};
  const double trans[4][4] = {{0.1, 0.2, 0.3, 0.4},
                              {1, 2, 3, 4},
                              {-INFINITY, 0, 0, 0},
                              {5e-324, 1e308, -1e-300, 42}};
  const std::vector<Emission> emissions[4] = {
      {{'a', -1.0}, {0x4E2D, -2.0}, {0x1F600, -3.0}},
      {},
      {{0, nan_payload}, {0xFFFF, -4.0}, {0x10000, -5.0}, {UINT32_MAX, -6.0}},
      {{0x4E2D, jieba::SCORE_FLOOR}},
  };
  const std::string state = ModelState(start, trans, emissions);
  const auto model = Restore(state);
  EXPECT_EQ(StateOf(*model), state);
  EXPECT_EQ(Bits(model->startLogProb[1]), Bits(-0.0));
  EXPECT_EQ(Bits(model->startLogProb[3]), Bits(nan_payload));
  EXPECT_EQ(model->transLogProb[3][0], 5e-324);
  EXPECT_TRUE(model->emitProbE.empty());
  const struct {
    jieba::Rune rune;
    double row[4];
  } rows[] = {
      {'a', {-1.0, jieba::SCORE_FLOOR, jieba::SCORE_FLOOR, jieba::SCORE_FLOOR}},
      {0x4E2D, {-2.0, jieba::SCORE_FLOOR, jieba::SCORE_FLOOR, jieba::SCORE_FLOOR}},
      {0x1F600, {-3.0, jieba::SCORE_FLOOR, jieba::SCORE_FLOOR, jieba::SCORE_FLOOR}},
      {0xFFFF, {jieba::SCORE_FLOOR, jieba::SCORE_FLOOR, -4.0, jieba::SCORE_FLOOR}},
      {0x10000, {jieba::SCORE_FLOOR, jieba::SCORE_FLOOR, -5.0, jieba::SCORE_FLOOR}},
      {UINT32_MAX, {jieba::SCORE_FLOOR, jieba::SCORE_FLOOR, -6.0, jieba::SCORE_FLOOR}},
      {'b', {jieba::SCORE_FLOOR, jieba::SCORE_FLOOR, jieba::SCORE_FLOOR, jieba::SCORE_FLOOR}},
  };
  for (const auto& r : rows) {
    for (size_t y = 0; y < jieba::STATUS_SUM; ++y) {
      EXPECT_EQ(model->EmitRow(r.rune)[y], r.row[y]) << r.rune << " state " << y;
    }
  }
  EXPECT_EQ(Bits(model->EmitRow(0)[HMMModel::M]), Bits(nan_payload));
  EXPECT_EQ(model->EmitRow(0x4E2D)[HMMModel::S], jieba::SCORE_FLOOR);
}

TEST(HMMModelStateTest, OneModelAlwaysGivesTheSameBytes) {
  // The same model written in two orders (and once with an overwritten
  // entry): the hash maps differ inside, the states do not.
  ModelFiles files;
  const std::string head = kModel.substr(0, kModel.find(kZhong + ":-5.5"));
  HMMModel first(files.Write(head + kZhong + ":-5.5," + kWen + ":-6.5,a:1,b:2,c:3\n" + kWen +
                             ":-7\na:-8\n" + kZhong + ":-9\n"));
  HMMModel second(files.Write(head + "c:3,b:2,a:0," + kWen + ":-6.5," + kZhong + ":-5.5,a:1\n" +
                              kWen + ":-7\na:-8\n" + kZhong + ":-9\n"));
  EXPECT_EQ(StateOf(first), StateOf(second));
}

TEST(HMMModelStateTest, RestoredModelDecodesLikeTheOriginal) {
  // A random model over 300 runes (some beyond the basic plane) and random
  // sentences of them: the cuts must be the same, word for word.
  std::mt19937 random(20240301);
  std::vector<std::string> chars;
  std::vector<std::string> lists(4);
  std::uniform_real_distribution<double> value(-20.0, -0.01);
  for (int i = 0; i < 300; ++i) {
    const jieba::Rune rune = i < 280 ? 0x4E00 + 7 * i : 0x20000 + i;
    std::string utf8;
    if (rune < 0x10000) {
      utf8 = {static_cast<char>(0xE0 | (rune >> 12)), static_cast<char>(0x80 | ((rune >> 6) & 0x3F)),
              static_cast<char>(0x80 | (rune & 0x3F))};
    } else {
      utf8 = {static_cast<char>(0xF0 | (rune >> 18)), static_cast<char>(0x80 | ((rune >> 12) & 0x3F)),
              static_cast<char>(0x80 | ((rune >> 6) & 0x3F)), static_cast<char>(0x80 | (rune & 0x3F))};
    }
    chars.push_back(utf8);
    for (std::string& list : lists) {
      if (random() % 3 != 0) {
        list += (list.empty() ? "" : ",") + utf8 + ":" + std::to_string(value(random));
      }
    }
  }
  std::string text;
  for (int line = 0; line < 5; ++line) {
    for (int k = 0; k < 4; ++k) {
      text += (k ? " " : "") + std::to_string(value(random));
    }
    text += "\n";
  }
  for (const std::string& list : lists) {
    text += list + "\n";
  }
  ModelFiles files;
  HMMModel original(files.Write(text));
  const auto restored = Restore(StateOf(original));
  ExpectSameModel(original, *restored);
  const jieba::HMMSegment cut_original(&original);
  const jieba::HMMSegment cut_restored(restored.get());
  for (int n = 0; n < 200; ++n) {
    std::string sentence;
    const size_t length = random() % 40;
    for (size_t i = 0; i < length; ++i) {
      sentence += random() % 10 == 0 ? std::string("x") : chars[random() % chars.size()];
    }
    std::vector<std::string> a;
    std::vector<std::string> b;
    cut_original.Cut(sentence, a);
    cut_restored.Cut(sentence, b);
    EXPECT_EQ(a, b) << sentence;
  }
}

TEST(HMMModelStateTest, EveryTruncatedStateIsAStateError) {
  ModelFiles files;
  HMMModel original(files.Write(kModel));
  const std::string state = StateOf(original);
  for (size_t size = 0; size < state.size(); ++size) {
    ByteReader in(std::string_view(state).substr(0, size));
    EXPECT_THROW(HMMModel model(in), StateError) << size;
  }
  // The model reads its own part only; the caller checks for the end.
  const std::string longer_state = state + "more";
  ByteReader longer(longer_state);
  HMMModel model(longer);
  EXPECT_EQ(longer.remaining(), 4u);
}

TEST(HMMModelStateTest, CorruptEmissionListsAreStateErrors) {
  const double start[4] = {0, 0, 0, 0};
  const double trans[4][4] = {};
  const std::string prefix = ModelState(start, trans, {{}, {}, {}, {}}).substr(0, 20 * 8);
  const struct {
    const char* name;
    std::string lists;  // the four emission lists
    const char* message;
  } cases[] = {
      {"runes descending",
       Little(2, 8) + Little('b', 4) + Little(0, 8) + Little('a', 4) + Little(0, 8) +
           std::string(24, '\0'),
       "corrupt state: HMM emissions of B: rune 97 after rune 98"},
      {"a rune twice",
       Little(0, 8) + Little(0, 8) + Little(0, 8) + Little(2, 8) + Little(7, 4) + Little(0, 8) +
           Little(7, 4) + Little(0, 8),
       "corrupt state: HMM emissions of S: rune 7 after rune 7"},
      {"a count beyond the bytes", Little(4, 8) + Little(1, 4) + Little(0, 8) + std::string(24, '\0'),
       "corrupt state: HMM emissions of B at offset 160 counts 4 elements of at least 12 bytes, "
       "more than the 36 bytes left can hold"},
      {"the largest count", Little(UINT64_MAX, 8),
       "corrupt state: HMM emissions of B at offset 160 counts 18446744073709551615 elements of "
       "at least 12 bytes, more than the 0 bytes left can hold"},
  };
  for (const auto& c : cases) {
    const std::string state = prefix + c.lists;
    ByteReader in(state);
    try {
      HMMModel model(in);
      ADD_FAILURE() << c.name;
    } catch (const StateError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.name;
    }
  }
}

}  // namespace
