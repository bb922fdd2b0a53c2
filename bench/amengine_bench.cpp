// Acoustic model per 160 ms chunk (16 frames), in each pitch mode, over random small weights, read
// in place or (second argument 1) copied in panel order as the kit holds them.
// Run with OPENBLAS_NUM_THREADS=1 for the one-core figure.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/kernels/weight_copies.h"
#include "engine/nets/amengine.h"
#include "engine/nets/weight_plan.h"

using mvsdk::engine::amengine;
using mvsdk::engine::Tensor;

namespace {

struct Rng {
  std::uint64_t s;
  float uniform(float lo, float hi) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return lo + (hi - lo) * static_cast<float>(s >> 40) / static_cast<float>(1ULL << 24);
  }
};

const std::vector<float>& weights() {
  static const std::vector<float> w = [] {
    std::vector<float> v(amengine::stream_floats());
    Rng rng{1};
    for (float& f : v) f = rng.uniform(-0.05f, 0.05f);
    return v;
  }();
  return w;
}

void BM_amengine_chunk(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  constexpr int T = amengine::kMaxFrames;
  amengine model(weights().data(), 1);
  std::unique_ptr<mvsdk::engine::WeightCopies> panels;
  if (state.range(1) != 0) {
    panels = std::make_unique<mvsdk::engine::WeightCopies>(1, mvsdk::engine::WeightCopies::Form::kPanels);
    mvsdk::engine::add_weight_copies(mvsdk::engine::am_weight_plan(), weights().data(), *panels);
    panels->finish();
  }
  const mvsdk::engine::WeightCopiesScope use(panels.get());
  Tensor<float> style(amengine::kDim);
  Rng rng{2};
  for (int i = 0; i < style.size; ++i) style.data[i] = rng.uniform(-1.0f, 1.0f);
  model.setstyle(&style);

  Tensor<float> source(T, amengine::kContentWidth), xbuf(T, amengine::kContentWidth);
  Tensor<float> aux(T, amengine::kAuxWidth);
  for (int i = 0; i < source.size; ++i) source.data[i] = rng.uniform(-1.0f, 1.0f);
  for (int i = 0; i < aux.size; ++i) aux.data[i] = rng.uniform(-1.0f, 1.0f);
  float params[6] = {0, 0, 0, 0.1f, 2000, 0};
  Tensor<float>* f0 = nullptr;
  // Fill the attention windows (20 chunks) so the figures are the steady state.
  for (int i = 0; i < 24; ++i) {
    xbuf.reload(source);
    Tensor<float>* x = &xbuf;
    Tensor<float>* y = &aux;
    model.forward(x, y, f0, mode, params);
  }
  for (auto _ : state) {
    xbuf.reload(source);
    Tensor<float>* x = &xbuf;
    Tensor<float>* y = &aux;
    model.forward(x, y, f0, mode, params);
    benchmark::DoNotOptimize(f0->data);
  }
  state.SetLabel("mode " + std::to_string(mode) + (panels ? ", panels" : ""));
}

}  // namespace

BENCHMARK(BM_amengine_chunk)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
