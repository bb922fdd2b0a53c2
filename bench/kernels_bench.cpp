// Math kernels at the engine's working sizes (chunks of 16 frames; 192-wide attention, 1024-wide
// feed-forward, 4 heads of up to 256 keys, vocoder rows). Run with OPENBLAS_NUM_THREADS=1.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include <cblas.h>

#include "engine/kernels/gemm.h"
#include "engine/kernels/weight_copies.h"
#include "engine/kernels/util.h"

using namespace mvsdk::engine;
using Tf = Tensor<float>;

namespace {

void fill(Tf& t, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  for (int i = 0; i < t.capacity; ++i) t.data[i] = u(rng);
}

// Activations are run on a fresh copy each iteration so the inputs do not drift toward zero;
// the copy is timed too and is small next to the exponentials.
template <void (*Fn)(Tf*)>
void BM_Activation(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0)), cols = static_cast<int>(state.range(1));
  Tf src(rows, cols), t(rows, cols);
  fill(src, -8.0f, 8.0f, 1);
  for (auto _ : state) {
    t.reload(&src);
    Fn(&t);
    benchmark::DoNotOptimize(t.data);
  }
  state.SetItemsProcessed(state.iterations() * rows * cols);
}

void swish_fn(Tf* t) { swish(t); }
void swish_die_fn(Tf* t) { swish_die(t); }
void leaky_fn(Tf* t) { t->leakyrelu(0.2f); }
void leaky_die_fn(Tf* t) { leakyrelu_die(t, 0.2f); }

void BM_Glu(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  Tf in(rows, 2 * h), out(rows, h);
  fill(in, -8.0f, 8.0f, 2);
  for (auto _ : state) {
    glu(&in, &out, h);
    benchmark::DoNotOptimize(out.data);
  }
  state.SetItemsProcessed(state.iterations() * rows * h);
}

void BM_GluDie(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  Tf in(rows, 2 * h), out(rows, h);
  fill(in, -8.0f, 8.0f, 2);
  for (auto _ : state) {
    glu_die(&in, &out, h);
    benchmark::DoNotOptimize(out.data);
  }
  state.SetItemsProcessed(state.iterations() * rows * h);
}

// One attention score block: rows x keys, one softmax per row (4 heads x 16 queries = 64 rows).
template <void (*Fn)(float*, int, int)>
void BM_Softmax(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0)), n = static_cast<int>(state.range(1));
  Tf src(rows, n), t(rows, n);
  fill(src, -6.0f, 6.0f, 3);
  for (auto _ : state) {
    t.reload(&src);
    for (int r = 0; r < rows; ++r) Fn(t.data + r * n, n, n);
    benchmark::DoNotOptimize(t.data);
  }
  state.SetItemsProcessed(state.iterations() * rows * n);
}

void BM_ExpPs(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  Tf src(n), dst(n);
  fill(src, -20.0f, 20.0f, 4);
  for (auto _ : state) {
    for (int i = 0; i + 4 <= n; i += 4) store4(dst.data + i, exp_ps(load4(src.data + i)));
    benchmark::DoNotOptimize(dst.data);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// Conv1d gather: 16 frames of C channels with kernel K (history K - 1 frames).
void BM_Im2col(benchmark::State& state) {
  const int T = 16, C = static_cast<int>(state.range(0)), K = static_cast<int>(state.range(1));
  const int P = K - 1;
  Tf buf(P + T, C), cols(T, K * C), fresh(T, C);
  std::vector<float> hist(static_cast<size_t>(P) * C, 0.5f);
  fill(fresh, -1.0f, 1.0f, 5);
  for (auto _ : state) {
    std::copy(fresh.data, fresh.data + T * C, buf.data);
    benchmark::DoNotOptimize(im2col_cpu(buf.data, hist.data(), 1, T, C, K, 1, 1, P, 0, cols.data));
  }
  state.SetBytesProcessed(state.iterations() * T * K * C * static_cast<int64_t>(sizeof(float)));
}

void BM_LinearForward(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0)), dim = static_cast<int>(state.range(1));
  Tf in(rows, dim), out(rows, dim), w(dim, dim), b(dim);
  fill(in, -1.0f, 1.0f, 6);
  fill(w, -0.1f, 0.1f, 7);
  fill(b, -1.0f, 1.0f, 8);
  for (auto _ : state) {
    linear_forward(&in, &out, w.data, b.data, dim);
    benchmark::DoNotOptimize(out.data);
  }
  state.counters["GFLOPS"] = benchmark::Counter(2.0 * rows * dim * dim * state.iterations(),
                                                benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

// C += A op(B) with M activation rows: range(0) = M, (1) = N, (2) = K, (3) = 1 for a transposed
// B. Form 0 is gemm_small, 1 one cblas_sgemm (weights repacked on every call), 2 gemm_acc.
template <int Form>
void BM_Gemm(benchmark::State& state) {
  const int M = static_cast<int>(state.range(0)), N = static_cast<int>(state.range(1));
  const int K = static_cast<int>(state.range(2));
  const bool tb = state.range(3) != 0;
  Tf a(M, K), b(tb ? N : K, tb ? K : N), c(M, N);
  fill(a, -1.0f, 1.0f, 12);
  fill(b, -0.1f, 0.1f, 13);
  fill(c, -1.0f, 1.0f, 14);
  const int ldb = tb ? K : N;
  for (auto _ : state) {
    if (Form == 0) gemm_small(M, N, K, 1.0f, a.data, K, b.data, ldb, tb, c.data, N);
    if (Form == 1) {
      cblas_sgemm(CblasRowMajor, CblasNoTrans, tb ? CblasTrans : CblasNoTrans, M, N, K, 1.0f,
                  a.data, K, b.data, ldb, 1.0f, c.data, N);
    }
    if (Form == 2) gemm_acc(M, N, K, 1.0f, a.data, K, b.data, ldb, tb, c.data, N);
    benchmark::DoNotOptimize(c.data);
  }
  state.counters["GFLOPS"] = benchmark::Counter(2.0 * M * N * K * state.iterations(),
                                                benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

void gemm_shapes(benchmark::internal::Benchmark* b) {
  for (int m : {1, 4, 16, 32, 48}) {
    b->Args({m, 1024, 192, 0});  // feed-forward up
    b->Args({m, 384, 192, 1});   // convolution module, pointwise 1
  }
  b->Args({16, 192, 1024, 0});   // feed-forward down
  b->Args({16, 768, 1024, 1});   // vocoder stage 0 transposed convolution
  b->Args({240, 128, 384, 1});   // vocoder stage 1 residual convolution
}

// The feed-forward products as they run in the engine: 4 rows (content encoder) or 16 (acoustic
// model) against weights that come from beyond the second-level cache (each iteration takes the
// next of 32 weight matrices, 24 MB or more in all). range(0) = N, range(1) = K, range(2) = 1 for
// the weights in half precision, 2 for them in half precision and panel order (as the engine holds
// fully connected weights in its half-precision form), 3 in single precision and panel order (as
// the kit holds them), range(3) = M. Reports the weights' read rate and the multiply-add rate.
void BM_GemmStreaming(benchmark::State& state) {
  const int M = static_cast<int>(state.range(3)), N = static_cast<int>(state.range(0)),
            K = static_cast<int>(state.range(1));
  const bool copied = state.range(2) != 0;
  const bool half = copied && state.range(2) != 3;
  constexpr int kCopies = 32;
  std::vector<std::unique_ptr<Tf>> bs;
  WeightCopies table(1, half ? WeightCopies::Form::kHalf : WeightCopies::Form::kPanels);
  for (int i = 0; i < kCopies; ++i) {
    bs.push_back(std::make_unique<Tf>(K, N));
    fill(*bs.back(), -0.1f, 0.1f, 20 + i);
    if (copied) table.add(bs.back()->data, static_cast<std::size_t>(K) * N, K, state.range(2) != 1 ? N : 0);
  }
  table.finish();
  const WeightCopiesScope use(copied ? &table : nullptr);
  Tf a(M, K), c(M, N);
  fill(a, -1.0f, 1.0f, 12);
  fill(c, -1.0f, 1.0f, 14);
  int i = 0;
  for (auto _ : state) {
    gemm_acc(M, N, K, 1.0f, a.data, K, bs[static_cast<std::size_t>(i)]->data, N, false, c.data, N);
    i = (i + 1) % kCopies;
    benchmark::DoNotOptimize(c.data);
  }
  const double bytes = (half ? 2.0 : 4.0) * N * K;
  state.counters["GB/s"] = benchmark::Counter(bytes * state.iterations(), benchmark::Counter::kIsRate,
                                              benchmark::Counter::kIs1000);
  state.counters["GFLOP/s"] = benchmark::Counter(2.0 * M * N * K * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate, benchmark::Counter::kIs1000);
}

void BM_AddFused(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0)), cols = static_cast<int>(state.range(1));
  Tf a(rows, cols), b(rows, cols);
  fill(a, -1.0f, 1.0f, 9);
  fill(b, -1.0f, 1.0f, 10);
  for (auto _ : state) {
    a.add(0.5f, &b);
    benchmark::DoNotOptimize(a.data);
  }
  state.SetItemsProcessed(state.iterations() * rows * cols);
}

void BM_Upsample60(benchmark::State& state) {
  const int rows = 16, w = static_cast<int>(state.range(0));
  Tf src(rows, w), dst(rows * 60, w);
  fill(src, -1.0f, 1.0f, 11);
  for (auto _ : state) {
    dst.upsample(&src, 60);
    benchmark::DoNotOptimize(dst.data);
  }
  state.SetItemsProcessed(state.iterations() * rows * 60 * w);
}

}  // namespace

BENCHMARK(BM_ExpPs)->Arg(1024)->Arg(16 * 1024);
BENCHMARK(BM_Activation<swish_fn>)->Name("BM_Swish")->Args({16, 192})->Args({16, 1024})->Args({16, 17})->Args({1, 3});
BENCHMARK(BM_Activation<swish_die_fn>)->Name("BM_SwishDie")->Args({16, 192})->Args({16, 1024});
BENCHMARK(BM_Activation<leaky_fn>)->Name("BM_LeakyRelu")->Args({960, 9})->Args({1080, 64})->Args({16, 512});
BENCHMARK(BM_Activation<leaky_die_fn>)->Name("BM_LeakyReluDie")->Args({1080, 64});
BENCHMARK(BM_Glu)->Args({16, 192})->Args({16, 256})->Args({19, 7});
BENCHMARK(BM_GluDie)->Args({16, 192});
BENCHMARK(BM_Softmax<softmax>)->Name("BM_Softmax")->Args({64, 16})->Args({64, 256})->Args({64, 83});
BENCHMARK(BM_Softmax<softmax_die>)->Name("BM_SoftmaxDie")->Args({64, 256});
BENCHMARK(BM_Im2col)->Args({192, 3})->Args({256, 31})->Args({80, 5});
BENCHMARK(BM_LinearForward)->Args({16, 192})->Args({4, 256})->Args({336, 192})->Args({16, 256});
BENCHMARK(BM_Gemm<0>)->Name("BM_GemmSmall")->Apply(gemm_shapes);
BENCHMARK(BM_Gemm<1>)->Name("BM_GemmBlas")->Apply(gemm_shapes);
BENCHMARK(BM_Gemm<2>)->Name("BM_GemmAcc")->Apply(gemm_shapes);
BENCHMARK(BM_GemmStreaming)
    ->Args({2048, 256, 0, 4})
    ->Args({2048, 256, 1, 4})
    ->Args({2048, 256, 2, 4})
    ->Args({2048, 256, 3, 4})
    ->Args({256, 2048, 0, 4})
    ->Args({256, 2048, 1, 4})
    ->Args({256, 2048, 2, 4})
    ->Args({256, 2048, 3, 4})
    ->Args({1024, 192, 3, 16})
    ->Args({192, 1024, 3, 16});
BENCHMARK(BM_AddFused)->Args({16, 192})->Args({16, 1024});
BENCHMARK(BM_Upsample60)->Arg(1)->Arg(9)->Arg(64);

BENCHMARK_MAIN();
