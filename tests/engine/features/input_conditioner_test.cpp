// The input conditioner: the gate's attack, hold and release, the gain and its limiter, and
// settings changed while audio flows (no click, allocation or wait; suppression's delay).
#include "engine/features/input_conditioner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "support/alloc_counter.h"
#include "support/seeded_weights.h"
#include "support/speechlike.h"

namespace mvsdk::engine {
namespace {

using Samples = std::vector<std::int16_t>;

std::int16_t s16(double v) { return static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L)); }

// Runs x through c in host-like buffers of varying length (most not dividing the 5 ms frame).
void process(InputConditioner& c, Samples& x) {
  static const std::size_t kSizes[] = {480, 441, 64, 1000, 127, 2048};
  for (std::size_t at = 0, k = 0; at < x.size(); ++k) {
    const std::size_t n = std::min(kSizes[k % std::size(kSizes)], x.size() - at);
    c.process(x.data() + at, n);
    at += n;
  }
}

Samples run(InputConditioner& c, Samples x) {
  process(c, x);
  return x;
}

// A syllable above the threshold passes whole from the end of its attack to the end of its hold;
// noise below the threshold becomes exact silence once hold and release have passed.
TEST(InputConditioner, GateCutsBelowThresholdAndKeepsSyllablesWhole) {
  constexpr int kRate = 48000;
  for (const auto [attack, hold, release] :
       {std::array{1.f, 100.f, 100.f}, std::array{0.f, 50.f, 20.f}, std::array{5.f, 200.f, 300.f}}) {
    SCOPED_TRACE("attack " + std::to_string(attack) + " hold " + std::to_string(hold));
    InputConditioner c;
    c.publish({.gate = true, .gate_threshold_dbfs = -40.0f,  // 327.7 in 16-bit terms
               .gate_attack_ms = attack, .gate_hold_ms = hold, .gate_release_ms = release});
    ASSERT_TRUE(c.prepare(kRate));
    // Noise peaking at 300 (below), a syllable from 0.5 s to 0.8 s, noise again to 2 s.
    test::SeededFloats r(11);
    Samples x(2 * kRate);
    std::generate(x.begin(), x.end(), [&] { return static_cast<std::int16_t>(r.next(300.0f)); });
    const auto syl = test::syllables(kRate, 0.3, 0.3, 0.0, 0.5);
    for (std::size_t i = 0; i < syl.signal.size(); ++i) x[kRate / 2 + i] = s16(syl.signal[i] * 32767.0 + x[kRate / 2 + i]);
    const Samples y = run(c, x);
    std::size_t first = 0, last = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (std::abs(static_cast<int>(x[i])) >= 328) {
        first = first ? first : i;
        last = i;
      }
    }
    ASSERT_GT(first, static_cast<std::size_t>(kRate / 2));
    const auto ms = [](float v) { return static_cast<std::ptrdiff_t>(std::lround(v * kRate / 1000.0)); };
    const auto is_zero = [](auto v) { return v == 0; };
    const auto from = static_cast<std::ptrdiff_t>(first) + ms(attack), to = static_cast<std::ptrdiff_t>(last) + ms(hold);
    EXPECT_TRUE(std::all_of(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(first), is_zero));
    EXPECT_TRUE(std::equal(x.begin() + from, x.begin() + to + 1, y.begin() + from)) << from << ".." << to;
    EXPECT_NE(y[to + 2], 0);  // the release fades, then exact silence
    EXPECT_TRUE(std::all_of(y.begin() + to + ms(release) + 2, y.end(), is_zero));
  }
}

// +20 dB on a loud signal: every sample keeps its sign and grows (never wraps), the quiet ones by
// the full 20 dB; the limiter's curve stays inside 16 bits, rises steadily and meets the identity
// at the knee.
TEST(InputConditioner, GainNeverWrapsAndTheLimiterStaysWithinSixteenBits) {
  InputConditioner c;
  c.publish({.gain = true, .gain_db = 20.0f});
  ASSERT_TRUE(c.prepare(48000));
  EXPECT_EQ(c.latency_samples(), 0u);  // only suppression delays
  Samples x(48000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = s16(32767.0 * std::sin(2 * M_PI * 220.0 * i / 48000.0));
  x[100] = -32768;
  const Samples y = run(c, x);
  std::size_t quiet = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const int in = x[i], out = y[i];
    ASSERT_TRUE(in == 0 || ((in > 0) == (out > 0) && std::abs(out) >= std::min(std::abs(in), 32767))) << i;
    if (i <= 480 || std::abs(in) >= 2000 || in == 0) continue;
    ASSERT_LE(std::abs(out - 10.0 * in), 1.0) << i;  // quiet samples: the full 20 dB
    ++quiet;
  }
  EXPECT_GT(quiet, 0u);
  float previous = 0.0f;
  for (float v = 0.0f; v < 4.0e6f; v += 7.5f) {
    const float y1 = soft_limit(v);
    ASSERT_TRUE(y1 <= 32767.0f && y1 >= previous && soft_limit(-v) == -y1 && (v > kLimiterKnee || y1 == v)) << v;
    previous = y1;
  }
  EXPECT_NEAR(soft_limit(kLimiterKnee + 1.0f), kLimiterKnee + 1.0f, 0.01f);
}

// Settings changed while audio flows take effect without a click: through every switch of every
// stage, no step between neighbouring samples exceeds twice the largest step of the tone itself.
// Every stage on, process neither allocates nor waits, settings changes included.
TEST(InputConditioner, ChangesWhileRunningDoNotClickAllocateOrWait) {
  constexpr int kRate = 48000;
  InputConditioner c;
  ASSERT_TRUE(c.prepare(kRate));
  const double amplitude = 8000.0, hz = 230.0;  // not a whole number of periods in the 10 ms delay
  // Each stage switched on, its setting changed, switched off (and suppression on again), then
  // all off.
  const std::vector<ConditionerSettings> steps = {
      {.denoise = true},
      {.gain = true, .gain_db = 6, .denoise = true},
      {.gain = true, .gain_db = 6, .denoise = true, .gate = true, .gate_threshold_dbfs = -30},
      {.gain = true, .gain_db = -12, .gate = true, .gate_threshold_dbfs = -30},
      {.gain = true, .gain_db = -12, .denoise = true, .denoise_db = 10},
      {}};
  std::size_t t = 0;
  int previous = 0;
  double worst = 0;
  Samples buffer(441);
  const auto tone = [&] {
    for (auto& v : buffer) v = s16(amplitude * std::sin(2 * M_PI * hz * t++ / kRate));
  };
  for (std::size_t step = 0; step <= steps.size(); ++step) {
    for (int b = 0; b < 20; ++b) {  // 20 buffers (184 ms) per setting
      tone();
      test::AllocationGuard guard;
      c.process(buffer.data(), buffer.size());
      EXPECT_EQ(guard.count() + guard.waits(), 0u);
      for (auto v : buffer) {
        if (t > buffer.size()) worst = std::max(worst, std::fabs(static_cast<double>(v) - previous));
        previous = v;
      }
    }
    if (step < steps.size()) {
      test::AllocationGuard guard;
      c.publish(steps[step]);
      EXPECT_EQ(guard.count() + guard.waits(), 0u);
    }
    if (step == 1) {
      EXPECT_EQ(c.latency_samples(), 2u * kRate / 200);  // suppression: two 5 ms frames
    }
  }
  EXPECT_LE(worst, 2.0 * amplitude * 2 * M_PI * hz / kRate);
  tone();  // all off again: the samples pass untouched
  const Samples before = buffer;
  c.process(buffer.data(), buffer.size());
  EXPECT_EQ(buffer, before);
  // Every stage switched on at once, on noise, the gain changing between runs.
  test::SeededFloats r(5);
  Samples x(48000);
  for (auto& v : x) v = static_cast<std::int16_t>(r.next(8000.0f));
  test::AllocationGuard guard;
  for (float gain_db : {0.0f, 1.0f, 2.0f, 3.0f}) {
    c.publish({.gain = true, .gain_db = gain_db, .denoise = true, .gate = true});
    process(c, x);
  }
  EXPECT_EQ(guard.count() + guard.waits(), 0u);
}

// A new stream (reset) starts in the settings published before it, whether or not a call has
// picked them up: nothing of the old stream's stages fades out into it, and a gain switched on
// applies in full from its first sample.
TEST(InputConditioner, ResetStartsInTheSettingsPublishedBeforeIt) {
  InputConditioner c;
  ASSERT_TRUE(c.prepare(48000));
  test::SeededFloats r(9);
  Samples x(4800);
  for (auto& v : x) v = static_cast<std::int16_t>(r.next(4000.0f));
  c.publish({.gain = true, .gain_db = 12, .denoise = true, .gate = true});
  run(c, x);
  c.publish({});
  {
    test::AllocationGuard guard;
    c.reset();
    EXPECT_EQ(guard.count() + guard.waits(), 0u);
  }
  EXPECT_TRUE(c.idle());
  EXPECT_EQ(run(c, x), x);
  c.publish({.gain = true, .gain_db = 6});
  c.reset();
  const Samples y = run(c, x);
  const float factor = std::pow(10.0f, 6.0f / 20.0f);
  for (std::size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(y[i], std::clamp(std::lrint(soft_limit(static_cast<float>(x[i]) * factor)), -32768L, 32767L)) << i;
  }
}

}  // namespace
}  // namespace mvsdk::engine
