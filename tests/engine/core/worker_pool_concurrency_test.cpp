// The engine's worker pool: every part of every job runs exactly once, whoever claims it, however
// many parts and threads, in bursts and between them; and a product split over the pool is the
// same to the bit as on one thread. Run under ThreadSanitizer too.
#include "engine/core/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/kernels/gemm.h"
#include "support/seeded_weights.h"

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

TEST(WorkerPool, SplitProductsAreBitIdenticalToOneThread) {
  // Products large enough to be split, in the engine's kernel (up to 8 rows) and in BLAS (more),
  // both layouts, with column counts that do not divide evenly into parts.
  struct Shape {
    int m, n, k;
    bool t;
  } shapes[] = {{4, 1024, 256, false}, {4, 2053, 512, false}, {3, 771, 300, true}, {8, 1000, 192, true},
                {16, 1024, 256, false}, {19, 533, 384, true}, {48, 300, 128, false}, {16, 2048, 512, true}};
  mvsdk::test::SeededFloats rng(7);
  for (const Shape& s : shapes) {
    const std::vector<float> a = rng.vector(static_cast<std::size_t>(s.m) * s.k, 1.0f);
    const std::vector<float> b = rng.vector(static_cast<std::size_t>(s.n) * s.k, 1.0f);
    const std::vector<float> c0 = rng.vector(static_cast<std::size_t>(s.m) * s.n, 1.0f);
    const int ldb = s.t ? s.k : s.n;
    std::vector<float> want = c0;
    ASSERT_TRUE(gemm_acc(s.m, s.n, s.k, 0.5f, a.data(), s.k, b.data(), ldb, s.t, want.data(), s.n));
    for (int threads : {2, 3, 4}) {
      WorkerPool pool(threads);
      const PoolScope scope(&pool);
      ASSERT_EQ(current_pool(), &pool);
      std::vector<float> got = c0;
      ASSERT_TRUE(gemm_acc(s.m, s.n, s.k, 0.5f, a.data(), s.k, b.data(), ldb, s.t, got.data(), s.n));
      EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << s.m << "x" << s.n << "x" << s.k << (s.t ? " B^T" : " B") << ", " << threads
                           << " threads";
    }
    EXPECT_EQ(current_pool(), nullptr);
  }
}
