#include "engine/layers/resblock.h"

namespace mvsdk::engine {

namespace {
constexpr float kLeakySlope = 0.2f;
}  // namespace

ResBlock::ResBlock(const float* w, int kernel_, int dilation_, int in_ch, int out_ch)
    : channels(out_ch),
      kernel(kernel_),
      dilation(dilation_),
      memsize(weight_floats(kernel_, in_ch, out_ch)),
      conv_dilated(std::make_unique<Conv1d>(w, kernel_, dilation_, in_ch, out_ch)),
      conv(std::make_unique<Conv1d>(w + conv_dilated->get_memsize(), kernel_, 1, out_ch, out_ch)),
      residual(std::make_unique<Tensor<float>>(kMaxFrames, out_ch)) {}

ResBlock::~ResBlock() = default;

int ResBlock::weight_floats(int kernel, int in_ch, int out_ch) {
  return alignsize(out_ch * in_ch * kernel, 32) + alignsize(out_ch, 32) +
         alignsize(out_ch * out_ch * kernel, 32) + alignsize(out_ch, 32);
}

void ResBlock::reset() {
  conv_dilated->reset();
  conv->reset();
}

bool ResBlock::forward(Tensor<float>* x) {
  const int t = x->shape[2];
  if (x->shape[3] != channels || t < 1 || t > kMaxFrames || x->size != t * channels ||
      x->capacity < (t + dilation * (kernel - 1)) * channels) {
    return false;
  }
  residual->reload(x);
  x->leakyrelu(kLeakySlope);
  conv_dilated->forward(x, 1);
  x->leakyrelu(kLeakySlope);
  conv->forward(x, 1);
  x->add(residual.get());
  return true;
}

}  // namespace mvsdk::engine
