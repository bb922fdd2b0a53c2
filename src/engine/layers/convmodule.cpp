#include "engine/layers/convmodule.h"

#include <cmath>
#include <cstring>

#include "engine/kernels/gemm.h"
#include "engine/kernels/simd.h"
#include "engine/kernels/util.h"
#include "engine/layers/layer_util.h"

namespace mvsdk::engine {

using namespace layers_detail;

ConvModule::ConvModule(const float* stream, int mode, int dim)
    : dim_(dim),
      memsize_(0),
      conv_cache_(kHistory, dim),
      pointwise_(kMaxFrames, 2 * dim),
      output_in_(kMaxFrames, dim),
      gated_(kMaxFrames, dim),
      zero_row_(1, dim),
      mode_(mode) {
  const float* cursor = stream;
  params_.pw1_weight = take_block(cursor, 2 * dim * dim);
  params_.pw1_bias = take_block(cursor, 2 * dim);
  params_.dw_weight = take_block(cursor, dim * kKernel);
  params_.dw_bias = take_block(cursor, dim);
  params_.pw2_weight = take_block(cursor, dim * dim);
  params_.pw2_bias = take_block(cursor, dim);
  norm_ = std::make_unique<LayerNorm>(cursor, 1e-5f, dim);
  cursor += norm_->get_memsize();
  memsize_ = consumed(stream, cursor);
  zero_row_.zeros();
  reset();
}

void ConvModule::reset() {
  pointwise_.resize(1, 1, kHistory, 2 * dim_);
  fill_rows(pointwise_.data, params_.pw1_bias, kHistory, 2 * dim_);
  glu(&pointwise_, &conv_cache_, dim_);
  conv_cache_.resize(1, 1, kHistory, dim_);
}

bool ConvModule::fits(const Tensor<float>* x) const {
  const int T = x->shape[2];
  return dim_ > 0 && x->shape[3] == dim_ && T >= 0 && T <= kMaxFrames && x->size == T * dim_;
}

bool ConvModule::forward(Tensor<float>* x) {
  return mode_ != 0 ? forward_mode1(x) : forward_mode0(x);
}

// Steps shared by both modes: pointwise = x W1^T + b1 (one sgemm), then x = glu(pointwise),
// and gated = copy of x.
void ConvModule::pointwise_glu(Tensor<float>* x) {
  const int T = x->shape[2];
  pointwise_.resize(1, 1, T, 2 * dim_);
  fill_rows(pointwise_.data, params_.pw1_bias, T, 2 * dim_);
  gemm_acc(T, 2 * dim_, dim_, 1.0f, x->data, dim_, params_.pw1_weight, dim_, true,
           pointwise_.data, 2 * dim_);
  glu(&pointwise_, x, dim_);
  gated_.reload(x);
}

// x[t][c] = bias[c] + sum over k of frames[t + k][c] * w[c][k], for the T output frames; frames
// holds T + 14 row pointers, oldest first. Each dot product runs over the taps in order with one
// fused multiply-add per tap and is then added to the bias (as a matrix-vector product with
// beta 1 would); four channels per vector, four frames in flight.
void ConvModule::depthwise(Tensor<float>* x, const float* const* frames) {
  const int T = x->shape[2];
  const int dim = dim_;
  const float* w = params_.dw_weight;
  const float* bias = params_.dw_bias;
  float* out = x->data;
  int c = 0;
  for (; c + 4 <= dim; c += 4) {
    v4sf wt[kKernel];
    for (int k = 0; k < kKernel; ++k) {
      wt[k] = v4sf{w[c * kKernel + k], w[(c + 1) * kKernel + k], w[(c + 2) * kKernel + k],
                   w[(c + 3) * kKernel + k]};
    }
    const v4sf b = load4(bias + c);
    int t = 0;
    for (; t + 4 <= T; t += 4) {
      v4sf a0 = splat4(0.0f), a1 = a0, a2 = a0, a3 = a0;
      for (int k = 0; k < kKernel; ++k) {
        a0 = fma4(load4(frames[t + k] + c), wt[k], a0);
        a1 = fma4(load4(frames[t + 1 + k] + c), wt[k], a1);
        a2 = fma4(load4(frames[t + 2 + k] + c), wt[k], a2);
        a3 = fma4(load4(frames[t + 3 + k] + c), wt[k], a3);
      }
      store4(out + t * dim + c, a0 + b);
      store4(out + (t + 1) * dim + c, a1 + b);
      store4(out + (t + 2) * dim + c, a2 + b);
      store4(out + (t + 3) * dim + c, a3 + b);
    }
    for (; t < T; ++t) {
      v4sf a = splat4(0.0f);
      for (int k = 0; k < kKernel; ++k) a = fma4(load4(frames[t + k] + c), wt[k], a);
      store4(out + t * dim + c, a + b);
    }
  }
  for (; c < dim; ++c) {
    const float* wc = w + c * kKernel;
    for (int t = 0; t < T; ++t) {
      float a = 0.0f;
      for (int k = 0; k < kKernel; ++k) a = std::fma(frames[t + k][c], wc[k], a);
      out[t * dim + c] = a + bias[c];
    }
  }
}

// Shared tail: norm (eps 1e-5), swish, then x = swish(x) W2^T + b2 (one sgemm).
void ConvModule::norm_swish_out(Tensor<float>* x) {
  const int T = x->shape[2];
  norm_->forward(x);
  swish(x);
  output_in_.reload(x);
  fill_rows(x->data, params_.pw2_bias, T, dim_);
  gemm_acc(T, dim_, dim_, 1.0f, output_in_.data, dim_, params_.pw2_weight, dim_, true, x->data,
           dim_);
}

bool ConvModule::forward_mode1(Tensor<float>* x) {
  if (!fits(x)) return false;
  const int T = x->shape[2];
  if (T == 0) return true;
  pointwise_glu(x);

  // Causal depthwise convolution over the 14 cached gated frames followed by the chunk.
  const float* frames[kHistory + kMaxFrames];
  for (int j = 0; j < kHistory; ++j) frames[j] = conv_cache_.data + j * dim_;
  for (int t = 0; t < T; ++t) frames[kHistory + t] = gated_.data + t * dim_;
  depthwise(x, frames);

  // The newest 14 gated frames become the history.
  const std::size_t row_bytes = static_cast<std::size_t>(dim_) * sizeof(float);
  if (T >= kHistory) {
    std::memcpy(conv_cache_.data, gated_.data + (T - kHistory) * dim_, row_bytes * kHistory);
  } else {
    std::memmove(conv_cache_.data, conv_cache_.data + T * dim_, row_bytes * (kHistory - T));
    std::memcpy(conv_cache_.data + (kHistory - T) * dim_, gated_.data, row_bytes * T);
  }

  norm_swish_out(x);
  return true;
}

bool ConvModule::forward_mode0(Tensor<float>* x) {
  if (!fits(x)) return false;
  const int T = x->shape[2];
  if (T == 0) return true;
  pointwise_glu(x);

  // The chunk alone, 7 zero frames on each side.
  constexpr int kPad = kHistory / 2;
  const float* frames[kHistory + kMaxFrames];
  for (int j = 0; j < kPad; ++j) frames[j] = zero_row_.data;
  for (int t = 0; t < T; ++t) frames[kPad + t] = gated_.data + t * dim_;
  for (int j = 0; j < kPad; ++j) frames[kPad + T + j] = zero_row_.data;
  depthwise(x, frames);

  norm_swish_out(x);
  return true;
}

}  // namespace mvsdk::engine
