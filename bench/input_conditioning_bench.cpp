// The input conditioner's cost per 10 ms buffer (480 samples at 48 kHz), one stage at a time and
// all three, on seeded noise at speech level. The engine's own time per buffer, for comparison,
// comes from engine_realtime_bench (a 160 ms chunk spread over 16 such buffers).
//   BM_Conditioning/gain      input gain (+6 dB) with the soft limiter
//   BM_Conditioning/denoise   noise suppression (two 5 ms frames of the preprocessor)
//   BM_Conditioning/gate      noise gate (-50 dBFS)
//   BM_Conditioning/all       the three in a row
//   BM_Conditioning/off       every stage off (the check that leaves the samples alone)
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/features/input_conditioner.h"

namespace {

using mvsdk::engine::ConditionerSettings;
using mvsdk::engine::InputConditioner;

constexpr int kRate = 48000;
constexpr std::size_t kBuffer = 480;

void BM_Conditioning(benchmark::State& state, ConditionerSettings settings) {
  InputConditioner c;
  c.publish(settings);
  if (!c.prepare(kRate)) {
    state.SkipWithError("prepare failed");
    return;
  }
  // A second of noise at about -20 dBFS, handed over one buffer at a time.
  std::mt19937 rng(1);
  std::normal_distribution<float> noise(0.0f, 3000.0f);
  std::vector<std::int16_t> source(kRate);
  for (auto& v : source) v = static_cast<std::int16_t>(noise(rng));
  std::vector<std::int16_t> buffer(kBuffer);
  std::size_t at = 0;
  for (auto _ : state) {
    // The copy (tens of ns) is timed too: pausing the timer would cost more than it.
    std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(at), kBuffer, buffer.begin());
    at = (at + kBuffer) % source.size();
    c.process(buffer.data(), buffer.size());
    benchmark::DoNotOptimize(buffer.data());
  }
}

ConditionerSettings gain() {
  ConditionerSettings s;
  s.gain = true;
  s.gain_db = 6.0f;
  return s;
}
ConditionerSettings denoise() {
  ConditionerSettings s;
  s.denoise = true;
  return s;
}
ConditionerSettings gate() {
  ConditionerSettings s;
  s.gate = true;
  return s;
}
ConditionerSettings all() {
  ConditionerSettings s = gain();
  s.denoise = s.gate = true;
  return s;
}

BENCHMARK_CAPTURE(BM_Conditioning, off, ConditionerSettings{});
BENCHMARK_CAPTURE(BM_Conditioning, gain, gain());
BENCHMARK_CAPTURE(BM_Conditioning, denoise, denoise());
BENCHMARK_CAPTURE(BM_Conditioning, gate, gate());
BENCHMARK_CAPTURE(BM_Conditioning, all, all());

}  // namespace

BENCHMARK_MAIN();
