#include "engine/kernels/gemm.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "support/seeded_weights.h"

using namespace mvsdk::engine;

namespace {

using GemmFn = bool (*)(int, int, int, float, const float*, int, const float*, int, bool, float*,
                        int);

struct Form {
  const char* name;
  GemmFn fn;
};
const Form kForms[] = {{"gemm_small", gemm_small}, {"gemm_small_v4", gemm_small_v4},
                       {"gemm_acc", gemm_acc}};

constexpr float kCanary = -7777.25f;

// One product with padded row strides: A (M x K, lda = K + 3), B (K x N or N x K, ldb = width + 5),
// C (M x N, ldc = N + 2) starting from random values; the padding floats of C hold a canary.
struct Case {
  int M, N, K;
  bool trans_b;
  float alpha;
  int lda, ldb, ldc;
  std::vector<float> a, b, c0;

  Case(int m, int n, int k, bool t, float al, unsigned seed)
      : M(m), N(n), K(k), trans_b(t), alpha(al), lda(k + 3), ldb((t ? k : n) + 5), ldc(n + 2) {
    mvsdk::test::SeededFloats rng(seed);
    a = rng.vector(static_cast<std::size_t>(M) * lda, 1.0f);
    b = rng.vector(static_cast<std::size_t>(t ? N : K) * ldb, 1.0f);
    c0 = rng.vector(static_cast<std::size_t>(M) * ldc + 4, 1.0f);
    for (int r = 0; r < M; ++r)
      for (int j = N; j < ldc; ++j) c0[static_cast<std::size_t>(r) * ldc + j] = kCanary;
    for (std::size_t i = static_cast<std::size_t>(M) * ldc; i < c0.size(); ++i) c0[i] = kCanary;
  }

  float opb(int k, int n) const {
    return trans_b ? b[static_cast<std::size_t>(n) * ldb + k] : b[static_cast<std::size_t>(k) * ldb + n];
  }

  // Checks got against the product in double: |got - want| within a few float roundings of the
  // sum of |terms| (the error bound of any summation order), canaries untouched.
  ::testing::AssertionResult check(const std::vector<float>& got) const {
    for (int m = 0; m < M; ++m) {
      for (int n = 0; n < N; ++n) {
        double dot = 0.0, mag = 0.0;
        for (int k = 0; k < K; ++k) {
          const double t = static_cast<double>(a[static_cast<std::size_t>(m) * lda + k]) * opb(k, n);
          dot += t;
          mag += std::fabs(t);
        }
        const std::size_t i = static_cast<std::size_t>(m) * ldc + n;
        const double want = c0[i] + static_cast<double>(alpha) * dot;
        const double tol = 4.0 * (K + 2) * 6e-8 * (std::fabs(c0[i]) + std::fabs(alpha) * mag) + 1e-30;
        if (!(std::fabs(got[i] - want) <= tol)) {
          return ::testing::AssertionFailure()
                 << "C[" << m << "][" << n << "] = " << got[i] << ", want " << want;
        }
      }
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
      const bool inside = i < static_cast<std::size_t>(M) * ldc && static_cast<int>(i % ldc) < N;
      if (!inside && std::bit_cast<std::uint32_t>(got[i]) != std::bit_cast<std::uint32_t>(kCanary)) {
        return ::testing::AssertionFailure() << "wrote outside C at float " << i;
      }
    }
    return ::testing::AssertionSuccess();
  }
};

TEST(Gemm, MatchesDoubleReferenceOnAwkwardAndEngineShapes) {
  // Awkward sizes in both layouts, then the conformer's products (4..48 rows, 192/256 wide,
  // 1024 hidden) and scaled ones.
  struct Shape {
    int m, n, k;
    bool t;
    float alpha;
  };
  std::vector<Shape> shapes = {{16, 1024, 256, false, 1.0f}, {4, 256, 1024, false, 1.0f},
                               {19, 384, 192, true, 1.0f},   {12, 320, 64, true, 0.125f},
                               {5, 64, 320, false, -2.5f},   {48, 768, 64, true, 1.0f}};
  for (bool t : {false, true})
    for (int m : {1, 3, 4, 7, 16, 17, 33})
      for (int n : {1, 4, 7, 8, 9, 16, 17, 33, 100})
        for (int k : {1, 4, 7, 9, 64, 193}) shapes.push_back({m, n, k, t, 1.0f});
  unsigned seed = 1;
  for (const Form& f : kForms) {
    for (const Shape& s : shapes) {
      const Case c(s.m, s.n, s.k, s.t, s.alpha, seed++);
      std::vector<float> got = c.c0;
      ASSERT_TRUE(f.fn(s.m, s.n, s.k, s.alpha, c.a.data(), c.lda, c.b.data(), c.ldb, s.t, got.data(), c.ldc));
      ASSERT_TRUE(c.check(got)) << f.name << " M=" << s.m << " N=" << s.n << " K=" << s.k
                                << (s.t ? " B^T" : " B");
    }
  }
}

TEST(Gemm, RefusesOverlapAndBadArgumentsWithoutTouchingC) {
  for (const Form& f : kForms) {
    SCOPED_TRACE(f.name);
    for (bool trans : {false, true}) {
      // One buffer: A in floats [0, 64), B in [64, 128), C in [128, 192) when apart.
      std::vector<float> buf = mvsdk::test::SeededFloats(7).vector(256, 1.0f);
      const std::vector<float> before = buf;
      float* p = buf.data();
      auto unchanged = [&] { return buf == before; };
      // C over A, C over B, C ending one float into A.
      EXPECT_FALSE(f.fn(8, 8, 8, 1.0f, p, 8, p + 64, 8, trans, p + 4, 8));
      EXPECT_FALSE(f.fn(8, 8, 8, 1.0f, p, 8, p + 64, 8, trans, p + 64, 8));
      EXPECT_FALSE(f.fn(1, 8, 8, 1.0f, p + 7, 8, p + 64, 8, trans, p, 8));
      EXPECT_FALSE(f.fn(40, 8, 8, 1.0f, p, 8, p + 64, 8, trans, p + 40, 8));
      // Negative sizes, strides shorter than their rows, null pointers.
      EXPECT_FALSE(f.fn(-1, 8, 8, 1.0f, p, 8, p + 64, 8, trans, p + 128, 8));
      EXPECT_FALSE(f.fn(8, 8, 8, 1.0f, p, 7, p + 64, 8, trans, p + 128, 8));
      EXPECT_FALSE(f.fn(8, 8, 8, 1.0f, p, 8, p + 64, 7, trans, p + 128, 8));
      EXPECT_FALSE(f.fn(8, 8, 8, 1.0f, p, 8, p + 64, 8, trans, p + 128, 7));
      EXPECT_FALSE(f.fn(8, 8, 8, 1.0f, nullptr, 8, p + 64, 8, trans, p + 128, 8));
      EXPECT_TRUE(unchanged());
      // Empty products succeed and write nothing; adjacent (touching) buffers are not overlap.
      EXPECT_TRUE(f.fn(0, 8, 8, 1.0f, p, 8, p + 64, 8, trans, p + 128, 8));
      EXPECT_TRUE(f.fn(8, 8, 0, 1.0f, p, 8, p + 64, 8, trans, p + 128, 8));
      EXPECT_TRUE(unchanged());
      EXPECT_TRUE(f.fn(8, 8, 8, 1.0f, p, 8, p + 64, 8, trans, p + 128, 8));
      EXPECT_FALSE(unchanged());
    }
  }
}

TEST(Gemm, EightAndFourLaneFormsAgreeToTheBitWithoutTransposition) {
  // Without a transposed B both forms sum each element in k order with one fused step per k.
  const Case d(6, 41, 57, false, 1.0f, 56);
  std::vector<float> h8 = d.c0, h4 = d.c0;
  ASSERT_TRUE(gemm_small(6, 41, 57, 1.0f, d.a.data(), d.lda, d.b.data(), d.ldb, false, h8.data(), d.ldc));
  ASSERT_TRUE(gemm_small_v4(6, 41, 57, 1.0f, d.a.data(), d.lda, d.b.data(), d.ldb, false, h4.data(), d.ldc));
  EXPECT_EQ(h8, h4);
}

}  // namespace
