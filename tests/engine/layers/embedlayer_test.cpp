// EmbedLayer against a loop-by-loop evaluation of normalisation, both strided convolutions and
// the scaled projection, on the chunk length and on shorter inputs, for several widths.
#include "engine/layers/embedlayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "support/seeded_weights.h"

namespace mvsdk::engine {
namespace {

using test::SeededFloats;

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

TEST(EmbedLayer, MatchesDirectEvaluation) {
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
  }
}

TEST(EmbedLayer, RefusesShapesItCannotTake) {
  SeededFloats rng(7);
  std::vector<float> w = rng.vector(EmbedLayer::weight_floats(8), 0.3f);
  EmbedLayer layer(w.data(), 8);
  Tensor<float> out(4, 8), tiny(3, 8), in(20, 80);
  out.resize(1, 1, 3, 3);
  // Too long, too short for one output frame, the wrong width, no room for 4 frames.
  for (auto [rows, width, dst] : {std::tuple{20, 80, &out}, {6, 80, &out}, {19, 79, &out}, {19, 80, &tiny}}) {
    in.resize(1, 1, rows, width);
    EXPECT_FALSE(layer.forward(in, dst)) << rows << "x" << width;
  }
  EXPECT_EQ(out.shape[2], 3);  // untouched
}

}  // namespace
}  // namespace mvsdk::engine
