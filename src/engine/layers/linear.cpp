#include "engine/layers/linear.h"

#include "engine/kernels/gemm.h"
#include "engine/layers/layer_util.h"

namespace mvsdk::engine {

using namespace layers_detail;

Linear::Linear(const float* stream, int act, int in, int out)
    : in_(in), out_(out), memsize_(0), scratch_(kMaxRows, out), activation_(act ? swish : relu) {
  const float* cursor = stream;
  params_.weight = take_block(cursor, in * out);
  params_.bias = take_block(cursor, out);
  memsize_ = consumed(stream, cursor);
}

bool Linear::forward(Tensor<float>* x) {
  const int kin = x->shape[3];
  if (kin != in_ || kin <= 0) return false;
  const int rows = x->size / kin;
  if (rows > kMaxRows || rows * out_ > x->capacity) return false;

  scratch_.resize(1, 1, rows, out_);
  fill_rows(scratch_.data, params_.bias, rows, out_);
  if (rows > 0) {
    gemm_acc(rows, out_, kin, 1.0f, x->data, kin, params_.weight, out_, false, scratch_.data, out_);
  }
  x->reload(&scratch_);
  return true;
}

}  // namespace mvsdk::engine
