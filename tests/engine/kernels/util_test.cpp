// The math kernels against double-precision references with stated tolerances, exp_ps against
// stored bit patterns, canaries after every output. glu and im2col are checked through the layers that use them.
#include "engine/kernels/util.h"

#include <gtest/gtest.h>

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
}
