#pragma once
// Matrix products of the engine's layers: C += A x op(B), single precision, row-major.
//
// The layers multiply chunks of a few activation rows (4 to 19 frames) by large weight matrices.
// A general BLAS product first repacks the weight matrix into its own blocked layout, and with so
// few rows that repacking costs as much as the product itself. gemm_small reads the weights in
// place instead, streaming them once from memory in blocks of rows: each weight element is loaded
// once per group of up to four activation rows and used for all of them. gemm_acc picks gemm_small for products with few rows and one cblas_sgemm
// for the large ones.
//
// Shapes: A is M x K with row stride lda; op(B) is K x N, either B itself (K x N, row stride ldb,
// trans_b false) or the transpose of an N x K matrix B (row stride ldb, trans_b true); C is M x N
// with row stride ldc. Every element C[m][n] gets alpha x (sum over k of A[m][k] x op(B)[k][n])
// added to it (beta 1). Only the M x N elements named are written, only the elements of A and B
// named are read.
//
// Summation order (gemm_small): with trans_b false, k is cut into blocks of 16 rows of B; each
// block's terms are summed in k order with one fused multiply-add per term, multiplied by alpha
// and added to C, block after block. With trans_b true, lane l of a W-lane vector (W the vector
// width) sums k = l, l + W, l + 2W, ... by fused multiply-adds, the lanes are added in order and
// the leftover k after them one by one; that sum times alpha is added to C. This differs from
// BLAS's order by rounding only; callers compare against references with a relative tolerance.
//
// No allocation, no state, any thread.
#include <cstdint>

namespace mvsdk::engine {

// Products with at most this many rows of A go to gemm_small in gemm_acc; BLAS above. BLAS's
// repacking is amortised over the rows: on the acoustic model's 16-row products on weights in
// their files' layout BLAS is twice as fast (amengine_bench), on the content encoder's 4-row
// products the in-place kernel wins.
inline constexpr int kGemmSmallRows = 8;
// The same limit under a table of copies (weight_copies.h), whose copies BLAS could read only
// after widening or unpacking them: up to this many rows the engine's kernel reads the copy
// itself. Under a table of panels it holds for the products on weights not copied too: the
// acoustic model's chunk took 8.7 ms with its 16-row products in BLAS, 7.2-7.7 in the kernel on
// panels (amengine_bench, mode 0, one thread).
inline constexpr int kCopyBlasRows = 32;
// gemm_acc hands BLAS its products in blocks of this many rows and columns of C, one call per
// block: the blocks are what the engine's threads share, and the vocoder's convolutions (960 x 64
// and 240 x 128 results) have too few columns to share otherwise.
inline constexpr int kBlasRows = 128;
inline constexpr int kBlasColumns = 128;

// C += alpha x A x op(B) with the engine's own kernel (8 lanes where the processor has them, else
// the 4-lane vector form). Returns false and touches nothing if a size is negative, a row stride
// is shorter than its row, a pointer needed is null, or C overlaps A or B (the product reads A and
// B after writing C, so an overlap would corrupt it). M, N or K of 0 is a product with nothing
// to do (true).
bool gemm_small(int M, int N, int K, float alpha, const float* A, int lda, const float* B, int ldb,
                bool trans_b, float* C, int ldc);

// The same product in the 4-lane vector form on every target (what arm64 runs); the tests hold it
// to the same reference as the 8-lane form.
bool gemm_small_v4(int M, int N, int K, float alpha, const float* A, int lda, const float* B,
                   int ldb, bool trans_b, float* C, int ldc);

// C += alpha x A x op(B): gemm_small when M <= kGemmSmallRows, else one cblas_sgemm (beta 1) per
// block of kBlasRows rows and kBlasColumns columns of C. Same argument rules and result as
// gemm_small. Under a WeightCopiesScope (weight_copies.h) whose table holds a half-precision copy
// of B, the product reads the copy instead: the same result as on B's values rounded to half
// precision (up to kCopyBlasRows rows in the engine's kernel, above in BLAS on blocks widened in
// the table's scratch). A single-precision copy in panel order (a table of panels) gives the same
// result as B itself in the same way (up to kCopyBlasRows rows the bits of gemm_small, above those
// of the BLAS blocks, unpacked in the scratch). Under a PoolScope (worker_pool.h) a large product
// is cut into parts the pool's threads share (multiples of 16 columns in the engine's kernel, the
// BLAS blocks otherwise); every element is summed exactly as without the pool, so the results are
// the same to the bit for every number of threads.
bool gemm_acc(int M, int N, int K, float alpha, const float* A, int lda, const float* B, int ldb,
              bool trans_b, float* C, int ldc);

// A K x N row-major weight matrix that products read untransposed, copied in half precision
// (weight_copies.h, round to nearest even) in the order the engine's kernel walks it: K in blocks
// of 16 rows; within a block the columns in panels of two vectors, then one vector, then single
// columns (as many as fit, left to right); each panel's rows one after the other. A product then
// reads its weights as one sequential stream instead of 16 rows a row length apart. Writes K x N
// halves to dst; false on a size below 1.
bool pack_panels(const float* src, int K, int N, std::uint16_t* dst);
// The same order in single precision: the values unchanged.
bool pack_panels(const float* src, int K, int N, float* dst);

// What the products on one thread amount to, for the benchmarks' bounds: a product of M x K by
// K x N counts M x N x K multiply-adds and reads K x N weights of op(B) (the weights, for the
// layers' products), as floats or as halves.
struct ProductTally {
  std::uint64_t products = 0;
  double multiply_adds = 0;
  double b_bytes = 0;       // bytes of op(B) read: 2 per weight read in half precision, else 4
  double half_b_bytes = 0;  // the part of b_bytes read in half precision
};
// Counts this thread's products into tally from now on (null: stop counting). gemm_acc counts
// each product once, on the calling thread, however it is split.
void set_product_tally(ProductTally* tally);
// Counts one product made outside gemm_acc (a direct BLAS call).
void tally_product(int M, int N, int K);

}  // namespace mvsdk::engine
