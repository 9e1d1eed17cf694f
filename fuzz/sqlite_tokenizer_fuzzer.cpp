// Fuzz target: the SQLite tokenizer's callbacks (Fts5Module's xCreate,
// xTokenize, xDelete), called as FTS5 calls them but without SQLite, over
// a small fixed dictionary and HMM model.
//
// The first byte picks the arguments: bit 0 search mode, bit 1 hmm off,
// bits 2 to 4 the folds off (nfkc, casefold, t2s), bit 5 stop_words off;
// with bit 7 the input's first line (up to a line feed) adds argument
// words of its own, split at spaces, so that the parser sees any words.
// The rest is the text.
//
// Properties, when the tokenizer is made:
// - every token is non-empty valid UTF-8, its range lies within the text
//   and starts and ends on character boundaries of the text's valid
//   stretches;
// - the first token is not colocated; lead tokens come in order (without
//   overlap when nothing is folded); a colocated token lies within its lead
//   token;
// - with every fold off, a token is the text's bytes at its range;
// - a query gives the document's tokens less the colocated ones;
// - a callback that answers non-zero stops the tokenizer, which returns
//   that value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.hpp"
#include "MemoryFile.hpp"
#include "sqlite/Fts5Module.hpp"
#include "tokenizer/jieba/Unicode.hpp"

using kelp::typing::text::sqlite::Fts5Module;

namespace {

// 中国, 中国人, 中国人民, 人民, 国人, 的 (also a stop word), ab, and a
// one-rune user word 民: words that nest, for search mode.
struct Data {
  fuzz::MemoryFile dict{
      "\xE4\xB8\xAD\xE5\x9B\xBD 300 ns\n"
      "\xE4\xB8\xAD\xE5\x9B\xBD\xE4\xBA\xBA 100 n\n"
      "\xE4\xB8\xAD\xE5\x9B\xBD\xE4\xBA\xBA\xE6\xB0\x91 50 n\n"
      "\xE4\xBA\xBA\xE6\xB0\x91 200 n\n"
      "\xE5\x9B\xBD\xE4\xBA\xBA 20 n\n"
      "\xE7\x9A\x84 900 uj\n"
      "ab 10 eng\n"};
  fuzz::MemoryFile user{"\xE6\xB0\x91\n"};
  fuzz::MemoryFile hmm{
      "-0.26 -3.14e+100 -3.14e+100 -1.46\n"
      "-3.14e+100 -0.51 -0.92 -3.14e+100\n"
      "-0.59 -3.14e+100 -3.14e+100 -0.81\n"
      "-3.14e+100 -0.33 -1.26 -3.14e+100\n"
      "-0.72 -3.14e+100 -3.14e+100 -0.67\n"
      "\xE5\xA5\xBD:-5.0\n\xE5\xA5\xBD:-6.0\n\xE5\xAD\xA6:-7.0\n\xE7\x9A\x84:-2.0\n"};
  fuzz::MemoryFile idf{"\xE4\xB8\xAD\xE5\x9B\xBD 8.5\n"};
  fuzz::MemoryFile stop{"\xE7\x9A\x84\n"};
  Fts5Module module{"", nullptr};
};

const Data& Files() {
  static const Data* data = new Data();  // built once, kept for the run
  return *data;
}

struct Got {
  std::string text;
  int tflags;
  int start;
  int end;
};

struct Collect {
  std::vector<Got> tokens;
  std::size_t stop_after = SIZE_MAX;

  static int Add(void* context, int tflags, const char* token, int size, int start, int end) {
    auto* self = static_cast<Collect*>(context);
    fuzz::Check(token != nullptr && size > 0, "an empty token");
    self->tokens.push_back(Got{std::string(token, static_cast<std::size_t>(size)), tflags, start,
                               end});
    return self->tokens.size() >= self->stop_after ? 99 : 0;
  }
};

// For each position of `text`: true strictly inside a character the
// decoder accepts, where no token may start or end.
std::vector<bool> InsideCharacters(std::string_view text) {
  std::vector<bool> inside(text.size() + 1, false);
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t at = 0; at < text.size();) {
    kelp::typing::text::jieba::Rune rune;
    const std::uint32_t taken = kelp::typing::text::jieba::DecodeRune(p + at, text.size() - at, rune);
    if (taken == 0) {
      ++at;
      continue;
    }
    for (std::uint32_t k = 1; k < taken; ++k) {
      inside[at + k] = true;
    }
    at += taken;
  }
  return inside;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const Data& files = Files();
  const unsigned bits = data[0];
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);

  std::vector<std::string> words = {"dict_path", files.dict.path(), "hmm_path", files.hmm.path(),
                                    "user_dict_path", files.user.path(), "idf_path",
                                    files.idf.path(), "stop_word_path", files.stop.path()};
  const char* const switches[] = {"mode", "hmm", "nfkc", "casefold", "t2s", "stop_words"};
  for (unsigned bit = 0; bit < 6; ++bit) {
    if (bits & (1u << bit)) {
      words.push_back(switches[bit]);
      words.push_back(bit == 0 ? "search" : "off");
    }
  }
  if (bits & 0x80) {
    const std::size_t line = rest.find('\n');
    const std::string_view extra = rest.substr(0, line);
    rest = line == std::string_view::npos ? std::string_view() : rest.substr(line + 1);
    for (std::size_t at = 0; at <= extra.size() && words.size() < 40;) {
      const std::size_t space = std::min(extra.find(' ', at), extra.size());
      words.emplace_back(extra.substr(at, space - at));
      at = space + 1;
    }
  }
  std::vector<const char*> args;
  for (const std::string& word : words) {
    args.push_back(word.c_str());
  }

  const fts5_tokenizer callbacks = Fts5Module::Callbacks();
  Fts5Tokenizer* tokenizer = nullptr;
  if (callbacks.xCreate(const_cast<Fts5Module*>(&files.module), args.data(),
                        static_cast<int>(args.size()), &tokenizer) != SQLITE_OK) {
    return 0;
  }
  const std::string text(rest);  // a copy of exactly its size, for ASan
  const bool unfolded = (bits & 0x1C) == 0x1C;
  Collect document;
  Collect query;
  fuzz::Check(callbacks.xTokenize(tokenizer, &document, FTS5_TOKENIZE_DOCUMENT, text.data(),
                                  static_cast<int>(text.size()), &Collect::Add) == SQLITE_OK,
              "a document refused", text);
  fuzz::Check(callbacks.xTokenize(tokenizer, &query, FTS5_TOKENIZE_QUERY, text.data(),
                                  static_cast<int>(text.size()), &Collect::Add) == SQLITE_OK,
              "a query refused", text);

  const std::vector<bool> inside = InsideCharacters(text);
  std::size_t lead = 0;
  std::size_t leads = 0;
  for (std::size_t k = 0; k < document.tokens.size(); ++k) {
    const Got& t = document.tokens[k];
    fuzz::Check(kelp::typing::text::jieba::IsValidUtf8(t.text), "a token that is not UTF-8", text,
                t.text);
    fuzz::Check(0 <= t.start && t.start < t.end && t.end <= static_cast<int>(text.size()),
                "a token outside the text", text, t.text);
    fuzz::Check(!inside[static_cast<std::size_t>(t.start)] && !inside[static_cast<std::size_t>(t.end)],
                "a token range that cuts a character", text, t.text);
    if (unfolded) {
      fuzz::Check(text.compare(static_cast<std::size_t>(t.start),
                               static_cast<std::size_t>(t.end - t.start), t.text) == 0,
                  "an unfolded token that is not its text", text, t.text);
    }
    if (t.tflags & FTS5_TOKEN_COLOCATED) {
      fuzz::Check(k > 0, "the first token is colocated", text, t.text);
      const Got& whole = document.tokens[lead];
      fuzz::Check(whole.start <= t.start && t.end <= whole.end,
                  "a colocated token outside its lead token", text, t.text);
      continue;
    }
    // A fold that joins characters maps each piece of the result to all of
    // them, so folded tokens may share characters; they never go back.
    const Got& before = document.tokens[lead];
    fuzz::Check(k == 0 || (unfolded ? before.end <= t.start : before.start <= t.start),
                "lead tokens out of order", text, t.text);
    fuzz::Check(leads < query.tokens.size() && query.tokens[leads].text == t.text &&
                    query.tokens[leads].start == t.start && query.tokens[leads].end == t.end &&
                    query.tokens[leads].tflags == 0,
                "a query's tokens differ from the document's lead tokens", text, t.text);
    lead = k;
    ++leads;
  }
  fuzz::Check(leads == query.tokens.size(), "a query has more tokens than the document", text);

  if (!document.tokens.empty()) {
    Collect stopped;
    stopped.stop_after = 1;
    fuzz::Check(callbacks.xTokenize(tokenizer, &stopped, FTS5_TOKENIZE_AUX, text.data(),
                                    static_cast<int>(text.size()), &Collect::Add) == 99 &&
                    stopped.tokens.size() == 1,
                "a callback's refusal did not stop the tokenizer", text);
  }
  callbacks.xDelete(tokenizer);
  return 0;
}
