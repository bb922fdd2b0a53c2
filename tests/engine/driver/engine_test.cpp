// The engine chain: chunk spacing after priming, start-up silence, underrun, delay and reset;
// the same output stream whatever the push size and thread count; any rate; no allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/driver/engine.h"
#include "support/alloc_counter.h"
#include "support/engine_fixture.h"

using mvsdk::engine::ChunkStage;
using mvsdk::test::models;
using mvsdk::test::Params;
using mvsdk::test::test_signal;

namespace {
bool all_zero(const std::vector<short>& v) {
  return std::all_of(v.begin(), v.end(), [](short s) { return s == 0; });
}
}  // namespace

TEST(Engine, FirstChunkAfterPrimingAndChunkSpacing) {
  // 16 kHz in, 24 kHz out: no resamplers. Priming leaves 320 samples and six frames, so 2000
  // samples complete the first chunk and every later one needs 2560 more.
  auto e = models().make(16000, 24000);
  ASSERT_TRUE(e->ok());
  std::vector<short> zeros(4000, 0);
  Params p;
  for (auto [n, queued] : {std::pair{1999, 0}, {1, 3840}, {2559, 0}, {1, 3840}}) {
    EXPECT_EQ(e->Inpush(zeros.data(), n, 1, 1, p.v), queued);
  }
}

TEST(Engine, StartupSilenceUnderrunDelayAndReset) {
  auto e = models().make(48000, 48000);
  ASSERT_TRUE(e->ok());
  EXPECT_EQ(e->setdelay(0), 2);
  std::vector<short> out(480, 123);
  EXPECT_EQ(e->Outpop(out.data(), 480), 480);  // before any chunk: silence that counts as output
  EXPECT_TRUE(all_zero(out));
  const auto sig = test_signal(48000, 1.0);
  Params p;
  int pos = 0;
  const auto next_chunk = [&] {
    int queued = 0;
    for (; queued == 0 && pos + 480 <= static_cast<int>(sig.size()); pos += 480) {
      queued = e->Inpush(sig.data() + pos, 480, 1, 1, p.v);
    }
    return queued;
  };
  EXPECT_EQ(next_chunk(), 7680);
  // delay 2 x 480 zeros, then the silenced first chunk.
  std::vector<short> all(960 + 7680, 1);
  EXPECT_EQ(e->queued_samples(), 960 + 7680);
  EXPECT_EQ(e->Outpop(all.data(), static_cast<int>(all.size())), static_cast<int>(all.size()));
  EXPECT_TRUE(all_zero(all));
  // Output has begun: a pop that finds too little is an underrun, filled with silence.
  std::fill(out.begin(), out.end(), 5);
  EXPECT_EQ(e->Outpop(out.data(), 480), -1);
  EXPECT_TRUE(all_zero(out));
  ASSERT_EQ(next_chunk(), 7680);  // the second chunk is real output
  std::vector<short> chunk(7680);
  EXPECT_EQ(e->Outpop(chunk.data(), 7680), 7680);
  EXPECT_FALSE(all_zero(chunk));
  // reset: the silence rule again, with the delay (clamped to 16) now in force.
  EXPECT_EQ(e->setdelay(17), 16);
  EXPECT_EQ(e->setdelay(5), 5);
  e->reset();
  EXPECT_TRUE(!e->started() && e->queued_samples() == 0);
  EXPECT_EQ(e->Outpop(out.data(), 480), 480);
  pos = 0;
  EXPECT_EQ(next_chunk(), 7680);
  EXPECT_EQ(e->queued_samples(), 5 * 480 + 7680);
}

TEST(Engine, PushSizesAndThreadCountsGiveTheSameStream) {
  // 10 ms pushes and 2560-sample pushes of the same input convert to the same output stream, and
  // 2, 3 and 4 engine threads give every stage's floats to the bit: the products are split by
  // columns, never summed in another order.
  const auto sig = test_signal(16000, 1.6);
  struct Run {
    std::vector<short> stream;
    std::vector<float> stages;  // every observed stage's data, in order
  };
  auto run = [&](int push, int threads) {
    auto e = models().make(16000, 24000, threads);
    EXPECT_EQ(e->threads(), threads);
    Run r;
    e->set_observer(
        [](void* user, ChunkStage, const float* data, int rows, int cols) {
          auto& v = *static_cast<std::vector<float>*>(user);
          v.insert(v.end(), data, data + static_cast<std::ptrdiff_t>(rows) * cols);
        },
        &r.stages);
    Params p;
    std::vector<short> buf(8192);
    for (int pos = 0; pos < static_cast<int>(sig.size()); pos += push) {
      e->Inpush(sig.data() + pos, std::min(push, static_cast<int>(sig.size()) - pos), 1, 1, p.v);
      const int avail = e->queued_samples();
      e->Outpop(buf.data(), avail);
      r.stream.insert(r.stream.end(), buf.begin(), buf.begin() + avail);
    }
    return r;
  };
  const Run a = run(160, 1);
  ASSERT_GT(a.stream.size(), 3840u * 5);
  EXPECT_EQ(run(2560, 1).stream, a.stream);
  EXPECT_FALSE(all_zero(a.stream));
  for (int threads : {2, 3, 4}) {
    const Run t = run(160, threads);
    EXPECT_EQ(t.stream, a.stream) << threads << " threads";
    ASSERT_EQ(t.stages.size(), a.stages.size());
    EXPECT_EQ(std::memcmp(t.stages.data(), a.stages.data(), a.stages.size() * sizeof(float)), 0) << threads;
  }
}

TEST(Engine, AnyRateAndAnyPushLengthIsSafe) {
  // Rates from 8 kHz to 192 kHz, pushes far beyond one chunk: nothing overflows (the sanitizer
  // build checks), and a long push converts as much as the same audio in 10 ms pushes.
  const int rates[][2] = {{8000, 192000}, {192000, 8000}, {44100, 44100}, {11025, 96000}};
  for (const auto& r : rates) {
    SCOPED_TRACE(std::to_string(r[0]) + " -> " + std::to_string(r[1]));
    const auto sig = test_signal(r[0], 0.45);
    Params p;
    auto whole = models().make(r[0], r[1]);
    ASSERT_TRUE(whole->ok());
    const int a = whole->Inpush(sig.data(), static_cast<int>(sig.size()), 1, 1, p.v);
    auto steps = models().make(r[0], r[1]);
    int b = 0;
    for (int pos = 0, step = r[0] / 100; pos + step <= static_cast<int>(sig.size()); pos += step) {
      b += steps->Inpush(sig.data() + pos, step, 1, 1, p.v);
    }
    EXPECT_GT(a, 0);
    EXPECT_NEAR(a, b, r[1] * 0.161);  // at most one chunk apart (the 10 ms run may cut the tail)
    std::vector<short> out(whole->queued_samples());
    EXPECT_EQ(whole->Outpop(out.data(), static_cast<int>(out.size())), static_cast<int>(out.size()));
  }
  auto bad = models().make(4000, 48000);
  EXPECT_FALSE(bad->ok());
  short s[16] = {};
  EXPECT_EQ(bad->Inpush(s, 16, 1, 1, nullptr), 0);
}

TEST(Engine, PushAndPopAllocateNothing) {
  auto e = models().make(48000, 48000);
  const auto sig = test_signal(48000, 0.5);
  Params p;
  std::vector<short> out(480);
  // Feature chunks are recycled, so once the first chunk has gone through, neither pushes nor
  // pops allocate.
  int pos = 0;
  while (e->Inpush(sig.data() + pos, 480, 1, 1, p.v) == 0) pos += 480;
  for (pos += 480; pos + 480 <= static_cast<int>(sig.size()); pos += 480) {
    mvsdk::test::AllocationGuard guard;
    e->Inpush(sig.data() + pos, 480, 1, 1, p.v);
    e->Outpop(out.data(), 480);
    for (int i = 0; i < 10; ++i) e->Outpop(out.data(), 480);
    EXPECT_EQ(guard.count(), 0u) << "push at " << pos;
  }
}
