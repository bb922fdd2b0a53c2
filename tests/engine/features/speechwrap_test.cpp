#include "engine/features/speechwrap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

namespace mvsdk::engine {
namespace {

struct StateDeleter {
  void operator()(RfftState* s) const { rfft_uninit(s); }
};
using StatePtr = std::unique_ptr<RfftState, StateDeleter>;

std::vector<float> random_signal(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(gen);
  return x;
}

// Direct DFT of real input in double precision: (re, im) of bin k.
void dft(const std::vector<float>& x, int k, double* re, double* im) {
  const int n = static_cast<int>(x.size());
  double r = 0.0, i = 0.0;
  for (int t = 0; t < n; ++t) {
    const double a = -2.0 * std::numbers::pi * static_cast<double>((static_cast<long long>(k) * t) % n) / n;
    r += x[t] * std::cos(a);
    i += x[t] * std::sin(a);
  }
  *re = r;
  *im = i;
}

TEST(Rfft, MatchesDirectDftAcrossSizes) {
  for (int n : {4, 8, 16, 32, 64, 128, 512, 1024}) {
    StatePtr st(rfft_init(n));
    ASSERT_NE(st, nullptr) << n;
    const std::vector<float> x = random_signal(n, 100u + n);
    std::vector<float> out(n + 8, 12345.0f);  // canaries after the output
    ASSERT_EQ(rfft_process(st.get(), x.data(), out.data()), 0);
    double scale = 0.0;
    for (float v : x) scale += std::fabs(v);
    for (int k = 0; k <= n / 2; ++k) {
      double re, im;
      dft(x, k, &re, &im);
      EXPECT_NEAR(out[k], re, 2e-6 * scale) << "n " << n << " bin " << k;
      if (k > 0 && k < n / 2) {
        EXPECT_NEAR(out[n - k], -im, 2e-6 * scale) << "n " << n << " bin " << k;
      }
    }
    for (int i = n; i < n + 8; ++i) EXPECT_EQ(out[i], 12345.0f);
  }
}

// The vectorised transform must give exactly the bits of the scalar reference, in place and
// out of place, for sizes whose stages exercise the 8-lane, 4-lane and scalar butterflies.
TEST(Rfft, VectorPathIsBitIdenticalToReference) {
  for (int n : {16, 32, 64, 256, 512, 2048}) {
    StatePtr st(rfft_init(n));
    ASSERT_NE(st, nullptr);
    for (unsigned seed = 0; seed < 5; ++seed) {
      const std::vector<float> x = random_signal(n, seed * 31 + n);
      std::vector<float> ref(n), fast(n), inplace = x;
      ASSERT_EQ(rfft_process_ref(st.get(), x.data(), ref.data()), 0);
      ASSERT_EQ(rfft_process(st.get(), x.data(), fast.data()), 0);
      ASSERT_EQ(rfft_process(st.get(), inplace.data(), inplace.data()), 0);
      EXPECT_EQ(std::memcmp(ref.data(), fast.data(), sizeof(float) * n), 0) << "n " << n;
      EXPECT_EQ(std::memcmp(ref.data(), inplace.data(), sizeof(float) * n), 0) << "n " << n;
    }
  }
}

TEST(Rfft, TwiddleTablesAndInvalidUse) {
  StatePtr st(rfft_init(512));
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->n, 512);
  EXPECT_EQ(st->q, 128);
  for (int k = 1; k < 128; ++k) {
    EXPECT_FLOAT_EQ(st->cos_tab[k - 1], static_cast<float>(std::cos(-2.0 * std::numbers::pi * k / 512)));
    EXPECT_FLOAT_EQ(st->sin_tab[k - 1], static_cast<float>(std::sin(-2.0 * std::numbers::pi * k / 512)));
  }
  EXPECT_EQ(rfft_init(0), nullptr);
  EXPECT_EQ(rfft_init(2), nullptr);
  EXPECT_EQ(rfft_init(500), nullptr);
  EXPECT_EQ(rfft_init(-512), nullptr);
  float buf[512] = {};
  EXPECT_EQ(rfft_process(nullptr, buf, buf), -1);
  EXPECT_EQ(rfft_process(st.get(), nullptr, buf), -1);
  EXPECT_EQ(rfft_process_ref(nullptr, buf, buf), -1);
  EXPECT_EQ(rfft_uninit(nullptr), -1);
}

}  // namespace
}  // namespace mvsdk::engine
