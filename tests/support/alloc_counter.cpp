#include "support/alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::size_t g_armed = 0;
thread_local std::size_t g_count = 0;

void* counted_alloc(std::size_t n) {
  if (g_armed) ++g_count;
  if (n == 0) n = 1;
  if (void* p = std::malloc(n)) return p;
  throw std::bad_alloc();
}

void* counted_alloc_aligned(std::size_t n, std::size_t align) {
  if (g_armed) ++g_count;
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

namespace mvsdk::test {
std::size_t thread_allocations() { return g_count; }
AllocationGuard::AllocationGuard() : start_(g_count) { ++g_armed; }
AllocationGuard::~AllocationGuard() { --g_armed; }
std::size_t AllocationGuard::count() const { return g_count - start_; }
}  // namespace mvsdk::test

// The test executables link with --wrap=malloc/calloc/realloc, so direct C allocations made by
// the kit's own (statically linked) code are counted as well.
extern "C" {
void* __real_malloc(std::size_t n);
void* __real_calloc(std::size_t n, std::size_t m);
void* __real_realloc(void* p, std::size_t n);
void* __wrap_malloc(std::size_t n) {
  if (g_armed) ++g_count;
  return __real_malloc(n);
}
void* __wrap_calloc(std::size_t n, std::size_t m) {
  if (g_armed) ++g_count;
  return __real_calloc(n, m);
}
void* __wrap_realloc(void* p, std::size_t n) {
  if (g_armed) ++g_count;
  return __real_realloc(p, n);
}
}
