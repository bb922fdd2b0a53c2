// The matrix products against double-precision references (awkward and engine shapes, strides,
// canaries) and their refusals; half precision: the conversions against the nearest half found
// independently, and products on half weights giving exactly what the same products give on the
// widened weights, in both of the engine's product paths (the split over threads is checked by
// the engine's thread-count cases).
#include "engine/kernels/gemm.h"
#include "engine/kernels/half.h"
#include "engine/kernels/weight_copies.h"

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
  // The blocks refused after their conversion took no room: the kept copies follow each other.
  EXPECT_EQ(t.block_of(big.data())->half, t.block_of(first)->half + WeightCopies::kMinFloats);
}

namespace {

// A product's shape for the copies' tests, and its name in their failure messages.
struct CopyShape {
  int M, N, K;
  bool trans_b;
};
std::string name(const CopyShape& s) {
  return std::to_string(s.M) + "x" + std::to_string(s.N) + "x" + std::to_string(s.K) + (s.trans_b ? " T" : "");
}

// c0 + 0.5 x a x op(b) by gemm_acc under the current table, its product counted into tally.
std::vector<float> counted_product(const CopyShape& s, const std::vector<float>& a, const float* b, int ldb,
                                   const std::vector<float>& c0, ProductTally* tally) {
  *tally = {};
  set_product_tally(tally);
  std::vector<float> c = c0;
  EXPECT_TRUE(gemm_acc(s.M, s.N, s.K, 0.5f, a.data(), s.K, b, ldb, s.trans_b, c.data(), s.N));
  set_product_tally(nullptr);
  return c;
}

}  // namespace

TEST(Half, ProductsOnCopiesEqualProductsOnTheWidenedWeights) {
  // Up to kCopyBlasRows rows the engine's kernel reads the halves itself; above, BLAS gets each
  // block of columns widened in the table's scratch. Either way the result must be the bits of the same
  // product on the widened floats, in either layout of the weights. (The engine's tests cover
  // the split over threads, each with its own scratch; this program runs under emulation too,
  // where threads cannot be started.)
  const CopyShape shapes[] = {{1, 37, 200, false}, {4, 300, 129, false}, {8, 257, 64, true},
                              {16, 48, 515, true}, {40, 300, 96, false}, {33, 129, 77, true}};
  mvsdk::test::SeededFloats rng(7);
  for (const CopyShape& s : shapes) {
    SCOPED_TRACE(name(s));
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
    std::vector<float> got = counted_product(s, a, b.data(), ldb, c0, &tally);
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
      got = counted_product(s, a, dense.data(), s.N, c0, &tally);
      EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << "packed";
      EXPECT_EQ(tally.half_b_bytes, 2.0 * s.N * s.K);
    }
  }
}

TEST(Panels, ProductsUnderATableOfPanelsAreTheKernelsOnTheFloats) {
  // A table of panels copies only matrices read whole and untransposed, in single precision. Under
  // it every product up to kCopyBlasRows rows, copied or not, must give the bits of the engine's
  // kernel on the floats themselves, and above them the bits of the BLAS blocks. Odd widths leave
  // the one-vector panels and the single columns of the panel order in play.
  const CopyShape shapes[] = {{4, 300, 129, false}, {16, 1027, 40, false}, {19, 37, 200, false},
                              {16, 48, 515, true},  {40, 300, 96, false},  {33, 129, 77, true}};
  mvsdk::test::SeededFloats rng(11);
  for (const CopyShape& s : shapes) {
    SCOPED_TRACE(name(s));
    const std::vector<float> b = rng.vector(static_cast<std::size_t>(s.K) * s.N, 0.2f);
    const std::vector<float> a = rng.vector(static_cast<std::size_t>(s.M) * s.K, 1.0f);
    const std::vector<float> c0 = rng.vector(static_cast<std::size_t>(s.M) * s.N, 1.0f);
    const int ldb = s.trans_b ? s.K : s.N;
    WeightCopies table(2, WeightCopies::Form::kPanels);
    EXPECT_FALSE(table.add(b.data(), b.size(), s.K));  // its own layout would read no faster
    EXPECT_EQ(table.add(b.data(), b.size(), s.K, s.N), b.size() >= WeightCopies::kMinFloats);
    ASSERT_TRUE(table.finish());
    std::vector<float> want = c0;
    const auto reference = s.M <= kCopyBlasRows ? gemm_small : gemm_acc;
    ASSERT_TRUE(reference(s.M, s.N, s.K, 0.5f, a.data(), s.K, b.data(), ldb, s.trans_b, want.data(), s.N));
    const WeightCopiesScope use(&table);
    ProductTally tally;
    const std::vector<float> got = counted_product(s, a, b.data(), ldb, c0, &tally);
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0);
    EXPECT_EQ(tally.b_bytes, 4.0 * s.N * s.K);
    EXPECT_EQ(tally.half_b_bytes, 0.0);
  }
}

TEST(Panels, CopiesFollowOneAnotherFromALargePageBoundaryAndOutgrowARegion) {
  // The copies are placed one after another in mappings that start on a 2 MB boundary (what a
  // large page needs), a new mapping when one is full. A block of 36 MB outgrows the usual 32 MB
  // mapping and gets one of its own size; the small block after it still follows it.
  constexpr std::uintptr_t kLargePage = std::uintptr_t{2} << 20;
  mvsdk::test::SeededFloats rng(12);
  const int K = 2048, N = 4600;  // just under 36 MB of floats
  const std::vector<float> small = rng.vector(64 * 128, 0.2f);
  const std::vector<float> large = rng.vector(static_cast<std::size_t>(K) * N, 0.2f);
  const std::vector<float> after = rng.vector(64 * 100, 0.2f);
  WeightCopies table(1, WeightCopies::Form::kPanels);
  ASSERT_TRUE(table.add(small.data(), small.size(), 64, 128));
  ASSERT_TRUE(table.add(large.data(), large.size(), K, N));
  ASSERT_TRUE(table.add(after.data(), after.size(), 64, 100));
  ASSERT_TRUE(table.finish());
  const float* first = table.block_of(small.data())->panels;
  const float* big = table.block_of(large.data())->panels;
  const float* last = table.block_of(after.data())->panels;
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % kLargePage, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big) % kLargePage, 0u);
  EXPECT_EQ(last, big + large.size());
  // Every copy holds its matrix: one row through each equals the engine's kernel on the floats.
  for (const std::vector<float>* w : {&small, &large, &after}) {
    const int n = w == &large ? N : static_cast<int>(w->size() / 64);
    const int k = static_cast<int>(w->size()) / n;
    const std::vector<float> a = rng.vector(static_cast<std::size_t>(k), 1.0f);
    std::vector<float> want(static_cast<std::size_t>(n), 0.0f), got = want;
    ASSERT_TRUE(gemm_small(1, n, k, 1.0f, a.data(), k, w->data(), n, false, want.data(), n));
    const WeightCopiesScope use(&table);
    ASSERT_TRUE(gemm_acc(1, n, k, 1.0f, a.data(), k, w->data(), n, false, got.data(), n));
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0) << n;
  }
}
