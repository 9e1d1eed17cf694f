// Work on the chunks [0, n) of a batch by several threads, handed back to
// the calling thread in order.
//
// The constructor starts threads - 1 workers; together with the calling
// thread they claim chunks in ascending order and run work(chunk, thread)
// on each, `thread` being 0 for the calling thread and 1 to threads - 1 for
// the workers, so that work can keep per-thread state.
// The calling thread takes the finished chunks back in order with Next():
// while the next one in order is not done, it works on an unclaimed chunk
// itself (or, when none is left, waits), so that it can hand each finished
// chunk on, for instance to code that only it may run (converting results
// for Python), while the workers go on. The workers live only as long as the
// object: the destructor stops them claiming and joins them. Nothing is left
// behind, so a process may fork once the object is gone.
//
// The workers write their log records where the calling thread's go: each
// installs the log sink the calling thread had when it made the object.
//
// work must be safe to call from several threads at once on different
// chunks. The first exception it throws stops the claiming of new chunks and
// is rethrown by Next() on the calling thread.
//
// Cost: one atomic increment per chunk claimed, and a lock per chunk
// finished; chunks should hold at least microseconds of work.
//
// Thread-safety: Next() and the destructor belong to the thread that made
// the object.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "tokenizer/limonp/Logging.hpp"

namespace kelp::typing::text::batch {

// The threads the process may run at once: the CPUs of its affinity mask
// (which a container or taskset may narrow), at least 1.
inline size_t AvailableThreads() {
#if defined(__linux__)
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    return std::max(1, CPU_COUNT(&set));
  }
#endif
  return std::max(1u, std::thread::hardware_concurrency());
}

class OrderedChunks {
 public:
  // Starts min(threads, chunks) - 1 workers (none for threads <= 1).
  OrderedChunks(size_t chunks, size_t threads, std::function<void(size_t, size_t)> work)
      : chunks_(chunks), work_(std::move(work)), done_(chunks, 0) {
    const size_t workers = std::min(threads, chunks) > 1 ? std::min(threads, chunks) - 1 : 0;
    workers_.reserve(workers);
    limonp::LogSink* const sink = limonp::ScopedLogSink::Current();
    try {
      for (size_t k = 0; k < workers; ++k) {
        workers_.emplace_back([this, k, sink] {
          const limonp::ScopedLogSink records(sink);
          while (RunOne(k + 1)) {
          }
        });
      }
    } catch (...) {
      Stop();
      throw;
    }
  }

  OrderedChunks(const OrderedChunks&) = delete;
  OrderedChunks& operator=(const OrderedChunks&) = delete;

  ~OrderedChunks() { Stop(); }

  // Sets `chunk` to the next chunk in order once its work is done; false
  // when every chunk has been handed back. Rethrows the first exception of
  // any work.
  bool Next(size_t& chunk) {
    if (next_out_ == chunks_) {
      return false;
    }
    while (true) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        if (error_) {
          std::rethrow_exception(error_);
        }
        if (done_[next_out_] != 0) {
          chunk = next_out_++;
          return true;
        }
        if (next_claim_.load(std::memory_order_relaxed) >= chunks_) {
          finished_.wait(lock, [this] { return done_[next_out_] != 0 || error_ != nullptr; });
          continue;
        }
      }
      RunOne(0);
    }
  }

  // Threads that work, the calling thread included.
  size_t Threads() const noexcept { return workers_.size() + 1; }

 private:
  // Claims and works one chunk; false when none was left (or work failed).
  bool RunOne(size_t thread) {
    const size_t chunk = next_claim_.fetch_add(1, std::memory_order_relaxed);
    if (chunk >= chunks_) {
      return false;
    }
    std::exception_ptr error;
    try {
      work_(chunk, thread);
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_[chunk] = 1;
      if (error != nullptr && error_ == nullptr) {
        error_ = error;
      }
    }
    finished_.notify_all();
    if (error != nullptr) {
      next_claim_.store(chunks_, std::memory_order_relaxed);
      return false;
    }
    return true;
  }

  void Stop() noexcept {
    next_claim_.store(chunks_, std::memory_order_relaxed);
    for (std::thread& worker : workers_) {
      worker.join();
    }
    workers_.clear();
  }

  const size_t chunks_;
  std::function<void(size_t, size_t)> work_;
  std::atomic<size_t> next_claim_{0};
  size_t next_out_ = 0;  // the calling thread's alone
  std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<unsigned char> done_;  // guarded by mutex_
  std::exception_ptr error_;         // guarded by mutex_
  std::vector<std::thread> workers_;
};

}  // namespace kelp::typing::text::batch
