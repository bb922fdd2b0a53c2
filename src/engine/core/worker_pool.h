#pragma once
// WorkerPool: a few persistent threads that share one chunk's matrix products with the thread
// that computes the chunk.
//
// The computing thread posts a job (a function and its argument) cut into parts. Every thread,
// the computing one included, claims parts one at a time until none is left, so a worker that
// wakes late only takes fewer parts; run() returns when every part is done. The job is never
// copied and nothing is allocated per job.
//
// Waiting: while a chunk is being computed (between begin_burst and end_burst) a worker that has
// finished its part watches for the next job for a short while before it sleeps, because the next
// product usually follows within microseconds; outside a burst, workers sleep on a futex (the
// atomic's wait) and use no processor at all.
//
// PoolScope lends a pool to the matrix products run on the current thread (gemm_acc splits its
// products over current_pool()); without a scope every product runs on the calling thread alone.
//
// Threads: run, begin_burst and end_burst come from one thread at a time (the engine's). The
// pool's destructor stops and joins the workers.
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace mvsdk::engine {

class WorkerPool {
 public:
  // At most this many threads compute a job (the caller's included).
  static constexpr int kMaxThreads = 16;
  using Job = void (*)(void* ctx, int part);

  // threads: how many threads compute a job, the caller's included (clamped to 1..kMaxThreads).
  // If a worker cannot be started, the pool runs with the workers it has.
  explicit WorkerPool(int threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int threads() const { return threads_; }
  // Which thread of its pool the calling thread is: 1 .. threads() - 1 for a worker, 0 for any
  // other thread (the caller of run among them). Products use it to pick per-thread scratch.
  static int thread_index();

  // Runs job(ctx, part) once for every part in [0, parts) (parts clamped to 1..kMaxParts), on
  // the calling thread and the workers, in no set order. Returns when every part has returned.
  static constexpr int kMaxParts = 1 << 15;
  void run(int parts, Job job, void* ctx);

  // Brackets a stretch of many jobs (one chunk): workers watch for the next job instead of
  // sleeping between them.
  void begin_burst() { burst_.store(true, std::memory_order_relaxed); }
  void end_burst() { burst_.store(false, std::memory_order_relaxed); }

 private:
  void work();
  // Claims and runs parts of the current job until none is left.
  void take_parts();

  int threads_ = 1;
  std::vector<std::thread> workers_;
  // Bumped for every job (and at shutdown); sleeping workers wait for it to change.
  std::atomic<std::uint32_t> generation_{0};
  // The parts still to claim: job number (high 32 bits), parts (16 bits), next part (low 16 bits).
  // A thread that claims a part of a job by compare-and-swap may read the job's fields: the job
  // cannot end, and they cannot change, before that part is done.
  std::atomic<std::uint64_t> claim_{0};
  // Parts of the current job done.
  std::atomic<std::uint32_t> done_{0};
  std::atomic<bool> burst_{false};
  std::atomic<bool> stop_{false};
  Job job_ = nullptr;
  void* ctx_ = nullptr;
};

// The pool the matrix products on this thread split their work over, or null.
WorkerPool* current_pool();

// Lends pool (may be null) to this thread's products and marks a burst, for the scope's life.
class PoolScope {
 public:
  explicit PoolScope(WorkerPool* pool);
  ~PoolScope();
  PoolScope(const PoolScope&) = delete;
  PoolScope& operator=(const PoolScope&) = delete;

 private:
  WorkerPool* previous_;
  WorkerPool* pool_;
};

// The engine threads "automatic" (0) stands for: the processor's cores, at most kAutoThreadsMax.
inline constexpr int kAutoThreadsMax = 4;
int automatic_engine_threads();

}  // namespace mvsdk::engine
