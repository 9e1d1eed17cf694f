#include "bm25/BM25.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "json/JSON.hpp"
#include "tokenizer/limonp/Errors.hpp"

namespace {

using kelp::typing::text::BM25;
using kelp::typing::text::TokenCounts;
using kelp::typing::text::limonp::StateError;
using Strings = std::vector<std::string>;
using Ids = std::vector<std::int64_t>;

const char* const EXAMPLE_FILE =
    "{\n"
    "  \"_b\" : 0.750000,\n"
    "  \"_doc_count\" : 2,\n"
    "  \"_doc_length_average\" : 2.500000,\n"
    "  \"_doc_token_frequency\" : {\n"
    "    \"a\" : 2,\n"
    "    \"b\" : 2,\n"
    "    \"c\" : 1\n"
    "  },\n"
    "  \"_k1\" : 1.200000\n"
    "}";

BM25 Example() {
  BM25 model(0.75, 1.2);
  model.train(Strings{"a", "b", "a"});
  model.train(Strings{"b", "c"});
  return model;
}

std::int64_t CountOf(const BM25& model, std::string_view token) {
  const std::int64_t* count = model.doc_token_frequency().Find(token);
  return count != nullptr ? *count : -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A scratch folder removed at the end of the test.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/bm25test.XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(BM25TrainTest, ParametersMustBeFinite) {
  // NaN or infinity would be written to the model file as text that no
  // load reads back.
  for (double bad : {NAN, INFINITY, -INFINITY}) {
    EXPECT_THROW(BM25(bad, 1.2), std::invalid_argument);
    EXPECT_THROW(BM25(0.75, bad), std::invalid_argument);
  }
  const BM25 odd(-3.0, 1e300);  // finite, however odd: accepted
  EXPECT_EQ(odd.b(), -3.0);
}

TEST(BM25TrainTest, WorkedExample) {
  const BM25 model = Example();
  EXPECT_EQ(CountOf(model, "a"), 2);
  EXPECT_EQ(CountOf(model, "b"), 2);
  EXPECT_EQ(CountOf(model, "c"), 1);
  EXPECT_EQ(model.doc_token_frequency().size(), 3u);
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_EQ(model.doc_total_length(), 5);
  EXPECT_EQ(model.doc_length_average(), 2.5);
}

TEST(BM25TrainTest, EmptyDocuments) {
  BM25 model;
  try {
    model.train(Strings{});
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "trainning tokens_vec should not be empty");
  }
  EXPECT_THROW(model.train(Ids{}), std::runtime_error);
  EXPECT_THROW(model.train(std::vector<Ids>{}), std::runtime_error);
  model.train(std::vector<Ids>{{}, {1, 2}, {}});
  EXPECT_EQ(model.doc_count(), 1);
  EXPECT_EQ(model.doc_total_length(), 2);
}

TEST(BM25TrainTest, IdsShareTheKeySpaceOfTheirDecimalText) {
  BM25 model;
  model.train(Ids{7, 7, -12, 0, INT64_MIN, INT64_MAX});
  EXPECT_EQ(CountOf(model, "7"), 2);
  EXPECT_EQ(CountOf(model, "-12"), 1);
  EXPECT_EQ(CountOf(model, "0"), 1);
  EXPECT_EQ(CountOf(model, "-9223372036854775808"), 1);
  EXPECT_EQ(CountOf(model, "9223372036854775807"), 1);
  model.train(Strings{"7"});
  EXPECT_EQ(CountOf(model, "7"), 3);
  EXPECT_DOUBLE_EQ(model.idf("7"), std::log(3.0 / 3.5));
}

TEST(BM25TrainTest, CountsAreSixtyFourBit) {
  BM25 model;
  model.load(
      "{\"_b\": 0.75, \"_doc_count\": 2147483647, \"_doc_length_average\": 1.0,"
      " \"_doc_token_frequency\": {\"a\": 4294967296}, \"_k1\": 1.2}");
  model.train(Strings{"a"});
  EXPECT_EQ(model.doc_count(), 2147483648);
  EXPECT_EQ(CountOf(model, "a"), 4294967297);
}

TEST(BM25TrainTest, CountsStopAtTheLargestValueInsteadOfWrapping) {
  // A loaded file may start any count at INT64_MAX; training on must not
  // overflow (wrap to negative counts, or worse).
  BM25 model;
  model.load(
      "{\"_b\": 0.75, \"_doc_count\": 9223372036854775807, \"_doc_length_average\": 2.5,"
      " \"_doc_token_frequency\": {\"a\": 9223372036854775807,"
      " \"9\": 9223372036854775806}, \"_k1\": 1.2}");
  model.train(Strings{"a", "a", "b"});
  model.train(Ids{9, 9, 9});
  EXPECT_EQ(CountOf(model, "a"), INT64_MAX);
  EXPECT_EQ(CountOf(model, "b"), 1);
  EXPECT_EQ(CountOf(model, "9"), INT64_MAX);
  EXPECT_EQ(model.doc_count(), INT64_MAX);
  // The file implies 2.5 * INT64_MAX tokens in all: the total starts, and
  // stays, at the limit too.
  EXPECT_EQ(model.doc_total_length(), INT64_MAX);
  EXPECT_GT(model.idf("b"), 40.0);  // ln((2^63) / 1.5)
}

TEST(BM25EncodeTest, WorkedExampleDocument) {
  const BM25 model = Example();
  const BM25::SparseVector v = model.encode_document(Strings{"a", "a", "c"});
  ASSERT_EQ(v.size(), 2u);
  EXPECT_NEAR(v.at("a"), 2 / 3.38, 1e-12);
  EXPECT_NEAR(v.at("c"), 1 / 2.38, 1e-12);
  EXPECT_NEAR(v.at("a"), 0.591716, 5e-7);
  EXPECT_NEAR(v.at("c"), 0.420168, 5e-7);
}

TEST(BM25EncodeTest, WorkedExampleQuery) {
  const BM25 model = Example();
  const BM25::SparseVector v = model.encode_query(Strings{"a", "d", "a"});
  ASSERT_EQ(v.size(), 2u);
  EXPECT_NEAR(model.idf("a"), 0.182322, 5e-7);
  EXPECT_NEAR(model.idf("d"), 0.693147, 5e-7);
  EXPECT_NEAR(v.at("a"), 0.208256, 5e-7);
  EXPECT_NEAR(v.at("d"), 0.791744, 5e-7);
  EXPECT_NEAR(v.at("a") + v.at("d"), 1.0, 1e-15);
}

TEST(BM25EncodeTest, NegativeIdfFlipsNothingButTheSum) {
  BM25 model;
  model.train(Strings{"x", "x", "x"});
  EXPECT_DOUBLE_EQ(model.idf("x"), std::log(2 / 3.5));
  EXPECT_EQ(model.encode_query(Strings{"x"}).at("x"), 1.0);
  const BM25::SparseVector v = model.encode_query(Strings{"x", "y"});
  EXPECT_NEAR(v.at("x"), 2.057912, 5e-7);
  EXPECT_NEAR(v.at("y"), -1.057912, 5e-7);
}

TEST(BM25EncodeTest, ReadinessAndEmptyInput) {
  const BM25 model;
  EXPECT_TRUE(model.encode_document(Strings{}).empty());
  EXPECT_TRUE(model.encode_query(Ids{}).empty());
  for (auto call : {+[](const BM25& m) { m.encode_document(Strings{"a"}); },
                    +[](const BM25& m) { m.encode_document(Ids{1}); },
                    +[](const BM25& m) { m.encode_query(Strings{"a"}); },
                    +[](const BM25& m) { m.encode_query(Ids{1}); }}) {
    try {
      call(model);
      FAIL();
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "BM25 has not been initialized");
    }
  }
}

TEST(BM25EncodeTest, KeysAscendAndUnseenTokensAreWeighted) {
  const BM25 model = Example();
  const BM25::SparseVector v = model.encode_document(Strings{"zz", "b", "\xe4\xb8\xad", "b", "A"});
  std::vector<std::string> keys;
  for (const auto& [key, weight] : v) {
    keys.push_back(key);
    EXPECT_GT(weight, 0.0);
    EXPECT_LT(weight, 1.0);
  }
  EXPECT_EQ(keys, (Strings{"A", "b", "zz", "\xe4\xb8\xad"}));  // bytes compare unsigned
  const BM25::IdSparseVector ids = model.encode_document(Ids{10, -3, 10});
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids.begin()->first, -3);
  // Same length and counts give the same weights, whatever the tokens are.
  EXPECT_EQ(ids.at(10), model.encode_document(Strings{"p", "q", "p"}).at("p"));
}

TEST(BM25EncodeTest, IndexedWeightsPointAtFirstOccurrences) {
  const BM25 model = Example();
  const std::string_view tokens[] = {"c", "a", "c", "b", "a"};
  std::vector<BM25::IndexedWeight> out;
  model.encode_query(tokens, 5, out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].index, 1u);
  EXPECT_EQ(out[1].index, 3u);
  EXPECT_EQ(out[2].index, 0u);
  const std::int64_t ids[] = {5, 2, 5, 2, 9};
  model.encode_document(ids, 5, out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].index, 1u);
  EXPECT_EQ(out[1].index, 0u);
  EXPECT_EQ(out[2].index, 4u);
}

// Against a direct transcription of the formulas over std::map.
TEST(BM25EncodeTest, RandomisedAgainstTheFormulas) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> word(0, 40);
  std::uniform_int_distribution<int> length(1, 30);
  BM25 model(0.6, 1.7);
  std::map<std::string, std::int64_t> counts;
  std::int64_t docs = 0;
  std::int64_t total = 0;
  auto make = [&] {
    Strings doc(static_cast<std::size_t>(length(random)));
    for (std::string& token : doc) {
      token = "w" + std::to_string(word(random) * word(random));
    }
    return doc;
  };
  for (int i = 0; i < 200; ++i) {
    const Strings doc = make();
    model.train(doc);
    for (const std::string& token : doc) {
      ++counts[token];
    }
    ++docs;
    total += static_cast<std::int64_t>(doc.size());
  }
  const double average = static_cast<double>(total) / static_cast<double>(docs);
  EXPECT_EQ(model.doc_length_average(), average);
  for (int i = 0; i < 100; ++i) {
    const Strings doc = make();
    std::map<std::string, int> tf;
    for (const std::string& token : doc) {
      ++tf[token];
    }
    const double K = ((static_cast<double>(doc.size()) / average) * 0.6 + (1 - 0.6)) * 1.7;
    const BM25::SparseVector got = model.encode_document(doc);
    ASSERT_EQ(got.size(), tf.size());
    for (const auto& [token, c] : tf) {
      EXPECT_DOUBLE_EQ(got.at(token), c / (K + c));
    }
    std::map<std::string, double> idf;
    double sum = 0.0;
    for (const auto& [token, c] : tf) {
      auto it = counts.find(token);
      const double n = it == counts.end() ? 1.0 : static_cast<double>(it->second);
      idf[token] = std::log(static_cast<double>(docs + 1) / (n + 0.5));
    }
    for (const auto& [token, w] : idf) {
      sum += w;
    }
    const BM25::SparseVector query = model.encode_query(doc);
    for (const auto& [token, w] : idf) {
      EXPECT_DOUBLE_EQ(query.at(token), w / sum);
    }
  }
}

TEST(TokenCountsTest, ManyKeysIncludingEmptyAndBinary) {
  TokenCounts counts;
  std::map<std::string, std::int64_t> expected;
  for (int i = 0; i < 20000; ++i) {
    std::string key = std::to_string(i * 7919 % 5003);
    if (i % 3 == 0) key += std::string("\0\xff", 2);
    if (i % 11 == 0) key = std::string(static_cast<std::size_t>(i % 40), 'k');
    counts[key] += i;
    expected[key] += i;
  }
  ASSERT_EQ(counts.size(), expected.size());
  for (const auto& [key, value] : expected) {
    const std::int64_t* found = counts.Find(key);
    ASSERT_NE(found, nullptr) << key;
    EXPECT_EQ(*found, value);
  }
  EXPECT_EQ(counts.Find("absent"), nullptr);
  std::size_t visited = 0;
  counts.ForEach([&](std::string_view key, std::int64_t count) {
    ++visited;
    EXPECT_EQ(expected.at(std::string(key)), count);
  });
  EXPECT_EQ(visited, expected.size());
  TokenCounts copy = counts;
  copy["new"] = 1;
  copy[std::string(39, 'k')] += 5;
  EXPECT_EQ(counts.Find("new"), nullptr);
  EXPECT_EQ(*copy.Find(std::string(39, 'k')), expected.at(std::string(39, 'k')) + 5);
  EXPECT_EQ(*counts.Find(std::string(39, 'k')), expected.at(std::string(39, 'k')));
}

TEST(TokenCountsTest, KeysAroundTheInlineLength) {
  TokenCounts counts;
  for (std::size_t length = 0; length < 40; ++length) {
    counts[std::string(length, 'x')] = static_cast<std::int64_t>(length);
    counts[std::string(length, 'y')] = -static_cast<std::int64_t>(length);
  }
  for (std::size_t length = 0; length < 40; ++length) {
    EXPECT_EQ(*counts.Find(std::string(length, 'x')), static_cast<std::int64_t>(length));
    EXPECT_EQ(*counts.Find(std::string(length, 'y')), -static_cast<std::int64_t>(length));
  }
  EXPECT_EQ(counts.Find(std::string(40, 'x')), nullptr);
}

TEST(BM25FileTest, GoldenTextOfTheExample) {
  EXPECT_EQ(Example().to_json(), EXAMPLE_FILE);
  TempDir dir;
  Example().dump(dir / "model.json");
  EXPECT_EQ(ReadFile(dir / "model.json"), EXAMPLE_FILE);
}

TEST(BM25FileTest, TokensAreWrittenInByteOrderWhateverTheirLength) {
  // Around the 8- and 16-byte prefixes that the sorting compares inline.
  Strings tokens = {"", "a", std::string("a\0", 2), std::string("a\0\0", 3), "abcdefgh",
                    std::string("abcdefgh\0", 9), "abcdefghijklmnop", "abcdefghijklmnopq",
                    "abcdefghijklmnopa", "abcdefghijklmnopqrstuvwxyz", "abcdefghijklmnopqrstuvwxy",
                    "\xff", "\x80" "abc", "abcdefgi", "abcdefgh\xff", "b"};
  BM25 model;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    model.train(Strings(i + 1, tokens[i]));
  }
  std::map<std::string, std::size_t> expected;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    expected[tokens[i]] = i + 1;
  }
  std::string members;
  for (const auto& [token, count] : expected) {
    members += members.empty() ? "" : ",\n";
    members += "    \"" + kelp::typing::text::json::json_escape(token) + "\" : " + std::to_string(count);
  }
  const std::string text = model.to_json();
  EXPECT_NE(text.find("{\n" + members + "\n  }"), std::string::npos) << text;
}

TEST(BM25FileTest, UntrainedModel) {
  const std::string text = BM25().to_json();
  EXPECT_EQ(text,
            "{\n  \"_b\" : 0.750000,\n  \"_doc_count\" : 0,\n"
            "  \"_doc_length_average\" : 0.000000,\n  \"_doc_token_frequency\" : {\n\n  },\n"
            "  \"_k1\" : 1.200000\n}");
  BM25 loaded;
  loaded.load(text);
  EXPECT_THROW(loaded.encode_document(Strings{"a"}), std::runtime_error);
}

TEST(BM25FileTest, LoadReproducesTheExample) {
  BM25 model(0.1, 0.2);
  model.load(std::string(EXAMPLE_FILE) + " trailing text [");
  EXPECT_EQ(model.b(), 0.75);
  EXPECT_EQ(model.k1(), 1.2);
  EXPECT_EQ(model.doc_count(), 2);
  EXPECT_EQ(model.doc_length_average(), 2.5);
  EXPECT_EQ(model.doc_total_length(), 5);  // not in the file: 2.5 * 2
  EXPECT_EQ(model.to_json(), EXAMPLE_FILE);
}

TEST(BM25FileTest, LoadMergesIntoTheCurrentCounts) {
  BM25 model;
  model.train(Strings{"a", "z", "z"});
  model.load(EXAMPLE_FILE);
  EXPECT_EQ(CountOf(model, "a"), 2);
  EXPECT_EQ(CountOf(model, "z"), 2);
  // The file's two documents of 2.5 tokens replace the one trained before.
  EXPECT_EQ(model.doc_total_length(), 5);
  model.train(Strings{"q"});
  EXPECT_EQ(model.doc_count(), 3);
  EXPECT_EQ(model.doc_length_average(), 6.0 / 3.0);
}

TEST(BM25FileTest, FailedLoadLeavesTheModelAsItWas) {
  const std::string good = EXAMPLE_FILE;
  auto replace = [&good](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    std::string text;
    std::string message;
  } const cases[] = {
      {"", "json data should not be empty"},
      {replace("\"b\" : 2", "\"b\" : 2.0"), "load doc_token_frequency failed"},
      {replace("\"_doc_count\" : 2", "\"_doc_count\" : 2.0"), "load doc_count failed"},
      {replace("\"_doc_count\"", "\"_doc_kount\""), "load doc_count failed"},
      {replace("2.500000", "2"), "load doc_length_average failed"},
      {replace("\"_b\" : 0.750000", "\"_b\" : 1"), "load b failed"},
      {replace("1.200000", "true"), "load k1 failed"},
      {"[1, 2]", "load doc_count failed"},
      {"not json", "load doc_count failed"},
  };
  for (const Case& c : cases) {
    BM25 model(0.5, 0.9);
    model.train(Strings{"a", "x"});
    const std::string before = model.to_json();
    testing::internal::CaptureStderr();
    try {
      model.load(c.text);
      ADD_FAILURE() << "no error for " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.message) << c.text;
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(model.to_json(), before) << c.text;
    EXPECT_EQ(model.doc_total_length(), 2);
  }
  BM25 model;
  model.train(Strings{"a"});
  const std::string before = model.to_json();
  EXPECT_THROW(model.load("{\"_doc_count\": -}"), std::invalid_argument);
  EXPECT_THROW(model.load("{\"_doc_count\": 99999999999999999999}"), std::out_of_range);
  EXPECT_EQ(model.to_json(), before);
}

TEST(BM25FileTest, LoadWithoutTokenCountsKeepsThem) {
  BM25 model;
  model.train(Strings{"a"});
  model.load("{\"_b\": 0.5, \"_doc_count\": 4, \"_doc_length_average\": 3.0, \"_k1\": 1.0}");
  EXPECT_EQ(CountOf(model, "a"), 1);
  EXPECT_EQ(model.doc_count(), 4);
}

TEST(BM25FileTest, AnyTokenSurvivesDumpAndLoad) {
  BM25 model;
  Strings tokens = {"plain", "q\"uote", "back\\slash", "line\nfeed", "tab\t", "\x01\x1f\x7f",
                    std::string("nul\0byte", 8), "\xff\xfe not utf-8", "\\u0041", "", "\xe4\xb8\xad\xe6\x96\x87"};
  model.train(tokens);
  model.train(Ids{-5, 5});
  TempDir dir;
  model.dump(dir / "m.json");
  BM25 loaded;
  testing::internal::CaptureStderr();
  loaded.load(ReadFile(dir / "m.json"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_EQ(loaded.doc_token_frequency().size(), tokens.size() + 2);
  for (const std::string& token : tokens) {
    EXPECT_EQ(CountOf(loaded, token), 1) << token;
  }
  EXPECT_EQ(loaded.to_json(), model.to_json());
}

TEST(BM25FileTest, PrecisionOfSixDecimals) {
  BM25 model;
  model.load("{\"_b\": 0.75, \"_doc_count\": 3, \"_doc_length_average\": 2.3333333333,"
             " \"_k1\": 1.2}");
  EXPECT_NE(model.to_json().find("\"_doc_length_average\" : 2.333333,"), std::string::npos);
  model.load("{\"_b\": 0.75, \"_doc_count\": 3, \"_doc_length_average\": 0.0000004, \"_k1\": 1.2}");
  BM25 reloaded;
  reloaded.load(model.to_json());
  EXPECT_EQ(reloaded.doc_length_average(), 0.0);
  EXPECT_THROW(reloaded.encode_query(Strings{"a"}), std::runtime_error);
}

TEST(BM25FileTest, UnicodeEscapesFromOtherWriters) {
  // What Python's json.dump writes for non-ASCII tokens by default.
  BM25 model;
  model.load(
      "{\"_b\": 0.75, \"_doc_count\": 1, \"_doc_length_average\": 2.0, \"_k1\": 1.2,"
      " \"_doc_token_frequency\": {\"\\u4e2d\\u6587\": 1, \"\\ud83d\\ude00\": 3}}");
  EXPECT_EQ(CountOf(model, "\xe4\xb8\xad\xe6\x96\x87"), 1);
  EXPECT_EQ(CountOf(model, "\xf0\x9f\x98\x80"), 3);
}

TEST(BM25FileTest, DumpFailures) {
  TempDir dir;
  struct Case {
    std::string path;
    std::string message;
  } const cases[] = {
      {dir / "missing/model.json", "Failed to dump: Unable to open file"},
      {dir.path(), "Failed to dump: Unable to open file"},
      {"/dev/full", "Failed to dump: Unable to write file: No space left on device"},
  };
  for (const Case& c : cases) {
    try {
      Example().dump(c.path);
      ADD_FAILURE() << c.path;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.message) << c.path;
    }
  }
  // The system would cut the path at the NUL byte and write "model.json".
  const std::string cut = dir / "model.json";
  try {
    Example().dump(cut + std::string("\0.bak", 5));
    ADD_FAILURE() << "no error for a NUL byte";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Failed to dump: embedded null byte in path");
  }
  EXPECT_NE(::access(cut.c_str(), F_OK), 0);
}

TEST(BM25FileTest, DumpReplacesWholeFilesAndKeepsTheirMode) {
  TempDir dir;
  const std::string path = dir / "model.json";
  {
    std::ofstream old(path);
    old << "an older, longer file that must not leave a tail behind............";
  }
  ::chmod(path.c_str(), 0640);
  Example().dump(path);
  EXPECT_EQ(ReadFile(path), EXAMPLE_FILE);
  struct stat status;
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  // Through a symbolic link: the link stays, its target gets the text.
  const std::string link = dir / "link.json";
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  BM25().dump(link);
  struct stat link_status;
  ASSERT_EQ(::lstat(link.c_str(), &link_status), 0);
  EXPECT_TRUE(S_ISLNK(link_status.st_mode));
  EXPECT_EQ(ReadFile(path), BM25().to_json());
  // No temporary files left behind.
  EXPECT_EQ(std::system(("test $(ls -A '" + dir.path() + "' | wc -l) -eq 2").c_str()), 0);
}

TEST(TokenCountsTest, ForEachSortedVisitsInByteOrder) {
  // Keys that share 8 or 16 leading bytes, differ in a byte above 0x7F, or
  // end where another goes on: the prefix comparison must still order them
  // as their bytes do.
  const std::vector<std::string> keys = {
      "", std::string(1, '\0'), "a", std::string("a\0", 2), "abcdefgh", "abcdefghA",
      "abcdefghijklmnop", "abcdefghijklmnopq", "abcdefghijklmnoq", std::string("\x7F", 1),
      std::string("\x80", 1), std::string(20, '\xFF'), std::string(16, '\xFF')};
  TokenCounts counts;
  for (std::size_t i = keys.size(); i-- > 0;) {
    counts[keys[i]] = static_cast<std::int64_t>(i);
  }
  std::vector<std::string> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> visited;
  counts.ForEachSorted([&](std::string_view key, std::int64_t count) {
    visited.emplace_back(key);
    EXPECT_EQ(keys[static_cast<std::size_t>(count)], key);
  });
  EXPECT_EQ(visited, sorted);
}

// --- The binary state -------------------------------------------------

// Little-endian bytes written by hand, independently of limonp::ByteWriter.
std::string Little(std::uint64_t value, std::size_t width = 8) {
  std::string bytes;
  for (std::size_t i = 0; i < width; ++i) {
    bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return bytes;
}

std::uint64_t Bits(double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// The parts of a state, right or wrong; the defaults are Example()'s.
struct StateParts {
  std::string mark = std::string("razoduviva.BM25\0", 16);
  std::uint32_t format = 1;
  double b = 0.75;
  double k1 = 1.2;
  std::int64_t docs = 2;
  std::int64_t total = 5;
  double average = 2.5;
  std::vector<std::pair<std::string, std::int64_t>> tokens = {{"a", 2}, {"b", 2}, {"c", 1}};
  std::uint64_t declared = UINT64_MAX;  // the token count written; the real one if UINT64_MAX
  std::string tail;                     // bytes after the end

  std::string Bytes() const {
    std::string state = mark + Little(format, 4) + Little(Bits(b)) + Little(Bits(k1)) +
                        Little(static_cast<std::uint64_t>(docs)) +
                        Little(static_cast<std::uint64_t>(total)) + Little(Bits(average)) +
                        Little(declared == UINT64_MAX ? tokens.size() : declared);
    for (const auto& [token, count] : tokens) {
      state += Little(token.size()) + token + Little(static_cast<std::uint64_t>(count));
    }
    return state + tail;
  }
};

// The StateError message of deserializing `state`, or "" with a failure.
std::string StateErrorOf(const std::string& state) {
  try {
    BM25::deserialize(state);
  } catch (const StateError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no StateError";
  return "";
}

void ExpectSameModel(const BM25& a, const BM25& b) {
  EXPECT_EQ(Bits(a.b()), Bits(b.b()));
  EXPECT_EQ(Bits(a.k1()), Bits(b.k1()));
  EXPECT_EQ(a.doc_count(), b.doc_count());
  EXPECT_EQ(a.doc_total_length(), b.doc_total_length());
  EXPECT_EQ(Bits(a.doc_length_average()), Bits(b.doc_length_average()));
  ASSERT_EQ(a.doc_token_frequency().size(), b.doc_token_frequency().size());
  a.doc_token_frequency().ForEach([&b](std::string_view token, std::int64_t count) {
    EXPECT_EQ(CountOf(b, token), count) << token;
  });
}

// Trains `model` on random documents with tokens of every length around
// the inline limit, binary bytes and the empty token among them.
void TrainRandom(BM25& model, unsigned seed, int documents) {
  std::mt19937 random(seed);
  for (int d = 0; d < documents; ++d) {
    Strings doc(1 + random() % 30);
    for (std::string& token : doc) {
      const unsigned kind = random() % 4;
      token = kind == 0   ? std::string(random() % 40, static_cast<char>('a' + random() % 3))
              : kind == 1 ? std::string("\0\xFF", 2) + std::to_string(random() % 50)
                          : "w" + std::to_string(random() % 300);
    }
    model.train(doc);
    model.train(Ids{static_cast<std::int64_t>(random() % 20) - 10, INT64_MIN});
  }
}

BM25 RandomModel(unsigned seed, int documents) {
  BM25 model(0.6, 1.7);
  TrainRandom(model, seed, documents);
  return model;
}

TEST(BM25StateTest, GoldenStateOfTheExample) {
  EXPECT_EQ(Example().serialize(), StateParts().Bytes());
}

TEST(BM25StateTest, RoundTripKeepsEverythingExactly) {
  BM25 loaded;  // counts no training gives: negative, at the limit, a zero
  loaded.load(
      "{\"_b\": -3.0, \"_doc_count\": -1, \"_doc_length_average\": 0.1,"
      " \"_doc_token_frequency\": {\"a\": -5, \"b\": 9223372036854775807, \"c\": 0},"
      " \"_k1\": 0.0}");
  BM25 infinite_average = loaded;  // -1 documents, then one more: 0
  infinite_average.train(Strings{"x"});
  ASSERT_TRUE(std::isinf(infinite_average.doc_length_average()));
  StateParts odd;
  odd.docs = INT64_MIN;
  odd.total = INT64_MAX;
  odd.average = std::nan("0x123");
  odd.b = -0.0;
  odd.k1 = 1e-320;
  odd.tokens = {{"", INT64_MIN}, {std::string("\0", 1), -1}, {std::string(100, '\xFF'), 3}};
  const struct {
    const char* name;
    BM25 model;
  } cases[] = {
      {"untrained", BM25(0.3, 2.0)},
      {"example", Example()},
      {"random", RandomModel(1, 300)},
      {"loaded", loaded},
      {"infinite average", infinite_average},
      {"odd parts", BM25::deserialize(odd.Bytes())},
  };
  for (const auto& c : cases) {
    const std::string state = c.model.serialize();
    const BM25 restored = BM25::deserialize(state);
    EXPECT_EQ(restored.serialize(), state) << c.name;
    ExpectSameModel(restored, c.model);
  }
  EXPECT_EQ(BM25::deserialize(odd.Bytes()).serialize(), odd.Bytes());
}

TEST(BM25StateTest, RestoredModelEncodesAndTrainsOnLikeTheOriginal) {
  BM25 original = RandomModel(2, 200);
  BM25 restored = BM25::deserialize(original.serialize());
  std::mt19937 random(3);
  for (int n = 0; n < 50; ++n) {
    Strings doc;
    Ids ids;
    for (std::size_t i = 1 + random() % 20; i > 0; --i) {
      doc.push_back("w" + std::to_string(random() % 400));
      ids.push_back(static_cast<std::int64_t>(random() % 30) - 15);
    }
    // Exact equality of the doubles, not approximate.
    EXPECT_EQ(restored.encode_document(doc), original.encode_document(doc));
    EXPECT_EQ(restored.encode_query(doc), original.encode_query(doc));
    EXPECT_EQ(restored.encode_document(ids), original.encode_document(ids));
    EXPECT_EQ(restored.encode_query(ids), original.encode_query(ids));
    original.train(doc);
    restored.train(doc);
    original.train(ids);
    restored.train(ids);
  }
  // The running total length came along: the averages stay the same.
  EXPECT_EQ(restored.serialize(), original.serialize());
  ExpectSameModel(restored, original);
}

TEST(BM25StateTest, OneModelAlwaysGivesTheSameBytes) {
  // The same documents in opposite orders, and a model grown from a
  // reserved table: the buckets differ, the states do not.
  std::vector<Strings> docs;
  for (int i = 0; i < 300; ++i) {
    docs.push_back({"t" + std::to_string(i * 37 % 1000), "t" + std::to_string(i % 17),
                    std::string(static_cast<std::size_t>(i % 33), 'z')});
  }
  BM25 forward;
  BM25 backward;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    forward.train(docs[i]);
    backward.train(docs[docs.size() - 1 - i]);
  }
  EXPECT_EQ(forward.serialize(), backward.serialize());
  BM25 merged;
  merged.load(forward.to_json());  // a table sized to the file at once
  // The token counts, from offset 60 on, are the same; the file keeps no
  // total length and rounds the average.
  EXPECT_EQ(merged.serialize().substr(60), forward.serialize().substr(60));
}

TEST(BM25StateTest, NotAStateAtAll) {
  const std::string mark("razoduviva.BM25\0", 16);
  const std::string others[] = {
      "",
      "x",
      std::string(EXAMPLE_FILE),
      "razoduviva.BM26" + std::string(1, '\0') + Little(1, 4),
      "razoduviva.BM25" + std::string(1, ' ') + Little(1, 4),  // no NUL
      std::string("\x80\x04\x95", 3),                          // a pickle's start
      "Razoduviva.BM25" + std::string(1, '\0'),
  };
  for (const std::string& other : others) {
    EXPECT_EQ(StateErrorOf(other), "not a razoduviva BM25 state") << other;
  }
  // A beginning of the mark is a state cut short instead.
  EXPECT_EQ(StateErrorOf(mark.substr(0, 10)),
            "corrupt state: cut short in BM25 state mark at offset 0 (16 bytes needed, 10 left)");
  EXPECT_THROW(BM25::deserialize(""), std::invalid_argument);  // ValueError in Python
}

TEST(BM25StateTest, OtherFormatsAreRefusedByNumber) {
  for (std::uint32_t format : {0u, 2u, 7u, 4294967295u}) {
    StateParts parts;
    parts.format = format;
    EXPECT_EQ(StateErrorOf(parts.Bytes()), "BM25 state format " + std::to_string(format) +
                                               " is not supported; this build reads format 1");
  }
}

TEST(BM25StateTest, CorruptStatesAreStateErrors) {
  const auto with = [](auto change) {
    StateParts parts;
    change(parts);
    return parts.Bytes();
  };
  const struct {
    const char* name;
    std::string state;
    std::string message;
  } cases[] = {
      {"NaN b", with([](StateParts& p) { p.b = NAN; }),
       "corrupt state: BM25 b and k1 must be finite numbers"},
      {"infinite b", with([](StateParts& p) { p.b = INFINITY; }),
       "corrupt state: BM25 b and k1 must be finite numbers"},
      {"infinite k1", with([](StateParts& p) { p.k1 = -INFINITY; }),
       "corrupt state: BM25 b and k1 must be finite numbers"},
      {"negative total length", with([](StateParts& p) { p.total = -1; }),
       "corrupt state: BM25 total length is negative"},
      {"tokens out of order", with([](StateParts& p) { std::swap(p.tokens[0], p.tokens[1]); }),
       "corrupt state: BM25 token 1 does not follow the one before it in byte order"},
      {"a token twice", with([](StateParts& p) { p.tokens[2].first = "b"; }),
       "corrupt state: BM25 token 2 does not follow the one before it in byte order"},
      {"the empty token twice", with([](StateParts& p) { p.tokens = {{"", 1}, {"", 2}}; }),
       "corrupt state: BM25 token 1 does not follow the one before it in byte order"},
      {"more tokens counted than held", with([](StateParts& p) { p.declared = 4; }),
       "corrupt state: BM25 token counts at offset 60 counts 4 elements of at least 16 bytes, "
       "more than the 51 bytes left can hold"},
      {"the largest token count", with([](StateParts& p) { p.declared = UINT64_MAX - 1; }),
       "corrupt state: BM25 token counts at offset 60 counts 18446744073709551614 elements of "
       "at least 16 bytes, more than the 51 bytes left can hold"},
      {"fewer tokens counted than held", with([](StateParts& p) { p.declared = 2; }),
       "corrupt state: 17 unexpected bytes after the end, at offset 102"},
      {"a token longer than the state",
       with([](StateParts& p) {
         p.tokens.clear();
         p.declared = 1;
         p.tail = Little(UINT64_MAX) + Little(0);
       }),
       "corrupt state: BM25 token at offset 68 has length 18446744073709551615, more than the "
       "8 bytes left"},
      {"trailing bytes", with([](StateParts& p) { p.tail = "x"; }),
       "corrupt state: 1 unexpected bytes after the end, at offset 119"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StateErrorOf(c.state), c.message) << c.name;
  }
}

TEST(BM25StateTest, EveryTruncatedStateIsAStateError) {
  for (const BM25& model : {Example(), RandomModel(4, 3), BM25()}) {
    const std::string state = model.serialize();
    for (std::size_t size = 0; size < state.size(); ++size) {
      EXPECT_THROW(BM25::deserialize(std::string_view(state).substr(0, size)), StateError)
          << size;
    }
  }
}

// --- Merging ----------------------------------------------------------

TEST(BM25MergeTest, MergeEqualsTrainingOnBoth) {
  BM25 both(0.6, 1.7);
  TrainRandom(both, 11, 200);
  TrainRandom(both, 12, 150);
  BM25 a(0.6, 1.7);
  TrainRandom(a, 11, 200);
  BM25 b(0.6, 1.7);
  TrainRandom(b, 12, 150);
  const std::string b_before = b.serialize();
  a.merge(b);
  ExpectSameModel(a, both);  // the average bit for bit
  EXPECT_EQ(a.serialize(), both.serialize());
  EXPECT_EQ(b.serialize(), b_before);
  // Into an untrained model, one part after the other.
  BM25 parts(0.6, 1.7);
  parts.merge(RandomModel(11, 200));
  parts.merge(RandomModel(12, 150));
  EXPECT_EQ(parts.serialize(), both.serialize());
  // And training goes on from there alike.
  a.train(Strings{"after", "the", "merge"});
  both.train(Strings{"after", "the", "merge"});
  ExpectSameModel(a, both);
}

TEST(BM25MergeTest, MergingAModelIntoItselfDoublesIt) {
  BM25 twice(0.6, 1.7);
  TrainRandom(twice, 5, 100);
  TrainRandom(twice, 5, 100);
  BM25 model = RandomModel(5, 100);
  model.merge(model);
  ExpectSameModel(model, twice);
  // Nothing is left half-written: the state round-trips and encodes alike.
  const BM25 restored = BM25::deserialize(model.serialize());
  EXPECT_EQ(restored.serialize(), twice.serialize());
  const Strings query = {"w1", "w2", "x"};
  EXPECT_EQ(model.encode_query(query), twice.encode_query(query));
}

TEST(BM25MergeTest, ParametersMustBeEqualExactly) {
  const struct {
    double b, k1, other_b, other_k1;
    const char* message;
  } cases[] = {
      {0.75, 1.2, 0.5, 1.2, "merge: b and k1 must be equal: 0.75, 1.2 and 0.5, 1.2"},
      {0.75, 1.2, 0.75, 2.0, "merge: b and k1 must be equal: 0.75, 1.2 and 0.75, 2"},
      {0.75, 1.2, 0.75, std::nextafter(1.2, 2.0),
       "merge: b and k1 must be equal: 0.75, 1.2 and 0.75, 1.2000000000000002"},
      {-3.0, 1e300, 0.25, 1e-7, "merge: b and k1 must be equal: -3, 1e+300 and 0.25, 1e-07"},
  };
  for (const auto& c : cases) {
    BM25 model(c.b, c.k1);
    model.train(Strings{"a", "b"});
    BM25 other(c.other_b, c.other_k1);
    other.train(Strings{"a", "c", "c"});
    const std::string before = model.serialize();
    try {
      model.merge(other);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(model.serialize(), before) << c.message;
  }
}

TEST(BM25MergeTest, UntrainedModels) {
  BM25 empty;
  empty.merge(BM25());
  EXPECT_EQ(empty.doc_count(), 0);
  EXPECT_EQ(empty.doc_length_average(), 0.0);
  EXPECT_THROW(empty.encode_query(Strings{"a"}), std::runtime_error);
  empty.merge(Example());
  EXPECT_EQ(empty.serialize(), Example().serialize());
  BM25 example = Example();
  example.merge(BM25());
  EXPECT_EQ(example.serialize(), Example().serialize());
}

TEST(BM25MergeTest, CountsStopAtTheLimits) {
  // Loaded files may hold any count, negative ones included.
  BM25 high;
  high.load(
      "{\"_b\": 0.75, \"_doc_count\": 9223372036854775806, \"_doc_length_average\": 1.0,"
      " \"_doc_token_frequency\": {\"a\": 9223372036854775800, \"n\": -9223372036854775800},"
      " \"_k1\": 1.2}");
  BM25 low;
  low.load(
      "{\"_b\": 0.75, \"_doc_count\": 5, \"_doc_length_average\": 1.0,"
      " \"_doc_token_frequency\": {\"a\": 100, \"n\": -100}, \"_k1\": 1.2}");
  high.merge(low);
  EXPECT_EQ(CountOf(high, "a"), INT64_MAX);
  EXPECT_EQ(CountOf(high, "n"), INT64_MIN);
  EXPECT_EQ(high.doc_count(), INT64_MAX);
  EXPECT_EQ(high.doc_total_length(), INT64_MAX);
  high.merge(high);
  EXPECT_EQ(CountOf(high, "a"), INT64_MAX);
  EXPECT_EQ(CountOf(high, "n"), INT64_MIN);
  EXPECT_EQ(high.doc_count(), INT64_MAX);
}

// --- The total length a loaded file implies ---------------------------

TEST(BM25LoadTotalTest, TrainingAfterLoadAveragesOverEveryDocument) {
  BM25 model;
  model.train(Strings{"a"});
  model.train(Strings{"a", "b"});
  model.train(Strings{"a", "b", "c", "d"});  // average 7 / 3, written 2.333333
  BM25 loaded;
  loaded.load(model.to_json());
  EXPECT_EQ(loaded.doc_total_length(), 7);
  loaded.train(Strings{"e", "f", "g", "h", "i"});
  model.train(Strings{"e", "f", "g", "h", "i"});
  EXPECT_EQ(loaded.doc_length_average(), 3.0);
  ExpectSameModel(loaded, model);
}

TEST(BM25LoadTotalTest, MergingAfterLoadAveragesOverEveryDocument) {
  BM25 both(0.6, 1.7);
  TrainRandom(both, 21, 50);
  TrainRandom(both, 22, 70);
  BM25 loaded(0.6, 1.7);
  loaded.load(RandomModel(21, 50).to_json());
  loaded.merge(RandomModel(22, 70));
  EXPECT_EQ(loaded.doc_count(), both.doc_count());
  EXPECT_EQ(loaded.doc_total_length(), both.doc_total_length());
  EXPECT_NEAR(loaded.doc_length_average(), both.doc_length_average(),
              1e-12 * both.doc_length_average());
}

TEST(BM25LoadTotalTest, ImpliedTotalIsRoundedAndClamped) {
  const struct {
    const char* count;
    const char* average;
    std::int64_t total;
  } cases[] = {
      {"3", "2.333333", 7},
      {"2", "0.2", 0},
      {"2", "0.25", 1},  // 0.5 rounds away from zero
      {"0", "5.0", 0},
      {"-4", "2.5", 0},  // no total length is negative
      {"4", "-2.5", 0},
      {"9223372036854775807", "1.0", INT64_MAX},
      {"1000", "1e300", INT64_MAX},
      {"4503599627370496", "2.0", 9007199254740992},
  };
  for (const auto& c : cases) {
    BM25 model;
    model.train(Strings{"a", "b", "c"});
    model.load(std::string("{\"_b\": 0.75, \"_k1\": 1.2, \"_doc_count\": ") + c.count +
               ", \"_doc_length_average\": " + c.average + "}");
    EXPECT_EQ(model.doc_total_length(), c.total) << c.count << " * " << c.average;
    // Every loaded model has a state that restores.
    EXPECT_EQ(BM25::deserialize(model.serialize()).serialize(), model.serialize());
  }
}

// --- Pinned models ----------------------------------------------------

static_assert(std::is_nothrow_move_constructible_v<BM25> && std::is_nothrow_move_assignable_v<BM25>);
static_assert(!std::is_copy_constructible_v<BM25::Pin> && !std::is_copy_assignable_v<BM25::Pin>);

const char* const IN_USE =
    "the model is in use: a SparseEncoder in another thread is encoding with it";

// Every public way to change a model, each with input that would change it,
// and input that each would otherwise refuse with an error of its own.
struct Change {
  const char* name;
  std::function<void(BM25&)> apply;
};

std::vector<Change> Changes() {
  static const std::string_view views[] = {"a", "x", "x"};
  static const std::int64_t ids[] = {5, 7, 5};
  return {
      {"train strings", [](BM25& m) { m.train(Strings{"a", "x"}); }},
      {"train ids", [](BM25& m) { m.train(Ids{5, 7}); }},
      {"train views", [](BM25& m) { m.train(views, 3); }},
      {"train id pointer", [](BM25& m) { m.train(ids, 3); }},
      {"train id lists", [](BM25& m) { m.train(std::vector<Ids>{{1, 2}, {}, {3}}); }},
      {"merge", [](BM25& m) { m.merge(Example()); }},
      {"merge itself", [](BM25& m) { m.merge(m); }},
      {"load", [](BM25& m) { m.load(EXAMPLE_FILE); }},
      {"train nothing", [](BM25& m) { m.train(Strings{}); }},
      {"train no lists", [](BM25& m) { m.train(std::vector<Ids>{}); }},
      {"merge other parameters", [](BM25& m) { m.merge(BM25(0.5, 1.2)); }},
      {"load nothing", [](BM25& m) { m.load(""); }},
      {"load no JSON", [](BM25& m) { m.load("{"); }},
  };
}

// A model with statistics and a running total length that load would change.
BM25 Trained() {
  BM25 model;
  model.train(Strings{"a", "b", "b"});
  model.train(Ids{4});
  return model;
}

TEST(BM25PinTest, EveryChangeIsRefusedWhilePinnedAndChangesNothing) {
  for (const Change& change : Changes()) {
    BM25 model = Trained();
    const std::string before = model.serialize();
    {
      const BM25::Pin pin(model);
      try {
        change.apply(model);
        ADD_FAILURE() << change.name << ": no error";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), IN_USE) << change.name;
      } catch (const std::exception& e) {
        ADD_FAILURE() << change.name << ": " << e.what();
      }
      EXPECT_TRUE(model.pinned()) << change.name;
      EXPECT_EQ(model.serialize(), before) << change.name;
      EXPECT_EQ(model.doc_total_length(), 4) << change.name;
    }
    EXPECT_FALSE(model.pinned()) << change.name;
  }
}

TEST(BM25PinTest, ChangesWorkAgainOnceUnpinned) {
  // The first eight changes succeed on a model that was never pinned.
  const std::vector<Change> changes = Changes();
  for (size_t k = 0; k < 8; ++k) {
    BM25 never = Trained();
    changes[k].apply(never);
    BM25 model = Trained();
    model.pin();
    model.pin();
    model.unpin();
    EXPECT_THROW(changes[k].apply(model), std::runtime_error) << changes[k].name;
    model.unpin();
    changes[k].apply(model);
    EXPECT_EQ(model.serialize(), never.serialize()) << changes[k].name;
    EXPECT_NE(model.serialize(), Trained().serialize()) << changes[k].name;
  }
}

TEST(BM25PinTest, PinnedModelsAreReadAsUsual) {
  TempDir dir;
  BM25 model = Example();
  const BM25::Pin pin(model);
  const BM25::Pin again(model);
  EXPECT_EQ(model.encode_query(Strings{"a", "c"}), Example().encode_query(Strings{"a", "c"}));
  EXPECT_EQ(model.encode_document(Ids{1, 1}), Example().encode_document(Ids{1, 1}));
  EXPECT_EQ(model.serialize(), Example().serialize());
  model.dump(dir / "model.json");
  EXPECT_EQ(ReadFile(dir / "model.json"), EXAMPLE_FILE);
  // A pinned model may be merged into another: merge only reads it.
  BM25 other;
  other.merge(model);
  other.merge(model);
  EXPECT_EQ(other.doc_count(), 4);
}

// A pin holds an object, not its statistics.
TEST(BM25PinTest, CopiesAndMovesDoNotTakeThePins) {
  BM25 pinned = Example();
  const BM25::Pin pin(pinned);
  const BM25 copy(pinned);
  EXPECT_FALSE(copy.pinned());
  BM25 staged = Example();
  staged.pin();
  const BM25 moved(std::move(staged));
  EXPECT_FALSE(moved.pinned());
  EXPECT_TRUE(staged.pinned());
  staged.unpin();

  // Assigning to an unpinned model leaves it unpinned, and the source's
  // count alone.
  BM25 target(0.5, 0.9);
  target = pinned;
  EXPECT_FALSE(target.pinned());
  EXPECT_EQ(target.serialize(), Example().serialize());
  BM25 source = Example();
  source.train(Strings{"z"});
  source.pin();
  BM25 moved_to;
  moved_to = std::move(source);
  EXPECT_FALSE(moved_to.pinned());
  EXPECT_TRUE(source.pinned());
  EXPECT_EQ(moved_to.doc_count(), 3);
  moved_to.train(Strings{"y"});  // not pinned: trains
  EXPECT_TRUE(pinned.pinned());
}

// Equality covers parameters and every statistic; restore_exact puts back
// values a model file rounded, refusing what no model may hold.
TEST(BM25CompareTest, EqualityAndExactValues) {
  BM25 a(1.0 / 3, 1e-7);
  a.train(std::vector<std::string>{"x", "y", "x"});
  BM25 b(1.0 / 3, 1e-7);
  b.train(std::vector<std::string>{"x", "x", "y"});
  EXPECT_TRUE(a == b);
  b.train(std::vector<std::string>{"z"});
  EXPECT_TRUE(a != b);
  EXPECT_FALSE(a == BM25(0.75, 1e-7));

  BM25 loaded;
  loaded.load(a.to_json());
  EXPECT_NE(loaded.b(), a.b());  // six decimals
  loaded.restore_exact(a.b(), a.k1(), a.doc_total_length(), a.doc_length_average());
  EXPECT_TRUE(loaded == a);
  EXPECT_THROW(loaded.restore_exact(NAN, 1.0, 3, 1.0), std::invalid_argument);
  EXPECT_THROW(loaded.restore_exact(0.5, 1.0, -1, 1.0), std::invalid_argument);
  EXPECT_TRUE(loaded == a);
}

// Training on distinct tokens counts documents per token, lengths as given.
TEST(BM25TrainTest, DistinctTokensCountDocuments) {
  BM25 model;
  const std::vector<std::string_view> distinct = {"a", "b"};
  model.train_distinct(distinct.data(), distinct.size(), 5);
  model.train_distinct(distinct.data(), 1, 1);
  EXPECT_EQ(*model.doc_token_frequency().Find("a"), 2);
  EXPECT_EQ(*model.doc_token_frequency().Find("b"), 1);
  EXPECT_EQ(model.doc_total_length(), 6);
  EXPECT_THROW(model.train_distinct(distinct.data(), 0, 3), std::runtime_error);
  EXPECT_THROW(model.train_distinct(distinct.data(), 2, 1), std::runtime_error);
}

}  // namespace
