#pragma once
// Member definitions of ConformerBlock; included only by subencoder.cpp and substylencoder.cpp,
// which instantiate the template for their norm.
#include "engine/layers/conformer_block.h"

namespace mvsdk::engine::layers_detail {

template <class Norm>
ConformerBlock<Norm>::ConformerBlock(const float* stream, int conv_mode, PositionEncoding* pe,
                                     int heads, int head_dim, int dim, int hidden)
    : heads_(heads), head_dim_(head_dim), dim_(dim), memsize_(0), residual_(kMaxFrames, dim) {
  const float* cursor = stream;
  attn_ = std::make_unique<EncSelfAttn>(cursor, pe, heads, head_dim, dim);
  cursor += attn_->get_memsize();
  ff_late_ = std::make_unique<FeedForward>(cursor, 1, dim, hidden);
  cursor += ff_late_->get_memsize();
  ff_early_ = std::make_unique<FeedForward>(cursor, 1, dim, hidden);
  cursor += ff_early_->get_memsize();
  conv_ = std::make_unique<ConvModule>(cursor, conv_mode, dim);
  cursor += conv_->get_memsize();
  std::unique_ptr<Norm>* norms[] = {&norm_late_, &norm_attn_, &norm_early_, &norm_conv_,
                                    &norm_final_};
  for (std::unique_ptr<Norm>* n : norms) {
    *n = std::make_unique<Norm>(cursor, kNormEps, dim);
    cursor += (*n)->get_memsize();
  }
  memsize_ = static_cast<int>(cursor - stream);
  reset();
}

template <class Norm>
void ConformerBlock<Norm>::reset() {
  residual_.resize(1, 1, 0, dim_);
  conv_->reset();
  attn_->reset();
}

template <class Norm>
bool ConformerBlock<Norm>::forward(Tensor<float>* x) {
  const int T = x->shape[2];
  if (dim_ <= 0 || x->shape[3] != dim_ || T < 0 || T > kMaxFrames || x->size != T * dim_ ||
      !attn_->accepts(T)) {
    return false;
  }
  if (T == 0) return true;

  // Macaron half-step feed-forward.
  residual_.reload(x);
  norm_early_->forward(&residual_);
  ff_early_->forward(&residual_);
  x->add(0.5f, &residual_);

  // Self-attention.
  residual_.reload(x);
  norm_attn_->forward(x);
  attn_->forward(x, x, x);
  x->add(1.0f, &residual_);

  // Convolution module.
  residual_.reload(x);
  norm_conv_->forward(x);
  conv_->forward(x);
  x->add(1.0f, &residual_);

  // Second half-step feed-forward.
  residual_.reload(x);
  norm_late_->forward(&residual_);
  ff_late_->forward(&residual_);
  x->add(0.5f, &residual_);

  norm_final_->forward(x);
  return true;
}

}  // namespace mvsdk::engine::layers_detail
