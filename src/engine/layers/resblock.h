#pragma once
// Residual block of the vocoder's upsampling stages:
//   r = x; x = leaky(x); x = conv_dilated(x); x = leaky(x); x = conv(x); x += r
// with leaky the 0.2-slope leaky rectifier and two causal streaming convolutions (kernel 3; the
// first with the block's dilation, the second undilated), which carry their history across calls.
//
// Weights are borrowed from the network's weight stream (it must outlive the block); the block
// owns its convolutions and the work tensor of its branch, allocated at construction. One thread at a time;
// forward() allocates nothing.
#include <memory>

#include "engine/core/alignmm.h"
#include "engine/layers/conv1d.h"

namespace mvsdk::engine {

class ResBlock {
 public:
  // Most frames one forward() takes (the residual copy and the convolutions' im2col).
  static constexpr int kMaxFrames = 960;

  // Stream: the dilated Conv1d (kernel, dilation, in_ch -> out_ch) then the undilated Conv1d
  // (kernel, 1, out_ch -> out_ch). forward() needs in_ch == out_ch (the residual sum); the
  // vocoder always builds them so. `workspace`, when not null, is the im2col matrix both
  // convolutions borrow (see Conv1d); it must outlive the block.
  ResBlock(const float* w, int kernel, int dilation, int in_ch, int out_ch,
           Tensor<float>* workspace = nullptr);
  ~ResBlock();
  ResBlock(const ResBlock&) = delete;
  ResBlock& operator=(const ResBlock&) = delete;

  static int weight_floats(int kernel, int in_ch, int out_ch);

  // x (1, 1, T, channels) in place, T <= kMaxFrames. Returns false, x untouched, on a shape it
  // cannot take.
  bool forward(Tensor<float>* x);
  // Both convolutions' histories back to silence.
  void reset();

  int get_memsize() const { return memsize; }

 private:
  int in_ch;
  int channels;  // out_ch
  int memsize;
  std::unique_ptr<Conv1d> conv_dilated;
  std::unique_ptr<Conv1d> conv;
  // The branch: (kMaxFrames + dilation x (kernel - 1)) x channels, room for the convolutions'
  // im2col, which works in its input's buffer.
  std::unique_ptr<Tensor<float>> work;
};

}  // namespace mvsdk::engine
