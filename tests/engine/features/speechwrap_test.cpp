#include "engine/features/speechwrap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "support/seeded_weights.h"

namespace mvsdk::engine {
namespace {

struct StateDeleter {
  void operator()(RfftState* s) const { rfft_uninit(s); }
};
using StatePtr = std::unique_ptr<RfftState, StateDeleter>;

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

// The transform against a direct DFT; the vector path (8-lane, 4-lane and scalar butterflies)
// gives exactly the bits of the scalar reference, in place and out of place.
TEST(Rfft, MatchesDirectDftAndTheVectorPathIsBitIdenticalToReference) {
  test::SeededFloats rng(100);
  for (int n : {4, 8, 16, 32, 64, 256, 512, 2048}) {
    SCOPED_TRACE("n " + std::to_string(n));
    StatePtr st(rfft_init(n));
    ASSERT_NE(st, nullptr);
    const std::vector<float> x = rng.vector(static_cast<std::size_t>(n), 1000.0f);
    std::vector<float> out(n + 8, 12345.0f), ref(n), inplace = x;  // canaries after the output
    ASSERT_EQ(rfft_process(st.get(), x.data(), out.data()), 0);
    ASSERT_EQ(rfft_process_ref(st.get(), x.data(), ref.data()), 0);
    ASSERT_EQ(rfft_process(st.get(), inplace.data(), inplace.data()), 0);
    EXPECT_EQ(std::memcmp(ref.data(), out.data(), sizeof(float) * n), 0);
    EXPECT_EQ(std::memcmp(ref.data(), inplace.data(), sizeof(float) * n), 0);
    double scale = 0.0;
    for (float v : x) scale += std::fabs(v);
    for (int k = 0; k <= n / 2; ++k) {
      double re, im;
      dft(x, k, &re, &im);
      EXPECT_NEAR(out[k], re, 2e-6 * scale) << "bin " << k;
      if (k > 0 && k < n / 2) {
        EXPECT_NEAR(out[n - k], -im, 2e-6 * scale) << "bin " << k;
      }
    }
    for (int i = n; i < n + 8; ++i) EXPECT_EQ(out[i], 12345.0f);
  }
}

TEST(Rfft, InvalidSizesAndArgumentsAreRefused) {
  for (int n : {0, 2, 500, -512}) EXPECT_EQ(rfft_init(n), nullptr) << n;
  StatePtr st(rfft_init(512));
  ASSERT_NE(st, nullptr);
  float buf[512] = {};
  EXPECT_EQ(rfft_process(nullptr, buf, buf), -1);
  EXPECT_EQ(rfft_process(st.get(), nullptr, buf), -1);
  EXPECT_EQ(rfft_process_ref(nullptr, buf, buf), -1);
  EXPECT_EQ(rfft_uninit(nullptr), -1);
}

}  // namespace
}  // namespace mvsdk::engine
