#include "engine/core/worker_pool.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace mvsdk::engine {

namespace {

// How long a worker watches for the next job of a burst before it sleeps, and how long the
// caller watches for the workers to finish before it sleeps. Products of a chunk follow one
// another within microseconds; a futex wake-up costs tens of microseconds on a virtual machine.
constexpr auto kWorkerWatch = std::chrono::microseconds(200);
constexpr auto kCallerWatch = std::chrono::microseconds(2000);

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Watches for done() for up to `limit` while keep_watching() holds; true when done() came true.
template <class Done, class Keep>
bool watch(Done done, std::chrono::microseconds limit, Keep keep_watching) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (int i = 1;; ++i) {
    if (done()) return true;
    relax();
    if ((i & 63) == 0 && (!keep_watching() || std::chrono::steady_clock::now() >= until)) return false;
  }
}

thread_local WorkerPool* t_pool = nullptr;
thread_local int t_thread_index = 0;

}  // namespace

WorkerPool::WorkerPool(int threads) {
  const int wanted = std::clamp(threads, 1, kMaxThreads);
  workers_.reserve(static_cast<std::size_t>(wanted - 1));
  for (int i = 1; i < wanted; ++i) {
    try {
      workers_.emplace_back([this, i] {
        t_thread_index = i;
        work();
      });
    } catch (const std::system_error&) {
      break;  // run with the workers already started
    }
    char name[16];
    std::snprintf(name, sizeof name, "mvsdk-engine-%d", i);
    pthread_setname_np(workers_.back().native_handle(), name);
  }
  threads_ = 1 + static_cast<int>(workers_.size());
}

WorkerPool::~WorkerPool() {
  stop_.store(true, std::memory_order_relaxed);
  generation_.fetch_add(1, std::memory_order_release);
  generation_.notify_all();
  for (auto& t : workers_) t.join();
}

void WorkerPool::run(int parts, Job job, void* ctx) {
  parts = std::clamp(parts, 1, kMaxParts);
  if (parts == 1 || workers_.empty()) {
    for (int p = 0; p < parts; ++p) job(ctx, p);
    return;
  }
  job_ = job;
  ctx_ = ctx;
  done_.store(0, std::memory_order_relaxed);
  const std::uint64_t number = (claim_.load(std::memory_order_relaxed) >> 32) + 1;
  claim_.store(number << 32 | static_cast<std::uint64_t>(parts) << 16, std::memory_order_release);
  generation_.fetch_add(1, std::memory_order_release);
  generation_.notify_all();
  take_parts();
  const auto all_done = [this, parts] {
    return done_.load(std::memory_order_acquire) == static_cast<std::uint32_t>(parts);
  };
  if (watch(all_done, kCallerWatch, [] { return true; })) return;
  // Still not done: sleep until the last part's completion.
  for (std::uint32_t d = done_.load(std::memory_order_acquire); d != static_cast<std::uint32_t>(parts);
       d = done_.load(std::memory_order_acquire)) {
    done_.wait(d, std::memory_order_acquire);
  }
}

void WorkerPool::take_parts() {
  std::uint64_t c = claim_.load(std::memory_order_acquire);
  for (;;) {
    const auto parts = static_cast<std::uint32_t>(c >> 16 & 0xffff);
    const auto next = static_cast<std::uint32_t>(c & 0xffff);
    if (next >= parts) return;
    if (!claim_.compare_exchange_weak(c, c + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
      continue;  // c now holds the current value
    }
    job_(ctx_, static_cast<int>(next));
    if (done_.fetch_add(1, std::memory_order_acq_rel) + 1 == parts) done_.notify_one();
    c = claim_.load(std::memory_order_acquire);
  }
}

void WorkerPool::work() {
  std::uint32_t seen = 0;
  for (;;) {
    const auto posted = [this, seen] { return generation_.load(std::memory_order_acquire) != seen; };
    if (!watch(posted, kWorkerWatch, [this] { return burst_.load(std::memory_order_relaxed); })) {
      generation_.wait(seen, std::memory_order_acquire);
    }
    seen = generation_.load(std::memory_order_acquire);
    if (stop_.load(std::memory_order_relaxed)) return;
    take_parts();
  }
}

int WorkerPool::thread_index() { return t_thread_index; }

WorkerPool* current_pool() { return t_pool; }

PoolScope::PoolScope(WorkerPool* pool) : previous_(t_pool), pool_(pool) {
  t_pool = pool;
  if (pool_) pool_->begin_burst();
}

PoolScope::~PoolScope() {
  if (pool_) pool_->end_burst();
  t_pool = previous_;
}

int automatic_engine_threads() {
  const unsigned n = std::thread::hardware_concurrency();
  return std::clamp(static_cast<int>(n), 1, kAutoThreadsMax);
}

}  // namespace mvsdk::engine
