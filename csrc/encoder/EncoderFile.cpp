#include "encoder/EncoderFile.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "bm25/TokenCounts.hpp"
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



// True when the settings need format 2 to be said.
bool NeedsFields(const EncoderSettings& settings) {
  const encoder::FoldOptions& fold = settings.fold;
  return fold.nfkc || fold.casefold || fold.t2s || settings.bigrams > 0.0 ||
         settings.idf == IdfKind::kDocuments || settings.own_stop_words.has_value();
}

JSON ExactOf(const BM25& model) {
  JSON exact;
  exact["b"] = DoubleText(model.b());
  exact["k1"] = DoubleText(model.k1());
  exact["average"] = DoubleText(model.doc_length_average());
  exact["total_length"] = model.doc_total_length();
  return exact;
}

EncoderFile::Exact ReadExact(const JSON& exact) {
  EncoderFile::Exact values;
  values.b = DoubleFromText(String(exact, "b"), "exact b");
  values.k1 = DoubleFromText(String(exact, "k1"), "exact k1");
  values.average = DoubleFromText(String(exact, "average"), "exact average");
  bool ok = false;
  values.total_length = Member(exact, "total_length").AsInteger(ok);
  if (!ok || values.total_length < 0) {
    NotAnEncoderFile("the exact \"total_length\" is not a whole number of 0 or more");
  }
  return values;
}

JSON TableOf(const TokenCounts& table) {
  JSON object = json::Object();
  table.ForEach([&object](std::string_view token, std::int64_t count) {
    object[std::string(token)] = count;
  });
  return object;
}

void ReadTable(const JSON& object, const char* name, TokenCounts& table) {
  if (object.GetKind() != JSON::Kind::Object) {
    NotAnEncoderFile(std::string("\"") + name + "\" is not an object");
  }
  table.Reserve(object.Members().size());
  for (const auto& [token, value] : object.Members()) {
    bool ok = false;
    const int64_t count = value.AsInteger(ok);
    if (!ok || count < 0) {
      throw std::invalid_argument(std::string("\"") + name + "\" holds a count that is not a "
                                  "whole number of 0 or more, for " + token);
    }
    table[token] = count;
  }
}

// The model of the five members of `object`, read as BM25::load reads a
// model file, checked and given its exact values.
BM25 CheckedModel(std::string_view text, const std::optional<EncoderFile::Exact>& exact,
                  const char* prefix);

}  // namespace

std::string EncoderFileText(const BM25& model, const EncoderFile& file,
                            const SparseEncoder::Counts* extra) {
  JSON root = model.to_json_value();
  JSON& encoder = root["_encoder"];
  const bool fields = NeedsFields(file.settings);
  encoder["format"] = fields ? EncoderFile::kFieldsFormat : EncoderFile::kFormat;
  if (fields) {
    const auto& fold = file.settings.fold;
    if (fold.nfkc || fold.casefold || fold.t2s) {
      encoder["fold"]["nfkc"] = fold.nfkc;
      encoder["fold"]["casefold"] = fold.casefold;
      encoder["fold"]["t2s"] = fold.t2s;
    }
    if (file.settings.bigrams > 0.0) {
      encoder["bigrams"] = DoubleText(file.settings.bigrams);
    }
    if (file.settings.idf == IdfKind::kDocuments) {
      encoder["idf"] = "documents";
    }
    if (file.settings.own_stop_words) {
      JSON& list = encoder["stop_word_list"];
      list = json::Array();
      for (size_t k = 0; k < file.settings.own_stop_words->size(); ++k) {
        list[k] = (*file.settings.own_stop_words)[k];
      }
    }
    if (extra != nullptr && file.settings.bigrams > 0.0) {
      encoder["bigram_model"] = extra->bigrams.to_json_value();
      encoder["bigram_model"]["exact"] = ExactOf(extra->bigrams);
    }
    if (extra != nullptr && file.settings.idf == IdfKind::kDocuments) {
      encoder["word_documents"] = TableOf(extra->word_documents);
    }
  }
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
  encoder["exact"] = ExactOf(model);
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
  if (!ok || (format != EncoderFile::kFormat && format != EncoderFile::kFieldsFormat)) {
    NotAnEncoderFile("its format is not 1 or 2, the ones this version reads");
  }
  EncoderFile file;
  const JSON::ObjectMap& members = encoder.Members();
  if (members.count("fold") != 0) {
    const JSON& fold = Member(encoder, "fold");
    file.settings.fold.nfkc = Boolean(fold, "nfkc");
    file.settings.fold.casefold = Boolean(fold, "casefold");
    file.settings.fold.t2s = Boolean(fold, "t2s");
  }
  if (members.count("bigrams") != 0) {
    file.settings.bigrams = DoubleFromText(String(encoder, "bigrams"), "bigram weight");
  }
  if (members.count("idf") != 0) {
    const std::string idf = String(encoder, "idf");
    if (idf != "documents" && idf != "occurrences") {
      NotAnEncoderFile("the idf \"" + idf + "\" is not 'occurrences' or 'documents'");
    }
    file.settings.idf = idf == "documents" ? IdfKind::kDocuments : IdfKind::kOccurrences;
  }
  if (members.count("stop_word_list") != 0) {
    const JSON& list = Member(encoder, "stop_word_list");
    if (list.GetKind() != JSON::Kind::Array) {
      NotAnEncoderFile("\"stop_word_list\" is not an array");
    }
    file.settings.own_stop_words.emplace();
    for (const JSON& word : list.Elements()) {
      bool is_string = false;
      file.settings.own_stop_words->push_back(word.AsRawString(is_string));
      if (!is_string) {
        NotAnEncoderFile("\"stop_word_list\" holds a value that is not a string");
      }
    }
  }
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
    file.exact = ReadExact(Member(encoder, "exact"));
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

namespace {

BM25 CheckedModel(std::string_view text, const std::optional<EncoderFile::Exact>& exact,
                  const char* prefix) {
  BM25 model;
  model.load(text);
  const std::string where = std::string("\"") + prefix;
  if (model.doc_count() < 0) {
    throw std::invalid_argument(where + "_doc_count\" is negative: " +
                                std::to_string(model.doc_count()));
  }
  const double average = exact ? exact->average : model.doc_length_average();
  if (!std::isfinite(average) || average < 0.0) {
    throw std::invalid_argument(where + "_doc_length_average\" is negative or not finite: " +
                                DoubleText(average));
  }
  std::string negative;
  model.doc_token_frequency().ForEach([&negative](std::string_view token, std::int64_t count) {
    if (count < 0 && negative.empty()) {
      negative = std::string(token) + ": " + std::to_string(count);
    }
  });
  if (!negative.empty()) {
    throw std::invalid_argument(where + "_doc_token_frequency\" holds a negative count, " +
                                negative);
  }
  if (exact) {
    model.restore_exact(exact->b, exact->k1, exact->total_length, average);
  }
  return model;
}

}  // namespace

BM25 ReadEncoderModel(std::string_view text, const EncoderFile& file) {
  return CheckedModel(text, file.exact, "");
}

SparseEncoder::Counts ReadEncoderStatistics(std::string_view text, const EncoderFile&,
                                            const BM25& words) {
  const JSON root = JSON::Load(text);
  const JSON& encoder = Member(root, "_encoder");
  const JSON::ObjectMap& members = encoder.Members();
  BM25 bigrams;
  if (members.count("bigram_model") != 0) {
    const JSON& object = Member(encoder, "bigram_model");
    std::optional<EncoderFile::Exact> exact;
    if (object.Members().count("exact") != 0) {
      exact = ReadExact(Member(object, "exact"));
    }
    bigrams = CheckedModel(object.dump(0, ""), exact, "bigram_model\": \"");
  }
  SparseEncoder::Counts counts(words.b(), words.k1());
  if (members.count("bigram_model") != 0) {
    counts.bigrams = std::move(bigrams);
  }
  if (members.count("word_documents") != 0) {
    ReadTable(Member(encoder, "word_documents"), "word_documents", counts.word_documents);
  }
  return counts;
}

}  // namespace kelp::typing::text
