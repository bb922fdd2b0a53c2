#include "call_counter.h"

#include <pthread.h>
#include <semaphore.h>

#include <cstdlib>
#include <new>

// With --wrap, the executable's calls of malloc and friends reach the __wrap_ functions below,
// and __real_malloc and friends are the C library's own.
extern "C" {
void* __real_malloc(std::size_t n);
void* __real_calloc(std::size_t n, std::size_t m);
void* __real_realloc(void* p, std::size_t n);
int __real_pthread_mutex_lock(pthread_mutex_t* m);
int __real_sem_wait(sem_t* s);
}

namespace {

thread_local std::size_t t_armed = 0;  // live CallCounters on this thread
thread_local std::size_t t_allocations = 0;
thread_local std::size_t t_waits = 0;

void count_allocation() {
  if (t_armed) ++t_allocations;
}

void* allocate(std::size_t n) {
  count_allocation();
  if (void* p = __real_malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

void* allocate_aligned(std::size_t n, std::align_val_t a) {
  count_allocation();
  const auto align = static_cast<std::size_t>(a);
  // aligned_alloc wants a multiple of the alignment.
  const std::size_t rounded = ((n == 0 ? 1 : n) + align - 1) / align * align;
  if (void* p = std::aligned_alloc(align, rounded)) return p;
  throw std::bad_alloc();
}

void* allocate_nothrow(std::size_t n) noexcept {
  count_allocation();
  return __real_malloc(n == 0 ? 1 : n);
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_nothrow(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_nothrow(n); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_aligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_aligned(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

extern "C" {
void* __wrap_malloc(std::size_t n) {
  count_allocation();
  return __real_malloc(n);
}
void* __wrap_calloc(std::size_t n, std::size_t m) {
  count_allocation();
  return __real_calloc(n, m);
}
void* __wrap_realloc(void* p, std::size_t n) {
  count_allocation();
  return __real_realloc(p, n);
}
int __wrap_pthread_mutex_lock(pthread_mutex_t* m) {
  if (t_armed) ++t_waits;
  return __real_pthread_mutex_lock(m);
}
int __wrap_sem_wait(sem_t* s) {
  if (t_armed) ++t_waits;
  return __real_sem_wait(s);
}
}

namespace mvsdk::soak {

CallCounter::CallCounter() : allocations_start_(t_allocations), waits_start_(t_waits) { ++t_armed; }
CallCounter::~CallCounter() { --t_armed; }
std::size_t CallCounter::allocations() const { return t_allocations - allocations_start_; }
std::size_t CallCounter::waits() const { return t_waits - waits_start_; }

}  // namespace mvsdk::soak
