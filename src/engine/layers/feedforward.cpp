#include "engine/layers/feedforward.h"

#include "engine/kernels/gemm.h"
#include "engine/layers/layer_util.h"

namespace mvsdk::engine {

using namespace layers_detail;

FeedForward::FeedForward(const float* stream, int act, int dim, int hidden)
    : dim_(dim),
      hidden_(hidden),
      memsize_(0),
      scratch_(kMaxRows, hidden),
      activation_(act ? swish : relu) {
  const float* cursor = stream;
  params_.weight1 = take_block(cursor, dim * hidden);
  params_.bias1 = take_block(cursor, hidden);
  params_.weight2 = take_block(cursor, hidden * dim);
  params_.bias2 = take_block(cursor, dim);
  memsize_ = consumed(stream, cursor);
}

bool FeedForward::forward(Tensor<float>* x) {
  if (x->shape[3] != dim_ || dim_ <= 0) return false;
  const int rows = x->size / dim_;
  if (rows > kMaxRows) return false;
  if (rows == 0) return true;

  scratch_.resize(1, 1, rows, hidden_);
  fill_rows(scratch_.data, params_.bias1, rows, hidden_);
  gemm_acc(rows, hidden_, dim_, 1.0f, x->data, dim_, params_.weight1, hidden_, false,
           scratch_.data, hidden_);
  activation_(&scratch_);
  fill_rows(x->data, params_.bias2, rows, dim_);
  gemm_acc(rows, dim_, hidden_, 1.0f, scratch_.data, hidden_, params_.weight2, dim_, false,
           x->data, dim_);
  return true;
}

}  // namespace mvsdk::engine
