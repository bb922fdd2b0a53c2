#include "engine/layers/conv1d.h"

#include <cstring>

#include "engine/kernels/gemm.h"
#include "engine/kernels/util.h"
#include "engine/layers/layer_util.h"

namespace mvsdk::engine {

using namespace layers_detail;

Conv1d::Conv1d(const float* stream, int kernel, int dilation, int in_ch, int out_ch,
               Tensor<float>* workspace)
    : out_ch_(out_ch),
      in_ch_(in_ch),
      kernel_(kernel),
      dilation_(dilation),
      memsize_(0),
      cache_(dilation * (kernel - 1), in_ch),
      own_cols_(workspace != nullptr ? 0 : kMaxOutFrames, kernel * in_ch),
      cols_(workspace != nullptr ? workspace : &own_cols_) {
  const float* cursor = stream;
  params_.weight = take_block(cursor, out_ch * in_ch * kernel);
  params_.bias = take_block(cursor, out_ch);
  memsize_ = consumed(stream, cursor);
  reset();
}

void Conv1d::reset() {
  cache_.zeros();
  if (cols_ == &own_cols_) {
    own_cols_.resize(1, 1, kMaxOutFrames, kernel_ * in_ch_);
    own_cols_.zeros();
  }
}

bool Conv1d::forward(Tensor<float>* x, int stride) {
  const int T = x->shape[2];
  const int C = x->shape[3];
  const int P = dilation_ * (kernel_ - 1);
  if (C != in_ch_ || stride < 1 || T < 0 || x->size != T * C) return false;
  if (T == 0) {
    x->resize(1, 1, 0, out_ch_);
    return true;
  }
  const int n_expected = (T - 1) / stride + 1;
  const long cols_floats = static_cast<long>(n_expected) * kernel_ * C;
  if (cols_floats > cols_->capacity || (T + P) * C > x->capacity ||
      n_expected * out_ch_ > x->capacity) {
    return false;
  }

  const int n = im2col_cpu(x->data, cache_.data, 1, T, C, kernel_, stride, dilation_, P, 0,
                           cols_->data);
  const int row = kernel_ * C;
  cols_->resize(1, 1, n, row);
  // The last P frames of the joined buffer are the next call's history; save them before the
  // output overwrites the buffer.
  std::memcpy(cache_.data, x->data + static_cast<std::ptrdiff_t>(T) * C,
              static_cast<std::size_t>(P) * C * sizeof(float));
  fill_rows(x->data, params_.bias, n, out_ch_);
  gemm_acc(n, out_ch_, row, 1.0f, cols_->data, row, params_.weight, row, true, x->data, out_ch_);
  x->resize(1, 1, n, out_ch_);
  return true;
}

}  // namespace mvsdk::engine
