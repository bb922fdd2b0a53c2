// The engine's construction under allocation failure: a spread of failing allocations (the
// first and last ones, and every few in between; every one in the slow variant). Each start must
// fail with kEngineInitError and leave nothing running; a start afterwards must still work.
#include <gtest/gtest.h>

#include <set>

#include "support/engine_start_failures.h"

namespace {

using mvsdk::engine::MVSoundLibrary;

TEST(EngineAllocationFailure, EachFailedAllocationFailsTheStartCleanly) {
  MVSoundLibrary::setLogger(nullptr);
  const std::size_t total = mvsdk::test::allocations_of_a_start();
  ASSERT_GT(total, 10u) << "a start makes no allocations the counter can see";
  std::set<std::size_t> picks;
  for (std::size_t i = 1; i <= std::min<std::size_t>(total, 8); ++i) picks.insert(i);
  for (std::size_t i = total > 8 ? total - 7 : 1; i <= total; ++i) picks.insert(i);
  const std::size_t stride = std::max<std::size_t>(1, total / 24);
  for (std::size_t i = 1; i <= total; i += stride) picks.insert(i);
  EXPECT_TRUE(mvsdk::test::starts_failing_at({picks.begin(), picks.end()}).empty());
  // Nothing was left half set up.
  EXPECT_EQ(mvsdk::test::start_synthetic_engine(), MVSoundLibrary::kDone);
  EXPECT_EQ(MVSoundLibrary::getEngineStatus(), 1);
  MVSoundLibrary::stopEngineSoundLibrary();
}

}  // namespace
