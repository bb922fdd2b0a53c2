// Linear, Conv1d, LayerNorm and StyleLayerNorm against the worked examples and naive double
// references; streaming equivalence and reset of the convolution; refusal of oversized input.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "engine/kernels/util.h"
#include "engine/layers/conv1d.h"
#include "engine/layers/layernorm.h"
#include "engine/layers/linear.h"
#include "engine/layers/stylelayernorm.h"
#include "layer_ref.h"
#include "support/alloc_counter.h"

using namespace mvsdk::engine;
using namespace layer_ref;

TEST(Linear, WorkedExampleAndStreamConsumption) {
  std::vector<float> s = {1, 2, 3};
  s.resize(32, 0.0f);
  s.insert(s.end(), {0.5f, 0.5f, 0.5f});
  s.resize(64, 0.0f);
  Linear lin(s.data(), 0, 1, 3);
  EXPECT_EQ(lin.get_memsize(), 64);
  Tf x(16, 3);
  x.resize(1, 1, 2, 1);
  x.data[0] = 2;
  x.data[1] = -1;
  ASSERT_TRUE(lin.forward(&x));
  EXPECT_EQ(x.shape[2], 2);
  EXPECT_EQ(x.shape[3], 3);
  const float want[] = {2.5f, 4.5f, 6.5f, -0.5f, -1.5f, -2.5f};
  for (int i = 0; i < 6; ++i) EXPECT_FLOAT_EQ(x.data[i], want[i]) << i;

  std::vector<float> big(20000, 0.0f);
  EXPECT_EQ(Linear(big.data(), 0, 1, 192).get_memsize(), 384);
  EXPECT_EQ(Linear(big.data(), 1, 192, 100).get_memsize(), 19328);
  EXPECT_EQ(Linear(big.data(), 1, 1, 3).activation(), static_cast<Activation>(&swish));
  EXPECT_EQ(Linear(big.data(), 0, 1, 3).activation(), static_cast<Activation>(&relu));
}

TEST(Linear, MatchesReferenceAndRefusesWhatDoesNotFit) {
  std::mt19937 rng(1);
  for (auto [in, out, rows] : {std::tuple{7, 33, 16}, std::tuple{80, 17, 3}, std::tuple{5, 5, 1}}) {
    Stream s(padded(in * out) + padded(out));
    const float* W = s.take(in * out, rng, 0.5f);
    const float* b = s.take(out, rng, 0.5f);
    Linear lin(s.data.data(), 1, in, out);
    ASSERT_EQ(lin.get_memsize(), static_cast<int>(s.data.size()));
    const Mat xm = random_mat(rows, in, rng);
    auto x = to_tensor(xm, in, 16 * std::max(in, out) / in + 1);
    ASSERT_TRUE(lin.forward(x.get()));
    expect_near(from_tensor(*x), affine_in_major(xm, W, b, in, out), 1e-5);
  }
  // 17 rows, or a capacity too small for the output, are refused and x is left alone.
  Stream s(padded(4 * 8) + padded(8));
  s.take(32, rng, 1.0f);
  s.take(8, rng, 1.0f);
  Linear lin(s.data.data(), 0, 4, 8);
  Tf many(17, 8);
  many.resize(1, 1, 17, 4);
  EXPECT_FALSE(lin.forward(&many));
  EXPECT_EQ(many.shape[3], 4);
  Tf tight(2, 4);  // room for 8 floats, output needs 16
  EXPECT_FALSE(lin.forward(&tight));
  Tf wrong(2, 5);
  EXPECT_FALSE(lin.forward(&wrong));
}

namespace {

// Conv1d reference over a whole signal with zero history: y[t][o] = b[o] +
// sum_k sum_c x[t - P + k*D][c] * W[o][k*C + c].
Mat conv_ref(const Mat& x, const float* W, const float* b, int K, int D, int C, int O, int stride) {
  const int T = static_cast<int>(x.size());
  const int P = D * (K - 1);
  Mat y;
  for (int t = 0; t < T; t += stride) {
    std::vector<double> row(O);
    for (int o = 0; o < O; ++o) {
      double s = b[o];
      for (int k = 0; k < K; ++k) {
        const int src = t - P + k * D;
        if (src < 0) continue;
        for (int c = 0; c < C; ++c) s += x[src][c] * W[(static_cast<std::size_t>(o) * K + k) * C + c];
      }
      row[o] = s;
    }
    y.push_back(row);
  }
  return y;
}

}  // namespace

TEST(Conv1d, WorkedExamplesCrossCallBoundaries) {
  std::vector<float> s(64, 0.0f);
  s[0] = s[1] = s[2] = 1.0f;  // a running sum of three frames, bias 0
  Conv1d conv(s.data(), 3, 1, 1, 1);
  EXPECT_EQ(conv.get_memsize(), 64);
  Tf x(16);
  x.resize(1, 1, 2, 1);
  x.data[0] = 1;
  x.data[1] = 2;
  ASSERT_TRUE(conv.forward(&x, 1));
  EXPECT_EQ(x.data[0], 1.0f);
  EXPECT_EQ(x.data[1], 3.0f);
  x.resize(1, 1, 1, 1);
  x.data[0] = 3;
  ASSERT_TRUE(conv.forward(&x, 1));
  EXPECT_EQ(x.data[0], 6.0f);

  // Dilation 2 keeps 4 frames; after reset the first output is tap 2 x input + bias.
  std::vector<float> s2(64, 0.0f);
  s2[0] = 10, s2[1] = 20, s2[2] = 30;
  s2[32] = 0.25f;
  Conv1d dil(s2.data(), 3, 2, 1, 1);
  EXPECT_EQ(dil.history().shape[2], 4);
  x.resize(1, 1, 1, 1);
  x.data[0] = 1;
  ASSERT_TRUE(dil.forward(&x, 1));
  EXPECT_EQ(x.data[0], 30.25f);
  x.resize(1, 1, 2, 1);
  x.data[0] = 0;
  x.data[1] = 0;
  ASSERT_TRUE(dil.forward(&x, 1));  // frame 2 meets frame 0 through tap 1
  EXPECT_EQ(x.data[1], 20.25f);
  // After reset, silence gives the bias in every frame.
  dil.reset();
  x.resize(1, 1, 5, 1);
  x.zeros();
  ASSERT_TRUE(dil.forward(&x, 1));
  for (int t = 0; t < 5; ++t) EXPECT_EQ(x.data[t], 0.25f);
}

TEST(Conv1d, MatchesReferenceInAnyChunkingAndAfterReset) {
  std::mt19937 rng(2);
  const int K = 5, D = 3, C = 7, O = 9, P = D * (K - 1);
  Stream s(padded(O * C * K) + padded(O));
  const float* W = s.take(O * C * K, rng, 0.5f);
  const float* b = s.take(O, rng, 0.5f);
  Conv1d conv(s.data.data(), K, D, C, O);
  ASSERT_EQ(conv.get_memsize(), static_cast<int>(s.data.size()));
  const Mat xm = random_mat(61, C, rng);
  const Mat want = conv_ref(xm, W, b, K, D, C, O, 1);

  auto run = [&](const std::vector<int>& chunks) {
    Mat out;
    int t = 0;
    for (int n : chunks) {
      auto x = to_tensor(slice_rows(xm, t, t + n), C, (n + P) * std::max(C, O) / C + 1);
      EXPECT_TRUE(conv.forward(x.get(), 1));
      for (auto& r : from_tensor(*x)) out.push_back(r);
      t += n;
    }
    return out;
  };
  const Mat whole = run({61});
  expect_near(whole, want, 1e-5, "one chunk");
  conv.reset();
  const Mat pieces = run({1, 2, 13, 1, 7, 20, 17});
  conv.reset();
  const Mat pieces2 = run({3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 1});
  // The same sums per output frame; only the BLAS blocking (which depends on the row count) may
  // move the last bit.
  expect_near(pieces, whole, 1e-6, "uneven chunks");
  expect_near(pieces2, whole, 1e-6, "chunks of 3");
}

TEST(Conv1d, StrideAndRefusals) {
  std::mt19937 rng(3);
  const int K = 3, D = 1, C = 4, O = 6;
  Stream s(padded(O * C * K) + padded(O));
  const float* W = s.take(O * C * K, rng, 0.5f);
  const float* b = s.take(O, rng, 0.5f);
  Conv1d conv(s.data.data(), K, D, C, O);
  const Mat xm = random_mat(9, C, rng);
  auto x = to_tensor(xm, C, 12);
  ASSERT_TRUE(conv.forward(x.get(), 2));
  EXPECT_EQ(x->shape[2], 5);  // (9 - 1) / 2 + 1
  expect_near(from_tensor(*x), conv_ref(xm, W, b, K, D, C, O, 2), 1e-5);

  // No room for the two history frames in front of the chunk: refused, history kept.
  conv.reset();
  Tf tight(4, C);
  for (int i = 0; i < tight.size; ++i) tight.data[i] = 1.0f;
  EXPECT_FALSE(conv.forward(&tight, 1));
  EXPECT_EQ(tight.data[0], 1.0f);
  Tf wrong_channels(4, C + 1);
  EXPECT_FALSE(conv.forward(&wrong_channels, 1));
  EXPECT_FALSE(conv.forward(x.get(), 0));
  for (int i = 0; i < conv.history().size; ++i) EXPECT_EQ(conv.history().data[i], 0.0f);
}

TEST(Conv1d, SharedWorkspaceMatchesOwnedAndBoundsTheChunk) {
  std::mt19937 rng(4);
  const int K = 3, C = 5, O = 6;
  Stream s(2 * (padded(O * C * K) + padded(O)));
  s.take(O * C * K, rng, 0.5f);
  s.take(O, rng, 0.5f);
  s.take(O * C * K, rng, 0.5f);
  s.take(O, rng, 0.5f);
  const float* w2 = s.data.data() + padded(O * C * K) + padded(O);
  // Two layers sharing a workspace of 8 output frames, against two with their own.
  Tf ws(8, K * C);
  Conv1d a(s.data.data(), K, 1, C, O, &ws), b(w2, K, 2, C, O, &ws);
  Conv1d a_own(s.data.data(), K, 1, C, O), b_own(w2, K, 2, C, O);
  for (int chunk : {8, 3, 8, 1}) {
    const Mat xm = random_mat(chunk, C, rng);
    auto xa = to_tensor(xm, C, chunk + 4), xb = to_tensor(xm, C, chunk + 4);
    auto ya = to_tensor(xm, C, chunk + 4), yb = to_tensor(xm, C, chunk + 4);
    ASSERT_TRUE(a.forward(xa.get(), 1));
    ASSERT_TRUE(b.forward(xb.get(), 1));
    ASSERT_TRUE(a_own.forward(ya.get(), 1));
    ASSERT_TRUE(b_own.forward(yb.get(), 1));
    EXPECT_EQ(from_tensor(*xa), from_tensor(*ya));
    EXPECT_EQ(from_tensor(*xb), from_tensor(*yb));
  }
  // Nine output frames do not fit the workspace: refused, input and history untouched.
  const Mat big = random_mat(9, C, rng);
  auto x = to_tensor(big, C, 16);
  const Mat before = from_tensor(*x);
  std::vector<float> hist(a.history().data, a.history().data + a.history().size);
  EXPECT_FALSE(a.forward(x.get(), 1));
  EXPECT_EQ(from_tensor(*x), before);
  EXPECT_TRUE(std::equal(hist.begin(), hist.end(), a.history().data));
  // With stride 2 the same nine frames give five outputs, which fit.
  EXPECT_TRUE(a.forward(x.get(), 2));
  EXPECT_EQ(x->shape[2], 5);
}

TEST(LayerNorm, WorkedExamplesAndReference) {
  std::vector<float> s(64, 0.0f);
  for (int i = 0; i < 4; ++i) s[i] = 1.0f;
  for (int i = 0; i < 4; ++i) s[32 + i] = 0.5f * i;
  LayerNorm ln(s.data(), 1e-12f, 4);
  EXPECT_EQ(ln.get_memsize(), 64);
  Tf x(2, 4);
  const float v[] = {1, 2, 3, 4, 7, 7, 7, 7};
  std::copy(v, v + 8, x.data);
  ln.forward(&x);
  const float want[] = {-1.3416408f + 0.0f, -0.4472136f + 0.5f, 0.4472136f + 1.0f, 1.3416408f + 1.5f};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(x.data[i], want[i], 1e-6) << i;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(x.data[4 + i], 0.5f * i) << "equal values give beta exactly";

  // Random rows, including a group of 8 and leftovers, against the double formula.
  std::mt19937 rng(4);
  for (int dim : {3, 33, 192}) {
    Stream st(2 * padded(dim));
    const float* g = st.take(dim, rng, 2.0f);
    const float* b = st.take(dim, rng, 2.0f);
    LayerNorm n(st.data.data(), 1e-5f, dim);
    Mat xm = random_mat(11, dim, rng, 3.0);
    auto xt = to_tensor(xm, dim);
    // The single-row steps and the whole-tensor pass agree bit for bit.
    std::vector<float> row(xt->data + 9 * dim, xt->data + 10 * dim);
    float mean, var;
    n.mean_var(row.data(), mean, var);
    n.norm(row.data(), mean, var);
    n.forward(xt.get());
    EXPECT_EQ(std::memcmp(row.data(), xt->data + 9 * dim, sizeof(float) * dim), 0);
    EXPECT_EQ(std::memcmp(row.data(), xt->data + 1 * dim, sizeof(float) * dim) == 0, false);
    layer_norm(xm, g, b, 1e-5);
    expect_near(from_tensor(*xt), xm, 2e-5);
  }
}

TEST(StyleLayerNorm, GainAndBiasFromStyle) {
  std::mt19937 rng(5);
  const int dim = 24;
  Stream s(padded(2 * dim * dim) + padded(2 * dim));
  const float* W = s.take(2 * dim * dim, rng, 0.3f);
  const float* bias = s.take(2 * dim, rng, 1.0f);
  StyleLayerNorm sn(s.data.data(), 1e-12f, dim);
  EXPECT_EQ(sn.get_memsize(), static_cast<int>(s.data.size()));
  std::vector<float> big(80000);
  EXPECT_EQ(StyleLayerNorm(big.data(), 1e-12f, 192).get_memsize(), 74112);

  // A zero style leaves the bias block alone as gain and bias.
  Tf style(dim);
  style.zeros();
  ASSERT_TRUE(sn.setstyle(&style));
  for (int i = 0; i < 2 * dim; ++i) EXPECT_EQ(sn.gainbias().data[i], bias[i]);

  const Mat sm = random_mat(1, dim, rng);
  for (int i = 0; i < dim; ++i) style.data[i] = static_cast<float>(sm[0][i]);
  ASSERT_TRUE(sn.setstyle(&style));
  std::vector<double> gb(2 * dim);
  for (int r = 0; r < 2 * dim; ++r) {
    gb[r] = bias[r];
    for (int c = 0; c < dim; ++c) gb[r] += W[r * dim + c] * sm[0][c];
    EXPECT_NEAR(sn.gainbias().data[r], gb[r], 1e-5);
  }
  Mat xm = random_mat(5, dim, rng, 2.0);
  auto x = to_tensor(xm, dim);
  sn.forward(x.get());
  layer_norm(xm, gb.data(), gb.data() + dim, 1e-12);
  expect_near(from_tensor(*x), xm, 2e-5);

  // A style shorter than dim is refused and the gain stays.
  Tf short_style(dim - 1);
  const float before = sn.gainbias().data[0];
  EXPECT_FALSE(sn.setstyle(&short_style));
  EXPECT_EQ(sn.gainbias().data[0], before);
}

TEST(BasicLayers, ForwardAllocatesNothing) {
  std::vector<float> s(200000, 0.01f);
  Linear lin(s.data(), 1, 16, 24);
  Conv1d conv(s.data(), 3, 2, 24, 24);
  LayerNorm ln(s.data(), 1e-12f, 24);
  StyleLayerNorm sn(s.data(), 1e-12f, 24);
  Tf x(16, 32);
  Tf style(24);
  style.zeros();
  mvsdk::test::AllocationGuard guard;
  for (int i = 0; i < 3; ++i) {
    x.resize(1, 1, 12, 16);
    x.zeros();
    EXPECT_TRUE(lin.forward(&x));
    EXPECT_TRUE(conv.forward(&x, 1));
    ln.forward(&x);
    EXPECT_TRUE(sn.setstyle(&style));
    sn.forward(&x);
  }
  conv.reset();
  EXPECT_EQ(guard.count(), 0u);
}
