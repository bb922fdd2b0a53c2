// Per-chunk cost of the networks (one 160 ms chunk per iteration) on synthetic weights.
// Run with OPENBLAS_NUM_THREADS=1: the engine computes on one thread.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/core/alignmm.h"
#include "engine/kernels/weight_copies.h"
#include "engine/layers/embedlayer.h"
#include "engine/nets/bnengine.h"
#include "engine/nets/vocengine.h"
#include "engine/nets/weight_plan.h"

namespace {

using mvsdk::engine::bnengine;
using mvsdk::engine::WeightCopies;
using mvsdk::engine::WeightCopiesScope;
using mvsdk::engine::Tensor;
using mvsdk::engine::vocengine;

// Deterministic small weights (xorshift, uniform in [-scale, scale)).
std::vector<float> synthetic_weights(int n, std::uint64_t seed, float scale) {
  std::vector<float> w(n);
  std::uint64_t s = seed * 0x9E3779B97F4A7C15ull + 1;
  for (float& v : w) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    v = (static_cast<float>(s >> 40) * (1.0f / 16777216.0f) * 2.0f - 1.0f) * scale;
  }
  return w;
}

// The network's weights as the engine holds them in each form: 0 read in place, 1 in half
// precision, 2 in panel order in single precision (what the kit runs).
std::unique_ptr<WeightCopies> copies_for(std::int64_t form, const mvsdk::engine::WeightPlan& plan,
                                         const float* w) {
  if (form == 0) return nullptr;
  auto table = std::make_unique<WeightCopies>(
      1, form == 1 ? WeightCopies::Form::kHalf : WeightCopies::Form::kPanels);
  mvsdk::engine::add_weight_copies(plan, w, *table);
  table->finish();
  return table;
}

void BM_bnengine_chunk(benchmark::State& state) {
  const std::vector<float> w = synthetic_weights(bnengine::weight_floats(), 1, 0.02f);
  bnengine bn(w.data(), 1);
  const auto copies = copies_for(state.range(0), mvsdk::engine::bn_weight_plan(), w.data());
  const WeightCopiesScope use(copies.get());
  Tensor<float> chunk(19, 80);
  const std::vector<float> x = synthetic_weights(chunk.size, 2, 4.0f);
  for (int i = 0; i < chunk.size; ++i)
    chunk.data[i] = x[i] + mvsdk::engine::global_cmvn_mean_online_hex[i % 80];
  for (auto _ : state) {
    bn.forward(chunk);
    benchmark::DoNotOptimize(bn.out_tensor()->data);
  }
}
BENCHMARK(BM_bnengine_chunk)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The content encoder's front end alone (its share of BM_bnengine_chunk).
void BM_embedlayer_chunk(benchmark::State& state) {
  const std::vector<float> w =
      synthetic_weights(mvsdk::engine::EmbedLayer::weight_floats(256), 5, 0.02f);
  mvsdk::engine::EmbedLayer embed(w.data(), 256);
  Tensor<float> chunk(19, 80), out(4, 256);
  const std::vector<float> x = synthetic_weights(chunk.size, 6, 4.0f);
  for (int i = 0; i < chunk.size; ++i)
    chunk.data[i] = x[i] + mvsdk::engine::global_cmvn_mean_online_hex[i % 80];
  for (auto _ : state) {
    embed.forward(chunk, &out);
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_embedlayer_chunk)->Unit(benchmark::kMillisecond);

void BM_vocengine_chunk(benchmark::State& state) {
  const std::vector<float> w = synthetic_weights(vocengine::weight_floats(), 3, 0.03f);
  vocengine voc(w.data(), 1);
  const auto copies = copies_for(state.range(0), mvsdk::engine::voc_weight_plan(), w.data());
  const WeightCopiesScope use(copies.get());
  Tensor<float> feat(16, 100), f0(16, 1);
  const std::vector<float> x = synthetic_weights(feat.size, 4, 1.0f);
  for (int i = 0; i < feat.size; ++i) feat.data[i] = x[i];
  for (int i = 0; i < 16; ++i) f0.data[i] = i % 4 == 3 ? 0.0f : 120.0f + 5.0f * i;
  std::vector<std::int16_t> pcm(3840);
  for (auto _ : state) {
    benchmark::DoNotOptimize(voc.forward(feat, f0, pcm.data()));
  }
}
BENCHMARK(BM_vocengine_chunk)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
