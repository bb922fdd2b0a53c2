// Half precision: the conversions against the nearest half found independently, and products on
// half weights giving exactly what the same products give on the widened weights, in both of
// the engine's product paths and for every thread count.
#include "engine/kernels/half.h"
#include "engine/kernels/weight_copies.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/kernels/gemm.h"
#include "support/seeded_weights.h"

using namespace mvsdk::engine;

namespace {

float from_bits(std::uint32_t x) { return std::bit_cast<float>(x); }

// The finite half nearest to f by exhaustive search over magnitudes (ties to the even pattern),
// or infinity from 65520 up: what float_to_half must give, found without its bit arithmetic.
std::uint16_t nearest_half(float f) {
  const double a = std::fabs(static_cast<double>(f));
  const std::uint16_t sign = std::signbit(f) ? 0x8000 : 0;
  if (a >= 65520.0) return sign | 0x7c00;
  std::uint16_t best = 0;
  double best_err = a;
  for (std::uint16_t h = 1; h < 0x7c00; ++h) {
    const double err = std::fabs(static_cast<double>(half_to_float(h)) - a);
    if (err < best_err || (err == best_err && (h & 1) == 0)) {
      best = h;
      best_err = err;
    }
  }
  return sign | best;
}

}  // namespace

TEST(Half, ConversionsRoundToNearestEvenAndVectorsAgree) {
  // Every half widens to the value its fields define and comes back unchanged.
  for (std::uint32_t h = 0; h < 0x10000; ++h) {
    const float f = half_to_float(static_cast<std::uint16_t>(h));
    const std::uint32_t e = h >> 10 & 0x1f, m = h & 0x3ff;
    if (e == 0x1f && m != 0) {
      EXPECT_TRUE(std::isnan(f)) << h;
      EXPECT_EQ(float_to_half(f) & 0x7e00, 0x7e00) << h;  // still a NaN, and quiet
      continue;
    }
    const double want = e == 0x1f  ? std::numeric_limits<double>::infinity()
                        : e == 0   ? std::ldexp(static_cast<double>(m), -24)
                                   : std::ldexp(1.0 + m / 1024.0, static_cast<int>(e) - 15);
    ASSERT_EQ(static_cast<double>(std::fabs(f)), want) << h;
    ASSERT_EQ(std::signbit(f), (h & 0x8000) != 0) << h;
    ASSERT_EQ(float_to_half(f), h) << h;
  }
  // Floats between halves: ties, the subnormal range, the edge of overflow, random magnitudes.
  std::vector<float> probes = {0x1p-25f,    0x1.8p-25f, 0x1p-24f, 0x1.8p-24f, 0x1.fffp-15f,
                               0x1p-14f,    1.0f + 0x1p-11f, 1.0f + 0x3p-11f, 65504.0f,
                               65519.99f,   65520.0f,   1e30f,    -2.5e-8f,   -0.0f};
  mvsdk::test::SeededFloats rng(41);
  for (int i = 0; i < 300; ++i) probes.push_back(std::ldexp(rng.next(1.0f), static_cast<int>(rng.next(20.0f))));
  for (float f : probes) EXPECT_EQ(float_to_half(f), nearest_half(f)) << f;
  EXPECT_EQ(float_to_half(std::numeric_limits<float>::infinity()), 0x7c00);
  // The vector forms (F16C, NEON) give the scalar forms' bits, at every length.
  std::vector<float> all;
  for (std::uint32_t h = 0; h < 0x7c00; h += 7) all.push_back(half_to_float(static_cast<std::uint16_t>(h)));
  for (std::uint32_t x = 0x33000000; x < 0x47800000; x += 0x1357) all.push_back(from_bits(x));
  for (std::size_t n : {all.size(), std::size_t{13}}) {
    std::vector<std::uint16_t> halves(n);
    std::vector<float> back(n);
    floats_to_halves(all.data(), halves.data(), n);
    halves_to_floats(halves.data(), back.data(), n);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(halves[i], float_to_half(all[i])) << all[i];
      ASSERT_EQ(std::bit_cast<std::uint32_t>(back[i]), std::bit_cast<std::uint32_t>(half_to_float(halves[i])));
    }
  }
}

TEST(Half, TableKeepsOnlyBlocksHalfPrecisionHolds) {
  std::vector<float> w(3 * WeightCopies::kMinFloats, 0.5f);
  WeightCopies t(2);
  EXPECT_FALSE(t.add(w.data(), WeightCopies::kMinFloats - 1, 8));  // too small to matter
  EXPECT_TRUE(t.add(w.data() + WeightCopies::kMinFloats, WeightCopies::kMinFloats, 64));
  std::vector<float> big(WeightCopies::kMinFloats, 1.0f);
  big[100] = 65520.0f;  // would round to infinity
  EXPECT_FALSE(t.add(big.data(), big.size(), 8));
  big[100] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_FALSE(t.add(big.data(), big.size(), 8));
  big[100] = -65504.0f;  // the largest half is kept
  EXPECT_TRUE(t.add(big.data(), big.size(), 8));
  ASSERT_TRUE(t.finish());
  EXPECT_EQ(t.blocks().size(), 2u);
  EXPECT_EQ(t.scratch_floats(), static_cast<std::size_t>(WeightCopies::kScratchColumns) * 64);
  EXPECT_NE(t.scratch(1), nullptr);
  EXPECT_EQ(t.scratch(2), nullptr);
  // block_of: the block for any float inside a converted block, null just outside.
  const float* first = w.data() + WeightCopies::kMinFloats;
  ASSERT_NE(t.block_of(first), nullptr);
  EXPECT_EQ(t.block_of(first + WeightCopies::kMinFloats - 1), t.block_of(first));
  EXPECT_EQ(t.block_of(first)->src, first);
  EXPECT_EQ(half_to_float(t.block_of(first)->half[17]), 0.5f);
  EXPECT_EQ(t.block_of(first - 1), nullptr);
  EXPECT_EQ(t.block_of(first + WeightCopies::kMinFloats), nullptr);
  EXPECT_EQ(half_to_float(t.block_of(big.data() + 100)->half[100]), -65504.0f);
}

TEST(Half, ProductsOnCopiesEqualProductsOnTheWidenedWeights) {
  // Up to kCopyBlasRows rows the engine's kernel reads the halves itself; above, BLAS gets each
  // block of columns widened in the table's scratch. Either way the result must be the bits of the same
  // product on the widened floats, in either layout of the weights. (The engine's tests cover
  // the split over threads, each with its own scratch; this program runs under emulation too,
  // where threads cannot be started.)
  struct Shape {
    int M, N, K;
    bool trans_b;
  };
  const Shape shapes[] = {{1, 37, 200, false}, {4, 300, 129, false}, {8, 257, 64, true},
                          {16, 48, 515, true}, {40, 300, 96, false}, {33, 129, 77, true}};
  mvsdk::test::SeededFloats rng(7);
  for (const Shape& s : shapes) {
    SCOPED_TRACE(::testing::Message() << s.M << "x" << s.N << "x" << s.K << (s.trans_b ? " T" : ""));
    const int ldb = (s.trans_b ? s.K : s.N) + 3;
    std::vector<float> b = rng.vector(static_cast<std::size_t>(s.trans_b ? s.N : s.K) * ldb, 0.2f);
    WeightCopies table(1);
    ASSERT_TRUE(table.add(b.data(), b.size(), s.K));
    ASSERT_TRUE(table.finish());
    std::vector<float> widened(b.size());
    halves_to_floats(table.block_of(b.data())->half, widened.data(), b.size());
    const std::vector<float> a = rng.vector(static_cast<std::size_t>(s.M) * s.K, 1.0f);
    const std::vector<float> c0 = rng.vector(static_cast<std::size_t>(s.M) * s.N + 8, 1.0f);
    // The path a product on a copy takes: the kernel up to kCopyBlasRows rows, BLAS above.
    const auto reference = [&](const float* w, int ld, std::vector<float>* c) {
      const auto gemm = s.M <= kCopyBlasRows ? gemm_small : gemm_acc;
      return gemm(s.M, s.N, s.K, 0.5f, a.data(), s.K, w, ld, s.trans_b, c->data(), s.N);
    };
    std::vector<float> want = c0;
    ASSERT_TRUE(reference(widened.data(), ldb, &want));
    const WeightCopiesScope use(&table);
    ProductTally tally;
    set_product_tally(&tally);
    std::vector<float> got = c0;
    ASSERT_TRUE(gemm_acc(s.M, s.N, s.K, 0.5f, a.data(), s.K, b.data(), ldb, s.trans_b, got.data(), s.N));
    set_product_tally(nullptr);
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0);
    EXPECT_EQ(tally.half_b_bytes, 2.0 * s.N * s.K);
    if (!s.trans_b) {
      // The same weights packed in panel order (row stride N): the same bits again.
      std::vector<float> dense(static_cast<std::size_t>(s.K) * s.N), dense_widened(dense.size());
      for (int k = 0; k < s.K; ++k) {
        std::memcpy(&dense[static_cast<std::size_t>(k) * s.N], &b[static_cast<std::size_t>(k) * ldb],
                    static_cast<std::size_t>(s.N) * sizeof(float));
        std::memcpy(&dense_widened[static_cast<std::size_t>(k) * s.N],
                    &widened[static_cast<std::size_t>(k) * ldb], static_cast<std::size_t>(s.N) * sizeof(float));
      }
      WeightCopies packed(1);
      ASSERT_TRUE(packed.add(dense.data(), dense.size(), s.K, s.N));
      ASSERT_FALSE(packed.add(b.data(), b.size(), s.K, s.N));  // not K x N
      ASSERT_TRUE(packed.finish());
      EXPECT_EQ(packed.block_of(dense.data())->packed_n, s.N);  // not in the floats' layout
      want = c0;
      ASSERT_TRUE(reference(dense_widened.data(), s.N, &want));
      const WeightCopiesScope use_packed(&packed);
      got = c0;
      tally = {};
      set_product_tally(&tally);
      ASSERT_TRUE(gemm_acc(s.M, s.N, s.K, 0.5f, a.data(), s.K, dense.data(), s.N, false, got.data(), s.N));
      set_product_tally(nullptr);
      EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << "packed";
      EXPECT_EQ(tally.half_b_bytes, 2.0 * s.N * s.K);
    }
    if (s.M > kCopyBlasRows) {
      // A product longer than the scratch was sized for runs in the engine's kernel instead.
      WeightCopies narrow(1);
      ASSERT_TRUE(narrow.add(b.data(), b.size(), s.K - 1));
      ASSERT_TRUE(narrow.finish());
      const WeightCopiesScope use_narrow(&narrow);
      std::vector<float> kernel = c0;
      ASSERT_TRUE(gemm_small(s.M, s.N, s.K, 0.5f, a.data(), s.K, widened.data(), ldb, s.trans_b,
                             kernel.data(), s.N));
      got = c0;
      ASSERT_TRUE(gemm_acc(s.M, s.N, s.K, 0.5f, a.data(), s.K, b.data(), ldb, s.trans_b, got.data(), s.N));
      EXPECT_EQ(std::memcmp(got.data(), kernel.data(), got.size() * sizeof(float)), 0);
    }
  }
}
