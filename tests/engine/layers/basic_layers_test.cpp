// The layers outside the conformer blocks against naive double references: Prenet (three linear
// layers), Conv1d with its streaming equivalence, reset and shared workspace, the vocoder's
// DeConv1d and UpSampler (residual blocks inside) fed in chunks of awkward sizes across resets,
// and the content encoder's EmbedLayer; refusal of what does not fit. The norms are checked in
// the conformer blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "engine/layers/conv1d.h"
#include "engine/layers/deconv1d.h"
#include "engine/layers/embedlayer.h"
#include "engine/layers/linear.h"
#include "engine/layers/prenet.h"
#include "engine/layers/upsampler.h"
#include "layer_ref.h"

using namespace mvsdk::engine;
using namespace layer_ref;

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

// The layer works in a workspace it shares with another layer, which runs between its chunks:
// what it keeps from chunk to chunk is its own.
TEST(Conv1d, MatchesReferenceInAnyChunkingStrideAndAfterResetOnASharedWorkspace) {
  SeededFloats rng(2);
  const int K = 5, D = 3, C = 7, O = 9, P = D * (K - 1);
  Stream s(2 * (padded(O * C * K) + padded(O)));
  const float* W = s.take(O * C * K, rng, 0.5f);
  const float* b = s.take(O, rng, 0.5f);
  s.take(O * C * K, rng, 0.5f);
  s.take(O, rng, 0.5f);
  Tf ws(61, K * C);
  Conv1d conv(s.data.data(), K, D, C, O, &ws);
  Conv1d other(s.data.data() + padded(O * C * K) + padded(O), K, 1, C, O, &ws);
  ASSERT_EQ(conv.get_memsize(), static_cast<int>(s.data.size() / 2));
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
      ASSERT_TRUE(other.forward(to_tensor(random_mat(8, C, rng), C, 16).get(), 1));
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
  // A workspace of 8 output frames refuses nine, input untouched; with stride 2 the same nine
  // frames give five outputs, which fit.
  Tf small(8, K * C);
  Conv1d bounded(W, K, D, C, O, &small);
  const Mat nine = random_mat(9, C, rng);
  auto y = to_tensor(nine, C, 32);
  EXPECT_FALSE(bounded.forward(y.get(), 1));
  EXPECT_EQ(from_tensor(*y), nine);
  EXPECT_TRUE(bounded.forward(y.get(), 2));
  EXPECT_EQ(y->shape[2], 5);
}

namespace {

// Feeds x through forward(chunk tensor) in the given chunk sizes (cycled) and joins the outputs;
// each chunk tensor holds `room` floats.
template <class Forward>
Mat run_chunks(const Mat& x, const std::vector<int>& sizes, int room, Forward forward) {
  Mat out;
  Tf buf(1, room);
  for (int t = 0, i = 0; t < static_cast<int>(x.size()); ++i) {
    const int n = std::min(sizes[i % sizes.size()], static_cast<int>(x.size()) - t);
    buf.reload(to_tensor(rows_of(x, t, t + n), static_cast<int>(x[0].size())).get());
    EXPECT_TRUE(forward(&buf));
    for (auto& r : from_tensor(buf)) out.push_back(r);
    t += n;
  }
  return out;
}

// Direct ResBlock: x + conv(leaky(conv_dilated(leaky(x)))); returns the floats it read.
Mat ref_resblock(const Mat& x, int ch, const float* p, int dilation, int* used) {
  const int wn = padded(ch * ch * 3), cn = wn + padded(ch);
  Mat h = causal_conv(map(x, leaky), p, p + wn, 3, dilation, ch, ch);
  h = causal_conv(map(h, leaky), p + cn, p + cn + wn, 3, 1, ch, ch);
  *used = 2 * cn;
  return add(x, h);
}

std::vector<float> naive_embed(const EmbedLayer& l, const std::vector<float>& x, int t) {
  const int d = l.d;
  const int t1 = (t - 1) / 2, t2 = (t1 - 1) / 2, f1 = 39, f2 = 19;
  std::vector<double> xn(static_cast<size_t>(t) * 80);
  for (int r = 0; r < t; ++r)
    for (int m = 0; m < 80; ++m)
      xn[r * 80 + m] = static_cast<double>(
          (x[r * 80 + m] - global_cmvn_mean_online_hex[m]) * global_cmvn_std_online_hex[m]);
  std::vector<double> plane(static_cast<size_t>(d) * f1 * t1);  // [c][fi][ti]
  for (int c = 0; c < d; ++c)
    for (int fi = 0; fi < f1; ++fi)
      for (int ti = 0; ti < t1; ++ti) {
        double v = l.conv0_b[c];
        for (int kf = 0; kf < 3; ++kf)
          for (int kt = 0; kt < 3; ++kt)
            v += l.conv0_w[(kf * 3 + kt) * d + c] * xn[(2 * ti + kt) * 80 + 2 * fi + kf];
        plane[(static_cast<size_t>(c) * f1 + fi) * t1 + ti] = v > 0 ? v : 0;
      }
  std::vector<double> feat(static_cast<size_t>(t2) * d * f2);  // [ti][o][fi]
  for (int o = 0; o < d; ++o)
    for (int fi = 0; fi < f2; ++fi)
      for (int ti = 0; ti < t2; ++ti) {
        double v = l.conv1_b[o];
        for (int c = 0; c < d; ++c)
          for (int kf = 0; kf < 3; ++kf)
            for (int kt = 0; kt < 3; ++kt)
              v += static_cast<double>(l.conv1_w[static_cast<size_t>(c * 9 + kf * 3 + kt) * d + o]) *
                   plane[(static_cast<size_t>(c) * f1 + 2 * fi + kf) * t1 + 2 * ti + kt];
        feat[(static_cast<size_t>(ti) * d + o) * f2 + fi] = v > 0 ? v : 0;
      }
  std::vector<float> out(static_cast<size_t>(t2) * d);
  for (int ti = 0; ti < t2; ++ti)
    for (int j = 0; j < d; ++j) {
      double v = l.proj_b[j];
      for (int r = 0; r < d * f2; ++r)
        v += static_cast<double>(l.proj_w[static_cast<size_t>(r) * d + j]) *
             feat[static_cast<size_t>(ti) * d * f2 + r];
      out[static_cast<size_t>(ti) * d + j] = static_cast<float>(16.0 * v);
    }
  return out;
}

// Log mel values around the training means, as the extractor produces them.
std::vector<float> log_mel_chunk(SeededFloats& rng, int t) {
  std::vector<float> x(static_cast<size_t>(t) * 80);
  for (int r = 0; r < t; ++r)
    for (int m = 0; m < 80; ++m) x[r * 80 + m] = global_cmvn_mean_online_hex[m] + rng.next(6.0f);
  return x;
}

}  // namespace

TEST(DeConv1d, BothModesMatchTheDirectFormulaAcrossChunksAndResets) {
  struct Geometry {
    int kernel, out_ch, in_ch, mode, cum, frames;
    std::vector<int> chunks;
  };
  for (const Geometry& g : {Geometry{6, 4, 8, 0, 1, 40, {16, 1, 3, 7}}, Geometry{10, 3, 5, 0, 3, 97, {48, 17, 33, 1}},
                            Geometry{16, 1, 18, 1, 60, 2000, {960, 1, 7, 33}}}) {
    SCOPED_TRACE("kernel " + std::to_string(g.kernel) + " mode " + std::to_string(g.mode));
    SeededFloats rng(g.kernel);
    const std::vector<float> w = rng.vector(DeConv1d::weight_floats(g.kernel, g.out_ch, g.in_ch, g.mode), 0.5f);
    DeConv1d layer(w.data(), g.kernel, 1, g.out_ch, g.in_ch, g.mode, g.cum);
    ASSERT_EQ(layer.get_memsize(), static_cast<int>(w.size()));
    const int win = DeConv1d::window_frames(g.mode), u = g.kernel / win;
    ASSERT_EQ(layer.upsampling(), u);
    const float* bias = g.mode == 0 ? w.data() + padded(g.kernel * g.out_ch * g.in_ch) : nullptr;
    const Mat x = random_mat(g.frames, g.in_ch, rng);
    const Mat want = deconv(x, w.data(), bias, win, u, g.in_ch, g.out_ch);
    const int room = std::max((layer.max_frames() + win - 1) * g.in_ch, layer.max_frames() * u * g.out_ch);
    for (int pass = 0; pass < 2; ++pass) {
      const auto forward = [&](Tf* t) { return layer.forward(t); };
      expect_near(run_chunks(x, g.chunks, room, forward), want, 5e-4);
      layer.reset();  // the second pass starts from silence again
    }
  }
  // A channel mismatch, more than 16 x cum frames, no room for the 15 x 4 output: refused.
  std::vector<float> w(DeConv1d::weight_floats(6, 4, 8, 0), 0.1f);
  DeConv1d layer(w.data(), 6, 1, 4, 8, 0, 1);
  Tf wrong(5, 7), many(17, 8), small(5, 8);
  for (Tf* t : {&wrong, &many, &small}) EXPECT_FALSE(layer.forward(t)) << t->shape[2];
  EXPECT_EQ(small.shape[2], 5);
}

// The upsampler against the whole sequence evaluated directly, fed in chunks and again after a
// reset: its transposed convolution and residual blocks (dilations 1, 3, 9, 27) carry their
// histories across chunks.
TEST(UpSampler, MatchesDirectEvaluationAcrossChunksAndResets) {
  struct Stage {
    int kernel, out_ch, in_ch, cum;
    std::vector<int> chunks;
  };
  for (const Stage& s : {Stage{6, 4, 8, 1, {16, 1, 5}}, Stage{10, 3, 6, 3, {48, 7}}, Stage{8, 2, 4, 15, {240}}}) {
    SCOPED_TRACE("kernel " + std::to_string(s.kernel));
    const int u = s.kernel / 2, frames = 64, most = 16 * s.cum;
    SeededFloats rng(s.kernel);
    const std::vector<float> w = rng.vector(UpSampler::weight_floats(s.kernel, s.out_ch, s.in_ch), 0.4f);
    const Mat x = random_mat(frames, s.in_ch, rng);
    const Mat noise = random_mat(frames * u, s.out_ch, rng, 0.5f);
    UpSampler up(w.data(), s.kernel, 1, s.out_ch, s.in_ch, s.cum);
    ASSERT_EQ(up.upsampling(), u);
    // Direct: leaky, transposed convolution, + noise, four residual blocks (dilations 1, 3, 9, 27).
    const int dw = padded(s.out_ch * u * 2 * s.in_ch);
    Mat h = add(deconv(map(x, leaky), w.data(), w.data() + dw, 2, u, s.in_ch, s.out_ch), noise);
    const float* p = w.data() + dw + padded(s.out_ch);
    for (int dil : {1, 3, 9, 27}) {
      int used = 0;
      h = ref_resblock(h, s.out_ch, p, dil, &used);
      p += used;
    }
    ASSERT_EQ(p - w.data(), up.get_memsize());
    ASSERT_EQ(UpSampler::weight_floats(s.kernel, s.out_ch, s.in_ch), up.get_memsize());
    Tf nz(1, most * u * s.out_ch);
    int at = 0;  // frames fed so far
    const auto forward = [&](Tf* t) {
      const int n = t->shape[2];
      nz.reload(to_tensor(rows_of(noise, at * u, (at + n) * u), s.out_ch).get());
      at += n;
      return up.forward(t, &nz);
    };
    const int room = std::max(most * u * s.out_ch, (most + 1) * s.in_ch);
    for (int pass = 0; pass < 2; ++pass) {
      expect_near(run_chunks(x, s.chunks, room, forward), h, 2e-4);
      up.reset();
      at = 0;
    }
    // Noise of the wrong length is refused and leaves x as it was.
    Tf buf(1, room);
    buf.resize(1, 1, 2, s.in_ch);
    EXPECT_FALSE(up.forward(&buf, &nz));
    EXPECT_EQ(buf.shape[2], 2);
  }
}

TEST(EmbedLayer, MatchesDirectEvaluationAndRefusesShapesItCannotTake) {
  for (int d : {8, 20, 256}) {
    SeededFloats rng(100 + d);
    std::vector<float> w = rng.vector(EmbedLayer::weight_floats(d), 0.3f);
    EmbedLayer layer(w.data(), d);
    ASSERT_EQ(layer.get_memsize(), EmbedLayer::weight_floats(d));
    ASSERT_EQ(layer.proj_b, w.data() + layer.get_memsize() - alignsize(d, 32));
    for (int t : {19, 7, 12}) {
      if (d == 256 && t != 19) continue;  // the direct evaluation is slow at full width
      std::vector<float> x = log_mel_chunk(rng, t);
      Tensor<float> in(t, 80);
      std::memcpy(in.data, x.data(), sizeof(float) * x.size());
      Tensor<float> out(4, d);
      ASSERT_TRUE(layer.forward(in, &out));
      ASSERT_TRUE(out.shape[2] == EmbedLayer::out_frames(t) && out.shape[3] == d);
      EXPECT_EQ(0, std::memcmp(in.data, x.data(), sizeof(float) * x.size())) << "input modified";
      const std::vector<float> want = naive_embed(layer, x, t);
      const double scale = std::fabs(*std::max_element(want.begin(), want.end(), [](float a, float b) {
        return std::fabs(a) < std::fabs(b);
      }));
      ASSERT_GT(scale, 0.1);
      for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_NEAR(out.data[i], want[i], 2e-5 * scale) << "d " << d << " t " << t << " i " << i;
      }
    }
    if (d != 8) continue;
    // Too long, too short for one output frame, the wrong width, no room for 4 frames.
    Tensor<float> out(4, 8), tiny(3, 8), in(20, 80);
    out.resize(1, 1, 3, 3);
    for (auto [rows, width, dst] : {std::tuple{20, 80, &out}, {6, 80, &out}, {19, 79, &out}, {19, 80, &tiny}}) {
      in.resize(1, 1, rows, width);
      EXPECT_FALSE(layer.forward(in, dst)) << rows << "x" << width;
    }
    EXPECT_EQ(out.shape[2], 3);  // untouched
  }
}
