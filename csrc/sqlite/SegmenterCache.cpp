#include "sqlite/SegmenterCache.hpp"

#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "tokenizer/limonp/Errors.hpp"
#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::sqlite {

namespace {

// Keeps the records of a load, to pass them on only if it succeeds.
class HeldRecords : public limonp::LogSink {
 public:
  void Write(const Record& record) noexcept override {
    try {
      records_.emplace_back(record.level, std::string(record.text));
    } catch (...) {
      // Out of memory while loading: the load fails on its own.
    }
  }

  void PassOn() const {
    for (const auto& [level, text] : records_) {
      limonp::WriteLine(level, text);
    }
  }

 private:
  std::vector<std::pair<size_t, std::string>> records_;
};

std::string Reason(const std::exception& error) {
  if (const auto* file = dynamic_cast<const limonp::FileError*>(&error)) {
    return file->path() + ": " + std::strerror(file->error_number());
  }
  return error.what();  // DataError: "path:line: what is wrong"
}

}  // namespace

SegmenterCache& SegmenterCache::Process() {
  static SegmenterCache* const cache = new SegmenterCache();
  return *cache;
}

std::shared_ptr<const jieba::Jieba> SegmenterCache::Get(const DataPaths& paths) {
  Key key(paths.dict, paths.hmm, paths.user_dict, paths.idf, paths.stop_words);
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = loaded_.find(key);
  if (found != loaded_.end()) {
    return found->second;
  }
  HeldRecords records;
  std::shared_ptr<const jieba::Jieba> loaded;
  {
    const limonp::ScopedLogSink hold(&records);
    try {
      loaded = std::make_shared<const jieba::Jieba>(paths.dict, paths.hmm, paths.user_dict,
                                                    paths.idf, paths.stop_words);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& error) {
      throw std::runtime_error("razoduviva: cannot load the data: " + Reason(error));
    }
  }
  records.PassOn();
  loaded_.emplace(std::move(key), loaded);
  return loaded;
}

size_t SegmenterCache::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return loaded_.size();
}

}  // namespace kelp::typing::text::sqlite
