#include "batch/StagedFit.hpp"

#include <memory>
#include <utility>

#include "batch/BatchPolicy.hpp"
#include "batch/OrderedChunks.hpp"

namespace kelp::typing::text::batch {

SparseEncoder::Counts TrainStaged(const SparseEncoder& encoder, TextSource& source,
                                  size_t threads) {
  const size_t thread_count = ResolveThreads(threads);
  SparseEncoder::Counts staged(encoder);
  std::vector<std::unique_ptr<SparseEncoder::Counts>> locals(thread_count);
  std::vector<SparseEncoder::Scratch> scratch(thread_count);
  std::vector<std::vector<std::string_view>> valid(thread_count);
  std::vector<std::string_view> batch;
  std::vector<std::string_view> next;
  size_t position = 0;  // of the batch's first text in the source
  bool more = source.Next(kFitBatchBytes, kFitBatchTexts, batch);
  while (more) {
    const std::vector<ChunkRange> ranges = SplitIntoChunks(batch.data(), batch.size());
    // The runner is declared after what its workers read, so that on an
    // exception it stops and joins them first.
    OrderedChunks runner(ranges.size(), thread_count, [&](size_t k, size_t thread) {
      if (locals[thread] == nullptr) {
        locals[thread] = std::make_unique<SparseEncoder::Counts>(encoder);
      }
      ValidTexts(batch.data(), ranges[k], position, valid[thread]);
      encoder.Train(valid[thread].data(), ranges[k].size(), *locals[thread], scratch[thread]);
    });
    more = source.Next(kFitBatchBytes, kFitBatchTexts, next);
    size_t k;
    while (runner.Next(k)) {
    }
    for (std::unique_ptr<SparseEncoder::Counts>& local : locals) {
      if (local != nullptr) {
        staged.Merge(*local);
        local.reset();
      }
    }
    position += batch.size();
    batch.swap(next);
  }
  return staged;
}

void Fit(const SparseEncoder& encoder, TextSource& source, size_t threads) {
  encoder.Commit(TrainStaged(encoder, source, threads));
}

}  // namespace kelp::typing::text::batch
