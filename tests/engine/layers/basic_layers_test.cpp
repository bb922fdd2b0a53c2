// Linear, Prenet, Conv1d and LayerNorm against naive double references (the style norm is checked
// in the style block); the convolution's streaming equivalence, reset and shared workspace;
// refusal of what does not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "engine/layers/conv1d.h"
#include "engine/layers/layernorm.h"
#include "engine/layers/linear.h"
#include "engine/layers/prenet.h"
#include "layer_ref.h"

using namespace mvsdk::engine;
using namespace layer_ref;

TEST(Linear, MatchesReferenceAndRefusesWhatDoesNotFit) {
  SeededFloats rng(1);
  for (auto [in, out, rows, act] : {std::tuple{7, 33, 16, 1}, std::tuple{80, 17, 3, 0}, std::tuple{5, 5, 1, 1}}) {
    Stream s(padded(in * out) + padded(out));
    const float* W = s.take(in * out, rng, 0.5f);
    const float* b = s.take(out, rng, 0.5f);
    Linear lin(s.data.data(), act, in, out);
    ASSERT_EQ(lin.get_memsize(), static_cast<int>(s.data.size()));
    EXPECT_EQ(lin.activation(), act ? static_cast<Activation>(&swish) : static_cast<Activation>(&relu));
    const Mat xm = random_mat(rows, in, rng);
    auto x = to_tensor(xm, in, 16 * std::max(in, out) / in + 1);
    ASSERT_TRUE(lin.forward(x.get()));
    expect_near(from_tensor(*x), affine(xm, W, b, in, out), 1e-5);
  }
}

TEST(Prenet, MatchesReferenceOnOddAndRealShapesAndRefusesWhatDoesNotFit) {
  SeededFloats rng(42);
  for (auto [in, out] : {std::pair{1, 1}, {7, 5}, {3, 17}, {33, 7}, {513, 192}}) {
    for (int act : {0, 1}) {
      Stream s(Prenet::stream_floats(in, out));
      const float* p[6];
      for (int i = 0; i < 6; ++i) p[i] = s.take(i % 2 ? out : (i ? out : in) * out, rng, 0.5f);
      ASSERT_EQ(s.pos, s.data.size());
      Prenet net(s.data.data(), act, in, out);
      ASSERT_EQ(net.get_memsize(), static_cast<int>(s.data.size()));
      for (int rows : {1, 3, 16}) {
        const Mat xm = random_mat(rows, in, rng);
        auto x = to_tensor(xm, in, rows * std::max(in, out) / in + 1);
        Mat want = xm;
        for (int l = 0; l < 3; ++l) {
          want = affine(want, p[2 * l], p[2 * l + 1], l ? out : in, out);
          if (l < 2) want = map(want, [act](double v) { return act ? swish(v) : std::max(v, 0.0); });
        }
        ASSERT_TRUE(net.forward(x.get()));
        double scale = 1;
        for (const auto& r : want) scale = std::max(scale, std::abs(r[0]));
        expect_near(from_tensor(*x), want, 1e-4 * scale);
      }
    }
  }
}

// 17 rows, a capacity too small for the output (4 x 8 or 4 x 9) or the wrong width are refused,
// x left alone, by the linear layer and by the Prenet built of them.
TEST(Linear, RefusesWhatDoesNotFit) {
  std::vector<float> w(Prenet::stream_floats(5, 9), 0.1f);
  Linear lin(w.data(), 0, 4, 8);
  Prenet net(w.data(), 0, 5, 9);
  Tf many(17, 9), tight(4, 5), wrong(2, 7);
  for (auto [layer, in] : {std::pair{0, 4}, {1, 5}}) {
    many.resize(1, 1, 17, in);
    tight.resize(1, 1, 4, in);
    for (Tf* t : {&many, &tight, &wrong}) {
      const int width = t->shape[3];
      EXPECT_FALSE(layer ? net.forward(t) : lin.forward(t)) << layer << " " << width;
      EXPECT_EQ(t->shape[3], width);
    }
  }
  EXPECT_FALSE(net.forward(nullptr));
}

TEST(Conv1d, MatchesReferenceInAnyChunkingStrideAndAfterReset) {
  SeededFloats rng(2);
  const int K = 5, D = 3, C = 7, O = 9, P = D * (K - 1);
  Stream s(padded(O * C * K) + padded(O));
  const float* W = s.take(O * C * K, rng, 0.5f);
  const float* b = s.take(O, rng, 0.5f);
  Conv1d conv(s.data.data(), K, D, C, O);
  ASSERT_EQ(conv.get_memsize(), static_cast<int>(s.data.size()));
  EXPECT_EQ(conv.history().shape[2], P);
  const Mat xm = random_mat(61, C, rng);
  const Mat want = causal_conv(xm, W, b, K, D, C, O);
  const std::vector<std::vector<int>> chunkings = {{61}, {1, 2, 13, 1, 7, 20, 17}, std::vector<int>(21, 3)};
  for (const std::vector<int>& chunks : chunkings) {
    conv.reset();
    Mat out;
    for (int t = 0, i = 0; t < 61; t += chunks[i++]) {
      const int n = std::min(chunks[i], 61 - t);
      auto x = to_tensor(rows_of(xm, t, t + n), C, (n + P) * std::max(C, O) / C + 1);
      ASSERT_TRUE(conv.forward(x.get(), 1));
      for (auto& r : from_tensor(*x)) out.push_back(r);
    }
    expect_near(out, want, 1e-5, "chunks");
  }
  // Stride 2: every other output frame.
  conv.reset();
  auto x = to_tensor(rows_of(xm, 0, 9), C, 24);
  ASSERT_TRUE(conv.forward(x.get(), 2));
  expect_near(from_tensor(*x), causal_conv(rows_of(xm, 0, 9), W, b, K, D, C, O, 2), 1e-5, "stride");
  // No room for the history in front of the chunk, wrong channels, stride 0: refused, history kept.
  conv.reset();
  Tf tight(4, C), wrong(4, C + 1);
  tight.data[0] = 1.0f;
  EXPECT_FALSE(conv.forward(&tight, 1) || conv.forward(&wrong, 1) || conv.forward(x.get(), 0));
  EXPECT_EQ(tight.data[0], 1.0f);
  const Tf& h = conv.history();
  EXPECT_TRUE(std::all_of(h.data, h.data + h.size, [](float v) { return v == 0.0f; }));
}

TEST(Conv1d, SharedWorkspaceMatchesOwnedAndBoundsTheChunk) {
  SeededFloats rng(4);
  const int K = 3, C = 5, O = 6;
  Stream s(2 * (padded(O * C * K) + padded(O)));
  for (int i = 0; i < 2; ++i) {
    s.take(O * C * K, rng, 0.5f);
    s.take(O, rng, 0.5f);
  }
  const float* w2 = s.data.data() + padded(O * C * K) + padded(O);
  // Two layers sharing a workspace of 8 output frames, against two with their own.
  Tf ws(8, K * C);
  Conv1d a(s.data.data(), K, 1, C, O, &ws), b(w2, K, 2, C, O, &ws);
  Conv1d a_own(s.data.data(), K, 1, C, O), b_own(w2, K, 2, C, O);
  for (int chunk : {8, 3, 8, 1}) {
    const Mat xm = random_mat(chunk, C, rng);
    auto xa = to_tensor(xm, C, chunk + 4), xb = to_tensor(xm, C, chunk + 4);
    auto ya = to_tensor(xm, C, chunk + 4), yb = to_tensor(xm, C, chunk + 4);
    ASSERT_TRUE(a.forward(xa.get(), 1) && b.forward(xb.get(), 1));
    ASSERT_TRUE(a_own.forward(ya.get(), 1) && b_own.forward(yb.get(), 1));
    expect_same(*xa, *ya);
    expect_same(*xb, *yb);
  }
  // Nine output frames do not fit the workspace: refused, input and history untouched; with
  // stride 2 the same nine frames give five outputs, which fit.
  const Mat big = random_mat(9, C, rng);
  auto x = to_tensor(big, C, 16);
  const std::vector<float> hist(a.history().data, a.history().data + a.history().size);
  EXPECT_FALSE(a.forward(x.get(), 1));
  EXPECT_EQ(from_tensor(*x), big);
  EXPECT_TRUE(std::equal(hist.begin(), hist.end(), a.history().data));
  EXPECT_TRUE(a.forward(x.get(), 2));
  EXPECT_EQ(x->shape[2], 5);
}

TEST(LayerNorm, MatchesReferenceAndTheRowStepsAgreeWithTheWholePass) {
  SeededFloats rng(4);
  for (int dim : {3, 33, 192}) {
    Stream st(2 * padded(dim));
    const float* g = st.take(dim, rng, 2.0f);
    const float* b = st.take(dim, rng, 2.0f);
    LayerNorm n(st.data.data(), 1e-5f, dim);
    ASSERT_EQ(n.get_memsize(), static_cast<int>(st.data.size()));
    Mat xm = random_mat(11, dim, rng, 3.0f);
    xm[10].assign(dim, 7.0);  // equal values: beta exactly
    auto xt = to_tensor(xm, dim);
    std::vector<float> row(xt->data + 9 * dim, xt->data + 10 * dim);
    float mean, var;
    n.mean_var(row.data(), mean, var);
    n.norm(row.data(), mean, var);
    n.forward(xt.get());
    EXPECT_EQ(std::memcmp(row.data(), xt->data + 9 * dim, sizeof(float) * dim), 0);
    EXPECT_TRUE(std::equal(b, b + dim, xt->data + 10 * dim));
    layer_norm(xm, g, b, 1e-5);
    expect_near(from_tensor(*xt), xm, 2e-5);
  }
}
