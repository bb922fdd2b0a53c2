#pragma once
// Counts heap allocations made through the global operator new on the calling thread while a
// scope is armed. Linked into every test executable (tests/CMakeLists.txt).
#include <cstddef>

namespace mvsdk::test {

// Allocations seen on this thread while at least one AllocationGuard is alive.
std::size_t thread_allocations();

// Arms the counter for the current thread for the guard's lifetime and reports what it saw.
class AllocationGuard {
 public:
  AllocationGuard();
  ~AllocationGuard();
  AllocationGuard(const AllocationGuard&) = delete;
  AllocationGuard& operator=(const AllocationGuard&) = delete;
  // Allocations made on this thread since the guard was created.
  std::size_t count() const;

 private:
  std::size_t start_;
};

}  // namespace mvsdk::test
