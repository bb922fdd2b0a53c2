#include "engine/layers/encselfattn.h"

#include <cmath>
#include <cstring>

#include "engine/kernels/gemm.h"
#include "engine/kernels/simd.h"
#include "engine/kernels/util.h"
#include "engine/layers/layer_util.h"

namespace mvsdk::engine {

using namespace layers_detail;

namespace {

// The content encoder (width 256) runs 4-frame chunks and sizes its caches for 21 of them; every
// other width keeps room for 21 chunks of 16 frames.
int max_keys_for(int dim) { return dim == 256 ? 84 : 336; }

// dst[i] = src[i] + bias[i mod dim] over `rows` rows of dim floats.
void add_row_bias(float* dst, const float* src, const float* bias, int rows, int dim) {
  for (int r = 0; r < rows; ++r) {
    const float* s = src + static_cast<std::ptrdiff_t>(r) * dim;
    float* d = dst + static_cast<std::ptrdiff_t>(r) * dim;
    int i = 0;
    for (; i + 4 <= dim; i += 4) store4(d + i, load4(s + i) + load4(bias + i));
    for (; i < dim; ++i) d[i] = s[i] + bias[i];
  }
}

// x[i] = (float)((double)x[i] / div) for i < n: the division in double precision.
void divide_in_double(float* x, int n, double div) {
  typedef double v4df __attribute__((vector_size(32)));
  const v4df vd = {div, div, div, div};
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    const v4df d = __builtin_convertvector(load4(x + i), v4df) / vd;
    store4(x + i, __builtin_convertvector(d, v4sf));
  }
  for (; i < n; ++i) x[i] = static_cast<float>(static_cast<double>(x[i]) / div);
}

}  // namespace

EncSelfAttn::EncSelfAttn(const float* stream, PositionEncoding* pe, int heads, int head_dim,
                         int dim)
    : heads_(heads),
      head_dim_(head_dim),
      dim_(dim),
      memsize_(0),
      pos_offset_(0),
      max_keys_(max_keys_for(dim)),
      pos_proj_(1, kPosRows, heads, head_dim),
      key_cache_(max_keys_ + kSpareRows, dim),
      value_cache_(max_keys_ + kSpareRows, dim),
      scores_(1, kMaxFrames, heads, max_keys_),
      context_(kMaxFrames, dim),
      q_(kMaxFrames, dim),
      k_(kMaxFrames, dim),
      v_(kMaxFrames, dim),
      q_u_(kMaxFrames, dim),
      q_v_(kMaxFrames, dim) {
  const float* cursor = stream;
  const int mat = dim * dim;
  params_.query_weight = take_block(cursor, mat);
  params_.query_bias = take_block(cursor, dim);
  params_.key_weight = take_block(cursor, mat);
  params_.key_bias = take_block(cursor, dim);
  params_.value_weight = take_block(cursor, mat);
  params_.value_bias = take_block(cursor, dim);
  params_.out_weight = take_block(cursor, mat);
  params_.out_bias = take_block(cursor, dim);
  params_.pos_weight = take_block(cursor, mat);
  params_.pos_bias_u = take_block(cursor, dim);
  params_.pos_bias_v = take_block(cursor, dim);
  memsize_ = consumed(stream, cursor);

  // Project the table's first 336 rows once; a shorter table leaves the rows past its end zero.
  pos_proj_.zeros();
  if (pe != nullptr && pe->dim() == dim && dim > 0 && heads * head_dim == dim) {
    Tensor<float>* table = nullptr;
    pe->fetch(kPosRows, table);
    const int rows = table->shape[2];
    pos_proj_.resize(1, 1, rows, dim);
    linear_forward(table, &pos_proj_, params_.pos_weight, nullptr, dim);
    pos_proj_.resize(1, kPosRows, heads, head_dim);
  }
  reset();
}

void EncSelfAttn::reset() {
  cache_start_ = 0;
  cache_rows_ = 0;
  pos_offset_ = 0;
}

bool EncSelfAttn::accepts(int T) const {
  if (T < 0 || T > kMaxFrames || heads_ * head_dim_ != dim_ || dim_ <= 0) return false;
  const int appended = cached_keys() + T;
  if (appended > max_keys_) return false;
  const bool slides = appended > kWindowChunks * T;
  const int shift = slides ? T : 0;
  const int kept = slides ? appended - T : appended;
  return shift + kept <= kPosRows;
}

bool EncSelfAttn::forward(Tensor<float>* x, Tensor<float>*, Tensor<float>*) {
  const int T = x->shape[2];
  if (x->shape[3] != dim_ || x->size != T * dim_ || !accepts(T)) return false;
  if (T == 0) return true;
  const int H = heads_;
  const int d = head_dim_;
  const int dim = dim_;

  // 1. Projections of the chunk.
  q_.resize(1, T, H, d);
  k_.resize(1, T, H, d);
  v_.resize(1, T, H, d);
  linear_forward(x, &q_, params_.query_weight, params_.query_bias, dim);
  linear_forward(x, &k_, params_.key_weight, params_.key_bias, dim);
  linear_forward(x, &v_, params_.value_weight, params_.value_bias, dim);

  // 2. Append to the caches (first moving the window to the front when the chunk would not fit
  //    after it: accepts() keeps the window and the chunk within max_keys rows).
  const std::size_t row_bytes = static_cast<std::size_t>(dim) * sizeof(float);
  if (cache_start_ + cache_rows_ + T > max_keys_ + kSpareRows) {
    const std::ptrdiff_t from = static_cast<std::ptrdiff_t>(cache_start_) * dim;
    std::memmove(key_cache_.data, key_cache_.data + from, row_bytes * cache_rows_);
    std::memmove(value_cache_.data, value_cache_.data + from, row_bytes * cache_rows_);
    cache_start_ = 0;
  }
  const std::ptrdiff_t end = static_cast<std::ptrdiff_t>(cache_start_ + cache_rows_) * dim;
  std::memcpy(key_cache_.data + end, k_.data, row_bytes * T);
  std::memcpy(value_cache_.data + end, v_.data, row_bytes * T);
  cache_rows_ += T;

  // 3. Slide the window: past 20 chunks, drop the T oldest frames.
  if (cache_rows_ > kWindowChunks * T) {
    cache_start_ += T;
    cache_rows_ -= T;
    pos_offset_ += T * dim;
  }
  const int L = cache_rows_;
  const float* keys = key_cache_.data + static_cast<std::ptrdiff_t>(cache_start_) * dim;
  const float* values = value_cache_.data + static_cast<std::ptrdiff_t>(cache_start_) * dim;

  // 4. Queries plus each position bias.
  q_u_.resize(1, T, H, d);
  q_v_.resize(1, T, H, d);
  add_row_bias(q_u_.data, q_.data, params_.pos_bias_u, T, dim);
  add_row_bias(q_v_.data, q_.data, params_.pos_bias_v, T, dim);

  // 5. Scores per head: content term, then position term, on column slices of the row-major
  //    buffers (no copies). scores[t][h][l] sits at (t * H + h) * L + l.
  scores_.resize(1, T, H, L);
  scores_.zeros();
  const float* pos = pos_proj_.data + pos_offset_;
  for (int h = 0; h < H; ++h) {
    float* s = scores_.data + static_cast<std::ptrdiff_t>(h) * L;
    gemm_acc(T, L, d, 1.0f, q_u_.data + h * d, dim, keys + h * d, dim, true, s, H * L);
    gemm_acc(T, L, d, 1.0f, q_v_.data + h * d, dim, pos + h * d, dim, true, s, H * L);
  }

  // 6. Scale by 1 / sqrt(head_dim), divided in double.
  divide_in_double(scores_.data, scores_.size, std::sqrt(static_cast<double>(d)));

  // 7. Row softmax over the L keys of every (frame, head).
  for (int row = 0; row < T * H; ++row) softmax(scores_.data + static_cast<std::ptrdiff_t>(row) * L, L, L);

  // 8. Context per head.
  context_.resize(1, 1, T, dim);
  context_.zeros();
  for (int h = 0; h < H; ++h) {
    gemm_acc(T, d, L, 1.0f, scores_.data + static_cast<std::ptrdiff_t>(h) * L, H * L,
             values + h * d, dim, false, context_.data + h * d, dim);
  }

  // 9. Output projection into x.
  fill_rows(x->data, params_.out_bias, T, dim);
  gemm_acc(T, dim, dim, 1.0f, context_.data, dim, params_.out_weight, dim, false, x->data, dim);

  // 10. The offset only lives for the call that slid the window.
  if (pos_offset_ >= T * dim) pos_offset_ = 0;
  return true;
}

}  // namespace mvsdk::engine
