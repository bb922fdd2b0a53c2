// DeConv1d against the direct formula, whole sequence vs. chunks of awkward sizes, both modes.
#include "engine/layers/deconv1d.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "support/alloc_counter.h"
#include "support/naive_conv.h"
#include "support/seeded_weights.h"

namespace mvsdk::engine {
namespace {

using test::SeededFloats;

struct Geometry {
  int kernel, out_ch, in_ch, mode, cum;
};

// Feeds `frames` input frames in the given chunk sizes (cycled) and compares every output row
// with the direct formula over the whole sequence.
void check_streaming(const Geometry& g, int frames, const std::vector<int>& chunks, int seed) {
  SeededFloats rng(seed);
  const int n_w = DeConv1d::weight_floats(g.kernel, g.out_ch, g.in_ch, g.mode);
  std::vector<float> w = rng.vector(n_w, 0.5f);
  std::vector<float> x = rng.vector(static_cast<size_t>(frames) * g.in_ch, 1.0f);
  DeConv1d layer(w.data(), g.kernel, 1, g.out_ch, g.in_ch, g.mode, g.cum);
  ASSERT_EQ(layer.get_memsize(), n_w);
  const int win = DeConv1d::window_frames(g.mode);
  const int u = g.kernel / win;
  ASSERT_EQ(layer.upsampling(), u);
  const std::vector<float> want =
      test::naive_deconv(x, frames, g.in_ch, w.data(), g.mode == 0 ? layer.bias : nullptr, win, u,
                         g.out_ch);

  const int max_t = layer.max_frames();
  const int cap = std::max((max_t + win - 1) * g.in_ch, max_t * u * g.out_ch) + 8;
  Tensor<float> buf(1, cap);
  int done = 0;
  size_t ci = 0;
  while (done < frames) {
    const int t = std::min(chunks[ci++ % chunks.size()], frames - done);
    buf.resize(1, 1, t, g.in_ch);
    std::memcpy(buf.data, x.data() + static_cast<size_t>(done) * g.in_ch, sizeof(float) * t * g.in_ch);
    ASSERT_TRUE(layer.forward(&buf));
    ASSERT_EQ(buf.shape[2], t * u);
    ASSERT_EQ(buf.shape[3], g.out_ch);
    for (int i = 0; i < t * u * g.out_ch; ++i) {
      const float e = want[static_cast<size_t>(done) * u * g.out_ch + i];
      ASSERT_NEAR(buf.data[i], e, 1e-4f * (1.0f + std::fabs(e))) << "frame " << done << " i " << i;
    }
    done += t;
  }
}

TEST(DeConv1d, UpsamplingModeMatchesDirectFormulaAcrossChunks) {
  check_streaming({6, 4, 8, 0, 1}, 40, {16, 1, 3, 7}, 1);     // factor 3
  check_streaming({10, 3, 5, 0, 3}, 97, {48, 17, 33, 1}, 2);  // factor 5
  check_streaming({8, 7, 3, 0, 15}, 300, {240, 13}, 3);       // factor 4
}

TEST(DeConv1d, TransformModeHasNoBiasAndFourFrameWindow) {
  EXPECT_EQ(DeConv1d::weight_floats(16, 1, 18, 1), 288);
  check_streaming({16, 1, 18, 1, 60}, 2000, {960, 1, 7, 33}, 4);
}

TEST(DeConv1d, ResetRestoresSilentHistoryAndBadShapesAreRefused) {
  SeededFloats rng(9);
  std::vector<float> w = rng.vector(DeConv1d::weight_floats(6, 4, 8, 0), 0.5f);
  DeConv1d layer(w.data(), 6, 1, 4, 8, 0, 1);
  std::vector<float> x = rng.vector(5 * 8, 1.0f);
  Tensor<float> a(1, 200), b(1, 200);
  a.resize(1, 1, 5, 8);
  std::memcpy(a.data, x.data(), sizeof(float) * 40);
  ASSERT_TRUE(layer.forward(&a));
  b.resize(1, 1, 5, 8);
  std::memcpy(b.data, x.data(), sizeof(float) * 40);
  ASSERT_TRUE(layer.forward(&b));  // history now non-zero: differs
  EXPECT_NE(0, std::memcmp(a.data, b.data, sizeof(float) * a.size));
  layer.reset();
  b.resize(1, 1, 5, 8);
  std::memcpy(b.data, x.data(), sizeof(float) * 40);
  {
    test::AllocationGuard guard;
    ASSERT_TRUE(layer.forward(&b));
    EXPECT_EQ(guard.count(), 0u);
  }
  EXPECT_EQ(0, std::memcmp(a.data, b.data, sizeof(float) * a.size));

  Tensor<float> wrong(1, 200);
  wrong.resize(1, 1, 5, 7);  // channel mismatch
  EXPECT_FALSE(layer.forward(&wrong));
  wrong.resize(1, 1, 17, 8);  // more than 16 x cum frames
  EXPECT_FALSE(layer.forward(&wrong));
  Tensor<float> small(5, 8);  // no room for the 15 x 4 output
  EXPECT_FALSE(layer.forward(&small));
  EXPECT_EQ(small.shape[2], 5);
}

}  // namespace
}  // namespace mvsdk::engine
