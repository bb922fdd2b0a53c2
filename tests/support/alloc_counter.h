#pragma once
// Counts heap allocations made on the calling thread while a scope is armed, and can make one of
// them fail. Linked into every test executable (tests/CMakeLists.txt), which also routes the kit's
// own malloc, calloc and realloc calls through here (--wrap), so C and C++ allocations of the
// statically linked kit count alike; allocations inside shared libraries (libcurl, BLAS, speexdsp)
// are not seen.
#include <cstddef>

namespace mvsdk::test {

// Also counts the calls that can wait for another thread (pthread_mutex_lock, which std::mutex
// uses, and sem_wait), routed here the same way.

// Arms the counter for the current thread for the guard's lifetime and reports what it saw.
class AllocationGuard {
 public:
  AllocationGuard();
  ~AllocationGuard();
  AllocationGuard(const AllocationGuard&) = delete;
  AllocationGuard& operator=(const AllocationGuard&) = delete;
  // Allocations made on this thread since the guard was created.
  std::size_t count() const;
  // Mutex locks and semaphore waits made on this thread since the guard was created.
  std::size_t waits() const;

 private:
  std::size_t start_;
  std::size_t waits_start_;
};

// While alive, the nth allocation (1-based) made on this thread after its creation fails: the
// throwing operator new forms throw std::bad_alloc, the nothrow forms and malloc, calloc and
// realloc return null (realloc leaves the old block alone). Only that one fails; later ones
// succeed. Allocations are counted here whether or not an AllocationGuard is armed. One injector
// per thread at a time.
class AllocationFailure {
 public:
  explicit AllocationFailure(std::size_t nth);
  ~AllocationFailure();
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;
  // True once the nth allocation was made (and failed).
  bool triggered() const;
};

}  // namespace mvsdk::test
