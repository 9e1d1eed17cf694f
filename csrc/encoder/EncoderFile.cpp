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
  throw std::runtime_error("not a SparseEncoder file: " + why);
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

double DoubleFromText(const std::string& text) {
  double value = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !std::isfinite(value)) {
    NotAnEncoderFile("the weight \"" + text + "\" is not a finite number");
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
  const JSON& edits = Member(encoder, "edits");
  if (edits.GetKind() != JSON::Kind::Array) {
    NotAnEncoderFile("\"edits\" is not an array");
  }
  for (const JSON& edit : edits.Elements()) {
    jieba::DictEdits::Entry entry;
    entry.word = String(edit, "word");
    entry.removed = Boolean(edit, "removed");
    entry.weight = DoubleFromText(String(edit, "weight"));
    entry.tag = String(edit, "tag");
    file.edits.push_back(std::move(entry));
  }
  return file;
}

}  // namespace kelp::typing::text
