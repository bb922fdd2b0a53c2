#include "engine/layers/stylelayernorm.h"

#include <cblas.h>

#include <cstring>

#include "engine/kernels/gemm.h"
#include "engine/kernels/weight_copies.h"
#include "engine/layers/layer_util.h"
#include "engine/layers/layernorm.h"

namespace mvsdk::engine {

using namespace layers_detail;

StyleLayerNorm::StyleLayerNorm(const float* stream, float eps, int dim)
    : dim_(dim), memsize_(0), gainbias_(2 * dim), eps_(eps) {
  const float* cursor = stream;
  params_.weight = take_block(cursor, 2 * dim * dim);
  params_.bias = take_block(cursor, 2 * dim);
  memsize_ = consumed(stream, cursor);
}

bool StyleLayerNorm::setstyle(const Tensor<float>* style) {
  if (style == nullptr || style->data == nullptr || style->size < dim_) return false;
  setstyle(style->data);
  return true;
}

void StyleLayerNorm::setstyle(const float* style) {
  if (dim_ <= 0) return;
  std::memcpy(gainbias_.data, params_.bias, static_cast<std::size_t>(2 * dim_) * sizeof(float));
  const WeightCopies* copies = current_weight_copies();
  if (copies != nullptr && copies->block_of(params_.weight) != nullptr) {
    // The weights are held in half precision: the same product, one row, on the copy.
    gemm_acc(1, 2 * dim_, dim_, 1.0f, style, dim_, params_.weight, dim_, true, gainbias_.data, 2 * dim_);
    return;
  }
  cblas_sgemv(CblasRowMajor, CblasNoTrans, 2 * dim_, dim_, 1.0f, params_.weight, dim_, style, 1,
              1.0f, gainbias_.data, 1);
}

void StyleLayerNorm::forward(Tensor<float>* x) const {
  if (dim_ <= 0) return;
  layer_norm_rows(x->data, x->size / dim_, dim_, gainbias_.data, gainbias_.data + dim_, eps_);
}

void StyleLayerNorm::mean_var(const float* row, float& mean, float& var) const {
  layer_norm_mean_var(row, dim_, mean, var);
}

void StyleLayerNorm::norm(float* row, float mean, float var) const {
  layer_norm_row(row, dim_, mean, var, gainbias_.data, gainbias_.data + dim_, eps_);
}

}  // namespace mvsdk::engine
