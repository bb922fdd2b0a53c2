#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "engine/driver/MVSoundLibrary.h"
#include "support/engine_fixture.h"
#include "support/synthetic_models.h"

using mvsdk::engine::MVSoundLibrary;
using mvsdk::test::models;
using mvsdk::test::Params;
using mvsdk::test::test_signal;

TEST(Engine, ConcurrentPopNeverSeesATornChunk) {
  // Reference: the same pushes, popped on the same thread.
  const auto sig = test_signal(16000, 1.6);
  std::vector<short> reference;
  {
    auto e = models().make(16000, 24000);
    Params p;
    std::vector<short> buf(8192);
    for (int pos = 0; pos + 160 <= static_cast<int>(sig.size()); pos += 160) {
      e->Inpush(sig.data() + pos, 160, 1, 1, p.v);
      const int n = e->queued_samples();
      e->Outpop(buf.data(), n);
      reference.insert(reference.end(), buf.begin(), buf.begin() + n);
    }
  }
  auto e = models().make(16000, 24000);
  std::atomic<bool> done{false};
  std::vector<short> popped;
  std::thread popper([&] {
    std::vector<short> buf(240);
    while (true) {
      const bool finished = done.load();
      if (e->queued_samples() >= 240) {
        ASSERT_EQ(e->Outpop(buf.data(), 240), 240);
        popped.insert(popped.end(), buf.begin(), buf.end());
      } else if (finished) {
        break;
      } else {
        std::this_thread::yield();
      }
    }
  });
  Params p;
  for (int pos = 0; pos + 160 <= static_cast<int>(sig.size()); pos += 160) e->Inpush(sig.data() + pos, 160, 1, 1, p.v);
  done = true;
  popper.join();
  ASSERT_GE(reference.size(), popped.size());
  ASSERT_GT(popped.size(), 3840u * 4);
  EXPECT_TRUE(std::equal(popped.begin(), popped.end(), reference.begin()));
}

TEST(SoundLibraryConcurrency, StopWhilePullingIsSafe) {
  // A pull on another thread while the engine is stopped and restarted: the pull either sees an
  // engine or 20001, never a freed one (the address sanitizer build checks).
  const auto& m = mvsdk::test::synthetic_models();
  std::atomic<bool> done{false};
  std::thread puller([&] {
    short buf[480];
    while (!done.load()) {
      const int r = MVSoundLibrary::getRealTimeSoundTransferSoundLibrary(buf, 480);
      ASSERT_TRUE(r == 480 || r == 0 || r == MVSoundLibrary::kNotStarted) << r;
    }
  });
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(MVSoundLibrary::startEngine(m.am.c_str(), m.bn.c_str(), m.voc.c_str(), 48000, 48000),
              MVSoundLibrary::kDone);
    MVSoundLibrary::stopEngineSoundLibrary();
  }
  done = true;
  puller.join();
}
