#include "engine/features/input_conditioner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "support/alloc_counter.h"
#include "support/seeded_weights.h"
#include "support/speechlike.h"

namespace mvsdk::engine {
namespace {

using Samples = std::vector<std::int16_t>;

// Runs x through c in host-like buffers of varying length (most not dividing the 5 ms frame).
void run_in_place(InputConditioner& c, Samples& x) {
  static const std::size_t kSizes[] = {480, 441, 64, 1000, 127, 2048};
  for (std::size_t at = 0, k = 0; at < x.size(); ++k) {
    const std::size_t n = std::min(kSizes[k % std::size(kSizes)], x.size() - at);
    c.process(x.data() + at, n);
    at += n;
  }
}

Samples run(InputConditioner& c, Samples x) {
  run_in_place(c, x);
  return x;
}

Samples to_s16(const std::vector<double>& v) {
  Samples out(v.size());
  for (std::size_t i = 0; i < v.size(); ++i) {
    out[i] = static_cast<std::int16_t>(std::clamp(std::lround(v[i] * 32767.0), -32768L, 32767L));
  }
  return out;
}

// Power of x over the samples i in [from, x.size()) with keep(i).
template <class Keep>
double power(const Samples& x, std::size_t from, Keep keep) {
  double sum = 0;
  std::size_t n = 0;
  for (std::size_t i = from; i < x.size(); ++i) {
    if (!keep(i)) continue;
    sum += static_cast<double>(x[i]) * x[i];
    ++n;
  }
  return n ? sum / static_cast<double>(n) : 0.0;
}

double db(double ratio) { return 10.0 * std::log10(ratio); }

ConditionerSettings denoise_only(float db_max) {
  ConditionerSettings s;
  s.denoise = true;
  s.denoise_db = db_max;
  return s;
}

// Speech-like syllables plus white noise at 10 dB SNR (speech power within syllables over noise
// power): with suppression on, the pauses come out at least 12 dB lower, the syllables within
// 3 dB of their level, after the preprocessor's first second of learning the noise.
class Suppression : public ::testing::TestWithParam<int> {};

TEST_P(Suppression, LowersNoiseInPausesAndKeepsSpeechLevel) {
  const int rate = GetParam();
  const auto speech = test::syllables(rate, 6.0, 0.25, 0.3, 0.3);
  Samples clean = to_s16(speech.signal);
  const double speech_power = power(clean, 0, [&](std::size_t i) { return speech.voiced[i]; });
  const double noise_rms = std::sqrt(speech_power / 10.0);  // 10 dB below
  test::SeededFloats noise(7);
  Samples noisy(clean.size());
  for (std::size_t i = 0; i < clean.size(); ++i) {
    // Uniform in [-a, a) has power a^2 / 3.
    const double v = clean[i] + noise.next(static_cast<float>(noise_rms * std::sqrt(3.0)));
    noisy[i] = static_cast<std::int16_t>(std::clamp(std::lround(v), -32768L, 32767L));
  }

  InputConditioner c;
  c.publish(denoise_only(30.0f));  // configured before the stream starts
  ASSERT_TRUE(c.prepare(rate));
  const Samples out = run(c, noisy);
  const std::size_t latency = c.latency_samples();
  EXPECT_EQ(latency, static_cast<std::size_t>(2 * (rate / 200)));

  // Compare out[i + latency] with noisy[i], away from the syllables' edges (20 ms).
  const auto edge = static_cast<std::size_t>(rate / 50);
  auto inside = [&](std::size_t i, bool voiced) {
    if (i + latency >= out.size() || i < edge || i + edge >= noisy.size()) return false;
    return speech.voiced[i - edge] == voiced && speech.voiced[i + edge] == voiced && speech.voiced[i] == voiced;
  };
  Samples aligned(noisy.size(), 0);
  for (std::size_t i = 0; i + latency < out.size(); ++i) aligned[i] = out[i + latency];
  const auto learnt = static_cast<std::size_t>(rate);  // the first second
  const double pause_in = power(noisy, learnt, [&](std::size_t i) { return inside(i, false); });
  const double pause_out = power(aligned, learnt, [&](std::size_t i) { return inside(i, false); });
  const double speech_in = power(noisy, learnt, [&](std::size_t i) { return inside(i, true); });
  const double speech_out = power(aligned, learnt, [&](std::size_t i) { return inside(i, true); });
  const double pause_drop = db(pause_in / pause_out);
  const double speech_change = db(speech_out / speech_in);
  std::printf("[ measured ] %d Hz: pauses %.1f dB lower, syllables %+.2f dB\n", rate, pause_drop, speech_change);
  EXPECT_GE(pause_drop, 12.0);
  EXPECT_LE(std::fabs(speech_change), 3.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, Suppression, ::testing::Values(48000, 16000, 44100));

// With every stage off nothing changes and nothing is delayed; suppression delays by exactly its
// stated latency (10 ms), and the gain and gate add none.
TEST(InputConditioner, LatencyIsZeroOffAndTenMillisecondsWithSuppression) {
  struct Case {
    const char* name;
    ConditionerSettings settings;
    std::size_t latency;
  };
  ConditionerSettings gain;
  gain.gain = true;
  gain.gain_db = -6.0f;
  ConditionerSettings gate;
  gate.gate = true;
  gate.gate_threshold_dbfs = -60.0f;
  for (const Case& k : {Case{"off", {}, 0}, Case{"gain", gain, 0}, Case{"gate", gate, 0},
                        Case{"denoise", denoise_only(20.0f), 480}}) {
    SCOPED_TRACE(k.name);
    InputConditioner c;
    c.publish(k.settings);  // configured before the stream starts
    ASSERT_TRUE(c.prepare(48000));
    // A seeded noise burst, then a lone click at a known place.
    test::SeededFloats r(3);
    Samples x(48000, 0);
    for (std::size_t i = 0; i < 24000; ++i) x[i] = static_cast<std::int16_t>(r.next(3000.0f));
    const std::size_t click = 30000;
    x[click] = 20000;
    const Samples y = run(c, x);
    EXPECT_EQ(c.latency_samples(), k.latency);
    if (!k.settings.any()) {
      EXPECT_EQ(y, x);
      continue;
    }
    const auto peak = std::max_element(y.begin() + 24000 + 2000, y.end(),
                                       [](auto a, auto b) { return std::abs(a) < std::abs(b); });
    EXPECT_EQ(static_cast<std::size_t>(peak - y.begin()), click + k.latency);
  }
}

// A syllable above the threshold passes whole from its first ms (the attack) to the end of its
// hold; noise below the threshold becomes exact silence once hold and release have passed.
TEST(InputConditioner, GateCutsBelowThresholdAndKeepsSyllablesWhole) {
  constexpr int kRate = 48000;
  struct Case {
    float attack_ms, hold_ms, release_ms;
  };
  for (const Case& k : {Case{1, 100, 100}, Case{0, 50, 20}, Case{5, 200, 300}}) {
    SCOPED_TRACE("attack " + std::to_string(k.attack_ms) + " hold " + std::to_string(k.hold_ms) + " release " +
                 std::to_string(k.release_ms));
    ConditionerSettings s;
    s.gate = true;
    s.gate_threshold_dbfs = -40.0f;  // 327.7 in 16-bit terms
    s.gate_attack_ms = k.attack_ms;
    s.gate_hold_ms = k.hold_ms;
    s.gate_release_ms = k.release_ms;
    InputConditioner c;
    c.publish(s);  // configured before the stream starts
    ASSERT_TRUE(c.prepare(kRate));
    // Noise peaking at 300 (below), a syllable from 0.5 s to 0.8 s, noise again to 2 s.
    test::SeededFloats r(11);
    Samples x(2 * kRate);
    for (auto& v : x) v = static_cast<std::int16_t>(r.next(300.0f));
    const auto syl = test::syllables(kRate, 0.3, 0.3, 0.0, 0.5);
    const std::size_t begin = kRate / 2;
    for (std::size_t i = 0; i < syl.signal.size(); ++i) {
      x[begin + i] = static_cast<std::int16_t>(std::clamp<long>(std::lround(syl.signal[i] * 32767.0) + x[begin + i],
                                                                -32768, 32767));
    }
    const Samples y = run(c, x);
    std::size_t first = 0, last = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      if (std::abs(static_cast<int>(x[i])) >= 328) {
        if (!first) first = i;
        last = i;
      }
    }
    ASSERT_GT(first, begin);
    const auto ms = [](float v) { return static_cast<std::size_t>(std::lround(v * kRate / 1000.0)); };
    // Closed from the start: silence before the syllable.
    EXPECT_TRUE(std::all_of(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(first), [](auto v) { return v == 0; }));
    // Whole from the end of the attack through the hold.
    const std::size_t whole_from = first + ms(k.attack_ms);
    const std::size_t whole_to = last + ms(k.hold_ms);
    EXPECT_TRUE(std::equal(x.begin() + static_cast<std::ptrdiff_t>(whole_from), x.begin() + static_cast<std::ptrdiff_t>(whole_to) + 1,
                           y.begin() + static_cast<std::ptrdiff_t>(whole_from)))
        << "samples " << whole_from << ".." << whole_to;
    // The release fades (not yet silent just after the hold), then exact silence.
    EXPECT_NE(y[whole_to + 2], 0);
    const std::size_t silent_from = whole_to + ms(k.release_ms) + 2;
    EXPECT_TRUE(std::all_of(y.begin() + static_cast<std::ptrdiff_t>(silent_from), y.end(), [](auto v) { return v == 0; }));
    std::printf("[ measured ] gate a/h/r %.0f/%.0f/%.0f ms: whole %.2f..%.2f s, silent from %.4f s\n", k.attack_ms,
                k.hold_ms, k.release_ms, whole_from / double(kRate), whole_to / double(kRate),
                silent_from / double(kRate));
  }
}

// +20 dB on a loud signal: every sample keeps its sign and grows (never wraps), the quiet ones by
// the full 20 dB; the limiter's curve stays inside 16 bits, rises steadily and meets the identity
// at the knee.
TEST(InputConditioner, GainNeverWrapsAndTheLimiterStaysWithinSixteenBits) {
  ConditionerSettings s;
  s.gain = true;
  s.gain_db = 20.0f;
  InputConditioner c;
  c.publish(s);  // configured before the stream starts
  ASSERT_TRUE(c.prepare(48000));
  Samples x(48000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = static_cast<std::int16_t>(std::lround(32767.0 * std::sin(2 * M_PI * 220.0 * i / 48000.0)));
  }
  x[100] = -32768;
  const Samples y = run(c, x);
  std::size_t wrapped = 0, quiet_ok = 0, quiet = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] == 0) continue;
    wrapped += (x[i] > 0) != (y[i] > 0) || std::abs(static_cast<int>(y[i])) < std::min(std::abs(static_cast<int>(x[i])), 32767);
    if (i > 480 && std::abs(x[i]) < 2000) {
      ++quiet;
      quiet_ok += std::abs(y[i] - 10.0 * x[i]) <= 1.0;
    }
  }
  EXPECT_EQ(wrapped, 0u);
  EXPECT_EQ(quiet_ok, quiet);
  EXPECT_GT(quiet, 0u);

  float previous = 0.0f;
  for (float v = 0.0f; v < 4.0e6f; v += 7.5f) {
    const float y1 = soft_limit(v);
    ASSERT_LE(y1, 32767.0f) << v;
    ASSERT_GE(y1, previous) << v;
    ASSERT_EQ(soft_limit(-v), -y1);
    if (v <= kLimiterKnee) {
      ASSERT_EQ(y1, v);
    }
    previous = y1;
  }
  EXPECT_NEAR(soft_limit(kLimiterKnee + 1.0f), kLimiterKnee + 1.0f, 0.01f);
}

// Settings changed while audio flows take effect without a click: through every switch of every
// stage, no step between neighbouring samples exceeds twice the largest step of the tone itself.
TEST(InputConditioner, ChangesWhileRunningDoNotClick) {
  constexpr int kRate = 48000;
  InputConditioner c;
  ASSERT_TRUE(c.prepare(kRate));
  const double amplitude = 8000.0;
  const double hz = 230.0;  // not a whole number of periods in the 10 ms delay
  const double natural_step = amplitude * 2 * M_PI * hz / kRate;
  ConditionerSettings s;
  std::vector<ConditionerSettings> steps;
  s.denoise = true;   steps.push_back(s);
  s.gain = true;      s.gain_db = 6.0f; steps.push_back(s);
  s.gate = true;      s.gate_threshold_dbfs = -30.0f; steps.push_back(s);
  s.gain_db = -12.0f; steps.push_back(s);
  s.denoise = false;  steps.push_back(s);
  s.denoise = true;   steps.push_back(s);
  s.denoise_db = 10.0f; steps.push_back(s);
  s.gain = false;     steps.push_back(s);
  s.gate = false;     steps.push_back(s);
  s.denoise = false;  steps.push_back(s);
  std::size_t t = 0;
  int previous = 0;
  double worst = 0;
  std::vector<std::int16_t> buffer(441);
  for (std::size_t step = 0; step <= steps.size(); ++step) {
    for (int b = 0; b < 20; ++b) {  // 20 buffers (184 ms) per setting
      for (auto& v : buffer) v = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * t++ / kRate)));
      c.process(buffer.data(), buffer.size());
      for (auto v : buffer) {
        if (t > buffer.size()) worst = std::max(worst, std::fabs(static_cast<double>(v) - previous));
        previous = v;
      }
    }
    if (step < steps.size()) c.publish(steps[step]);
  }
  EXPECT_LE(worst, 2.0 * natural_step);
  // All off again: the samples pass untouched.
  for (auto& v : buffer) v = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * t++ / kRate)));
  Samples before = buffer;
  c.process(buffer.data(), buffer.size());
  EXPECT_EQ(Samples(buffer.begin(), buffer.end()), before);
}

// Every stage on: process allocates nothing and takes no lock, settings changes included.
TEST(InputConditioner, ProcessNeitherAllocatesNorWaits) {
  InputConditioner c;
  ASSERT_TRUE(c.prepare(48000));
  ConditionerSettings s;
  s.gain = s.denoise = s.gate = true;
  s.gain_db = 3.0f;
  test::SeededFloats r(5);
  Samples x(48000);
  for (auto& v : x) v = static_cast<std::int16_t>(r.next(8000.0f));
  test::AllocationGuard guard;
  for (int round = 0; round < 4; ++round) {
    s.gain_db = static_cast<float>(round);
    c.publish(s);
    run_in_place(c, x);
  }
  EXPECT_EQ(guard.count(), 0u);
  EXPECT_EQ(guard.waits(), 0u);
}

}  // namespace
}  // namespace mvsdk::engine
