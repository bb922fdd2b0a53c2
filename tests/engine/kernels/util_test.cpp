#include "engine/kernels/util.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "support/alloc_counter.h"

using namespace mvsdk::engine;
using Tf = Tensor<float>;

namespace {

constexpr float kCanary = -98765.4321f;
const int kSizes[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 19, 24, 31, 32, 33, 64, 100, 192, 1024};

float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }
std::uint32_t to_bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// Scalar model of exp_ps, written from the algorithm's stated steps and constant bit patterns.
float exp_model(float x) {
  const float hi = from_bits(0x42B0C0A5u);
  const float lo = -hi;
  x = x < hi ? x : hi;  // a NaN takes the bound
  x = x > lo ? x : lo;
  float fx = std::fma(x, from_bits(0x3FB8AA3Bu), 0.5f);
  float t = static_cast<float>(static_cast<int>(fx));
  if (t > fx) t = t - 1.0f;
  fx = t;
  const float p1 = fx * from_bits(0x3F318000u);
  x = x - p1;
  const float p2 = fx * from_bits(0xB95E8083u);
  x = x - p2;
  const float z = x * x;
  float y = from_bits(0x39506967u);
  for (std::uint32_t c : {0x3AB743CEu, 0x3C088908u, 0x3D2AA9C1u, 0x3E2AAAAAu, 0x3F000000u}) {
    y = std::fma(y, x, from_bits(c));
  }
  y = std::fma(y, z, x);
  y = y + 1.0f;
  const int n = static_cast<int>(fx);
  const float scale = from_bits(static_cast<std::uint32_t>(n + 127) << 23);
  return y * scale;
}

float exp_ps1(float x) { return exp_ps(splat4(x))[0]; }

// Distance in representable floats (same sign assumed; 0 and -0 are neighbours of the smallest).
std::int64_t ulps(float a, float b) {
  auto key = [](float f) {
    const std::int32_t i = std::bit_cast<std::int32_t>(f);
    return static_cast<std::int64_t>(i < 0 ? std::numeric_limits<std::int32_t>::min() - i : i);
  };
  const std::int64_t d = key(a) - key(b);
  return d < 0 ? -d : d;
}

// Close in ulps, or both negligible (results under 1e-30 have few significant bits anyway).
::testing::AssertionResult near_ulps(float got, float want, int max_ulps) {
  if (std::isnan(got) || std::isnan(want)) return ::testing::AssertionFailure() << "NaN";
  if (std::fabs(got) < 1e-30f && std::fabs(want) < 1e-30f) return ::testing::AssertionSuccess();
  const std::int64_t d = ulps(got, want);
  if (d <= max_ulps) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << got << " vs " << want << ": " << d << " ulps";
}

// A tensor of n floats (capacity n + 1) with a canary after them.
struct Guarded {
  explicit Guarded(int n) : t(n + 1) {
    t.resize(1, 1, 1, n);
    t.data[n] = kCanary;
  }
  bool canary_intact() const { return to_bits(t.data[t.size]) == to_bits(kCanary); }
  Tf t;
};

std::vector<float> random_vec(std::mt19937& rng, int n, float lo, float hi) {
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& f : v) f = u(rng);
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// exp_ps

TEST(ExpPs, BitExactAgainstScalarModelOverSweep) {
  // Dense sweep of the working range, then a stride over every bit pattern (infinities, NaNs,
  // denormals and the clamp regions included).
  std::vector<float> xs;
  for (float x = -120.0f; x <= 120.0f; x += 0.0013f) xs.push_back(x);
  for (std::uint64_t b = 0; b <= 0xFFFFFFFFull; b += 1009) xs.push_back(from_bits(static_cast<std::uint32_t>(b)));
  for (float x : {0.0f, -0.0f, 88.37626f, -88.37626f, 88.3762626647949f, -88.3762626647949f, -87.68f,
                  -87.69f, 1e-10f, -1e-10f, std::numeric_limits<float>::infinity(),
                  -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()})
    xs.push_back(x);
  while (xs.size() % 4) xs.push_back(0.0f);
  std::size_t mismatches = 0;
  for (std::size_t i = 0; i < xs.size(); i += 4) {
    const v4sf r = exp_ps(load4(&xs[i]));
    for (int l = 0; l < 4; ++l) {
      if (to_bits(r[l]) != to_bits(exp_model(xs[i + l])) && mismatches++ < 10) {
        ADD_FAILURE() << "x=" << xs[i + l] << " got " << r[l] << " model " << exp_model(xs[i + l]);
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(ExpPs, DocumentedValuesClampAndUnderflow) {
  EXPECT_EQ(exp_ps1(0.0f), 1.0f);
  const float top = exp_ps1(88.3762626647949f);
  EXPECT_EQ(to_bits(exp_ps1(100.0f)), to_bits(top));
  EXPECT_EQ(to_bits(exp_ps1(std::numeric_limits<float>::infinity())), to_bits(top));
  EXPECT_NEAR(top, 2.4061436e38f, 1e32f);
  EXPECT_TRUE(std::isfinite(top));
  EXPECT_NEAR(exp_ps1(-87.68f), 8.34e-39f, 0.01e-39f);
  // Below about -87.69 the exponent field reaches zero: exactly +0, never -inf or a NaN.
  for (float x : {-87.69f, -87.7f, -88.0f, -88.37626f, -100.0f, -1e30f,
                  -std::numeric_limits<float>::infinity()}) {
    EXPECT_EQ(to_bits(exp_ps1(x)), 0u) << x;
  }
  EXPECT_LE(ulps(exp_ps1(1.0f), 2.7182817f), 1);
  EXPECT_LE(ulps(exp_ps1(10.0f), 22026.465f), 1);
  // NaN takes the upper clamp, the same on every target.
  EXPECT_EQ(to_bits(exp_ps1(std::numeric_limits<float>::quiet_NaN())), to_bits(top));
}

TEST(ExpPs, AccurateOverTheNormalRange) {
  int worst = 0;
  for (float x = -87.0f; x <= 88.3f; x += 0.00731f) {
    const float want = static_cast<float>(std::exp(static_cast<double>(x)));
    worst = std::max(worst, static_cast<int>(ulps(exp_ps1(x), want)));
  }
  EXPECT_LE(worst, 3);
}

TEST(Simd, FusedMultiplyAddMatchesLaneWiseFmaf) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-4.0f, 4.0f);
  for (int i = 0; i < 10000; ++i) {
    const v4sf a{u(rng), u(rng), 1.0f + 0x1p-12f, u(rng)};
    const v4sf b{u(rng), u(rng), 1.0f + 0x1p-12f, u(rng)};
    const v4sf c{u(rng), u(rng), -1.0f, u(rng)};
    const v4sf f = fma4(a, b, c);
    const v4sf p = fma4_plain(a, b, c);
    for (int l = 0; l < 4; ++l) ASSERT_EQ(to_bits(f[l]), to_bits(p[l]));
    ASSERT_EQ(f[2], 0x1p-11f + 0x1p-24f);  // one rounding, not two
  }
  const v4sf nan = splat4(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(min4(nan, splat4(2.0f))[0], 2.0f);
  EXPECT_EQ(max4(nan, splat4(2.0f))[0], 2.0f);
  EXPECT_EQ(div_ps(splat4(1.0f), splat4(3.0f))[1], 1.0f / 3.0f);
}

// ---------------------------------------------------------------------------------------------
// swish, relu, glu

TEST(Swish, GroupsFollowExpPsTailsFollowExpfAndNothingPastSize) {
  std::mt19937 rng(21);
  for (int n : kSizes) {
    const std::vector<float> in = random_vec(rng, n, -30.0f, 30.0f);
    Guarded v(n), s(n);
    std::memcpy(v.t.data, in.data(), sizeof(float) * n);
    std::memcpy(s.t.data, in.data(), sizeof(float) * n);
    swish(&v.t);
    swish_die(&s.t);
    const int groups_end = n / 4 * 4;
    for (int i = 0; i < n; ++i) {
      const float model = i < groups_end ? in[i] / (exp_model(-in[i]) + 1.0f) : in[i] / (1.0f + expf(-in[i]));
      ASSERT_EQ(to_bits(v.t.data[i]), to_bits(model)) << n << ":" << i;
      ASSERT_TRUE(near_ulps(v.t.data[i], s.t.data[i], 4)) << n << ":" << i;
    }
    EXPECT_TRUE(v.canary_intact()) << n;
    EXPECT_TRUE(s.canary_intact()) << n;
  }
}

TEST(Swish, DocumentedValues) {
  Guarded v(19);
  for (int i = 0; i < 19; ++i) v.t.data[i] = 0.0f;
  v.t.data[0] = 1000.0f;  // large positive: x
  v.t.data[1] = -20.0f;
  v.t.data[17] = 1000.0f;  // tail (expf) path
  v.t.data[18] = -20.0f;
  swish(&v.t);
  EXPECT_EQ(v.t.data[0], 1000.0f);
  EXPECT_EQ(v.t.data[17], 1000.0f);
  const double at_minus20 = -20.0 / (1.0 + std::exp(20.0));  // about -4.12e-8
  EXPECT_NEAR(v.t.data[1], at_minus20, 1e-6 * std::fabs(at_minus20));
  EXPECT_NEAR(v.t.data[18], at_minus20, 1e-6 * std::fabs(at_minus20));
  EXPECT_EQ(v.t.data[5], 0.0f);
  EXPECT_TRUE(v.canary_intact());
  // Far below the clamp the vector form stays finite and tiny.
  Guarded w(4);
  for (int i = 0; i < 4; ++i) w.t.data[i] = -200.0f;
  swish(&w.t);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(w.t.data[i] <= 0.0f && w.t.data[i] > -1e-30f) << w.t.data[i];
}

TEST(Relu, ClearsNegativesOnly) {
  Guarded v(7);
  const float in[] = {-1.0f, 0.0f, 2.0f, -0.5f, 3.0f, -1e-30f, 1e-30f};
  std::memcpy(v.t.data, in, sizeof in);
  relu(&v.t);
  const float want[] = {0.0f, 0.0f, 2.0f, 0.0f, 3.0f, 0.0f, 1e-30f};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(v.t.data[i], want[i]);
  EXPECT_TRUE(v.canary_intact());
}

TEST(Glu, MatchesModelAndReferenceForAwkwardWidths) {
  std::mt19937 rng(5);
  for (int h : {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 17, 33, 96, 256}) {
    for (int rows : {1, 2, 3, 16}) {
      const std::vector<float> in = random_vec(rng, rows * 2 * h, -12.0f, 12.0f);
      Guarded src(rows * 2 * h), out(rows * h), ref(rows * h), self(rows * 2 * h);
      std::memcpy(src.t.data, in.data(), sizeof(float) * in.size());
      std::memcpy(self.t.data, in.data(), sizeof(float) * in.size());
      glu(&src.t, &out.t, h);
      glu_die(&src.t, &ref.t, h);
      glu(&self.t, &self.t, h);  // in place
      const int groups_end = h / 4 * 4;
      for (int r = 0; r < rows; ++r) {
        for (int j = 0; j < h; ++j) {
          const float a = in[r * 2 * h + j], b = in[r * 2 * h + h + j];
          const float model = j < groups_end ? a / (exp_model(-b) + 1.0f) : a / (1.0f + expf(-b));
          const float got = out.t.data[r * h + j];
          ASSERT_EQ(to_bits(got), to_bits(model)) << h << "x" << rows << " " << r << ":" << j;
          ASSERT_EQ(to_bits(self.t.data[r * h + j]), to_bits(got));
          ASSERT_TRUE(near_ulps(got, ref.t.data[r * h + j], 4)) << h << " " << r << ":" << j;
        }
      }
      EXPECT_TRUE(out.canary_intact() && ref.canary_intact() && src.canary_intact() && self.canary_intact()) << h;
    }
  }
}

TEST(Glu, ZeroGateHalvesAndPartialRowsIgnored) {
  // h = 4 over 18 floats: two whole rows; the two extra floats are neither read into a row
  // nor written.
  Guarded in(18), out(8);
  for (int i = 0; i < 18; ++i) in.t.data[i] = 0.0f;
  for (int j = 0; j < 4; ++j) {
    in.t.data[j] = static_cast<float>(j + 1);
    in.t.data[8 + j] = -static_cast<float>(j + 1);
  }
  glu(&in.t, &out.t, 4);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(out.t.data[j], 0.5f * static_cast<float>(j + 1));
    EXPECT_EQ(out.t.data[4 + j], -0.5f * static_cast<float>(j + 1));
  }
  EXPECT_TRUE(out.canary_intact());
  const float before = out.t.data[0];
  glu(&in.t, &out.t, 0);  // no rows, no division by zero
  EXPECT_EQ(out.t.data[0], before);
}

// ---------------------------------------------------------------------------------------------
// softmax

namespace {
// Scalar model of the vector softmax: lane-wise sums in group order, pairwise lane combination,
// then the leftovers' expf values.
void softmax_model(float* x, int n, int total) {
  float m = -FLT_MAX;
  for (int i = 0; i < n; ++i) m = x[i] > m ? x[i] : m;
  const int groups_end = n / 4 * 4;
  float lane[4] = {0, 0, 0, 0};
  for (int i = 0; i < groups_end; ++i) {
    x[i] = exp_model(x[i] - m);
    lane[i % 4] = lane[i % 4] + x[i];
  }
  float s = (lane[0] + lane[1]) + (lane[2] + lane[3]);
  for (int i = groups_end; i < n; ++i) {
    x[i] = expf(x[i] - m);
    s += x[i];
  }
  for (int i = 0; i < n; ++i) x[i] = x[i] / s;
  for (int i = n; i < total; ++i) x[i] = 0.0f;
}
}  // namespace

TEST(Softmax, MatchesModelAndReferenceWithZeroFill) {
  std::mt19937 rng(9);
  for (int n : kSizes) {
    for (float spread : {1.0f, 20.0f}) {
      const int total = n + 3;
      const std::vector<float> in = random_vec(rng, n, -spread, spread);
      Guarded v(total), s(total), m(total);
      for (Guarded* g : {&v, &s, &m}) {
        for (int i = 0; i < total; ++i) g->t.data[i] = 7.0f;  // fill to be cleared
        std::memcpy(g->t.data, in.data(), sizeof(float) * n);
      }
      softmax(v.t.data, n, total);
      softmax_die(s.t.data, n, total);
      softmax_model(m.t.data, n, total);
      double sum = 0.0;
      for (int i = 0; i < n; ++i) {
        ASSERT_EQ(to_bits(v.t.data[i]), to_bits(m.t.data[i])) << n << ":" << i;
        // The reference's single running sum drifts with n; allow for it on long rows.
        ASSERT_TRUE(near_ulps(v.t.data[i], s.t.data[i], 8 + n / 64)) << n << ":" << i;
        sum += v.t.data[i];
      }
      EXPECT_NEAR(sum, 1.0, 1e-5) << n;
      for (int i = n; i < total; ++i) EXPECT_EQ(to_bits(v.t.data[i]), 0u);
      EXPECT_TRUE(v.canary_intact() && s.canary_intact()) << n;
    }
  }
}

TEST(Softmax, DocumentedValues) {
  float x[6] = {1.0f, 2.0f, 3.0f, 9.0f, 9.0f, kCanary};
  softmax(x, 3, 5);
  EXPECT_NEAR(x[0], 0.0900f, 1e-4f);
  EXPECT_NEAR(x[1], 0.2447f, 1e-4f);
  EXPECT_NEAR(x[2], 0.6652f, 1e-4f);
  EXPECT_NEAR(x[0] + x[1] + x[2], 1.0f, 2e-7f);
  EXPECT_EQ(x[3], 0.0f);
  EXPECT_EQ(x[4], 0.0f);
  EXPECT_EQ(x[5], kCanary);

  for (int n : {1, 3, 4, 7, 16, 17, 40}) {
    std::vector<float> row(n + 1, -3.25f);
    row[n] = kCanary;
    softmax(row.data(), n, n);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(row[i], 1.0f / static_cast<float>(n), 1e-7f) << n;
    EXPECT_EQ(row[n], kCanary);
  }
  // Rows with very negative entries (masked positions) do not produce NaNs.
  float masked[8] = {-1e30f, 0.0f, -1e30f, 1.0f, -1e30f, -1e30f, -1e30f, 2.0f};
  softmax(masked, 8, 8);
  for (float f : masked) EXPECT_FALSE(std::isnan(f));
  EXPECT_EQ(masked[0], 0.0f);
}

TEST(LogSoftmax, MatchesDoublePrecision) {
  std::mt19937 rng(4);
  for (int n : {1, 3, 17, 100}) {
    std::vector<float> x = random_vec(rng, n, -5.0f, 5.0f);
    std::vector<double> want(n);
    double s = 0.0;
    for (float f : x) s += std::exp(static_cast<double>(f));
    for (int i = 0; i < n; ++i) want[i] = static_cast<double>(x[i]) - std::log(s);
    log_softmax(x.data(), n);
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], want[i], 1e-5) << n << ":" << i;
  }
}

// ---------------------------------------------------------------------------------------------
// im2col_cpu

TEST(Im2col, DocumentedExamples) {
  {
    float buf[5] = {5, 6, 0, 0, kCanary};
    const float hist[2] = {3, 4};
    float cols[7];
    cols[6] = kCanary;
    EXPECT_EQ(im2col_cpu(buf, hist, 1, 2, 1, 3, 1, 1, 2, 0, cols), 2);
    const float want_buf[] = {3, 4, 5, 6};
    const float want_cols[] = {3, 4, 5, 4, 5, 6};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(buf[i], want_buf[i]);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(cols[i], want_cols[i]);
    EXPECT_EQ(buf[4], kCanary);
    EXPECT_EQ(cols[6], kCanary);
  }
  {
    float buf[4] = {9, 0, 0, kCanary};
    const float hist[2] = {7, 8};
    float cols[3] = {0, 0, kCanary};
    EXPECT_EQ(im2col_cpu(buf, hist, 1, 1, 1, 2, 1, 2, 2, 0, cols), 1);
    EXPECT_EQ(buf[0], 7);
    EXPECT_EQ(buf[1], 8);
    EXPECT_EQ(buf[2], 9);
    EXPECT_EQ(cols[0], 7);
    EXPECT_EQ(cols[1], 9);
    EXPECT_EQ(cols[2], kCanary);
  }
}

namespace {
struct Geometry {
  int T, C, K, S, D, P, R;
};
}  // namespace

TEST(Im2col, MatchesNaiveGatherAcrossGeometries) {
  std::mt19937 rng(17);
  std::vector<Geometry> cases;
  for (int T : {0, 1, 3, 16, 19})
    for (int C : {1, 3, 80})
      for (int K : {1, 2, 3, 5})
        for (int D : {1, 2, 3})
          for (int S : {1, 2}) cases.push_back({T, C, K, S, D, D * (K - 1), 0});
  cases.push_back({4, 2, 3, 1, 1, 0, 0});   // no history
  cases.push_back({4, 2, 3, 1, 1, 1, 0});   // partial history
  cases.push_back({5, 3, 3, 1, 1, 2, 2});   // right padding
  cases.push_back({6, 2, 4, 3, 2, 1, 3});   // everything at once
  cases.push_back({1, 1, 3, 2, 1, 1, 0});   // span longer than the input: no positions
  cases.push_back({0, 4, 3, 1, 1, 2, 0});   // history only, span 3 > 2 frames
  for (const Geometry& g : cases) {
    const int frames_all = g.P + g.T;
    std::vector<float> fresh = random_vec(rng, g.T * g.C, -1.0f, 1.0f);
    std::vector<float> hist = random_vec(rng, g.P * g.C, 2.0f, 3.0f);
    // Oldest first: the history, the new frames, then R zero frames of right padding.
    std::vector<float> seq = hist;
    seq.insert(seq.end(), fresh.begin(), fresh.end());
    seq.resize(static_cast<std::size_t>(frames_all + g.R) * g.C, 0.0f);
    const int span = g.D * (g.K - 1) + 1;
    int n_want = 0;
    while (n_want * g.S + span <= frames_all + g.R) ++n_want;

    std::vector<float> buf(static_cast<std::size_t>(frames_all) * g.C + 1, kCanary);
    std::copy(fresh.begin(), fresh.end(), buf.begin());
    const std::size_t row = static_cast<std::size_t>(g.K) * g.C;
    std::vector<float> cols(n_want * row + 1, kCanary);
    const int n = im2col_cpu(buf.data(), hist.data(), 1, g.T, g.C, g.K, g.S, g.D, g.P, g.R, cols.data());
    const std::string where = "T" + std::to_string(g.T) + " C" + std::to_string(g.C) + " K" +
                              std::to_string(g.K) + " S" + std::to_string(g.S) + " D" + std::to_string(g.D) +
                              " P" + std::to_string(g.P) + " R" + std::to_string(g.R);
    ASSERT_EQ(n, n_want) << where;
    for (int i = 0; i < frames_all * g.C; ++i) ASSERT_EQ(buf[i], seq[i]) << where;
    for (int i = 0; i < n; ++i)
      for (int k = 0; k < g.K; ++k)
        for (int c = 0; c < g.C; ++c)
          ASSERT_EQ(cols[i * row + k * g.C + c], seq[(i * g.S + k * g.D) * g.C + c]) << where;
    EXPECT_EQ(buf.back(), kCanary) << where;
    EXPECT_EQ(cols.back(), kCanary) << where;
    if (g.P == g.D * (g.K - 1) && g.R == 0 && g.S == 1) {
      EXPECT_EQ(n, g.T) << where;
    }
  }
}

TEST(Im2col, InvalidGeometryTouchesNothing) {
  float buf[4] = {1, 2, 3, 4};
  const float hist[2] = {0, 0};
  float cols[4] = {9, 9, 9, 9};
  EXPECT_EQ(im2col_cpu(buf, hist, 1, 2, 1, 3, 0, 1, 2, 0, cols), 0);   // stride 0
  EXPECT_EQ(im2col_cpu(buf, hist, 1, 2, 1, 0, 1, 1, 2, 0, cols), 0);   // kernel 0
  EXPECT_EQ(im2col_cpu(buf, hist, 1, 2, 1, 3, 1, 0, 2, 0, cols), 0);   // dilation 0
  EXPECT_EQ(im2col_cpu(buf, hist, 1, -1, 1, 3, 1, 1, 2, 0, cols), 0);  // negative frames
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[3], 4);
  EXPECT_EQ(cols[0], 9);
}

// ---------------------------------------------------------------------------------------------
// linear_forward

TEST(LinearForward, MatchesNaiveProductWithAndWithoutBias) {
  std::mt19937 rng(33);
  for (int dim : {1, 3, 7, 17, 64, 192}) {
    for (int rows : {1, 3, 16, 19}) {
      const std::vector<float> x = random_vec(rng, rows * dim, -1.0f, 1.0f);
      const std::vector<float> w = random_vec(rng, dim * dim, -0.5f, 0.5f);
      const std::vector<float> b = random_vec(rng, dim, -2.0f, 2.0f);
      Tf in(rows, dim);
      std::memcpy(in.data, x.data(), sizeof(float) * x.size());
      for (const float* bias : {b.data(), static_cast<const float*>(nullptr)}) {
        Guarded out(rows * dim);
        out.t.resize(1, 1, rows, dim);
        for (int i = 0; i < rows * dim; ++i) out.t.data[i] = 1e6f;  // stale contents must not leak in
        linear_forward(&in, &out.t, w.data(), bias, dim);
        for (int r = 0; r < rows; ++r) {
          for (int j = 0; j < dim; ++j) {
            double acc = bias ? b[j] : 0.0;
            for (int k = 0; k < dim; ++k) acc += static_cast<double>(x[r * dim + k]) * w[k * dim + j];
            ASSERT_NEAR(out.t.data[r * dim + j], acc, 1e-4 * (1.0 + std::fabs(acc)))
                << dim << "x" << rows << " " << r << ":" << j;
          }
        }
        EXPECT_TRUE(out.canary_intact());
        EXPECT_EQ(out.t.shape[2], rows);
      }
    }
  }
}

TEST(LinearForward, IdentityCopiesAndZeroDimDoesNothing) {
  const int dim = 5, rows = 3;
  Tf in(rows, dim);
  for (int i = 0; i < rows * dim; ++i) in.data[i] = static_cast<float>(i) * 1.5f - 4.0f;
  std::vector<float> eye(dim * dim, 0.0f);
  for (int i = 0; i < dim; ++i) eye[i * dim + i] = 1.0f;
  Tf out(rows, dim);
  linear_forward(&in, &out, eye.data(), nullptr, dim);
  for (int i = 0; i < rows * dim; ++i) EXPECT_EQ(out.data[i], in.data[i]);
  out.data[0] = 42.0f;
  linear_forward(&in, &out, eye.data(), nullptr, 0);
  EXPECT_EQ(out.data[0], 42.0f);
}

// ---------------------------------------------------------------------------------------------

TEST(Kernels, NoHeapAllocationOnTheStreamingPath) {
  Tf a(16, 192), g(16, 512), go(16, 256), q(16, 192), buf(16 + 30, 256), cols(16, 31 * 256);
  std::vector<float> w(192 * 192, 0.01f), bias(192, 0.1f), hist(30 * 256, 0.5f);
  for (Tf* t : {&a, &g, &q, &buf}) {
    for (int i = 0; i < t->capacity; ++i) t->data[i] = 0.001f * static_cast<float>(i % 97);
  }
  linear_forward(&a, &q, w.data(), bias.data(), 192);  // warm-up: BLAS initialises itself once
  mvsdk::test::AllocationGuard guard;
  swish(&a);
  relu(&a);
  a.leakyrelu(0.2f);
  glu(&g, &go, 256);
  softmax(a.data, 100, 192);
  im2col_cpu(buf.data, hist.data(), 1, 16, 256, 31, 1, 1, 30, 0, cols.data);
  linear_forward(&a, &q, w.data(), bias.data(), 192);
  linear_forward(&a, &q, w.data(), nullptr, 192);
  EXPECT_EQ(guard.count(), 0u);
}
