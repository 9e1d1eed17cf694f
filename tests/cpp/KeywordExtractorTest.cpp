#include "tokenizer/jieba/KeywordExtractor.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "SegmentFixture.hpp"
#include "tokenizer/limonp/ByteStream.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace jieba = kelp::typing::text::jieba;
namespace limonp = kelp::typing::text::limonp;
using jieba::KeywordExtractor;
using jieba::WordTable;
using limonp::ByteReader;
using limonp::ByteWriter;
using limonp::StateError;
using namespace razoduviva_test;

namespace {

std::string StateOf(const KeywordExtractor& k) {
  std::string state;
  ByteWriter out(state);
  k.Save(out);
  return state;
}

std::string StateOf(const WordTable& table) {
  std::string state;
  ByteWriter out(state);
  table.Save(out);
  return state;
}

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

class KeywordExtractorTest : public SegmentFixture {
 protected:
  void SetUp() override { Load(kA + kB + " 3 n\n"); }

  std::unique_ptr<KeywordExtractor> Make(const std::string& idf, const std::string& stop = "") {
    return std::make_unique<KeywordExtractor>(dict_.get(), model_.get(),
                                              dir_.Write("idf.txt", idf),
                                              dir_.Write("stop.txt", stop));
  }

  std::unique_ptr<KeywordExtractor> Restore(std::string_view state) {
    ByteReader in(state);
    auto k = std::make_unique<KeywordExtractor>(dict_.get(), model_.get(), in);
    in.ExpectEnd();
    return k;
  }
};

TEST_F(KeywordExtractorTest, IdfTableAndAverage) {
  testing::internal::CaptureStderr();
  // Five lines: two accepted, one empty, two malformed; every line counts in
  // the divisor. The later value of a repeated word wins, and both add.
  const auto k = Make("w 2.0\n\nx  1\ny z 4\nw 3\r\n");
  const std::string err = testing::internal::GetCapturedStderr();
  ASSERT_NE(k->Idf("w"), nullptr);
  EXPECT_EQ(*k->Idf("w"), 3.0);
  EXPECT_EQ(k->Idf("x"), nullptr);
  EXPECT_EQ(k->Idf("y"), nullptr);
  EXPECT_EQ(k->IdfTable().size(), 1u);
  EXPECT_DOUBLE_EQ(k->AverageIdf(), 5.0 / 5);
  EXPECT_NE(err.find(" ERROR lineno: 1 empty. skipped.\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" ERROR line: x  1, lineno: 2 empty. skipped.\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" ERROR line: y z 4, lineno: 3 empty. skipped.\n"), std::string::npos)
      << err;
}

TEST_F(KeywordExtractorTest, IdfLineDetails) {
  testing::internal::CaptureStderr();
  // A trailing space still gives two fields; a non-numeric value reads as 0.
  const auto k = Make("a 1.5 \nb x\n" + kA + kB + " 7e-1");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(*k->Idf("a"), 1.5);
  EXPECT_EQ(*k->Idf("b"), 0.0);
  EXPECT_EQ(*k->Idf(kA + kB), 0.7);
  EXPECT_DOUBLE_EQ(k->AverageIdf(), (1.5 + 0.7) / 3);
}

TEST_F(KeywordExtractorTest, MiddleEmptyLineCountsInTheAverage) {
  testing::internal::CaptureStderr();
  const auto k = Make("a 1\n\nb 2\n");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(k->IdfTable().size(), 2u);
  EXPECT_DOUBLE_EQ(k->AverageIdf(), 1.0);
  EXPECT_NE(err.find("ERROR lineno: 1 empty. skipped.\n"), std::string::npos) << err;
}

TEST_F(KeywordExtractorTest, EmptyIdfFileGivesNotANumber) {
  testing::internal::CaptureStderr();
  const auto k = Make("");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(k->IdfTable().empty());
  EXPECT_TRUE(std::isnan(k->AverageIdf()));
}

TEST_F(KeywordExtractorTest, StopWordsAreTakenAsRead) {
  auto k = Make("a 1\n", "the\n" + kA + "\n");
  EXPECT_TRUE(k->IsStopWord("the"));
  EXPECT_TRUE(k->IsStopWord(kA));
  EXPECT_FALSE(k->IsStopWord(""));  // a final line feed adds no empty word
  EXPECT_EQ(k->StopWords().size(), 2u);

  k = Make("a 1\n", "a\n\nb\r\nb\na");
  EXPECT_TRUE(k->IsStopWord(""));
  EXPECT_TRUE(k->IsStopWord("b\r"));
  EXPECT_TRUE(k->IsStopWord("b"));
  EXPECT_FALSE(k->IsStopWord(" a"));
  EXPECT_EQ(k->StopWords().size(), 4u);
}

TEST_F(KeywordExtractorTest, UnopenableFilesAreFileErrors) {
  const std::string missing = dir_.Path("missing.txt");
  const std::string idf = dir_.Write("idf.txt", "a 1\n");
  const std::string stop = dir_.Write("stop.txt", "a\n");
  const struct {
    std::string idf;
    std::string stop;
    std::string path;
  } cases[] = {{missing, stop, missing}, {idf, missing, missing}, {missing, missing, missing}};
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    try {
      KeywordExtractor k(dict_.get(), model_.get(), c.idf, c.stop);
      ADD_FAILURE() << "loaded";
    } catch (const limonp::FileError& e) {
      EXPECT_EQ(e.path(), c.path);
      EXPECT_EQ(e.error_number(), ENOENT);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" FATAL exp: [ifs.is_open()] false. open " + c.path + " failed\n"),
              std::string::npos)
        << err;
  }
}

TEST(WordTableTest, LaterEntryWinsAndLookupsAreExact) {
  jieba::WordTable table;
  const std::vector<jieba::WordTable::Entry> entries = {
      {"b", 1}, {"a", 2}, {"ab", 3}, {"b", 4}, {"", 5}, {"a", 6}};
  table.Assign(entries, true);
  EXPECT_EQ(table.size(), 4u);
  EXPECT_EQ(*table.Find("a"), 6.0);
  EXPECT_EQ(*table.Find("b"), 4.0);
  EXPECT_EQ(*table.Find("ab"), 3.0);
  EXPECT_EQ(*table.Find(""), 5.0);
  EXPECT_EQ(table.Find("c"), nullptr);
  EXPECT_EQ(table.Find("ba"), nullptr);
  EXPECT_EQ(table.Word(0), "");
  EXPECT_EQ(table.Word(3), "b");
  table.Assign({}, false);
  EXPECT_FALSE(table.Contains(""));
}

TEST_F(KeywordExtractorTest, StateRoundTripsExactly) {
  testing::internal::CaptureStderr();
  const auto original = Make("w 2.0\n\nx 1e-300\n" + kA + kB + " -0\nz 0.1\n", "the\n\nb\r\n" + kA);
  testing::internal::GetCapturedStderr();
  const std::string state = StateOf(*original);
  const auto restored = Restore(state);
  EXPECT_EQ(StateOf(*restored), state);
  EXPECT_EQ(Bits(restored->AverageIdf()), Bits(original->AverageIdf()));
  ASSERT_EQ(restored->IdfTable().size(), original->IdfTable().size());
  for (size_t i = 0; i < original->IdfTable().size(); ++i) {
    const std::string_view word = original->IdfTable().Word(i);
    ASSERT_NE(restored->Idf(word), nullptr) << word;
    EXPECT_EQ(Bits(*restored->Idf(word)), Bits(*original->Idf(word))) << word;
  }
  EXPECT_EQ(restored->Idf("absent"), nullptr);
  for (const char* word : {"the", "", "b\r", "b", "absent"}) {
    EXPECT_EQ(restored->IsStopWord(word), original->IsStopWord(word)) << word;
  }
  EXPECT_TRUE(restored->IsStopWord(kA));
  EXPECT_EQ(restored->StopWords().size(), 4u);
}

TEST_F(KeywordExtractorTest, StateKeepsANotANumberAverage) {
  const auto empty = Make("");
  ASSERT_TRUE(std::isnan(empty->AverageIdf()));
  const std::string state = StateOf(*empty);
  const auto restored = Restore(state);
  EXPECT_EQ(Bits(restored->AverageIdf()), Bits(empty->AverageIdf()));
  EXPECT_TRUE(restored->IdfTable().empty());
  EXPECT_TRUE(restored->StopWords().empty());
  EXPECT_EQ(StateOf(*restored), state);
}

TEST_F(KeywordExtractorTest, EveryTruncatedStateIsAStateError) {
  const auto original = Make("a 1\nbc 2\n", "x\ny\n");
  const std::string state = StateOf(*original);
  for (size_t size = 0; size < state.size(); ++size) {
    EXPECT_THROW(Restore(std::string_view(state).substr(0, size)), StateError) << size;
  }
  EXPECT_THROW(Restore(state + "!"), StateError);
}

TEST_F(KeywordExtractorTest, StateTablesMustHaveTheirKind) {
  WordTable with_values;
  with_values.Assign({{"a", 1.0}}, true);
  WordTable without_values;
  without_values.Assign({{"a", 1.0}}, false);
  const struct {
    const WordTable* idf;
    const WordTable* stop;
    const char* message;
  } cases[] = {
      {&without_values, &without_values, "corrupt state: idf table without values"},
      {&with_values, &with_values, "corrupt state: stop words with values"},
  };
  for (const auto& c : cases) {
    std::string state;
    ByteWriter out(state);
    c.idf->Save(out);
    out.WriteF64(1.0);
    c.stop->Save(out);
    try {
      Restore(state);
      ADD_FAILURE() << c.message;
    } catch (const StateError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(WordTableTest, GoldenState) {
  WordTable table;
  table.Assign({{"bc", 2.0}, {"a", 1.0}}, true);
  const std::string expected = std::string("\x03\0\0\0\0\0\0\0abc", 11) +  // the words
                               std::string("\x02\0\0\0\0\0\0\0", 8) +        // two ends
                               std::string("\x01\0\0\0\x03\0\0\0", 8) +      //
                               std::string("\x02\0\0\0\0\0\0\0", 8) +        // two values
                               std::string("\0\0\0\0\0\0\xF0\x3F", 8) +      // 1.0
                               std::string("\0\0\0\0\0\0\0\x40", 8);         // 2.0
  EXPECT_EQ(StateOf(table), expected);
}

TEST(WordTableTest, StateRoundTrips) {
  const std::vector<WordTable::Entry> entries = {
      {"b", 1}, {"a", 2}, {"ab", 3}, {"", 5}, {std::string_view("\0\xFF", 2), -0.0}, {"\xFF", 7}};
  for (bool keep_values : {true, false}) {
    for (size_t n : {size_t{0}, size_t{1}, entries.size()}) {
      WordTable table;
      table.Assign(std::vector<WordTable::Entry>(entries.begin(), entries.begin() + n),
                   keep_values);
      const std::string state = StateOf(table);
      WordTable restored;
      restored.Assign({{"old", 1}}, true);
      ByteReader in(state);
      restored.Load(in);
      in.ExpectEnd();
      EXPECT_EQ(StateOf(restored), state) << keep_values << " " << n;
      ASSERT_EQ(restored.size(), table.size());
      EXPECT_EQ(restored.HasValues(), table.HasValues());
      for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(restored.Word(i), table.Word(i));
        EXPECT_TRUE(restored.Contains(table.Word(i)));
        if (keep_values) {
          EXPECT_EQ(Bits(*restored.Find(table.Word(i))), Bits(*table.Find(table.Word(i))));
        } else {
          EXPECT_EQ(restored.Find(table.Word(i)), nullptr);
        }
      }
      EXPECT_FALSE(restored.Contains("old"));
    }
  }
}

// A word table state from its parts, right or wrong.
std::string TableState(const std::string& keys, const std::vector<uint32_t>& ends,
                       const std::vector<double>& values, uint64_t end_count = UINT64_MAX) {
  std::string state;
  ByteWriter out(state);
  out.WriteBytes(keys);
  out.WriteU64(end_count == UINT64_MAX ? ends.size() : end_count);
  for (uint32_t end : ends) {
    out.WriteU32(end);
  }
  out.WriteU64(values.size());
  for (double value : values) {
    out.WriteF64(value);
  }
  return state;
}

TEST(WordTableTest, CorruptStatesAreStateErrorsAndChangeNothing) {
  const struct {
    const char* name;
    std::string state;
    const char* message;
  } cases[] = {
      {"an end before the previous", TableState("abc", {2, 1, 3}, {}),
       "corrupt state: idf word 1 ends at 1, outside 2..3"},
      {"an end past the words", TableState("abc", {1, 4}, {}),
       "corrupt state: idf word 1 ends at 4, outside 1..3"},
      {"words out of order", TableState("ba", {1, 2}, {}),
       "corrupt state: idf word 1 does not follow the one before it in byte order"},
      {"a word twice", TableState("aa", {1, 2}, {}),
       "corrupt state: idf word 1 does not follow the one before it in byte order"},
      {"the empty word twice", TableState("", {0, 0}, {}),
       "corrupt state: idf word 1 does not follow the one before it in byte order"},
      {"bytes after the last word", TableState("abc", {1, 2}, {}),
       "corrupt state: idf has 3 bytes of words, but its words end at 2"},
      {"words but no ends", TableState("abc", {}, {}),
       "corrupt state: idf has 3 bytes of words, but its words end at 0"},
      {"too few values", TableState("ab", {1, 2}, {1.0}),
       "corrupt state: idf has 1 values for 2 words"},
      {"too many values", TableState("ab", {1, 2}, {1.0, 2.0, 3.0}),
       "corrupt state: idf has 3 values for 2 words"},
      {"values without words", TableState("", {}, {1.0}),
       "corrupt state: idf has 1 values for 0 words"},
      {"a count beyond the bytes", TableState("ab", {1, 2}, {}, 1000),
       "corrupt state: idf word ends at offset 10 counts 1000 elements of at least 4 bytes, "
       "more than the 16 bytes left can hold"},
      {"the largest count", TableState("ab", {1, 2}, {}, UINT64_MAX - 1),
       "corrupt state: idf word ends at offset 10 counts 18446744073709551614 elements of at "
       "least 4 bytes, more than the 16 bytes left can hold"},
  };
  WordTable table;
  table.Assign({{"keep", 1.0}, {"me", 2.0}}, true);
  const std::string before = StateOf(table);
  for (const auto& c : cases) {
    ByteReader in(c.state);
    try {
      table.Load(in, "idf");
      ADD_FAILURE() << c.name;
    } catch (const StateError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.name;
    }
    EXPECT_EQ(StateOf(table), before) << c.name;
  }
}

TEST(WordTableTest, EveryTruncatedStateIsAStateErrorAndChangesNothing) {
  WordTable source;
  source.Assign({{"one", 1.0}, {"two", 2.0}, {"three", 3.0}}, true);
  const std::string state = StateOf(source);
  WordTable table;
  table.Assign({{"keep", 1.0}}, false);
  const std::string before = StateOf(table);
  for (size_t size = 0; size < state.size(); ++size) {
    ByteReader in(std::string_view(state).substr(0, size));
    EXPECT_THROW(table.Load(in), StateError) << size;
    EXPECT_EQ(StateOf(table), before) << size;
  }
}

}  // namespace
