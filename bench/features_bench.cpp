// Feature front end: cost of 160 ms of 16 kHz audio (2560 samples, one chunk of 16 new frames),
// of one frame, and of the 512-point real FFT (vectorised and scalar reference).
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "engine/features/fex.h"
#include "engine/features/speechwrap.h"

namespace {

using mvsdk::engine::FeatureExtract;
using mvsdk::engine::Tensor;

std::vector<short> noise(int n) {
  std::mt19937 gen(1);
  std::uniform_int_distribution<int> dist(-8000, 8000);
  std::vector<short> x(n);
  for (short& v : x) v = static_cast<short>(dist(gen));
  return x;
}

void BM_FeaturesPer160ms(benchmark::State& state) {
  FeatureExtract fe(1);
  const std::vector<short> audio = noise(2560);
  fe.insert(audio.data(), 2560, 1);
  fe.insert(audio.data(), 2560, 1);
  for (auto _ : state) {
    fe.insert(audio.data(), 2560, 1);
    Tensor<float>* chunk = nullptr;
    while (fe.fetch(chunk)) {
      benchmark::DoNotOptimize(chunk->data);
      fe.recycle(chunk);
    }
  }
  state.SetItemsProcessed(state.iterations() * 2560);
}
BENCHMARK(BM_FeaturesPer160ms);

void BM_OneFrame(benchmark::State& state) {
  FeatureExtract fe(1);
  const std::vector<short> audio = noise(400);
  float feat[80];
  for (auto _ : state) {
    fe.compute_frame(audio.data(), feat);
    benchmark::DoNotOptimize(feat);
  }
}
BENCHMARK(BM_OneFrame);

template <int (*Fft)(const mvsdk::engine::RfftState*, const float*, float*)>
void BM_Rfft512(benchmark::State& state) {
  mvsdk::engine::RfftState* st = mvsdk::engine::rfft_init(512);
  std::vector<float> in(512), out(512);
  std::mt19937 gen(2);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  for (float& v : in) v = dist(gen);
  for (auto _ : state) {
    Fft(st, in.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  mvsdk::engine::rfft_uninit(st);
}
BENCHMARK(BM_Rfft512<mvsdk::engine::rfft_process>)->Name("BM_Rfft512");
BENCHMARK(BM_Rfft512<mvsdk::engine::rfft_process_ref>)->Name("BM_Rfft512_ref");

}  // namespace

BENCHMARK_MAIN();
