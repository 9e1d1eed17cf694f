#include "sqlite/TokenizerOptions.hpp"

#include <stdexcept>
#include <utility>

namespace kelp::typing::text::sqlite {

namespace {

constexpr const char* kPrefix = "razoduviva: ";

[[noreturn]] void Fail(const std::string& message) {
  throw std::invalid_argument(kPrefix + message);
}

bool Switch(std::string_view name, std::string_view value) {
  if (value == "on" || value == "1" || value == "true") {
    return true;
  }
  if (value == "off" || value == "0" || value == "false") {
    return false;
  }
  Fail(std::string(name) + " must be on or off (or 1 or 0), not '" + std::string(value) + "'");
}

}  // namespace

TokenizerOptions TokenizerOptions::Parse(const char* const* args, int count, DataPaths bundled) {
  TokenizerOptions options;
  options.paths = std::move(bundled);
  struct Named {
    const char* name;
    bool seen;
  };
  Named names[] = {{"mode", false},      {"hmm", false},          {"nfkc", false},
                   {"casefold", false},  {"t2s", false},          {"stop_words", false},
                   {"dict_path", false}, {"hmm_path", false},     {"user_dict_path", false},
                   {"idf_path", false},  {"stop_word_path", false}};
  for (int k = 0; k < count; k += 2) {
    const std::string_view name = args[k] != nullptr ? args[k] : "";
    Named* known = nullptr;
    for (Named& entry : names) {
      if (name == entry.name) {
        known = &entry;
      }
    }
    if (known == nullptr) {
      Fail("unknown argument '" + std::string(name) +
           "' (known: mode, hmm, nfkc, casefold, t2s, stop_words, dict_path, hmm_path, "
           "user_dict_path, idf_path, stop_word_path)");
    }
    if (known->seen) {
      Fail("argument '" + std::string(name) + "' given twice");
    }
    known->seen = true;
    if (k + 1 >= count || args[k + 1] == nullptr) {
      Fail("argument '" + std::string(name) + "' needs a value");
    }
    const std::string_view value = args[k + 1];
    if (name == "mode") {
      if (value == "default") {
        options.mode = jieba::CutMode::kDefault;
      } else if (value == "search") {
        options.mode = jieba::CutMode::kSearch;
      } else {
        Fail("mode must be default or search, not '" + std::string(value) + "'");
      }
    } else if (name == "hmm") {
      options.hmm = Switch(name, value);
    } else if (name == "nfkc") {
      options.fold.nfkc = Switch(name, value);
    } else if (name == "casefold") {
      options.fold.casefold = Switch(name, value);
    } else if (name == "t2s") {
      options.fold.t2s = Switch(name, value);
    } else if (name == "stop_words") {
      options.stop_words = Switch(name, value);
    } else {
      // A path; the main files cannot be left out, the user dictionary can.
      if (value.empty() && name != "user_dict_path") {
        Fail(std::string(name) + " must not be empty");
      }
      std::string& path = name == "dict_path"       ? options.paths.dict
                          : name == "hmm_path"      ? options.paths.hmm
                          : name == "user_dict_path" ? options.paths.user_dict
                          : name == "idf_path"      ? options.paths.idf
                                                    : options.paths.stop_words;
      path.assign(value);
    }
  }
  return options;
}

}  // namespace kelp::typing::text::sqlite
