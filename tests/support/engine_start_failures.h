#pragma once
// Starts the engine through MVSoundLibrary with the synthetic model files while one allocation
// fails, for a chosen set of allocation numbers, and checks that each such start fails cleanly:
// the error code, no engine running, nothing thrown. Leaks show in the AddressSanitizer build
// (LeakSanitizer at exit). Used by the allocation-failure test.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "engine/driver/MVSoundLibrary.h"
#include "support/alloc_counter.h"
#include "support/synthetic_models.h"

namespace mvsdk::test {

inline int start_synthetic_engine() {
  const auto& m = synthetic_models();
  return engine::MVSoundLibrary::startEngine(m.am.c_str(), m.bn.c_str(), m.voc.c_str(), 48000, 48000);
}

// Allocations made on this thread by one successful start (after a first start that sets up
// whatever is made once per process). 0 when the start failed.
inline std::size_t allocations_of_a_start() {
  using engine::MVSoundLibrary;
  synthetic_models();
  if (start_synthetic_engine() != MVSoundLibrary::kDone) return 0;
  MVSoundLibrary::stopEngineSoundLibrary();
  std::size_t n = 0;
  {
    AllocationGuard guard;
    const int rc = start_synthetic_engine();
    n = guard.count();
    if (rc != MVSoundLibrary::kDone) n = 0;
  }
  MVSoundLibrary::stopEngineSoundLibrary();
  return n;
}

// Fails allocation i of a start for each i in which; every start must answer kEngineInitError
// and leave the engine stopped. Returns the allocation numbers that did not fail cleanly.
inline std::vector<std::size_t> starts_failing_at(const std::vector<std::size_t>& which) {
  using engine::MVSoundLibrary;
  std::vector<std::size_t> unclean;
  for (const std::size_t i : which) {
    int rc = 0;
    bool triggered = false;
    bool threw = false;
    {
      AllocationFailure failure(i);
      try {
        rc = start_synthetic_engine();
      } catch (...) {
        threw = true;
      }
      triggered = failure.triggered();
    }
    const bool running = MVSoundLibrary::getEngineStatus() != 0;
    if (threw || !triggered || rc != MVSoundLibrary::kEngineInitError || running) {
      ADD_FAILURE() << "allocation " << i << ": " << (threw ? "an exception escaped" : "answered " + std::to_string(rc))
                    << (triggered ? "" : ", the allocation was never made") << (running ? ", engine running" : "");
      unclean.push_back(i);
    }
    MVSoundLibrary::stopEngineSoundLibrary();
  }
  return unclean;
}

}  // namespace mvsdk::test
