#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "support/alloc_counter.h"

namespace {

// Makes a pointer visible to the outside so the optimiser cannot elide the allocation that made it
// (new/delete and malloc/free pairs whose results go unused may be removed).
void escape(void* p) { asm volatile("" : : "g"(p) : "memory"); }

}  // namespace

// The allocation counter must see both C++ and C allocations, or the real-time tests would pass
// without proving anything. Each allocation is counted once (operator new goes through malloc).
TEST(AllocCounter, CountsNewAndMalloc) {
  mvsdk::test::AllocationGuard guard;
  auto* v = new std::vector<int>(10);
  escape(v);
  escape(v->data());
  void* p = std::malloc(16);
  escape(p);
  EXPECT_EQ(guard.count(), 3u);
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
