#include "engine/kernels/gemm.h"

#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "engine/core/worker_pool.h"
#include "engine/kernels/simd.h"

namespace mvsdk::engine {

namespace {

// The vector vocabulary the kernels are written in, per width.
template <class V>
struct Lanes;

template <>
struct Lanes<v4sf> {
  static constexpr int W = 4;
  static v4sf load(const float* p) { return load4(p); }
  static void store(float* p, v4sf v) { store4(p, v); }
  static v4sf splat(float f) { return splat4(f); }
  static v4sf fma(v4sf a, v4sf b, v4sf c) { return fma4(a, b, c); }
};

#if defined(MVSDK_SIMD_HAVE_V8)
template <>
struct Lanes<v8sf> {
  static constexpr int W = 8;
  static v8sf load(const float* p) { return load8(p); }
  static void store(float* p, v8sf v) { store8(p, v); }
  static v8sf splat(float f) { return v8sf{} + f; }
  static v8sf fma(v8sf a, v8sf b, v8sf c) { return fma_lanes(a, b, c); }
};
#endif

// Loops over a tile's rows and vectors must be unrolled completely so that the accumulators live
// in registers; without it the compiler keeps them in memory and every multiply-add waits on a
// store and a reload.
#if defined(__clang__)
#define MVSDK_UNROLL _Pragma("unroll")
#else
#define MVSDK_UNROLL _Pragma("GCC unroll 16")
#endif

// Lanes added in order: ((l0 + l1) + l2) + ...
template <class V>
inline float lane_sum(V v) {
  float s = v[0];
  for (int l = 1; l < Lanes<V>::W; ++l) s += v[l];
  return s;
}

// ---- C += alpha A B, B K x N -------------------------------------------------------------------
//
// B (the weights) comes from memory, not cache, and is read once per product. It is walked in
// blocks of kRowBlock rows: within a block every column panel reads kRowBlock short runs of
// consecutive rows, so the whole block is kRowBlock sequential streams the hardware prefetchers
// follow (a panel walking all K rows alone would jump a page per row). Each block's partial sums
// are added to C.

// Rows of B per block: 16 streams, within what the prefetchers track.
constexpr int kRowBlock = 16;

// MR rows of C, U vectors of columns, rows k0 .. k1 - 1 of B: C += alpha x (the block's sums).
template <class V, int MR, int U>
void nn_tile(int K, int k0, int k1, float alpha, const float* A, int lda, const float* B, int ldb,
             float* C, int ldc) {
  using L = Lanes<V>;
  V acc[MR][U];
  MVSDK_UNROLL
  for (int m = 0; m < MR; ++m)
    MVSDK_UNROLL
    for (int u = 0; u < U; ++u) acc[m][u] = L::splat(0.0f);
  for (int k = k0; k < k1; ++k) {
    const float* bk = B + static_cast<std::ptrdiff_t>(k) * ldb;
    // The same panel row one block further down, into the second-level cache: the next block
    // then arrives while this one is computed.
    if (k + kRowBlock < K) {
      __builtin_prefetch(bk + static_cast<std::ptrdiff_t>(kRowBlock) * ldb, 0, 2);
    }
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
void nn_column(int M, int k0, int k1, float alpha, const float* A, int lda, const float* B,
               int ldb, float* C, int ldc) {
  for (int m = 0; m < M; ++m) {
    const float* am = A + static_cast<std::ptrdiff_t>(m) * lda;
    float s = 0.0f;
    for (int k = k0; k < k1; ++k) s = std::fma(am[k], B[static_cast<std::ptrdiff_t>(k) * ldb], s);
    C[static_cast<std::ptrdiff_t>(m) * ldc] += alpha * s;
  }
}

// All M rows of the U x W columns at B and C, rows k0 .. k1 - 1 of B, four rows of C at a time.
template <class V, int U>
void nn_panel(int M, int K, int k0, int k1, float alpha, const float* A, int lda, const float* B,
              int ldb,
              float* C, int ldc) {
  int m = 0;
  for (; m + 4 <= M; m += 4) {
    nn_tile<V, 4, U>(K, k0, k1, alpha, A + static_cast<std::ptrdiff_t>(m) * lda, lda, B, ldb,
                     C + static_cast<std::ptrdiff_t>(m) * ldc, ldc);
  }
  const float* a = A + static_cast<std::ptrdiff_t>(m) * lda;
  float* c = C + static_cast<std::ptrdiff_t>(m) * ldc;
  switch (M - m) {
    case 3: nn_tile<V, 3, U>(K, k0, k1, alpha, a, lda, B, ldb, c, ldc); break;
    case 2: nn_tile<V, 2, U>(K, k0, k1, alpha, a, lda, B, ldb, c, ldc); break;
    case 1: nn_tile<V, 1, U>(K, k0, k1, alpha, a, lda, B, ldb, c, ldc); break;
    default: break;
  }
}

template <class V>
void gemm_nn(int M, int N, int K, float alpha, const float* A, int lda, const float* B, int ldb,
             float* C, int ldc) {
  constexpr int W = Lanes<V>::W;
  for (int k0 = 0; k0 < K; k0 += kRowBlock) {
    const int k1 = K - k0 < kRowBlock ? K : k0 + kRowBlock;
    int j = 0;
    // Panels of 2 vectors keep four rows' eight accumulators and two weight vectors in
    // registers; the block's panel (kRowBlock x 2W floats) stays in cache across the row groups.
    // (Three vectors measured slower on the content encoder's products.)
    for (; j + 2 * W <= N; j += 2 * W) {
      nn_panel<V, 2>(M, K, k0, k1, alpha, A, lda, B + j, ldb, C + j, ldc);
    }
    for (; j + W <= N; j += W) nn_panel<V, 1>(M, K, k0, k1, alpha, A, lda, B + j, ldb, C + j, ldc);
    for (; j < N; ++j) nn_column(M, k0, k1, alpha, A, lda, B + j, ldb, C + j, ldc);
  }
}

// ---- C += alpha A B^T, B N x K -----------------------------------------------------------------

// MR rows of A against NR rows of B: C[m][n] for m < MR, n < NR, as dot products over K.
template <class V, int MR, int NR>
void nt_tile(int K, float alpha, const float* A, int lda, const float* B, int ldb, float* C,
             int ldc) {
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
    for (int n = 0; n < NR; ++n) b[n] = L::load(B + static_cast<std::ptrdiff_t>(n) * ldb + k);
    MVSDK_UNROLL
    for (int m = 0; m < MR; ++m) {
      const V a = L::load(A + static_cast<std::ptrdiff_t>(m) * lda + k);
      MVSDK_UNROLL
      for (int n = 0; n < NR; ++n) acc[m][n] = L::fma(a, b[n], acc[m][n]);
    }
  }
  MVSDK_UNROLL
  for (int m = 0; m < MR; ++m) {
    const float* am = A + static_cast<std::ptrdiff_t>(m) * lda;
    MVSDK_UNROLL
    for (int n = 0; n < NR; ++n) {
      const float* bn = B + static_cast<std::ptrdiff_t>(n) * ldb;
      float s = lane_sum(acc[m][n]);
      for (int kk = k; kk < K; ++kk) s = std::fma(am[kk], bn[kk], s);
      C[static_cast<std::ptrdiff_t>(m) * ldc + n] += alpha * s;
    }
  }
}

// All M rows against the NR rows of B at B (columns n .. n + NR - 1 of C at C).
template <class V, int NR>
void nt_panel(int M, int K, float alpha, const float* A, int lda, const float* B, int ldb,
              float* C, int ldc) {
  int m = 0;
  for (; m + 4 <= M; m += 4) {
    nt_tile<V, 4, NR>(K, alpha, A + static_cast<std::ptrdiff_t>(m) * lda, lda, B, ldb,
                      C + static_cast<std::ptrdiff_t>(m) * ldc, ldc);
  }
  const float* a = A + static_cast<std::ptrdiff_t>(m) * lda;
  float* c = C + static_cast<std::ptrdiff_t>(m) * ldc;
  switch (M - m) {
    case 3: nt_tile<V, 3, NR>(K, alpha, a, lda, B, ldb, c, ldc); break;
    case 2: nt_tile<V, 2, NR>(K, alpha, a, lda, B, ldb, c, ldc); break;
    case 1: nt_tile<V, 1, NR>(K, alpha, a, lda, B, ldb, c, ldc); break;
    default: break;
  }
}

template <class V>
void gemm_nt(int M, int N, int K, float alpha, const float* A, int lda, const float* B, int ldb,
             float* C, int ldc) {
  int n = 0;
  // Three weight rows at a time: with four activation rows that is twelve accumulators; the
  // rows (3 x K floats) stay in cache while the row groups pass over them.
  for (; n + 3 <= N; n += 3) {
    nt_panel<V, 3>(M, K, alpha, A, lda, B + static_cast<std::ptrdiff_t>(n) * ldb, ldb, C + n, ldc);
  }
  for (; n + 2 <= N; n += 2) {
    nt_panel<V, 2>(M, K, alpha, A, lda, B + static_cast<std::ptrdiff_t>(n) * ldb, ldb, C + n, ldc);
  }
  if (n < N) {
    nt_panel<V, 1>(M, K, alpha, A, lda, B + static_cast<std::ptrdiff_t>(n) * ldb, ldb, C + n, ldc);
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

template <class V>
bool gemm_small_as(int M, int N, int K, float alpha, const float* A, int lda, const float* B,
                   int ldb, bool trans_b, float* C, int ldc) {
  const int what = check(M, N, K, A, lda, B, ldb, trans_b, C, ldc);
  if (what <= 0) return what == 0;
  if (trans_b) {
    gemm_nt<V>(M, N, K, alpha, A, lda, B, ldb, C, ldc);
  } else {
    gemm_nn<V>(M, N, K, alpha, A, lda, B, ldb, C, ldc);
  }
  return true;
}

}  // namespace

bool gemm_small_v4(int M, int N, int K, float alpha, const float* A, int lda, const float* B,
                   int ldb, bool trans_b, float* C, int ldc) {
  return gemm_small_as<v4sf>(M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc);
}

bool gemm_small(int M, int N, int K, float alpha, const float* A, int lda, const float* B, int ldb,
                bool trans_b, float* C, int ldc) {
#if defined(MVSDK_SIMD_HAVE_V8)
  return gemm_small_as<v8sf>(M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc);
#else
  return gemm_small_as<v4sf>(M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc);
#endif
}

namespace {

// One product, its columns cut into parts for the pool.
struct ColumnSplit {
  int M, N, K;
  float alpha;
  const float* A;
  int lda;
  const float* B;
  int ldb;
  bool trans_b;
  float* C;
  int ldc;
  int parts;
  int grain;  // columns per unit; every part but the last has a whole number of units
};

void product(int M, int N, int K, float alpha, const float* A, int lda, const float* B, int ldb,
             bool trans_b, float* C, int ldc) {
  if (M <= kGemmSmallRows) {
    gemm_small(M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc);
    return;
  }
  cblas_sgemm(CblasRowMajor, CblasNoTrans, trans_b ? CblasTrans : CblasNoTrans, M, N, K, alpha, A,
              lda, B, ldb, 1.0f, C, ldc);
}

void product_part(void* ctx, int part) {
  const auto& p = *static_cast<const ColumnSplit*>(ctx);
  const int units = (p.N + p.grain - 1) / p.grain;
  const int n0 = units * part / p.parts * p.grain;
  const int n1 = std::min(p.N, units * (part + 1) / p.parts * p.grain);
  if (n1 <= n0) return;
  const float* b = p.trans_b ? p.B + static_cast<std::ptrdiff_t>(n0) * p.ldb : p.B + n0;
  product(p.M, n1 - n0, p.K, p.alpha, p.A, p.lda, b, p.ldb, p.trans_b, p.C + n0, p.ldc);
}

thread_local ProductTally* t_tally = nullptr;

// Products smaller than this many multiply-adds run on the calling thread alone: handing them to
// the pool would cost more than it saves.
constexpr std::int64_t kSplitMinWork = 1 << 17;
// Parts per pool thread of a split product in the engine's own kernel: claimed as the threads
// come, so a worker that wakes late leaves its share to the others. Two measured faster than four
// on the content encoder (wider parts read longer runs of each weight row).
constexpr int kPartsPerThread = 2;
// Columns per unit of a split in the engine's own kernel: a column's sum does not depend on its
// neighbours, and cuts at multiples of the widest panel (two 8-lane vectors) keep even the panels
// as they are on one thread.
constexpr int kKernelGrain = 16;

}  // namespace

bool gemm_acc(int M, int N, int K, float alpha, const float* A, int lda, const float* B, int ldb,
              bool trans_b, float* C, int ldc) {
  const int what = check(M, N, K, A, lda, B, ldb, trans_b, C, ldc);
  if (what <= 0) return what == 0;
  if (t_tally) tally_product(M, N, K);
  WorkerPool* pool = current_pool();
  const int threads = pool ? pool->threads() : 1;
  if (M > kGemmSmallRows) {
    // BLAS's rounding of an element depends on the whole product's shape, so the product is cut
    // into the same blocks of columns whatever the number of threads (one thread computes them
    // one after the other); the blocks are what the threads share.
    const int blocks = (N + kBlasColumns - 1) / kBlasColumns;
    ColumnSplit split{M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc, blocks, kBlasColumns};
    if (threads > 1 && blocks > 1) {
      pool->run(blocks, product_part, &split);
    } else {
      for (int part = 0; part < blocks; ++part) product_part(&split, part);
    }
    return true;
  }
  const std::int64_t work = static_cast<std::int64_t>(M) * N * K;
  const int parts = std::min(kPartsPerThread * threads, N / kKernelGrain);
  if (threads < 2 || parts < 2 || work < kSplitMinWork) {
    product(M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc);
    return true;
  }
  ColumnSplit split{M, N, K, alpha, A, lda, B, ldb, trans_b, C, ldc, parts, kKernelGrain};
  pool->run(parts, product_part, &split);
  return true;
}

void set_product_tally(ProductTally* tally) { t_tally = tally; }

void tally_product(int M, int N, int K) {
  if (!t_tally) return;
  ++t_tally->products;
  t_tally->multiply_adds += static_cast<double>(M) * N * K;
  t_tally->b_bytes += static_cast<double>(K) * N * sizeof(float);
}

}  // namespace mvsdk::engine
