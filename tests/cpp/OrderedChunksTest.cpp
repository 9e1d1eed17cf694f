#include "batch/OrderedChunks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace batch = kelp::typing::text::batch;

namespace {

// Every chunk is worked once, by a thread of the right range, and handed
// back in order, whatever the thread count (more threads than chunks too).
TEST(OrderedChunksTest, HandsBackEveryChunkOnceInOrder) {
  for (const size_t threads : {1u, 2u, 3u, 16u}) {
    for (const size_t chunks : {0u, 1u, 5u, 200u}) {
      std::vector<std::atomic<int>> worked(chunks);
      std::vector<size_t> by(chunks, SIZE_MAX);
      batch::OrderedChunks runner(chunks, threads, [&](size_t k, size_t thread) {
        // Later chunks finish first now and then, so that order matters.
        if (k % 7 == 0) {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ++worked[k];
        by[k] = thread;
      });
      EXPECT_LE(runner.Threads(), std::max<size_t>(1, std::min(threads, chunks)));
      std::vector<size_t> order;
      size_t k;
      while (runner.Next(k)) {
        EXPECT_EQ(worked[k].load(), 1) << k;  // done before it is handed back
        order.push_back(k);
      }
      ASSERT_EQ(order.size(), chunks) << threads;
      for (size_t i = 0; i < chunks; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_LT(by[i], runner.Threads());
      }
      EXPECT_FALSE(runner.Next(k));
    }
  }
}

// The first failure stops the claiming and reaches the calling thread; the
// workers are joined when the object goes.
TEST(OrderedChunksTest, AFailureReachesTheCaller) {
  for (const size_t threads : {1u, 2u, 4u}) {
    std::atomic<int> worked{0};
    batch::OrderedChunks runner(1000, threads, [&](size_t k, size_t) {
      if (k == 3) {
        throw std::length_error("chunk 3");
      }
      ++worked;
    });
    size_t k;
    size_t handed = 0;
    try {
      while (runner.Next(k)) {
        ++handed;
      }
      FAIL() << "no exception";
    } catch (const std::length_error& e) {
      EXPECT_STREQ(e.what(), "chunk 3");
    }
    EXPECT_LE(handed, 3u);
    EXPECT_LT(worked.load(), 1000);
  }
}

TEST(OrderedChunksTest, AvailableThreadsIsAtLeastOne) {
  EXPECT_GE(batch::AvailableThreads(), 1u);
}

}  // namespace
