#include "engine/layers/resblock.h"

#include "engine/kernels/simd.h"

namespace mvsdk::engine {

namespace {

constexpr float kLeakySlope = 0.2f;

// dst[i] = leaky(src[i]): the same arithmetic as Tensor<float>::leakyrelu (4-lane groups as
// max(x, 0) + slope * min(x, 0), the leftovers by comparison), fused with the copy.
void leaky_copy(const float* src, float* dst, int n, float slope) {
  const v4sf zero = splat4(0.0f);
  const v4sf s = splat4(slope);
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    const v4sf v = load4(src + i);
    store4(dst + i, max4(v, zero) + s * min4(v, zero));
  }
  for (; i < n; ++i) dst[i] = src[i] >= 0.0f ? src[i] : slope * src[i];
}

}  // namespace

ResBlock::ResBlock(const float* w, int kernel_, int dilation_, int in_ch_, int out_ch,
                   Tensor<float>* workspace)
    : in_ch(in_ch_),
      channels(out_ch),
      memsize(weight_floats(kernel_, in_ch, out_ch)),
      conv_dilated(std::make_unique<Conv1d>(w, kernel_, dilation_, in_ch_, out_ch, workspace)),
      conv(std::make_unique<Conv1d>(w + conv_dilated->get_memsize(), kernel_, 1, out_ch, out_ch,
                                    workspace)),
      work(std::make_unique<Tensor<float>>(kMaxFrames + dilation_ * (kernel_ - 1),
                                          in_ch_ > out_ch ? in_ch_ : out_ch)) {}

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
  // The residual sum needs the branch's output as wide as its input.
  if (x->shape[3] != in_ch || in_ch != channels || t < 1 || t > kMaxFrames ||
      x->size != t * channels) {
    return false;
  }
  // The branch runs in `work` so that x itself is the residual: x + branch(x).
  leaky_copy(x->data, work->data, x->size, kLeakySlope);
  work->resize(1, 1, t, in_ch);
  conv_dilated->forward(work.get(), 1);
  work->leakyrelu(kLeakySlope);
  conv->forward(work.get(), 1);
  x->add(work.get());
  return true;
}

}  // namespace mvsdk::engine
