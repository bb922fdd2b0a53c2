// The math kernels against double-precision references with stated tolerances, exp_ps against
// stored bit patterns, canaries after every output.
#include "engine/kernels/util.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "support/seeded_weights.h"

using namespace mvsdk::engine;
using mvsdk::test::SeededFloats;
using Tf = Tensor<float>;

namespace {

constexpr float kCanary = -98765.4321f;
const int kSizes[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 33, 64, 100, 1024};

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }
float exp_ps1(float x) { return exp_ps(splat4(x))[0]; }

// A tensor of the given floats (capacity one more) with a canary after them.
struct Guarded {
  explicit Guarded(const std::vector<float>& v) : t(static_cast<int>(v.size()) + 1) {
    t.resize(1, 1, 1, static_cast<int>(v.size()));
    std::memcpy(t.data, v.data(), sizeof(float) * v.size());
    t.data[t.size] = kCanary;
  }
  bool canary_intact() const { return bits(t.data[t.size]) == bits(kCanary); }
  Tf t;
};

// |got - want| within rel * |want| (plus a floor for results that underflow).
::testing::AssertionResult close(float got, double want, double rel) {
  if (std::fabs(got - want) <= rel * std::fabs(want) + 1e-37) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << got << " vs " << want;
}

double sigmoid(double x) { return 1.0 / (1.0 + std::exp(-x)); }

}  // namespace

TEST(ExpPs, StoredBitPatternsClampAndAccuracy) {
  // The exponential's bits are the same on every instruction set (the agreement tool compares
  // processors); these few pin the algorithm, its clamps and its underflow to +0.
  const struct {
    float x;
    std::uint32_t want;
  } golden[] = {
      {-100.0f, 0x00000000u},     {-87.69f, 0x00000000u},       {-87.68f, 0x005ACAD6u},
      {-20.0f, 0x310DA433u},      {-1.5f, 0x3E647C3Cu},         {-0.001f, 0x3F7FBE7Fu},
      {0.0f, 0x3F800000u},        {0.5f, 0x3FD3094Cu},          {1.0f, 0x402DF854u},
      {3.25f, 0x41CE529Eu},       {10.0f, 0x46AC14EEu},         {42.0f, 0x5DC1192Bu},
      {88.0f, 0x7EF882B7u},       {100.0f, 0x7F3504A4u},
      {std::numeric_limits<float>::quiet_NaN(), 0x7F3504A4u},
      {std::numeric_limits<float>::infinity(), 0x7F3504A4u},
      {-std::numeric_limits<float>::infinity(), 0x00000000u},
  };
  for (const auto& g : golden) EXPECT_EQ(bits(exp_ps1(g.x)), g.want) << g.x;
  for (float x = -87.0f; x <= 88.3f; x += 0.00731f) {
    ASSERT_TRUE(close(exp_ps1(x), std::exp(static_cast<double>(x)), 4e-7)) << x;
  }
#if defined(MVSDK_SIMD_HAVE_V8)
  for (float x = -90.0f; x <= 90.0f; x += 0.37f) {
    const v8sf r = exp_ps8(v8sf{} + x);
    ASSERT_EQ(bits(r[5]), bits(exp_ps1(x))) << x;
  }
#endif
}

TEST(Simd, FusedMultiplyAddRoundsOnceAndMinMaxDropNaN) {
  // (1 + 2^-12)^2 - 1 is 2^-11 + 2^-24 exactly; a rounded product would lose the 2^-24.
  const v4sf a = splat4(1.0f + 0x1p-12f);
  EXPECT_EQ(fma4(a, a, splat4(-1.0f))[2], 0x1p-11f + 0x1p-24f);
  EXPECT_EQ(fma4_plain(a, a, splat4(-1.0f))[1], 0x1p-11f + 0x1p-24f);
  const v4sf nan = splat4(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(min4(nan, splat4(2.0f))[0], 2.0f);
  EXPECT_EQ(max4(nan, splat4(2.0f))[0], 2.0f);
  EXPECT_EQ(div_ps(splat4(1.0f), splat4(3.0f))[1], 1.0f / 3.0f);
}

// Every element-wise kernel and its scalar reference against double, over awkward sizes.
TEST(Activations, MatchDoublePrecisionWithCanaries) {
  SeededFloats rng(21);
  for (int n : kSizes) {
    SCOPED_TRACE("n " + std::to_string(n));
    const std::vector<float> in = rng.vector(n, 30.0f);
    Guarded sw(in), sd(in), re(in), lr(in), ld(in);
    swish(&sw.t);
    swish_die(&sd.t);
    relu(&re.t);
    lr.t.leakyrelu(0.2f);
    leakyrelu_die(&ld.t, 0.2f);
    for (int i = 0; i < n; ++i) {
      const double x = in[i];
      ASSERT_TRUE(close(sw.t.data[i], x * sigmoid(x), 1e-6)) << i;
      ASSERT_TRUE(close(sd.t.data[i], x * sigmoid(x), 1e-6)) << i;
      ASSERT_EQ(re.t.data[i], x < 0 ? 0.0f : in[i]) << i;
      ASSERT_EQ(lr.t.data[i], static_cast<float>(x >= 0 ? x : 0.2f * in[i])) << i;
      ASSERT_EQ(bits(ld.t.data[i]), bits(lr.t.data[i])) << i;
    }
    for (const Guarded* g : {&sw, &sd, &re, &lr, &ld}) EXPECT_TRUE(g->canary_intact());
  }
  // Far below the clamp swish stays finite, tiny and not positive; far above it is x.
  Guarded w({-200.0f, -200.0f, -200.0f, -200.0f, 1000.0f, 1000.0f, 1000.0f, 1000.0f, 1000.0f});
  swish(&w.t);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(w.t.data[i] <= 0.0f && w.t.data[i] > -1e-30f) << w.t.data[i];
  for (int i = 4; i < 9; ++i) EXPECT_EQ(w.t.data[i], 1000.0f);
}

TEST(Glu, MatchesDoublePrecisionInAndOutOfPlace) {
  SeededFloats rng(5);
  for (int h : {1, 3, 4, 5, 8, 9, 15, 17, 33, 256}) {
    for (int rows : {1, 3, 16}) {
      SCOPED_TRACE(std::to_string(h) + " x " + std::to_string(rows));
      // A part row past the last whole one: neither read into a row nor written.
      const std::vector<float> in = rng.vector(rows * 2 * h + 2 * h - 1, 12.0f);
      Guarded src(in), self(in), out(std::vector<float>(rows * h)),
          ref(std::vector<float>(rows * h));
      glu(&src.t, &out.t, h);
      glu_die(&src.t, &ref.t, h);
      glu(&self.t, &self.t, h);
      for (int r = 0; r < rows; ++r) {
        for (int j = 0; j < h; ++j) {
          const double a = in[r * 2 * h + j];
          const double b = in[r * 2 * h + h + j];
          const int i = r * h + j;
          ASSERT_TRUE(close(out.t.data[i], a * sigmoid(b), 1e-6)) << r << ":" << j;
          ASSERT_TRUE(close(ref.t.data[i], a * sigmoid(b), 1e-6)) << r << ":" << j;
          ASSERT_EQ(bits(self.t.data[i]), bits(out.t.data[i]));
        }
      }
      EXPECT_TRUE(out.canary_intact() && ref.canary_intact() && self.canary_intact());
    }
  }
  Guarded out({42.0f});
  glu(&out.t, &out.t, 0);  // no rows, no division by zero
  EXPECT_EQ(out.t.data[0], 42.0f);
}

TEST(Softmax, MatchesDoublePrecisionAndZeroFills) {
  SeededFloats rng(9);
  using Fn = void (*)(float*, int, int);
  for (Fn fn : {static_cast<Fn>(softmax), static_cast<Fn>(softmax_die)}) {
    for (int n : kSizes) {
      SCOPED_TRACE("n " + std::to_string(n));
      std::vector<float> x = rng.vector(n, 20.0f);
      x.resize(n + 3, 7.0f);  // to be cleared
      x.push_back(kCanary);
      std::vector<double> want(x.begin(), x.begin() + n);
      double m = -INFINITY, sum = 0.0;
      for (double v : want) m = std::max(m, v);
      for (double& v : want) sum += (v = std::exp(v - m));
      fn(x.data(), n, n + 3);
      for (int i = 0; i < n; ++i) ASSERT_TRUE(close(x[i], want[i] / sum, 4e-6)) << i;
      for (int i = n; i < n + 3; ++i) EXPECT_EQ(bits(x[i]), 0u);
      EXPECT_EQ(x.back(), kCanary);
    }
  }
  // Masked positions (very negative entries) give exact zeros, never NaNs.
  float masked[8] = {-1e30f, 0.0f, -1e30f, 1.0f, -1e30f, -1e30f, -1e30f, 2.0f};
  softmax(masked, 8, 8);
  for (float f : masked) EXPECT_FALSE(std::isnan(f));
  EXPECT_EQ(masked[0], 0.0f);
  for (int n : {1, 3, 17, 100}) {  // the log form
    std::vector<float> x = rng.vector(n, 5.0f);
    double s = 0.0;
    for (float f : x) s += std::exp(static_cast<double>(f));
    const std::vector<float> in = x;
    log_softmax(x.data(), n);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], in[i] - std::log(s), 1e-5) << n << ":" << i;
  }
}

TEST(Im2col, MatchesNaiveGatherAcrossGeometries) {
  struct Geometry {
    int T, C, K, S, D, P, R;
  };
  std::vector<Geometry> cases;
  for (int T : {0, 1, 3, 19})
    for (int C : {1, 3, 80})
      for (int K : {1, 2, 5})
        for (int D : {1, 3})
          for (int S : {1, 2}) cases.push_back({T, C, K, S, D, D * (K - 1), 0});
  cases.push_back({4, 2, 3, 1, 1, 0, 0});  // no history
  cases.push_back({4, 2, 3, 1, 1, 1, 0});  // partial history
  cases.push_back({5, 3, 3, 1, 1, 2, 2});  // right padding
  cases.push_back({6, 2, 4, 3, 2, 1, 3});  // everything at once
  cases.push_back({1, 1, 3, 2, 1, 1, 0});  // span longer than the input: no positions
  SeededFloats rng(17);
  for (const Geometry& g : cases) {
    SCOPED_TRACE(::testing::Message() << "T" << g.T << " C" << g.C << " K" << g.K << " S" << g.S
                                      << " D" << g.D << " P" << g.P << " R" << g.R);
    const int frames = g.P + g.T;
    const std::vector<float> fresh = rng.vector(g.T * g.C, 1.0f);
    const std::vector<float> hist = rng.vector(g.P * g.C, 3.0f);
    // Oldest first: the history, the new frames, then R zero frames of right padding.
    std::vector<float> seq = hist;
    seq.insert(seq.end(), fresh.begin(), fresh.end());
    seq.resize((frames + g.R) * g.C, 0.0f);
    int n_want = 0;
    while (n_want * g.S + g.D * (g.K - 1) + 1 <= frames + g.R) ++n_want;
    std::vector<float> buf(frames * g.C + 1, kCanary);
    std::copy(fresh.begin(), fresh.end(), buf.begin());
    const int row = g.K * g.C;
    std::vector<float> cols(n_want * row + 1, kCanary);
    const int n = im2col_cpu(buf.data(), hist.data(), 1, g.T, g.C, g.K, g.S, g.D, g.P, g.R, cols.data());
    ASSERT_EQ(n, n_want);
    for (int i = 0; i < frames * g.C; ++i) ASSERT_EQ(buf[i], seq[i]);
    for (int j = 0; j < n * row; ++j) {
      ASSERT_EQ(cols[j], seq[(j / row * g.S + j % row / g.C * g.D) * g.C + j % g.C]) << j;
    }
    EXPECT_TRUE(buf.back() == kCanary && cols.back() == kCanary);
  }
  // Invalid geometry (stride, kernel or dilation 0, negative frames) touches nothing.
  float buf[4] = {1, 2, 3, 4}, cols[4] = {9, 9, 9, 9};
  const float hist[2] = {0, 0};
  for (const auto& a : {std::array{2, 3, 0, 1}, std::array{2, 0, 1, 1}, std::array{2, 3, 1, 0},
                        std::array{-1, 3, 1, 1}}) {
    EXPECT_EQ(im2col_cpu(buf, hist, 1, a[0], 1, a[1], a[2], a[3], 2, 0, cols), 0);
  }
  EXPECT_TRUE(buf[0] == 1 && cols[0] == 9);
}
