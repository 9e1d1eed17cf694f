// The segmenters of a process, loaded once per set of data files and shared
// by every tokenizer that asks for the same files.
//
// SQLite creates a tokenizer for every FTS5 table each connection opens, so
// a process with many connections, or a connection per request, would load
// the data (about 0.2 s and 60 MiB for the bundled files) over and over
// without this. Process() is the one piece of process-wide state of the
// SQLite extension: a map from the five paths, as given, to the segmenter
// loaded from them, guarded by a mutex. Entries stay until the process
// ends; the distinct sets of files a process uses are few.
//
// Thread-safety: Get may be called from any number of threads. A load
// happens under the mutex, so two connections that ask for the same files
// at once load them once; a caller asking for other files meanwhile waits
// for that load. A failed load leaves no entry, and the next Get tries
// again. The segmenters handed out are const: cutting needs no lock.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "sqlite/TokenizerOptions.hpp"
#include "tokenizer/jieba/Jieba.hpp"

namespace kelp::typing::text::sqlite {

class SegmenterCache {
 public:
  SegmenterCache() = default;
  SegmenterCache(const SegmenterCache&) = delete;
  SegmenterCache& operator=(const SegmenterCache&) = delete;

  // The process's cache. Never destroyed (the process's end reclaims it), so
  // that a connection closed during exit, after static destructors ran, can
  // still release its tokenizers.
  static SegmenterCache& Process();

  // The segmenter on `paths`, loaded now if no earlier call loaded it.
  // Throws std::runtime_error "razoduviva: cannot load the data: <why>"
  // (the file and what is wrong with it) when the files do not load. The
  // log records of a load reach the thread's log (standard error) only when
  // it succeeds; a failure says what went wrong in the exception.
  std::shared_ptr<const jieba::Jieba> Get(const DataPaths& paths);

  // The number of loaded segmenters.
  size_t size() const;

 private:
  using Key = std::tuple<std::string, std::string, std::string, std::string, std::string>;

  mutable std::mutex mutex_;
  std::map<Key, std::shared_ptr<const jieba::Jieba>> loaded_;
};

}  // namespace kelp::typing::text::sqlite
