// The engine's construction failing at every one of its allocations in turn (the quick test
// tries a spread of them).
#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>

#include "support/engine_start_failures.h"

namespace {

using mvsdk::engine::MVSoundLibrary;

TEST(EngineAllocationFailureSlow, EveryFailedAllocationFailsTheStartCleanly) {
  MVSoundLibrary::setLogger(nullptr);
  const std::size_t total = mvsdk::test::allocations_of_a_start();
  ASSERT_GT(total, 10u);
  std::printf("a start makes %zu allocations; failing each in turn\n", total);
  std::vector<std::size_t> all(total);
  std::iota(all.begin(), all.end(), std::size_t{1});
  const auto unclean = mvsdk::test::starts_failing_at(all);
  EXPECT_TRUE(unclean.empty()) << unclean.size() << " of " << total << " allocations failed uncleanly";
  EXPECT_EQ(mvsdk::test::start_synthetic_engine(), MVSoundLibrary::kDone);
  MVSoundLibrary::stopEngineSoundLibrary();
}

}  // namespace
