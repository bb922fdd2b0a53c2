#pragma once
// Counts, per thread, the heap allocations and the calls that can wait for another thread
// (pthread_mutex_lock, which std::mutex uses, and sem_wait) made while a CallCounter is alive:
// how the soak checks that the audio thread's allocation-free transform calls keep their word.
//
// The soak executable links with --wrap=malloc, calloc, realloc, pthread_mutex_lock and sem_wait
// (tools/CMakeLists.txt), and call_counter.cpp replaces the global operator new, so the statically
// linked kit's C and C++ allocations count alike. Calls made inside shared libraries (libcurl,
// BLAS, speexdsp) are not seen. Counting costs one thread-local increment a call.
#include <cstddef>

namespace mvsdk::soak {

class CallCounter {
 public:
  CallCounter();
  ~CallCounter();
  CallCounter(const CallCounter&) = delete;
  CallCounter& operator=(const CallCounter&) = delete;
  // Allocations made on this thread since the counter was created.
  std::size_t allocations() const;
  // Mutex locks and semaphore waits made on this thread since the counter was created.
  std::size_t waits() const;

 private:
  std::size_t allocations_start_;
  std::size_t waits_start_;
};

}  // namespace mvsdk::soak
