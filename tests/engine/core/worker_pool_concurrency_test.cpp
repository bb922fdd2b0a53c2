// The engine's worker pool: every part of every job runs exactly once, whoever claims it, however
// many parts and threads, in bursts and between them (products split over the pool are checked
// to the bit by the engine's thread-count cases), and the blocks of a product that reach a thread
// without scratch. Run under ThreadSanitizer too.
#include "engine/core/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/kernels/gemm.h"
#include "engine/kernels/weight_copies.h"

using namespace mvsdk::engine;

namespace {

struct Tally {
  std::vector<std::atomic<int>> runs;
  std::atomic<int> other_threads{0};
  std::thread::id caller = std::this_thread::get_id();
  explicit Tally(int parts) : runs(static_cast<std::size_t>(parts)) {}
};

void count_part(void* ctx, int part) {
  auto& t = *static_cast<Tally*>(ctx);
  t.runs[static_cast<std::size_t>(part)].fetch_add(1, std::memory_order_relaxed);
  if (std::this_thread::get_id() != t.caller) t.other_threads.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

TEST(WorkerPool, EveryPartRunsOnceInAndBetweenBursts) {
  for (int threads : {1, 2, 3, 5}) {
    WorkerPool pool(threads);
    ASSERT_EQ(pool.threads(), threads);
    int helped = 0;
    for (int job = 0; job < 600; ++job) {
      // Bursts of jobs back to back, and single jobs after the workers have gone to sleep.
      const bool burst = job % 200 < 150;
      if (burst) pool.begin_burst();
      if (!burst && job % 25 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const int parts = 1 + job % 13;
      Tally t(parts);
      pool.run(parts, count_part, &t);
      for (int p = 0; p < parts; ++p) ASSERT_EQ(t.runs[static_cast<std::size_t>(p)].load(), 1) << "part " << p;
      helped += t.other_threads.load();
      if (burst) pool.end_burst();
    }
    if (threads == 1) {
      EXPECT_EQ(helped, 0);
    }
  }
  // More threads than asked for are not made; a pool is destroyed at once while its workers sleep.
  EXPECT_EQ(WorkerPool(WorkerPool::kMaxThreads + 10).threads(), WorkerPool::kMaxThreads);
  EXPECT_EQ(WorkerPool(0).threads(), 1);
}

TEST(WorkerPool, BlocksOnAThreadWithoutScratchRunInTheKernelRowsOnce) {
  // A table of copies made for one thread has no scratch for the pool's worker: the BLAS blocks
  // of a product on a copy that the worker claims run in the engine's kernel instead, and must
  // add each of their rows once (300 rows: three row blocks, two column blocks).
  const int M = 300, N = 256, K = 64;
  std::vector<float> a(static_cast<std::size_t>(M) * K), b(static_cast<std::size_t>(K) * N);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>(i % 7) - 3.0f;
  for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<float>(i % 5) * 0.25f - 0.5f;
  WeightCopies table(1, WeightCopies::Form::kPanels);
  ASSERT_TRUE(table.add(b.data(), b.size(), K, N));
  ASSERT_TRUE(table.finish());
  WorkerPool pool(2);
  const PoolScope share(&pool);
  const WeightCopiesScope use(&table);
  for (int round = 0; round < 20; ++round) {
    std::vector<float> c(static_cast<std::size_t>(M) * N, 1.0f);
    ASSERT_TRUE(gemm_acc(M, N, K, 1.0f, a.data(), K, b.data(), N, false, c.data(), N));
    for (int m = 0; m < M; m += 37) {
      for (int n = 0; n < N; n += 29) {
        double want = 1.0;  // small integers and quarters: every sum is exact in any order
        for (int k = 0; k < K; ++k) want += static_cast<double>(a[m * K + k]) * b[k * N + n];
        ASSERT_EQ(c[static_cast<std::size_t>(m) * N + n], static_cast<float>(want)) << m << "," << n;
      }
    }
  }
}
