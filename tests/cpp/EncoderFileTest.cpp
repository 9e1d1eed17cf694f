#include "encoder/EncoderFile.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "json/JSON.hpp"

using kelp::typing::text::BM25;
using kelp::typing::text::EncoderFile;
using kelp::typing::text::ReadEncoderFile;
using kelp::typing::text::ReadEncoderModel;
using kelp::typing::text::json::JSON;

namespace {

std::string FileOf(const BM25& model) {
  EncoderFile file;
  file.version = "test";
  file.data = "custom";
  file.data_fingerprint = "fnv1a64:0123456789abcdef";
  return EncoderFileText(model, file);
}

// The encoder's section keeps b, k1 and the average exactly, which the
// model's own members round to six decimals; older files read as before.
TEST(EncoderFileTest, ExactValuesSurviveTheFile) {
  BM25 model(1.0 / 3, 1e-7);
  model.train(std::vector<std::string>{"a", "b", "a"});
  model.train(std::vector<std::string>{"c"});
  const std::string text = FileOf(model);
  const EncoderFile file = ReadEncoderFile(text);
  EXPECT_EQ(file.data_fingerprint, "fnv1a64:0123456789abcdef");
  ASSERT_TRUE(file.exact.has_value());
  EXPECT_TRUE(ReadEncoderModel(text, file) == model);

  JSON root = JSON::Load(text);
  JSON section = kelp::typing::text::json::Object();
  for (const auto& [name, value] : root["_encoder"].Members()) {
    if (name != "exact") {
      section[name] = value;
    }
  }
  root["_encoder"] = section;
  const std::string old = root.dump(1, "  ");
  const EncoderFile old_file = ReadEncoderFile(old);
  EXPECT_FALSE(old_file.exact.has_value());
  EXPECT_EQ(ReadEncoderModel(old, old_file).k1(), 0.0);  // what six decimals leave of 1e-7
}

TEST(EncoderFileTest, ImpossibleStatisticsAreRefusedByName) {
  BM25 model;
  model.train(std::vector<std::string>{"a"});
  for (const std::string member : {"_doc_count", "_doc_token_frequency"}) {
    JSON root = JSON::Load(FileOf(model));
    if (member == "_doc_count") {
      root["_doc_count"] = -2;
    } else {
      root["_doc_token_frequency"]["a"] = -4;
    }
    const std::string text = root.dump(1, "  ");
    try {
      ReadEncoderModel(text, ReadEncoderFile(text));
      ADD_FAILURE() << member;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("\"" + member + "\""), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(ReadEncoderFile(model.to_json()), std::invalid_argument);  // a plain model file
}

}  // namespace
