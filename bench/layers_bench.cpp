// Engine layers on random weights, one chunk per iteration, in steady state (the attention
// window fills within the first 20 iterations). Run with OPENBLAS_NUM_THREADS=1.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "engine/layers/conv1d.h"
#include "engine/layers/convmodule.h"
#include "engine/layers/encselfattn.h"
#include "engine/layers/feedforward.h"
#include "engine/layers/layernorm.h"
#include "engine/layers/linear.h"
#include "engine/layers/pos_enc.h"
#include "engine/layers/subencoder.h"
#include "engine/layers/substylencoder.h"

using namespace mvsdk::engine;

namespace {

// Small random weights (fixed seed), enough floats for the largest block here.
const float* weights() {
  static const std::vector<float> w = [] {
    std::vector<float> v(2700000);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-0.05f, 0.05f);
    for (float& f : v) f = u(rng);
    return v;
  }();
  return w.data();
}

// A random (1, 1, frames, width) chunk to restore the in-place input from, and the working tensor.
struct Chunk {
  Tensor<float> src;
  Tensor<float> x;
  Chunk(int frames, int width, int capacity_rows) : src(frames, width), x(capacity_rows, width) {
    std::mt19937 rng(9);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < src.size; ++i) src.data[i] = u(rng);
  }
  Tensor<float>* fresh() {
    x.reload(&src);
    return &x;
  }
};

void BM_SubEncoder192x16(benchmark::State& state) {
  PositionEncoding pe(5000, 192, 0);
  SubEncoder block(weights(), 1, &pe, 2, 96, 192, 1024);
  Chunk c(16, 192, 16);
  for (auto _ : state) {
    block.forward(c.fresh());
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_SubEncoder192x16);

void BM_SubStyleEncoder192x16(benchmark::State& state) {
  PositionEncoding pe(5000, 192, 0);
  SubStyleEncoder block(weights(), 1, &pe, 2, 96, 192, 1024);
  Tensor<float> style(192);
  style.zeros();
  block.setstyle(&style);
  Chunk c(16, 192, 16);
  for (auto _ : state) {
    block.forward(c.fresh());
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_SubStyleEncoder192x16);

void BM_SubEncoder256x4(benchmark::State& state) {
  PositionEncoding pe(5000, 256, 1);
  SubEncoder block(weights(), 1, &pe, 4, 64, 256, 2048);
  Chunk c(4, 256, 16);
  for (auto _ : state) {
    block.forward(c.fresh());
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_SubEncoder256x4);

void BM_EncSelfAttn192x16(benchmark::State& state) {
  PositionEncoding pe(5000, 192, 0);
  EncSelfAttn attn(weights(), &pe, 2, 96, 192);
  Chunk c(16, 192, 16);
  for (auto _ : state) {
    attn.forward(c.fresh());
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_EncSelfAttn192x16);

void BM_EncSelfAttn256x4(benchmark::State& state) {
  PositionEncoding pe(5000, 256, 1);
  EncSelfAttn attn(weights(), &pe, 4, 64, 256);
  Chunk c(4, 256, 16);
  for (auto _ : state) {
    attn.forward(c.fresh());
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_EncSelfAttn256x4);

void BM_ConvModule192x16(benchmark::State& state) {
  ConvModule conv(weights(), 1, 192);
  Chunk c(16, 192, 16);
  for (auto _ : state) {
    conv.forward(c.fresh());
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_ConvModule192x16);

void BM_FeedForward192x1024x16(benchmark::State& state) {
  FeedForward ff(weights(), 1, 192, 1024);
  Chunk c(16, 192, 16);
  for (auto _ : state) {
    ff.forward(c.fresh());
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_FeedForward192x1024x16);

void BM_LayerNorm192x16(benchmark::State& state) {
  LayerNorm ln(weights(), 1e-12f, 192);
  Chunk c(16, 192, 16);
  for (auto _ : state) {
    ln.forward(c.fresh());
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_LayerNorm192x16);

void BM_Linear80x192x16(benchmark::State& state) {
  Linear lin(weights(), 0, 80, 192);
  Chunk c(16, 80, 40);
  for (auto _ : state) {
    lin.forward(c.fresh());
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_Linear80x192x16);

void BM_Conv1d192k5x16(benchmark::State& state) {
  Conv1d conv(weights(), 5, 1, 192, 192);
  Chunk c(16, 192, 20);
  for (auto _ : state) {
    conv.forward(c.fresh(), 1);
    benchmark::DoNotOptimize(c.x.data);
  }
}
BENCHMARK(BM_Conv1d192k5x16);

}  // namespace

BENCHMARK_MAIN();
