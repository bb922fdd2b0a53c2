// The vocoder's streaming layers against direct whole-sequence evaluations: DeConv1d in both
// modes and ResBlock fed in chunks of awkward sizes across resets, UpSampler on a whole chunk.
#include "engine/layers/upsampler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/layers/deconv1d.h"
#include "engine/layers/resblock.h"
#include "layer_ref.h"

using namespace mvsdk::engine;
using namespace layer_ref;

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

TEST(ResBlock, MatchesDirectEvaluationAcrossChunksAndResets) {
  for (int dilation : {1, 3, 27}) {
    const int ch = 5, frames = 130;
    SeededFloats rng(dilation);
    const std::vector<float> w = rng.vector(ResBlock::weight_floats(3, ch, ch), 0.4f);
    const Mat x = random_mat(frames, ch, rng);
    ResBlock block(w.data(), 3, dilation, ch, ch);
    int used = 0;
    const Mat want = ref_resblock(x, ch, w.data(), dilation, &used);
    ASSERT_EQ(block.get_memsize(), used);
    ASSERT_EQ(used, ResBlock::weight_floats(3, ch, ch));
    for (int pass = 0; pass < 2; ++pass) {  // just the chunk: the block keeps its own work space
      const auto forward = [&](Tf* t) { return block.forward(t); };
      expect_near(run_chunks(x, {1, 17, 64, 3, 33, 7}, 64 * ch, forward), want, 5e-5);
      block.reset();
    }
    Tf narrow(10, ch - 1);
    EXPECT_FALSE(block.forward(&narrow));
    EXPECT_EQ(narrow.shape[3], ch - 1);
  }
}

// One whole chunk per stage geometry (the streaming state lives in DeConv1d and ResBlock).
TEST(UpSampler, MatchesDirectEvaluation) {
  struct Stage {
    int kernel, out_ch, in_ch, cum;
  };
  for (const Stage& s : {Stage{6, 4, 8, 1}, Stage{10, 3, 6, 3}, Stage{8, 2, 4, 15}}) {
    const int u = s.kernel / 2, frames = 16 * s.cum;
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
    Tf buf(1, std::max(frames * u * s.out_ch, (frames + 1) * s.in_ch));
    buf.reload(to_tensor(x, s.in_ch).get());
    auto nz = to_tensor(noise, s.out_ch);
    ASSERT_TRUE(up.forward(&buf, nz.get()));
    expect_near(from_tensor(buf), h, 2e-4);
    // Noise of the wrong length is refused and leaves x as it was.
    nz->resize(1, 1, frames * u - 1, s.out_ch);
    buf.resize(1, 1, 2, s.in_ch);
    EXPECT_FALSE(up.forward(&buf, nz.get()));
    EXPECT_EQ(buf.shape[2], 2);
  }
}
