#include "engine/layers/prenet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

using mvsdk::engine::alignsize;
using mvsdk::engine::Prenet;
using mvsdk::engine::Tensor;

namespace {

struct Rng {
  std::uint64_t s;
  float uniform(float lo, float hi) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return lo + (hi - lo) * static_cast<float>(s >> 40) / static_cast<float>(1ULL << 24);
  }
};

// A weight stream laid out block by block; padding floats are NaN so that reading one shows.
struct Stream {
  std::vector<float> data;
  std::vector<std::size_t> offsets;
  void block(int count, Rng& rng, float scale) {
    offsets.push_back(data.size());
    for (int i = 0; i < count; ++i) data.push_back(rng.uniform(-scale, scale));
    data.resize(data.size() + (alignsize(count, 32) - count), std::numeric_limits<float>::quiet_NaN());
  }
  const float* at(int i) const { return data.data() + offsets[i]; }
};

// Naive double-precision reference of the three layers.
std::vector<double> reference(const Stream& s, const std::vector<float>& x, int rows, int in, int out, int act) {
  std::vector<double> cur(x.begin(), x.begin() + rows * in);
  int k = in;
  for (int layer = 0; layer < 3; ++layer) {
    const float* w = s.at(2 * layer);
    const float* b = s.at(2 * layer + 1);
    std::vector<double> next(static_cast<std::size_t>(rows) * out);
    for (int r = 0; r < rows; ++r) {
      for (int j = 0; j < out; ++j) {
        double acc = b[j];
        for (int i = 0; i < k; ++i) acc += cur[r * k + i] * w[i * out + j];
        if (layer < 2) acc = act == 0 ? (acc < 0 ? 0.0 : acc) : acc / (1.0 + std::exp(-acc));
        next[r * out + j] = acc;
      }
    }
    cur.swap(next);
    k = out;
  }
  return cur;
}

TEST(Prenet, MatchesNaiveReferenceOnOddAndRealShapes) {
  const int shapes[][2] = {{1, 1}, {7, 5}, {3, 17}, {33, 7}, {60, 192}, {513, 192}, {192, 192}};
  Rng rng{42};
  for (auto [in, out] : shapes) {
    for (int act : {0, 1}) {
      Stream s;
      s.block(in * out, rng, 0.5f);
      s.block(out, rng, 0.5f);
      s.block(out * out, rng, 0.5f);
      s.block(out, rng, 0.5f);
      s.block(out * out, rng, 0.5f);
      s.block(out, rng, 0.5f);
      Prenet net(s.data.data(), act, in, out);
      ASSERT_EQ(net.get_memsize(), static_cast<int>(s.data.size()));
      ASSERT_EQ(Prenet::stream_floats(in, out), static_cast<int>(s.data.size()));
      for (int rows : {1, 3, 16}) {
        const int cap = rows * std::max(in, out) + 8;
        Tensor<float> x(1, cap);
        std::vector<float> before(cap);
        for (int i = 0; i < cap; ++i) x.data[i] = before[i] = rng.uniform(-1.0f, 1.0f);
        x.resize(1, 1, rows, in);
        const std::vector<double> want = reference(s, before, rows, in, out, act);
        ASSERT_TRUE(net.forward(&x));
        EXPECT_EQ(x.shape[2], rows);
        EXPECT_EQ(x.shape[3], out);
        EXPECT_EQ(x.size, rows * out);
        double worst = 0;
        for (int i = 0; i < rows * out; ++i) {
          worst = std::max(worst, std::abs(x.data[i] - want[i]) / (1.0 + std::abs(want[i])));
        }
        EXPECT_LT(worst, 1e-4) << in << "->" << out << " act " << act << " rows " << rows;
        // Past the output rows the buffer keeps what it held.
        for (int i = rows * out; i < cap; ++i) ASSERT_EQ(x.data[i], before[i]) << i;
      }
    }
  }
}

TEST(Prenet, RejectsChunksItCannotHoldAndLeavesThemUntouched) {
  Rng rng{7};
  const int in = 5, out = 9;
  Stream s;
  for (int b = 0; b < 3; ++b) {
    s.block((b == 0 ? in : out) * out, rng, 0.5f);
    s.block(out, rng, 0.5f);
  }
  Prenet net(s.data.data(), 0, in, out);

  Tensor<float> many(17, out);  // one row too many
  many.resize(1, 1, 17, in);
  many.zeros();
  EXPECT_FALSE(net.forward(&many));
  EXPECT_EQ(many.shape[3], in);

  Tensor<float> narrow(4, in);  // room for 4 x in but not 4 x out
  narrow.zeros();
  EXPECT_FALSE(net.forward(&narrow));
  EXPECT_EQ(narrow.shape[3], in);
  for (int i = 0; i < narrow.size; ++i) EXPECT_EQ(narrow.data[i], 0.0f);

  Tensor<float> wrong(2, out);  // rows of the wrong width
  EXPECT_FALSE(net.forward(&wrong));
  EXPECT_FALSE(net.forward(nullptr));
}

}  // namespace
