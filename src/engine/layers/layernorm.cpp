#include "engine/layers/layernorm.h"

#include <cmath>

#include "engine/kernels/simd.h"
#include "engine/layers/layer_util.h"

namespace mvsdk::engine {

using namespace layers_detail;

namespace {

// Mean and variance of one row: sums in index order, the variance terms by fused multiply-add.
inline void row_mean_var(const float* row, int dim, float& mean, float& var) {
  float sum = 0.0f;
  for (int i = 0; i < dim; ++i) sum += row[i];
  const float m = sum / static_cast<float>(dim);
  float acc = 0.0f;
  for (int i = 0; i < dim; ++i) {
    const float d = row[i] - m;
    acc = std::fma(d, d, acc);
  }
  mean = m;
  var = acc / static_cast<float>(dim);
}

// The same for kGroup rows at once: every row keeps its own sums in index order (the results are
// those of row_mean_var), but the independent chains overlap instead of waiting on each other.
constexpr int kGroup = 8;
inline void group_mean_var(const float* data, int dim, float* mean, float* var) {
  float sum[kGroup] = {};
  for (int i = 0; i < dim; ++i) {
    for (int r = 0; r < kGroup; ++r) sum[r] += data[r * dim + i];
  }
  for (int r = 0; r < kGroup; ++r) mean[r] = sum[r] / static_cast<float>(dim);
  float acc[kGroup] = {};
  for (int i = 0; i < dim; ++i) {
    for (int r = 0; r < kGroup; ++r) {
      const float d = data[r * dim + i] - mean[r];
      acc[r] = std::fma(d, d, acc[r]);
    }
  }
  for (int r = 0; r < kGroup; ++r) var[r] = acc[r] / static_cast<float>(dim);
}

// x = fma((x - mean) * s, g, b) per element, s = 1 / sqrt(var + eps).
inline void row_norm(float* row, int dim, float mean, float var, const float* g, const float* b,
                     float eps) {
  const float s = 1.0f / std::sqrt(var + eps);
  const v4sf vm = splat4(mean);
  const v4sf vs = splat4(s);
  int i = 0;
  for (; i + 4 <= dim; i += 4) {
    const v4sf v = (load4(row + i) - vm) * vs;
    store4(row + i, fma4(v, load4(g + i), load4(b + i)));
  }
  for (; i < dim; ++i) row[i] = std::fma((row[i] - mean) * s, g[i], b[i]);
}

}  // namespace

void layer_norm_rows(float* data, int rows, int dim, const float* g, const float* b, float eps) {
  if (dim <= 0) return;
  int r = 0;
  for (; r + kGroup <= rows; r += kGroup) {
    float* block = data + static_cast<std::ptrdiff_t>(r) * dim;
    float mean[kGroup];
    float var[kGroup];
    group_mean_var(block, dim, mean, var);
    for (int j = 0; j < kGroup; ++j) row_norm(block + j * dim, dim, mean[j], var[j], g, b, eps);
  }
  for (; r < rows; ++r) {
    float* row = data + static_cast<std::ptrdiff_t>(r) * dim;
    float mean;
    float var;
    row_mean_var(row, dim, mean, var);
    row_norm(row, dim, mean, var, g, b, eps);
  }
}

LayerNorm::LayerNorm(const float* stream, float eps, int dim) : dim_(dim), memsize_(0), eps_(eps) {
  const float* cursor = stream;
  params_.gamma = take_block(cursor, dim);
  params_.beta = take_block(cursor, dim);
  memsize_ = consumed(stream, cursor);
}

void LayerNorm::forward(Tensor<float>* x) const {
  if (dim_ <= 0) return;
  layer_norm_rows(x->data, x->size / dim_, dim_, params_.gamma, params_.beta, eps_);
}

void layer_norm_mean_var(const float* row, int dim, float& mean, float& var) {
  row_mean_var(row, dim, mean, var);
}

void layer_norm_row(float* row, int dim, float mean, float var, const float* g, const float* b,
                    float eps) {
  row_norm(row, dim, mean, var, g, b, eps);
}

void LayerNorm::mean_var(const float* row, float& mean, float& var) const {
  row_mean_var(row, dim_, mean, var);
}

void LayerNorm::norm(float* row, float mean, float var) const {
  row_norm(row, dim_, mean, var, params_.gamma, params_.beta, eps_);
}

}  // namespace mvsdk::engine
