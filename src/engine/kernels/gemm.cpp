#include "engine/kernels/gemm.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "engine/core/worker_pool.h"
#include "engine/kernels/half.h"
#include "engine/kernels/weight_copies.h"
#include "engine/kernels/simd.h"

#if defined(__x86_64__) && defined(__F16C__)
#include <immintrin.h>
#endif

namespace mvsdk::engine {

namespace {

// The vector vocabulary the kernels are written in, per width. load() takes the weights as
// floats or as halves, widened exactly to floats.
template <class V>
struct Lanes;

inline float widen(float f) { return f; }
inline float widen(std::uint16_t h) { return half_to_float(h); }

template <>
struct Lanes<v4sf> {
  static constexpr int W = 4;
  static v4sf load(const float* p) { return load4(p); }
  static v4sf load(const std::uint16_t* p) {
#if defined(__x86_64__) && defined(__F16C__)
    return (v4sf)_mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
#elif defined(__aarch64__)
    return (v4sf)vcvt_f32_f16(vreinterpret_f16_u16(vld1_u16(p)));
#else
    return v4sf{half_to_float(p[0]), half_to_float(p[1]), half_to_float(p[2]), half_to_float(p[3])};
#endif
  }
  static void store(float* p, v4sf v) { store4(p, v); }
  static v4sf splat(float f) { return splat4(f); }
  static v4sf fma(v4sf a, v4sf b, v4sf c) { return fma4(a, b, c); }
};

#if defined(MVSDK_SIMD_HAVE_V8)
template <>
struct Lanes<v8sf> {
  static constexpr int W = 8;
  static v8sf load(const float* p) { return load8(p); }
  static v8sf load(const std::uint16_t* p) {
#if defined(__F16C__)
    return (v8sf)_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
#else
    v8sf v;
    for (int l = 0; l < 8; ++l) v[l] = half_to_float(p[l]);
    return v;
#endif
  }
  static void store(float* p, v8sf v) { store8(p, v); }
  // All eight lanes set directly: a broadcast load from memory. (Spelled as a zero vector plus
  // f, the compiler must add the zero, which turns -0 into +0, and broadcast from a register, a
  // shuffle that competes with the multiply-adds for a pipe: 10% of the acoustic model's time.)
  static v8sf splat(float f) { return v8sf{f, f, f, f, f, f, f, f}; }
  static v8sf fma(v8sf a, v8sf b, v8sf c) { return fma_lanes(a, b, c); }
};
#endif

// The kernels are inlined whole into their entry points, so that an entry compiled for wider
// registers (gemm_nn_packed_wide) compiles them for those registers too.
#if defined(__GNUC__)
#define MVSDK_INLINE_KERNEL [[gnu::always_inline]] inline
#define MVSDK_INLINE_LAMBDA __attribute__((always_inline))
#else
#define MVSDK_INLINE_KERNEL inline
#define MVSDK_INLINE_LAMBDA
#endif
#if defined(MVSDK_SIMD_HAVE_V8) && defined(__x86_64__) && defined(__GNUC__)
#define MVSDK_HAVE_WIDE_KERNEL 1
#endif

// Loops over a tile's rows and vectors must be unrolled completely so that the accumulators live
// in registers; without it the compiler keeps them in memory and every multiply-add waits on a
// store and a reload.
#if defined(__clang__)
#define MVSDK_UNROLL _Pragma("unroll")
#else
#define MVSDK_UNROLL _Pragma("GCC unroll 16")
#endif

// The lane sums of four vectors, as one vector: pairs of neighbouring lanes first, then pairs of
// those, then (eight lanes) the two halves: ((l0 + l1) + (l2 + l3)) + ((l4 + l5) + (l6 + l7)).
// In a tree, four at a time, the sums take a few shuffles each instead of a chain of additions
// per sum, which on short products (attention scores over 96 terms) cost as much as the
// multiply-adds.
inline v4sf lane_sums4(v4sf a, v4sf b, v4sf c, v4sf d) {
  const v4sf ab = v4sf{a[0] + a[1], b[0] + b[1], a[2] + a[3], b[2] + b[3]};
  const v4sf cd = v4sf{c[0] + c[1], d[0] + d[1], c[2] + c[3], d[2] + d[3]};
  return v4sf{ab[0] + ab[2], ab[1] + ab[3], cd[0] + cd[2], cd[1] + cd[3]};
}
#if defined(MVSDK_SIMD_HAVE_V8)
inline v4sf lane_sums4(v8sf a, v8sf b, v8sf c, v8sf d) {
  // hadd(x, y) = x0+x1, x2+x3, y0+y1, y2+y3 | x4+x5, x6+x7, y4+y5, y6+y7.
  const __m256 ab = _mm256_hadd_ps((__m256)a, (__m256)b);
  const __m256 cd = _mm256_hadd_ps((__m256)c, (__m256)d);
  const __m256 abcd = _mm256_hadd_ps(ab, cd);
  return (v4sf)_mm_add_ps(_mm256_castps256_ps128(abcd), _mm256_extractf128_ps(abcd, 1));
}
#endif

// ---- C += alpha A B, B K x N -------------------------------------------------------------------
//
// B (the weights) comes from memory, not cache, and is read once per product. It is walked in
// blocks of kRowBlock rows: within a block every column panel reads kRowBlock short runs of
// consecutive rows, so the whole block is kRowBlock sequential streams the hardware prefetchers
// follow (a panel walking all K rows alone would jump a page per row). Each block's partial sums
// are added to C.

// Rows of B per block: 16 streams, within what the prefetchers track.
constexpr int kRowBlock = 16;

// How far ahead the transposed products ask for the weight rows they read, which follow one
// another as one sequential stream: the hardware prefetchers alone keep too few reads in flight on
// a single stream to reach the memory's bandwidth. Measured on the 4-row products of weights in
// panel order, the other single stream (kernels_bench BM_GemmStreaming): 1 KB ahead read
// 18-25 GB/s, 16 KB 35-39, 32 and 64 KB no better.
constexpr std::size_t kStreamAhead = 16384;
template <class TB>
constexpr std::ptrdiff_t kAheadOf = static_cast<std::ptrdiff_t>(kStreamAhead / sizeof(TB));

// How far ahead of the weights being read the kernel asks for the ones it reads later: `ahead`
// elements past each weight row it loads, while that stays below `end` (one past the last weight
// of the matrix: the distance is compared, never a pointer made beyond it).
template <class TB>
struct Prefetch {
  std::ptrdiff_t ahead;
  const TB* end;
};

// MR rows of C, U vectors of columns, rows k0 .. k1 - 1 of B: C += alpha x (the block's sums).
template <class V, int MR, int U, class TB>
MVSDK_INLINE_KERNEL void nn_tile(Prefetch<TB> pf, int k0, int k1, float alpha, const float* A,
                                 int lda, const TB* B, int ldb, float* C, int ldc) {
  using L = Lanes<V>;
  V acc[MR][U];
  MVSDK_UNROLL
  for (int m = 0; m < MR; ++m)
    MVSDK_UNROLL
    for (int u = 0; u < U; ++u) acc[m][u] = L::splat(0.0f);
  for (int k = k0; k < k1; ++k) {
    const TB* bk = B + static_cast<std::ptrdiff_t>(k) * ldb;
    // Into the second-level cache, so that the weights arrive while these are computed.
    if (pf.end - bk > pf.ahead) __builtin_prefetch(bk + pf.ahead, 0, 2);
    V b[U];
    MVSDK_UNROLL
    for (int u = 0; u < U; ++u) b[u] = L::load(bk + u * L::W);
    MVSDK_UNROLL
    for (int m = 0; m < MR; ++m) {
      const V a = L::splat(A[static_cast<std::ptrdiff_t>(m) * lda + k]);
      MVSDK_UNROLL
      for (int u = 0; u < U; ++u) acc[m][u] = L::fma(a, b[u], acc[m][u]);
    }
  }
  // alpha = 1 (nearly every product) skips the multiplication, which is exact: the bits are the
  // same, and the multiplications no longer take the pipes the multiply-adds need.
  if (alpha == 1.0f) {
    MVSDK_UNROLL
    for (int m = 0; m < MR; ++m) {
      float* cm = C + static_cast<std::ptrdiff_t>(m) * ldc;
      MVSDK_UNROLL
      for (int u = 0; u < U; ++u) L::store(cm + u * L::W, L::load(cm + u * L::W) + acc[m][u]);
    }
    return;
  }
  const V va = L::splat(alpha);
  MVSDK_UNROLL
  for (int m = 0; m < MR; ++m) {
    float* cm = C + static_cast<std::ptrdiff_t>(m) * ldc;
    MVSDK_UNROLL
    for (int u = 0; u < U; ++u) L::store(cm + u * L::W, L::load(cm + u * L::W) + acc[m][u] * va);
  }
}

// One column of C at C (all M rows), rows k0 .. k1 - 1 of B, scalar: the leftover columns
// narrower than a vector.
template <class TB>
void nn_column(int M, int k0, int k1, float alpha, const float* A, int lda, const TB* B,
               int ldb, float* C, int ldc) {
  for (int m = 0; m < M; ++m) {
    const float* am = A + static_cast<std::ptrdiff_t>(m) * lda;
    float s = 0.0f;
    for (int k = k0; k < k1; ++k) {
      s = std::fma(am[k], widen(B[static_cast<std::ptrdiff_t>(k) * ldb]), s);
    }
    C[static_cast<std::ptrdiff_t>(m) * ldc] += alpha * s;
  }
}

// All M rows of the U x W columns at B and C, rows k0 .. k1 - 1 of B, TALL rows of C at a time
// (then four, then the rest). Every element of C takes the same sums whatever the tile.
template <class V, int U, class TB, int TALL = 4>
MVSDK_INLINE_KERNEL void nn_panel(int M, Prefetch<TB> pf, int k0, int k1, float alpha,
                                  const float* A, int lda, const TB* B, int ldb, float* C,
                                  int ldc) {
  int m = 0;
  if constexpr (TALL > 4) {
    for (; m + TALL <= M; m += TALL) {
      nn_tile<V, TALL, U, TB>(pf, k0, k1, alpha, A + static_cast<std::ptrdiff_t>(m) * lda, lda, B,
                              ldb, C + static_cast<std::ptrdiff_t>(m) * ldc, ldc);
    }
  }
  for (; m + 4 <= M; m += 4) {
    nn_tile<V, 4, U, TB>(pf, k0, k1, alpha, A + static_cast<std::ptrdiff_t>(m) * lda, lda, B, ldb,
                     C + static_cast<std::ptrdiff_t>(m) * ldc, ldc);
  }
  const float* a = A + static_cast<std::ptrdiff_t>(m) * lda;
  float* c = C + static_cast<std::ptrdiff_t>(m) * ldc;
  switch (M - m) {
    case 3: nn_tile<V, 3, U, TB>(pf, k0, k1, alpha, a, lda, B, ldb, c, ldc); break;
    case 2: nn_tile<V, 2, U, TB>(pf, k0, k1, alpha, a, lda, B, ldb, c, ldc); break;
    case 1: nn_tile<V, 1, U, TB>(pf, k0, k1, alpha, a, lda, B, ldb, c, ldc); break;
    default: break;
  }
}

template <class V, class TB>
void gemm_nn(int M, int N, int K, float alpha, const float* A, int lda, const TB* B, int ldb,
             float* C, int ldc) {
  constexpr int W = Lanes<V>::W;
  for (int k0 = 0; k0 < K; k0 += kRowBlock) {
    const int k1 = K - k0 < kRowBlock ? K : k0 + kRowBlock;
    // The same panel row one block further down: the next block arrives while this one is
    // computed.
    const auto pf = [&](int j) {
      return Prefetch<TB>{static_cast<std::ptrdiff_t>(kRowBlock) * ldb,
                          B + j + static_cast<std::ptrdiff_t>(K - 1) * ldb + 1};
    };
    int j = 0;
    // Panels of 2 vectors keep four rows' eight accumulators and two weight vectors in
    // registers; the block's panel (kRowBlock x 2W floats) stays in cache across the row groups.
    // (Three vectors measured slower on the content encoder's products.)
    for (; j + 2 * W <= N; j += 2 * W) {
      nn_panel<V, 2, TB>(M, pf(j), k0, k1, alpha, A, lda, B + j, ldb, C + j, ldc);
    }
    for (; j + W <= N; j += W) nn_panel<V, 1, TB>(M, pf(j), k0, k1, alpha, A, lda, B + j, ldb, C + j, ldc);
    for (; j < N; ++j) nn_column<TB>(M, k0, k1, alpha, A, lda, B + j, ldb, C + j, ldc);
  }
}

// The panels of columns [n0, n1) of a K x N matrix in panel order (pack_panels), for k in
// [k0, k1): f(column, width, pointer) with the pointer set so that pointer + k x width + t is the
// weight of row k, column column + t (the layout nn_panel reads with ldb = width). n0 is a
// multiple of two vectors; n1 one too, or N.
template <int W, class Ptr, class F>
MVSDK_INLINE_KERNEL void for_each_packed_panel(Ptr P, int N, int k0, int k1, int n0, int n1, F f) {
  const int kr = k1 - k0;
  const Ptr region = P + static_cast<std::ptrdiff_t>(k0) * N;
  int j = n0;
  const auto at = [&](int width) {
    return region + static_cast<std::ptrdiff_t>(j) * kr - static_cast<std::ptrdiff_t>(k0) * width;
  };
  for (; j + 2 * W <= n1; j += 2 * W) f(j, 2 * W, at(2 * W));
  for (; j + W <= n1; j += W) f(j, W, at(W));
  for (; j < n1; ++j) f(j, 1, at(1));
}

// gemm_nn on columns [n0, n1) of weights in panel order: the same sums, in tiles of TALL rows.
template <class V, class TB, int TALL = 4>
MVSDK_INLINE_KERNEL void gemm_nn_packed(int M, int n0, int n1, int N, int K, float alpha,
                                        const float* A, int lda, const TB* P, float* C, int ldc) {
  constexpr int W = Lanes<V>::W;
  // The copy is one stream, and the kernel asks for the weights one block of rows on: the same
  // panel row in the next block (kRowBlock x N weights on, at least kStreamAhead bytes for the
  // engine's widths). Not a fixed distance on: with the columns split over threads, that would
  // land in another thread's columns.
  const Prefetch<TB> pf{static_cast<std::ptrdiff_t>(kRowBlock) * N, P + static_cast<std::ptrdiff_t>(K) * N};
  for (int k0 = 0; k0 < K; k0 += kRowBlock) {
    const int k1 = K - k0 < kRowBlock ? K : k0 + kRowBlock;
    const auto panel = [&](int j, int width, const TB* b) MVSDK_INLINE_LAMBDA {
      if (width == 2 * W) {
        nn_panel<V, 2, TB, TALL>(M, pf, k0, k1, alpha, A, lda, b, width, C + j, ldc);
      } else if (width == W) {
        nn_panel<V, 1, TB, TALL>(M, pf, k0, k1, alpha, A, lda, b, width, C + j, ldc);
      } else {
        nn_column<TB>(M, k0, k1, alpha, A, lda, b, 1, C + j, ldc);
      }
    };
    for_each_packed_panel<W>(P, N, k0, k1, n0, n1, panel);
  }
}

#if defined(MVSDK_HAVE_WIDE_KERNEL)
// The same products where the processor has 32 vector registers (AVX-512VL, still 8-lane
// vectors): tiles of six rows, twelve accumulators, which keep the multiply-adds busy where four
// rows' eight leave them waiting on one another (16-row products: 88% of the multiply-add peak
// against 78%, measured alone). Every element of C takes the same sums: the bits are those of
// gemm_nn_packed.
template <class TB>
__attribute__((target("avx512f,avx512vl"))) void gemm_nn_packed_wide(
    int M, int n0, int n1, int N, int K, float alpha, const float* A, int lda, const TB* P,
    float* C, int ldc) {
  gemm_nn_packed<v8sf, TB, 6>(M, n0, n1, N, K, alpha, A, lda, P, C, ldc);
}

// Whether this processor runs gemm_nn_packed_wide (checked once, before main).
const bool kWideKernel = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl");
}();
#endif

// ---- C += alpha A B^T, B N x K -----------------------------------------------------------------

// MR rows of A against NR rows of B: C[m][n] for m < MR, n < NR, as dot products over K.
template <class V, int MR, int NR, class TB>
void nt_tile(int K, float alpha, const float* A, int lda, const TB* B, int ldb, const TB* end,
             float* C, int ldc) {
  using L = Lanes<V>;
  constexpr int W = L::W;
  V acc[MR][NR];
  MVSDK_UNROLL
  for (int m = 0; m < MR; ++m)
    MVSDK_UNROLL
    for (int n = 0; n < NR; ++n) acc[m][n] = L::splat(0.0f);
  int k = 0;
  for (; k + W <= K; k += W) {
    V b[NR];
    MVSDK_UNROLL
    for (int n = 0; n < NR; ++n) {
      const TB* bn = B + static_cast<std::ptrdiff_t>(n) * ldb + k;
      // The weight rows follow one another: each row's loads ask for the stream kStreamAhead
      // bytes on, so that together they cover it.
      if (end - bn > kAheadOf<TB>) __builtin_prefetch(bn + kAheadOf<TB>, 0, 2);
      b[n] = L::load(bn);
    }
    MVSDK_UNROLL
    for (int m = 0; m < MR; ++m) {
      const V a = L::load(A + static_cast<std::ptrdiff_t>(m) * lda + k);
      MVSDK_UNROLL
      for (int n = 0; n < NR; ++n) acc[m][n] = L::fma(a, b[n], acc[m][n]);
    }
  }
  MVSDK_UNROLL
  for (int n = 0; n < NR; ++n) {
    const TB* bn = B + static_cast<std::ptrdiff_t>(n) * ldb;
    // The lanes of the tile's rows for this weight row, summed four rows at a time (a missing row
    // is zeros: every row's sum takes the same order whatever the tile).
    V rows[4] = {L::splat(0.0f), L::splat(0.0f), L::splat(0.0f), L::splat(0.0f)};
    MVSDK_UNROLL
    for (int m = 0; m < MR; ++m) rows[m] = acc[m][n];
    const v4sf sums = lane_sums4(rows[0], rows[1], rows[2], rows[3]);
    MVSDK_UNROLL
    for (int m = 0; m < MR; ++m) {
      const float* am = A + static_cast<std::ptrdiff_t>(m) * lda;
      float s = sums[m];
      for (int kk = k; kk < K; ++kk) s = std::fma(am[kk], widen(bn[kk]), s);
      C[static_cast<std::ptrdiff_t>(m) * ldc + n] += alpha * s;
    }
  }
}

// All M rows against the NR rows of B at B (columns n .. n + NR - 1 of C at C).
template <class V, int NR, class TB>
void nt_panel(int M, int K, float alpha, const float* A, int lda, const TB* B, int ldb,
              const TB* end, float* C, int ldc) {
  int m = 0;
  for (; m + 4 <= M; m += 4) {
    nt_tile<V, 4, NR, TB>(K, alpha, A + static_cast<std::ptrdiff_t>(m) * lda, lda, B, ldb, end,
                          C + static_cast<std::ptrdiff_t>(m) * ldc, ldc);
  }
  const float* a = A + static_cast<std::ptrdiff_t>(m) * lda;
  float* c = C + static_cast<std::ptrdiff_t>(m) * ldc;
  switch (M - m) {
    case 3: nt_tile<V, 3, NR, TB>(K, alpha, a, lda, B, ldb, end, c, ldc); break;
    case 2: nt_tile<V, 2, NR, TB>(K, alpha, a, lda, B, ldb, end, c, ldc); break;
    case 1: nt_tile<V, 1, NR, TB>(K, alpha, a, lda, B, ldb, end, c, ldc); break;
    default: break;
  }
}

template <class V, class TB>
void gemm_nt(int M, int N, int K, float alpha, const float* A, int lda, const TB* B, int ldb,
             float* C, int ldc) {
  // One past the last weight read.
  const TB* end = B + static_cast<std::ptrdiff_t>(N - 1) * ldb + K;
  int n = 0;
  // Three weight rows at a time: with four activation rows that is twelve accumulators; the
  // rows (3 x K floats) stay in cache while the row groups pass over them.
  for (; n + 3 <= N; n += 3) {
    nt_panel<V, 3, TB>(M, K, alpha, A, lda, B + static_cast<std::ptrdiff_t>(n) * ldb, ldb, end, C + n,
                         ldc);
  }
  for (; n + 2 <= N; n += 2) {
    nt_panel<V, 2, TB>(M, K, alpha, A, lda, B + static_cast<std::ptrdiff_t>(n) * ldb, ldb, end, C + n,
                         ldc);
  }
  if (n < N) {
    nt_panel<V, 1, TB>(M, K, alpha, A, lda, B + static_cast<std::ptrdiff_t>(n) * ldb, ldb, end, C + n,
                       ldc);
  }
}

// ---- argument checks ---------------------------------------------------------------------------

// [first, last) byte addresses of a rows x cols matrix with row stride ld (rows, cols >= 1).
struct Span {
  std::uintptr_t first;
  std::uintptr_t last;
};
Span span_of(const float* p, int rows, int cols, int ld) {
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t floats =
      static_cast<std::uintptr_t>(rows - 1) * static_cast<std::uintptr_t>(ld) +
      static_cast<std::uintptr_t>(cols);
  return {first, first + floats * sizeof(float)};
}
bool overlap(Span a, Span b) { return a.first < b.last && b.first < a.last; }

// 1: a product to compute; 0: nothing to do; -1: refused.
int check(int M, int N, int K, const float* A, int lda, const float* B, int ldb, bool trans_b,
          const float* C, int ldc) {
  if (M < 0 || N < 0 || K < 0) return -1;
  if (M == 0 || N == 0 || K == 0) return 0;
  const int b_rows = trans_b ? N : K;
  const int b_cols = trans_b ? K : N;
  if (A == nullptr || B == nullptr || C == nullptr || lda < K || ldb < b_cols || ldc < N) {
    return -1;
  }
  const Span c = span_of(C, M, N, ldc);
  if (overlap(c, span_of(A, M, K, lda)) || overlap(c, span_of(B, b_rows, b_cols, ldb))) return -1;
  return 1;
}

// The product in the engine's kernel, B as floats or halves (arguments already checked).
template <class V, class TB>
void kernel_product(int M, int N, int K, float alpha, const float* A, int lda, const TB* B, int ldb,
                    bool trans_b, float* C, int ldc) {
  if (trans_b) {
    gemm_nt<V, TB>(M, N, K, alpha, A, lda, B, ldb, C, ldc);
  } else {
    gemm_nn<V, TB>(M, N, K, alpha, A, lda, B, ldb, C, ldc);
  }
}

#if defined(MVSDK_SIMD_HAVE_V8)
using Widest = v8sf;
#else
using Widest = v4sf;
#endif
constexpr int kWidestLanes = Lanes<Widest>::W;

template <class V>
bool gemm_small_as(int M, int N, int K, float alpha, const float* A, int lda, const float* B,
                   int ldb, bool trans_b, float* C, int ldc) {
  const int what = check(M, N, K, A, lda, B, ldb, trans_b, C, ldc);
  if (what <= 0) return what == 0;
  kernel_product<V, float>(M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc);
  return true;
}

}  // namespace

namespace {

// pack_panels into halves or floats: each row of the block (converted into `row` for halves) cut
// into the panels.
template <class T>
bool pack_panels_as(const float* src, int K, int N, T* dst) {
  if (src == nullptr || dst == nullptr || K < 1 || N < 1) return false;
  std::vector<T> row(std::is_same_v<T, float> ? 0 : static_cast<std::size_t>(N));
  for (int k0 = 0; k0 < K; k0 += kRowBlock) {
    const int k1 = K - k0 < kRowBlock ? K : k0 + kRowBlock;
    for (int k = k0; k < k1; ++k) {
      const float* in = src + static_cast<std::ptrdiff_t>(k) * N;
      const T* from = nullptr;
      if constexpr (std::is_same_v<T, float>) {
        from = in;
      } else {
        floats_to_halves(in, row.data(), row.size());
        from = row.data();
      }
      for_each_packed_panel<kWidestLanes>(dst, N, k0, k1, 0, N, [&](int j, int width, T* b) {
        std::memcpy(b + static_cast<std::ptrdiff_t>(k) * width, from + j,
                    static_cast<std::size_t>(width) * sizeof(T));
      });
    }
  }
  return true;
}

}  // namespace

bool pack_panels(const float* src, int K, int N, std::uint16_t* dst) {
  return pack_panels_as(src, K, N, dst);
}

bool pack_panels(const float* src, int K, int N, float* dst) {
  return pack_panels_as(src, K, N, dst);
}

bool gemm_small_v4(int M, int N, int K, float alpha, const float* A, int lda, const float* B,
                   int ldb, bool trans_b, float* C, int ldc) {
  return gemm_small_as<v4sf>(M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc);
}

bool gemm_small(int M, int N, int K, float alpha, const float* A, int lda, const float* B, int ldb,
                bool trans_b, float* C, int ldc) {
  return gemm_small_as<Widest>(M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc);
}

namespace {

// One product, cut into parts for the pool. Bh, when not null, is the half-precision
// copy of B the product reads instead (copies is its table), in B's layout or (packed) in panel
// order; Bp, when not null, the single-precision copy in panel order (packed).
struct ProductSplit {
  int M, N, K;
  float alpha;
  const float* A;
  int lda;
  const float* B;
  const std::uint16_t* Bh;
  const float* Bp;
  const WeightCopies* copies;
  int ldb;
  bool trans_b;
  float* C;
  int ldc;
  bool packed;  // the copy (Bh or Bp) is in panel order (ldb == N)
  bool blas;    // BLAS (in blocks of kBlasRows x kBlasColumns), else the engine's kernel
  int parts;
  // The engine's kernel: columns per unit; every part but the last has a whole number of units.
  int grain;
};

// Columns [n0, n1) of a product on a copy in panel order P, in the widest tiles the processor has.
template <class TB>
void packed_part(const ProductSplit& p, const TB* P, int n0, int n1) {
#if defined(MVSDK_HAVE_WIDE_KERNEL)
  if (kWideKernel) {
    gemm_nn_packed_wide<TB>(p.M, n0, n1, p.N, p.K, p.alpha, p.A, p.lda, P, p.C, p.ldc);
    return;
  }
#endif
  gemm_nn_packed<Widest, TB>(p.M, n0, n1, p.N, p.K, p.alpha, p.A, p.lda, P, p.C, p.ldc);
}

// Columns [n0, n1) in the engine's kernel.
void kernel_part(const ProductSplit& p, int n0, int n1) {
  const int n = n1 - n0;
  const std::ptrdiff_t b_offset = p.trans_b ? static_cast<std::ptrdiff_t>(n0) * p.ldb : n0;
  float* c = p.C + n0;
  if (p.packed && p.Bp) {
    packed_part(p, p.Bp, n0, n1);
  } else if (p.packed) {
    packed_part(p, p.Bh, n0, n1);
  } else if (p.Bh) {
    kernel_product<Widest, std::uint16_t>(p.M, n, p.K, p.alpha, p.A, p.lda, p.Bh + b_offset, p.ldb,
                                          p.trans_b, c, p.ldc);
  } else {
    kernel_product<Widest, float>(p.M, n, p.K, p.alpha, p.A, p.lda, p.B + b_offset, p.ldb,
                                  p.trans_b, c, p.ldc);
  }
}

// Columns [n0, n1) of a packed copy P (K x N in panel order) as floats in B's layout at dst (row
// stride cols).
template <class TB>
void unpack_columns(const TB* P, int N, int K, int n0, int n1, int cols, float* dst) {
  for (int k0 = 0; k0 < K; k0 += kRowBlock) {
    const int k1 = K - k0 < kRowBlock ? K : k0 + kRowBlock;
    for_each_packed_panel<kWidestLanes>(P, N, k0, k1, n0, n1, [&](int j, int width, const TB* b) {
      for (int k = k0; k < k1; ++k) {
        const TB* from = b + static_cast<std::ptrdiff_t>(k) * width;
        float* to = dst + static_cast<std::ptrdiff_t>(k) * cols + (j - n0);
        if constexpr (std::is_same_v<TB, float>) {
          std::memcpy(to, from, static_cast<std::size_t>(width) * sizeof(float));
        } else {
          halves_to_floats(from, to, static_cast<std::size_t>(width));
        }
      }
    });
  }
}

// Columns [n0, n1) of the copy as floats at dst (row stride n1 - n0, or K when transposed).
void widen_columns(const ProductSplit& p, int n0, int n1, float* dst) {
  const int cols = p.trans_b ? p.K : n1 - n0;
  if (p.packed && p.Bp) {
    unpack_columns(p.Bp, p.N, p.K, n0, n1, cols, dst);
    return;
  }
  if (p.packed) {
    unpack_columns(p.Bh, p.N, p.K, n0, n1, cols, dst);
    return;
  }
  const std::uint16_t* b = p.Bh + (p.trans_b ? static_cast<std::ptrdiff_t>(n0) * p.ldb : n0);
  const int rows = p.trans_b ? n1 - n0 : p.K;
  for (int r = 0; r < rows; ++r) {
    halves_to_floats(b + static_cast<std::ptrdiff_t>(r) * p.ldb,
                     dst + static_cast<std::ptrdiff_t>(r) * cols, static_cast<std::size_t>(cols));
  }
}

// Rows [m0, m1) of columns [n0, n1) of the product (all rows in the engine's kernel).
void product(const ProductSplit& p, int m0, int m1, int n0, int n1) {
  if (!p.blas) {
    kernel_part(p, n0, n1);
    return;
  }
  const int n = n1 - n0;
  const float* b = p.B + (p.trans_b ? static_cast<std::ptrdiff_t>(n0) * p.ldb : n0);
  int ldb = p.ldb;
  if (p.Bh || p.Bp) {
    // BLAS reads floats in a row-major layout: the block of the copy is widened (or unpacked)
    // into this thread's scratch first (row stride n, or K when transposed). gemm_acc checked
    // that a block fits; a thread the table has no scratch for (none in the engine) computes its
    // block in the engine's kernel.
    float* scratch = p.copies->scratch(WorkerPool::thread_index());
    if (scratch == nullptr) {
      ProductSplit rows = p;
      rows.M = m1 - m0;
      rows.A += static_cast<std::ptrdiff_t>(m0) * p.lda;
      rows.C += static_cast<std::ptrdiff_t>(m0) * p.ldc;
      kernel_part(rows, n0, n1);
      return;
    }
    widen_columns(p, n0, n1, scratch);
    b = scratch;
    ldb = p.trans_b ? p.K : n;
  }
  cblas_sgemm(CblasRowMajor, CblasNoTrans, p.trans_b ? CblasTrans : CblasNoTrans, m1 - m0, n, p.K,
              p.alpha, p.A + static_cast<std::ptrdiff_t>(m0) * p.lda, p.lda, b, ldb, 1.0f,
              p.C + static_cast<std::ptrdiff_t>(m0) * p.ldc + n0, p.ldc);
}

void product_part(void* ctx, int part) {
  const auto& p = *static_cast<const ProductSplit*>(ctx);
  if (p.blas) {
    // Block (row block, column block), the row blocks outermost: one thread computing them all
    // keeps each row block of A in cache across its column blocks.
    const int column_blocks = (p.N + kBlasColumns - 1) / kBlasColumns;
    const int m0 = part / column_blocks * kBlasRows;
    const int n0 = part % column_blocks * kBlasColumns;
    product(p, m0, std::min(p.M, m0 + kBlasRows), n0, std::min(p.N, n0 + kBlasColumns));
    return;
  }
  const int units = (p.N + p.grain - 1) / p.grain;
  const int n0 = units * part / p.parts * p.grain;
  const int n1 = std::min(p.N, units * (part + 1) / p.parts * p.grain);
  if (n1 > n0) product(p, 0, p.M, n0, n1);
}

thread_local ProductTally* t_tally = nullptr;

static_assert(WeightCopies::kScratchColumns >= kBlasColumns, "a BLAS block must fit the scratch");

// Products smaller than this many multiply-adds run on the calling thread alone: handing them to
// the pool would cost more than it saves.
constexpr std::int64_t kSplitMinWork = 1 << 17;
// Parts per pool thread of a split product in the engine's own kernel: claimed as the threads
// come, so a worker that wakes late leaves its share to the others. Fewer, wider parts measured
// faster (engine_realtime_bench, two threads, runs alternated): one a thread against two, the
// acoustic model 3.9-4.0 against 4.2-4.3 ms and the content encoder no slower; four, 5.3-5.9 ms.
constexpr int kPartsPerThread = 1;
// Columns per unit of a split in the engine's own kernel: a column's sum does not depend on its
// neighbours, and cuts at multiples of the widest panel (two 8-lane vectors) keep even the panels
// as they are on one thread.
constexpr int kKernelGrain = 16;

void tally(int M, int N, int K, bool half) {
  if (!t_tally) return;
  ++t_tally->products;
  t_tally->multiply_adds += static_cast<double>(M) * N * K;
  const double weights = static_cast<double>(K) * N;
  t_tally->b_bytes += weights * static_cast<double>(half ? sizeof(std::uint16_t) : sizeof(float));
  if (half) t_tally->half_b_bytes += weights * sizeof(std::uint16_t);
}

}  // namespace

bool gemm_acc(int M, int N, int K, float alpha, const float* A, int lda, const float* B, int ldb,
              bool trans_b, float* C, int ldc) {
  const int what = check(M, N, K, A, lda, B, ldb, trans_b, C, ldc);
  if (what <= 0) return what == 0;
  // The table's copy of the weights when it has one: in half precision in B's layout, or (in
  // either precision) in panel order when the product reads the whole matrix untransposed (a
  // product reading a packed block any other way reads the floats).
  const WeightCopies* copies = current_weight_copies();
  const WeightCopies::Block* wb = copies ? copies->block_of(B) : nullptr;
  const std::uint16_t* Bh = nullptr;
  const float* Bp = nullptr;
  bool packed = false;
  if (wb != nullptr && wb->packed_n == 0) {
    Bh = wb->half + (B - wb->src);
  } else if (wb != nullptr && !trans_b && B == wb->src && ldb == N && N == wb->packed_n &&
             static_cast<std::size_t>(K) * static_cast<std::size_t>(N) == wb->count) {
    Bh = wb->half;
    Bp = wb->panels;
    packed = true;
  }
  tally(M, N, K, Bh != nullptr);
  WorkerPool* pool = current_pool();
  const int threads = pool ? pool->threads() : 1;
  // BLAS above kGemmSmallRows rows. A copy must first be widened or unpacked for it, which the
  // acoustic model's 16-row products do not repay (its chunk took 13.8 ms with BLAS on widened
  // halves, 9.8 in the engine's kernel on the halves): copies go to BLAS only above kCopyBlasRows
  // rows, and only when the table's scratch holds their blocks widened.
  // Under a table of panels every product up to kCopyBlasRows rows runs in the engine's kernel,
  // the ones on weights it holds no copy of too (the transposed products of the convolutions):
  // on the acoustic model's 16-row products BLAS spends as long repacking the weights as
  // multiplying them.
  const bool copy = Bh != nullptr || Bp != nullptr;
  const bool panels = copies != nullptr && copies->form() == WeightCopies::Form::kPanels;
  const bool blas =
      !copy ? M > (panels ? kCopyBlasRows : kGemmSmallRows)
            : M > kCopyBlasRows &&
                  static_cast<std::size_t>(K) * kBlasColumns <= copies->scratch_floats();
  ProductSplit split{M, N, K, alpha, A, lda, B, Bh, Bp, copies, ldb, trans_b, C, ldc, packed, blas, 1, N};
  if (blas) {
    // BLAS's rounding of an element depends on the whole product's shape, so the product is cut
    // into the same blocks of rows and columns whatever the number of threads (one thread
    // computes them one after the other); the blocks are what the threads share.
    split.parts = ((M + kBlasRows - 1) / kBlasRows) * ((N + kBlasColumns - 1) / kBlasColumns);
    if (threads > 1 && split.parts > 1) {
      pool->run(split.parts, product_part, &split);
    } else {
      for (int part = 0; part < split.parts; ++part) product_part(&split, part);
    }
    return true;
  }
  const std::int64_t work = static_cast<std::int64_t>(M) * N * K;
  const int parts = std::min(kPartsPerThread * threads, N / kKernelGrain);
  if (threads < 2 || parts < 2 || work < kSplitMinWork) {
    product(split, 0, M, 0, N);
    return true;
  }
  split.parts = parts;
  split.grain = kKernelGrain;
  pool->run(parts, product_part, &split);
  return true;
}

void set_product_tally(ProductTally* tally) { t_tally = tally; }

void tally_product(int M, int N, int K) { tally(M, N, K, false); }

}  // namespace mvsdk::engine
