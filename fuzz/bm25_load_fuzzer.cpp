// Fuzz target: BM25::load on any text, into a model that already holds
// statistics.
//
// Properties:
// - load either succeeds or throws std::runtime_error, std::invalid_argument
//   or std::out_of_range; it never crashes;
// - a failed load leaves the model exactly as it was;
// - after a successful load, the model's file text loads into a fresh model
//   and writes back the same text;
// - encoding and further training on a loaded model never crash (they may
//   throw "BM25 has not been initialized");
// - merging the model into itself gives what merging a copy of it gives,
//   whatever counts it loaded.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "bm25/BM25.hpp"

using kelp::typing::text::BM25;

namespace {

BM25 Trained() {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::string>{"a", "b", "a"});
  model.train(std::vector<std::string>{"b", "c"});
  model.train(std::vector<std::int64_t>{7, 7, -3});
  return model;
}

// Encodes and trains with some of the model's own tokens, the tokens most
// likely to carry extreme loaded counts.
void Exercise(BM25& model) {
  std::vector<std::string> tokens;
  model.doc_token_frequency().ForEach([&tokens](std::string_view token, std::int64_t) {
    if (tokens.size() < 8) {
      tokens.emplace_back(token);
    }
  });
  tokens.emplace_back("never seen");
  const std::vector<std::int64_t> ids{7, -3, 0, INT64_MAX, INT64_MIN};
  auto encode = [&]() {
    try {
      model.encode_document(tokens);
      model.encode_query(tokens);
      model.encode_document(ids);
      model.encode_query(ids);
    } catch (const std::runtime_error& e) {
      // A loaded count of 0 or an average near 0 leaves the model not ready.
      fuzz::Check(std::string_view(e.what()) == "BM25 has not been initialized",
                  "encoding threw an unexpected error", e.what());
    }
  };
  encode();
  model.train(tokens);
  model.train(ids);
  encode();
  BM25 doubled = model;
  doubled.merge(model);
  model.merge(model);
  fuzz::Check(doubled.serialize() == model.serialize(),
              "merging a model into itself differs from merging a copy");
  encode();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  BM25 model = Trained();
  const std::string before = model.to_json();
  try {
    model.load(text);
  } catch (const std::runtime_error&) {
    fuzz::Check(model.to_json() == before, "a failed load changed the model", text);
    return 0;
  } catch (const std::invalid_argument&) {
    fuzz::Check(model.to_json() == before, "a failed load changed the model", text);
    return 0;
  } catch (const std::out_of_range&) {
    fuzz::Check(model.to_json() == before, "a failed load changed the model", text);
    return 0;
  }
  const std::string written = model.to_json();
  BM25 fresh(0.5, 0.5);
  try {
    fresh.load(written);
  } catch (const std::exception&) {
    fuzz::Fail("the loaded model's text does not load", text, written);
  }
  fuzz::Check(fresh.to_json() == written, "load, write, load, write changes the text", written,
              fresh.to_json());
  Exercise(model);
  return 0;
}
