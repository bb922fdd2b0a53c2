#pragma once
// One upsampling stage of the vocoder:
//   x = leaky(x); x = deconv(x) (T frames become T x u); x += noise; four ResBlocks
// with leaky the 0.2-slope leaky rectifier, deconv a DeConv1d in mode 0 (window 2, u = kernel / 2)
// and the residual blocks' dilations base x 1, 3, 9, 27. `noise` is the stage's source signal,
// already convolved to (T x u, out_ch) by the network.
//
// Weights are borrowed from the network's weight stream (it must outlive the stage); the stage
// owns its layers. One thread at a time; forward() allocates nothing.
#include <array>
#include <memory>

#include "engine/core/alignmm.h"
#include "engine/layers/deconv1d.h"
#include "engine/layers/resblock.h"

namespace mvsdk::engine {

class UpSampler {
 public:
  static constexpr int kResBlocks = 4;
  static constexpr int kResKernel = 3;

  // Stream: the DeConv1d (kernel, out_ch x u rows of 2 x in_ch, then out_ch bias), then four
  // ResBlocks (kernel 3, out_ch -> out_ch, dilations base x 1, 3, 9, 27). `cum` is the product
  // of the earlier stages' factors: forward() takes at most 16 x cum frames. `workspace`, when
  // not null, is the im2col matrix the residual blocks' convolutions borrow (see Conv1d); it must
  // outlive the stage.
  UpSampler(const float* w, int kernel, int base, int out_ch, int in_ch, int cum,
            Tensor<float>* workspace = nullptr);
  ~UpSampler();
  UpSampler(const UpSampler&) = delete;
  UpSampler& operator=(const UpSampler&) = delete;

  static int weight_floats(int kernel, int out_ch, int in_ch);

  // x (1, 1, T, in_ch) becomes (1, 1, T x u, out_ch); noise must hold T x u x out_ch floats.
  // x's capacity must hold (T + 1) x in_ch floats (the transposed convolution's im2col works in
  // it) and T x u x out_ch. Returns false, x untouched, on shapes it cannot take.
  bool forward(Tensor<float>* x, const Tensor<float>* noise);
  // The DeConv1d's and the residual blocks' histories back to silence.
  void reset();

  int get_memsize() const { return memsize; }
  int upsampling() const { return deconv->upsampling(); }

 private:
  int in_ch;
  int out_ch;
  int kernel;
  int base;
  int memsize;
  std::unique_ptr<DeConv1d> deconv;
  std::array<std::unique_ptr<ResBlock>, kResBlocks> blocks;
};

}  // namespace mvsdk::engine
