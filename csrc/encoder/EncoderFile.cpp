#include "encoder/EncoderFile.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "json/JSON.hpp"

namespace kelp::typing::text {

namespace {

using json::JSON;

[[noreturn]] void NotAnEncoderFile(const std::string& why) {
  throw std::invalid_argument("not a SparseEncoder file: " + why);
}

const JSON& Member(const JSON& object, const char* name) {
  const JSON::ObjectMap& members = object.Members();
  const auto it = members.find(name);
  if (it == members.end()) {
    NotAnEncoderFile(std::string("no member \"") + name + "\"");
  }
  return it->second;
}

std::string String(const JSON& object, const char* name) {
  bool ok = false;
  std::string value = Member(object, name).AsRawString(ok);
  if (!ok) {
    NotAnEncoderFile(std::string("\"") + name + "\" is not a string");
  }
  return value;
}

bool Boolean(const JSON& object, const char* name) {
  bool ok = false;
  const bool value = Member(object, name).AsBoolean(ok);
  if (!ok) {
    NotAnEncoderFile(std::string("\"") + name + "\" is not true or false");
  }
  return value;
}

std::string DoubleText(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

double DoubleFromText(const std::string& text, const char* what) {
  double value = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !std::isfinite(value)) {
    NotAnEncoderFile(std::string("the ") + what + " \"" + text + "\" is not a finite number");
  }
  return value;
}

constexpr std::pair<std::string_view, jieba::CutMode> kModes[] = {
    {"default", jieba::CutMode::kDefault},
    {"search", jieba::CutMode::kSearch},
    {"full", jieba::CutMode::kFull}};

std::string ModeName(jieba::CutMode mode) {
  for (const auto& [name, value] : kModes) {
    if (value == mode) {
      return std::string(name);
    }
  }
  return "default";
}

jieba::CutMode ModeOf(const std::string& name) {
  for (const auto& [key, value] : kModes) {
    if (name == key) {
      return value;
    }
  }
  NotAnEncoderFile("the mode \"" + name + "\" is not 'default', 'search' or 'full'");
}

}  // namespace

std::string EncoderFileText(const BM25& model, const EncoderFile& file) {
  JSON root = model.to_json_value();
  JSON& encoder = root["_encoder"];
  encoder["format"] = EncoderFile::kFormat;
  encoder["version"] = file.version;
  encoder["mode"] = ModeName(file.settings.mode);
  encoder["hmm"] = file.settings.hmm;
  encoder["stop_words"] = file.settings.stop_words;
  if (file.settings.keep_space == file.settings.stop_words) {
    encoder["keep_space"] = file.settings.keep_space;  // not what its absence says
  }
  encoder["data"] = file.data;
  if (!file.data_fingerprint.empty()) {
    encoder["data_fingerprint"] = file.data_fingerprint;
  }
  JSON& exact = encoder["exact"];
  exact["b"] = DoubleText(model.b());
  exact["k1"] = DoubleText(model.k1());
  exact["average"] = DoubleText(model.doc_length_average());
  exact["total_length"] = model.doc_total_length();
  JSON& edits = encoder["edits"];
  edits = json::Array();
  for (size_t k = 0; k < file.edits.size(); ++k) {
    const jieba::DictEdits::Entry& entry = file.edits[k];
    JSON& edit = edits[k];
    edit["word"] = entry.word;
    edit["removed"] = entry.removed;
    edit["weight"] = DoubleText(entry.weight);
    edit["tag"] = entry.tag;
  }
  return root.dump(1, "  ");
}

EncoderFile ReadEncoderFile(std::string_view text) {
  const JSON root = JSON::Load(text);
  const JSON& encoder = Member(root, "_encoder");
  if (encoder.GetKind() != JSON::Kind::Object) {
    NotAnEncoderFile("\"_encoder\" is not an object");
  }
  bool ok = false;
  const int64_t format = Member(encoder, "format").AsInteger(ok);
  if (!ok || format != EncoderFile::kFormat) {
    NotAnEncoderFile("its format is not " + std::to_string(EncoderFile::kFormat) +
                     ", the one this version reads");
  }
  EncoderFile file;
  file.version = String(encoder, "version");
  file.settings.mode = ModeOf(String(encoder, "mode"));
  file.settings.hmm = Boolean(encoder, "hmm");
  file.settings.stop_words = Boolean(encoder, "stop_words");
  file.settings.keep_space = encoder.Members().count("keep_space") != 0
                                 ? Boolean(encoder, "keep_space")
                                 : !file.settings.stop_words;
  file.data = String(encoder, "data");
  if (encoder.Members().count("data_fingerprint") != 0) {
    file.data_fingerprint = String(encoder, "data_fingerprint");
  }
  if (encoder.Members().count("exact") != 0) {
    const JSON& exact = Member(encoder, "exact");
    EncoderFile::Exact values;
    values.b = DoubleFromText(String(exact, "b"), "exact b");
    values.k1 = DoubleFromText(String(exact, "k1"), "exact k1");
    values.average = DoubleFromText(String(exact, "average"), "exact average");
    values.total_length = Member(exact, "total_length").AsInteger(ok);
    if (!ok || values.total_length < 0) {
      NotAnEncoderFile("the exact \"total_length\" is not a whole number of 0 or more");
    }
    file.exact = values;
  }
  const JSON& edits = Member(encoder, "edits");
  if (edits.GetKind() != JSON::Kind::Array) {
    NotAnEncoderFile("\"edits\" is not an array");
  }
  for (const JSON& edit : edits.Elements()) {
    jieba::DictEdits::Entry entry;
    entry.word = String(edit, "word");
    entry.removed = Boolean(edit, "removed");
    entry.weight = DoubleFromText(String(edit, "weight"), "weight");
    entry.tag = String(edit, "tag");
    file.edits.push_back(std::move(entry));
  }
  return file;
}

BM25 ReadEncoderModel(std::string_view text, const EncoderFile& file) {
  BM25 model;
  model.load(text);
  if (model.doc_count() < 0) {
    throw std::invalid_argument("\"_doc_count\" is negative: " + std::to_string(model.doc_count()));
  }
  const double average = file.exact ? file.exact->average : model.doc_length_average();
  if (!std::isfinite(average) || average < 0.0) {
    throw std::invalid_argument("\"_doc_length_average\" is negative or not finite: " +
                                DoubleText(average));
  }
  std::string negative;
  model.doc_token_frequency().ForEach([&negative](std::string_view token, std::int64_t count) {
    if (count < 0 && negative.empty()) {
      negative = std::string(token) + ": " + std::to_string(count);
    }
  });
  if (!negative.empty()) {
    throw std::invalid_argument("\"_doc_token_frequency\" holds a negative count, " + negative);
  }
  if (file.exact) {
    model.restore_exact(file.exact->b, file.exact->k1, file.exact->total_length, average);
  }
  return model;
}

}  // namespace kelp::typing::text
