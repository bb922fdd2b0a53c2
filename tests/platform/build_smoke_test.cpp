#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "support/alloc_counter.h"

// The allocation counter must see both C++ and C allocations, or the real-time tests would pass
// without proving anything.
TEST(AllocCounter, CountsNewAndMalloc) {
  mvsdk::test::AllocationGuard guard;
  auto* v = new std::vector<int>(10);
  void* p = std::malloc(16);
  EXPECT_GE(guard.count(), 3u);
  std::free(p);
  delete v;
}

TEST(AllocCounter, IgnoresOtherScopes) {
  std::size_t before;
  {
    mvsdk::test::AllocationGuard guard;
    before = guard.count();
  }
  auto* v = new int(3);
  mvsdk::test::AllocationGuard guard;
  EXPECT_EQ(guard.count(), 0u);
  EXPECT_EQ(before, 0u);
  delete v;
}
