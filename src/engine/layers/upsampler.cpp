#include "engine/layers/upsampler.h"

namespace mvsdk::engine {

namespace {
constexpr float kLeakySlope = 0.2f;
constexpr int kDilationSteps[UpSampler::kResBlocks] = {1, 3, 9, 27};
}  // namespace

UpSampler::UpSampler(const float* w, int kernel_, int base_, int out_ch_, int in_ch_, int cum,
                     Tensor<float>* workspace)
    : in_ch(in_ch_), out_ch(out_ch_), kernel(kernel_), base(base_), memsize(0) {
  const float* p = w;
  deconv = std::make_unique<DeConv1d>(p, kernel, base, out_ch, in_ch, 0, cum);
  p += deconv->get_memsize();
  for (int i = 0; i < kResBlocks; ++i) {
    blocks[i] = std::make_unique<ResBlock>(p, kResKernel, base * kDilationSteps[i], out_ch, out_ch,
                                           workspace);
    p += blocks[i]->get_memsize();
  }
  memsize = static_cast<int>(p - w);
}

UpSampler::~UpSampler() = default;

int UpSampler::weight_floats(int kernel, int out_ch, int in_ch) {
  return DeConv1d::weight_floats(kernel, out_ch, in_ch, 0) +
         kResBlocks * ResBlock::weight_floats(kResKernel, out_ch, out_ch);
}

void UpSampler::reset() {
  deconv->reset();
  for (auto& b : blocks) b->reset();
}

bool UpSampler::forward(Tensor<float>* x, const Tensor<float>* noise) {
  const int t = x->shape[2];
  const int t_out = t * deconv->upsampling();
  if (x->shape[3] != in_ch || t < 1 || t > deconv->max_frames() || x->size != t * in_ch ||
      noise->size != t_out * out_ch || t_out > ResBlock::kMaxFrames ||
      x->capacity < t_out * out_ch || x->capacity < (t + 1) * in_ch) {
    return false;
  }
  x->leakyrelu(kLeakySlope);
  deconv->forward(x);
  x->add(noise);
  for (auto& b : blocks) b->forward(x);
  return true;
}

}  // namespace mvsdk::engine
