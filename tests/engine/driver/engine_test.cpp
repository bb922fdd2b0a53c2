#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "engine/driver/engine.h"
#include "engine/driver/model_file.h"
#include "engine/nets/amengine.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "support/alloc_counter.h"
#include "support/synthetic_models.h"

using namespace mvsdk::engine;

namespace {

struct Models {
  ModelFile am, bn, voc;
  Models() {
    const auto& p = mvsdk::test::synthetic_models();
    EXPECT_TRUE(am.open(p.am, static_cast<std::size_t>(amengine::stream_floats())));
    EXPECT_TRUE(bn.open(p.bn, static_cast<std::size_t>(bnengine::weight_floats())));
    EXPECT_TRUE(voc.open(p.voc, static_cast<std::size_t>(vocengine::weight_floats())));
  }
  std::unique_ptr<engine> make(int in_rate, int out_rate) const {
    auto e = std::make_unique<engine>(am.floats(), bn.floats(), voc.floats(), in_rate, out_rate);
    std::vector<float> style(engine::kStyleSize);
    for (int i = 0; i < engine::kStyleSize; ++i) style[i] = 0.1f * std::sin(0.37f * i);
    e->setstyle(style.data());
    return e;
  }
};

const Models& models() {
  static Models m;
  return m;
}

// A voiced-sounding test signal: a few harmonics of a gliding pitch plus a little noise.
std::vector<short> test_signal(int rate, double seconds) {
  const int n = static_cast<int>(rate * seconds);
  std::vector<short> s(n);
  double phase = 0;
  unsigned noise = 12345;
  for (int i = 0; i < n; ++i) {
    const double f0 = 140 + 40 * std::sin(2 * M_PI * 0.7 * i / rate);
    phase += 2 * M_PI * f0 / rate;
    noise = noise * 1103515245u + 12345u;
    const double v = 0.3 * std::sin(phase) + 0.15 * std::sin(2 * phase) + 0.08 * std::sin(3 * phase) +
                     0.01 * (static_cast<int>((noise >> 16) & 0x7fff) / 16384.0 - 1.0);
    s[i] = static_cast<short>(std::lround(v * 32767 * 0.8));
  }
  return s;
}

float params_default[6] = {0, 0, 0, 0.1f, 2000, 0};

}  // namespace

TEST(Engine, FirstChunkAfterPrimingAndChunkSpacing) {
  // 16 kHz in, 24 kHz out: no resamplers. Priming leaves 320 samples and six frames, so 2000
  // samples complete the first chunk and every later one needs 2560 more.
  auto e = models().make(16000, 24000);
  ASSERT_TRUE(e->ok());
  std::vector<short> zeros(4000, 0);
  float p[6];
  std::copy(params_default, params_default + 6, p);
  EXPECT_EQ(e->Inpush(zeros.data(), 1999, 1, 1, p), 0);
  EXPECT_EQ(e->Inpush(zeros.data(), 1, 1, 1, p), 3840);
  EXPECT_EQ(e->Inpush(zeros.data(), 2559, 1, 1, p), 0);
  EXPECT_EQ(e->Inpush(zeros.data(), 1, 1, 1, p), 3840);

  auto fresh = models().make(16000, 24000);
  EXPECT_EQ(fresh->Inpush(zeros.data(), 2000, 1, 1, p), 3840);
}

TEST(Engine, StartupSilenceUnderrunAndReset) {
  auto e = models().make(48000, 48000);
  ASSERT_TRUE(e->ok());
  EXPECT_EQ(e->setdelay(0), 2);
  std::vector<short> out(480, 123);
  // Before any chunk: silence that counts as output.
  EXPECT_EQ(e->Outpop(out.data(), 480), 480);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](short v) { return v == 0; }));

  const auto sig = test_signal(48000, 1.0);
  float p[6];
  std::copy(params_default, params_default + 6, p);
  int pos = 0;
  int queued = 0;
  while (queued == 0) {
    queued = e->Inpush(sig.data() + pos, 480, 1, 1, p);
    pos += 480;
  }
  EXPECT_EQ(queued, 7680);
  // delay 2 x 480 zeros, then the silenced first chunk.
  EXPECT_EQ(e->queued_samples(), 960 + 7680);
  std::vector<short> all(960 + 7680, 1);
  EXPECT_EQ(e->Outpop(all.data(), static_cast<int>(all.size())), static_cast<int>(all.size()));
  EXPECT_TRUE(std::all_of(all.begin(), all.end(), [](short v) { return v == 0; }));
  // Output has begun: a pop that finds too little is an underrun.
  std::fill(out.begin(), out.end(), 5);
  EXPECT_EQ(e->Outpop(out.data(), 480), -1);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](short v) { return v == 0; }));

  // The second chunk is real output.
  int second = 0;
  while (second == 0 && pos + 480 <= static_cast<int>(sig.size())) {
    second = e->Inpush(sig.data() + pos, 480, 1, 1, p);
    pos += 480;
  }
  ASSERT_EQ(second, 7680);
  std::vector<short> chunk(7680);
  EXPECT_EQ(e->Outpop(chunk.data(), 7680), 7680);
  EXPECT_TRUE(std::any_of(chunk.begin(), chunk.end(), [](short v) { return v != 0; }));

  // reset: silence rule again, with the delay now in force.
  EXPECT_EQ(e->setdelay(17), 16);
  EXPECT_EQ(e->setdelay(5), 5);
  e->reset();
  EXPECT_FALSE(e->started());
  EXPECT_EQ(e->queued_samples(), 0);
  EXPECT_EQ(e->Outpop(out.data(), 480), 480);
  int q = 0;
  for (int i = 0; q == 0 && i < 40; ++i) q = e->Inpush(sig.data() + i * 480, 480, 1, 1, p);
  EXPECT_EQ(q, 7680);
  EXPECT_EQ(e->queued_samples(), 5 * 480 + 7680);
}

TEST(Engine, PushSizesGiveTheSameStream) {
  // 10 ms pushes and 2560-sample pushes of the same input convert to the same output stream.
  const auto sig = test_signal(16000, 1.6);
  auto run = [&](int push) {
    auto e = models().make(16000, 24000);
    float p[6];
    std::copy(params_default, params_default + 6, p);
    std::vector<short> stream;
    std::vector<short> buf(8192);
    for (int pos = 0; pos < static_cast<int>(sig.size()); pos += push) {
      const int n = std::min(push, static_cast<int>(sig.size()) - pos);
      e->Inpush(sig.data() + pos, n, 1, 1, p);
      const int avail = e->queued_samples();
      e->Outpop(buf.data(), avail);
      stream.insert(stream.end(), buf.begin(), buf.begin() + avail);
    }
    return stream;
  };
  const auto a = run(160);
  const auto b = run(2560);
  ASSERT_GT(a.size(), 3840u * 5);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_EQ(a, b);
  EXPECT_TRUE(std::any_of(a.begin(), a.end(), [](short v) { return v != 0; }));
}

TEST(Engine, AnyRateAndAnyPushLengthIsSafe) {
  // Rates from 8 kHz to 192 kHz, pushes far beyond one chunk: nothing overflows (the sanitizer
  // build checks), and a long push converts as much as the same audio in 10 ms pushes.
  const int rates[][2] = {{8000, 192000}, {192000, 8000}, {44100, 44100}, {11025, 96000}};
  for (const auto& r : rates) {
    SCOPED_TRACE(std::to_string(r[0]) + " -> " + std::to_string(r[1]));
    const auto sig = test_signal(r[0], 0.45);
    float p[6];
    std::copy(params_default, params_default + 6, p);
    auto whole = models().make(r[0], r[1]);
    ASSERT_TRUE(whole->ok());
    const int a = whole->Inpush(sig.data(), static_cast<int>(sig.size()), 1, 1, p);
    auto steps = models().make(r[0], r[1]);
    int b = 0;
    const int step = r[0] / 100;
    for (int pos = 0; pos + step <= static_cast<int>(sig.size()); pos += step) {
      b += steps->Inpush(sig.data() + pos, step, 1, 1, p);
    }
    EXPECT_GT(a, 0);
    EXPECT_NEAR(a, b, r[1] * 0.161);  // at most one chunk apart (the 10 ms run may cut the tail)
    std::vector<short> out(whole->queued_samples() + 10);
    EXPECT_EQ(whole->Outpop(out.data(), static_cast<int>(out.size()) - 10), static_cast<int>(out.size()) - 10);
  }
  auto bad = models().make(4000, 48000);
  EXPECT_FALSE(bad->ok());
  short s[16] = {};
  EXPECT_EQ(bad->Inpush(s, 16, 1, 1, nullptr), 0);
}

TEST(Engine, PushAndPopAllocateNothing) {
  auto e = models().make(48000, 48000);
  const auto sig = test_signal(48000, 0.5);
  float p[6];
  std::copy(params_default, params_default + 6, p);
  std::vector<short> out(480);
  // Feature chunks are recycled, so once the first chunk has gone through, neither pushes nor
  // pops allocate.
  int pos = 0;
  while (e->Inpush(sig.data() + pos, 480, 1, 1, p) == 0) pos += 480;
  for (pos += 480; pos + 480 <= static_cast<int>(sig.size()); pos += 480) {
    mvsdk::test::AllocationGuard guard;
    e->Inpush(sig.data() + pos, 480, 1, 1, p);
    e->Outpop(out.data(), 480);
    EXPECT_EQ(guard.count(), 0u) << "push at " << pos;
  }
  mvsdk::test::AllocationGuard guard;
  for (int i = 0; i < 100; ++i) e->Outpop(out.data(), 480);
  EXPECT_EQ(guard.count(), 0u);
}

TEST(Engine, ConcurrentPopNeverSeesATornChunk) {
  // Reference: the same pushes, popped on the same thread.
  const auto sig = test_signal(16000, 1.6);
  std::vector<short> reference;
  {
    auto e = models().make(16000, 24000);
    float p[6];
    std::copy(params_default, params_default + 6, p);
    std::vector<short> buf(8192);
    for (int pos = 0; pos + 160 <= static_cast<int>(sig.size()); pos += 160) {
      e->Inpush(sig.data() + pos, 160, 1, 1, p);
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
  float p[6];
  std::copy(params_default, params_default + 6, p);
  for (int pos = 0; pos + 160 <= static_cast<int>(sig.size()); pos += 160) e->Inpush(sig.data() + pos, 160, 1, 1, p);
  done = true;
  popper.join();
  ASSERT_GE(reference.size(), popped.size());
  ASSERT_GT(popped.size(), 3840u * 4);
  EXPECT_TRUE(std::equal(popped.begin(), popped.end(), reference.begin()));
}
