#include "sqlite/Fts5Module.hpp"

#include <memory>
#include <new>
#include <stdexcept>

#include "sqlite/SegmenterCache.hpp"
#include "sqlite/TextTokenizer.hpp"
#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::sqlite {

namespace {

// Hands tokens to FTS5's callback.
class CallbackSink : public TokenSink {
 public:
  using Callback = int (*)(void*, int, const char*, int, int, int);

  CallbackSink(Callback callback, void* context) : callback_(callback), context_(context) {}

  int Add(const Token& token) override {
    return callback_(context_, token.colocated ? FTS5_TOKEN_COLOCATED : 0, token.text.data(),
                     static_cast<int>(token.text.size()), static_cast<int>(token.begin),
                     static_cast<int>(token.end));
  }

 private:
  Callback callback_;
  void* context_;
};

// FTS5 sees a TextTokenizer as its opaque Fts5Tokenizer.
Fts5Tokenizer* Handle(TextTokenizer* tokenizer) {
  return reinterpret_cast<Fts5Tokenizer*>(tokenizer);
}

TextTokenizer* Object(Fts5Tokenizer* handle) { return reinterpret_cast<TextTokenizer*>(handle); }

}  // namespace

fts5_tokenizer Fts5Module::Callbacks() noexcept {
  fts5_tokenizer callbacks{};
  callbacks.xCreate = &Create;
  callbacks.xDelete = &Delete;
  callbacks.xTokenize = &Tokenize;
  return callbacks;
}

int Fts5Module::Fail(int code, const std::string& message) const noexcept {
  try {
    LIMONP_LOG(limonp::LL_ERROR) << message;
    if (report_) {
      report_(code, message.c_str());
    }
  } catch (...) {
    // Reporting is a courtesy; the code says what happened.
  }
  return code;
}

int Fts5Module::Create(void* context, const char** args, int count, Fts5Tokenizer** out) noexcept {
  const auto* module = static_cast<const Fts5Module*>(context);
  try {
    const TokenizerOptions options =
        TokenizerOptions::Parse(args, count, DataPaths::InFolder(module->data_folder_));
    std::shared_ptr<const jieba::Jieba> jieba = SegmenterCache::Process().Get(options.paths);
    *out = Handle(new TextTokenizer(std::move(jieba), options));
    return SQLITE_OK;
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  } catch (const std::exception& error) {
    return module->Fail(SQLITE_ERROR, error.what());
  }
}

void Fts5Module::Delete(Fts5Tokenizer* tokenizer) noexcept { delete Object(tokenizer); }

int Fts5Module::Tokenize(Fts5Tokenizer* tokenizer, void* context, int flags, const char* text,
                         int size,
                         int (*token)(void*, int, const char*, int, int, int)) noexcept {
  try {
    CallbackSink sink(token, context);
    const std::string_view input(size > 0 ? text : "", size > 0 ? static_cast<size_t>(size) : 0);
    const TextTokenizer::Use use = (flags & FTS5_TOKENIZE_QUERY) != 0
                                       ? TextTokenizer::Use::kQuery
                                       : TextTokenizer::Use::kDocument;
    return Object(tokenizer)->Tokenize(input, use, sink);
  } catch (const std::bad_alloc&) {
    return SQLITE_NOMEM;
  } catch (const std::exception& error) {
    LIMONP_LOG(limonp::LL_ERROR) << "razoduviva: " << error.what();
    return SQLITE_ERROR;
  }
}

}  // namespace kelp::typing::text::sqlite
