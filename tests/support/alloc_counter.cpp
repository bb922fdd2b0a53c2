#include "support/alloc_counter.h"

#include <pthread.h>
#include <semaphore.h>

#include <cstdlib>
#include <new>

// The test executables link with --wrap=malloc/calloc/realloc: the kit's calls reach the
// __wrap_ functions below, and the real allocator is __real_malloc and friends.
extern "C" {
void* __real_malloc(std::size_t n);
void* __real_calloc(std::size_t n, std::size_t m);
void* __real_realloc(void* p, std::size_t n);
int __real_pthread_mutex_lock(pthread_mutex_t* m);
int __real_sem_wait(sem_t* s);
}

namespace {
thread_local std::size_t g_armed = 0;
thread_local std::size_t g_count = 0;
thread_local std::size_t g_fail_at = 0;  // 0: no injector
thread_local std::size_t g_fail_seen = 0;
thread_local bool g_fail_triggered = false;
thread_local std::size_t g_waits = 0;

// Counts one allocation on this thread; false when it is the one to fail.
bool admit() {
  if (g_armed) ++g_count;
  if (g_fail_at == 0) return true;
  if (++g_fail_seen != g_fail_at) return true;
  g_fail_triggered = true;
  return false;
}

void* counted_alloc(std::size_t n) {
  if (!admit()) throw std::bad_alloc();
  if (n == 0) n = 1;
  if (void* p = __real_malloc(n)) return p;
  throw std::bad_alloc();
}

void* counted_alloc_aligned(std::size_t n, std::size_t align) {
  if (!admit()) throw std::bad_alloc();
  if (n == 0) n = 1;
  std::size_t rounded = (n + align - 1) / align * align;
  if (void* p = std::aligned_alloc(align, rounded)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try { return counted_alloc(n); } catch (...) { return nullptr; }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try { return counted_alloc(n); } catch (...) { return nullptr; }
}
void* operator new(std::size_t n, std::align_val_t a) { return counted_alloc_aligned(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return counted_alloc_aligned(n, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

extern "C" {
int __wrap_pthread_mutex_lock(pthread_mutex_t* m) {
  if (g_armed) ++g_waits;
  return __real_pthread_mutex_lock(m);
}
int __wrap_sem_wait(sem_t* s) {
  if (g_armed) ++g_waits;
  return __real_sem_wait(s);
}
}

namespace mvsdk::test {
AllocationGuard::AllocationGuard() : start_(g_count), waits_start_(g_waits) { ++g_armed; }
AllocationGuard::~AllocationGuard() { --g_armed; }
std::size_t AllocationGuard::count() const { return g_count - start_; }
std::size_t AllocationGuard::waits() const { return g_waits - waits_start_; }

AllocationFailure::AllocationFailure(std::size_t nth) {
  g_fail_at = nth;
  g_fail_seen = 0;
  g_fail_triggered = false;
}
AllocationFailure::~AllocationFailure() { g_fail_at = 0; }
bool AllocationFailure::triggered() const { return g_fail_triggered; }
}  // namespace mvsdk::test

extern "C" {
void* __wrap_malloc(std::size_t n) { return admit() ? __real_malloc(n) : nullptr; }
void* __wrap_calloc(std::size_t n, std::size_t m) { return admit() ? __real_calloc(n, m) : nullptr; }
void* __wrap_realloc(void* p, std::size_t n) { return admit() ? __real_realloc(p, n) : nullptr; }
}
